// report.h - every message the tool gives, in one place.
//
// Standard output carries the tool's own fixed messages ("\nCan't open ...",
// "\nCan't create output", ...) byte for byte as scripts expect them, the
// --check verdicts and the --diff hunks. Standard error carries, one line
// each and each naming the file concerned, why something failed, warnings
// and notes ("morvet: <path>: <what failed>: <the system's reason>").
// Standard output is flushed before every line on standard error, so that
// in one log a cause follows what it explains. Nothing is buffered past the
// end of a run: finish_output flushes both.
#ifndef MORVET_REPORT_H
#define MORVET_REPORT_H

#include <cstddef>
#include <cstdint>

#include "plan.h"
#include "platform.h"

// ---- Standard output

// The fixed usage text, printed when no file is named.
void say_usage();

// The usage text, then the options and where the manual is.
void say_help();

void say_version();

enum file_message {
	SAY_CANT_OPEN,          // "\nCan't open <path>"
	SAY_CANT_READ,          // "\nCan't read <path>"
	SAY_CANT_CREATE_OUTPUT, // "\nCan't create output"
	SAY_CANT_PATCH,         // "\nCan't patch <path>: <reason>"
	SAY_CANT_SYNC,          // "\nCan't sync <path>"
};

void say(file_message message, const path_char *path, const char *reason = nullptr);

// A --check line: "<path>: <verdict>", the path escaped when it holds a
// line feed or a backslash (see shown_path).
void say_verdict(const path_char *path, const char *verdict);

// The path as --check and --diff show it: as it is, or, when it holds a
// line feed (or, outside Windows, a backslash), with those written \n and
// \\ and a backslash in front of the line, as sha256sum does.
const char *shown_path(const path_char *path, bool *escaped);

// ---- Reasons, as the messages word them

// Why the plan refused a file, after "Can't patch <path>: "; line is the
// line its refusal_offset is on.
const char *refusal_text(refusal_reason reason, std::uint64_t line);

// The --check verdicts of a file that could not be opened or read.
extern const char verdict_cant_open[];
extern const char verdict_cant_read[];

// What patching is refused for when the platform refuses it.
extern const char reason_changed[];
extern const char reason_open_for_writing[];
extern const char reason_encrypted[];

// The --check verdict of an accepted plan: "patched" or "not patched:
// <reasons>".
const char *check_verdict(const patch_plan *plan);

// ---- Standard error

// "morvet: <path>: <what failed>: <the system's reason>"; the temporary
// file's absolute path follows what failed when it was the temporary
// file's.
void report_failure(const path_char *path, const failure *why);

// "morvet: <path>: can't patch: <reason>"
void report_refusal(const path_char *path, const char *reason);

// The file is in place but its directory could not be synced.
void report_not_synced(const path_char *path, const failure *why);

// The complete result stays in the temporary file.
void report_result_kept(const path_char *path);

// The temporary file holds the result of an earlier file of this run.
void report_result_held_for(const path_char *path, const path_char *owner);

// An argument names the temporary file itself.
void report_is_temporary_file(const path_char *path);

// The input changed while --diff read it.
void report_changed_while_read(const path_char *path);

void report_unknown_option(const path_char *argument);
void report_check_and_diff();

// What the text of a file that was (or, with --check, would be) patched
// tells about it: an old CRC statement that did not match, a declaration
// missing, text dropped (from line dropped_from to dropped_to).
void report_warnings(const path_char *path, const patch_plan *plan, std::uint64_t dropped_from,
                     std::uint64_t dropped_to);

// Notes from the platform layer.
void report_lock_unavailable();
void report_waiting_for_lock();
void report_other_links(const path_char *path, unsigned long others);
void report_directory_not_opened(const path_char *path);

// An exchange could not be undone: the other program's version of the file
// is at location.
void report_swapped_out(const path_char *path, const char *location);

// A file this run made and could not remove: named so that the user can.
void report_left_behind(const char *location);

// The same line, made in advance into text (size bytes, always terminated)
// for a signal handler to write as it stands.
void make_left_behind_line(const char *location, char *text, std::size_t size);

// Flushes both streams; returns status, or failed_status when standard
// output could not be written, since a message that was lost is a failure
// of the run.
int finish_output(int status, int failed_status);

#endif

// report.h - every message the tool gives, in one place.
//
// Standard output carries the fixed messages ("\nCan't open ...") byte for
// byte as scripts expect them, the --check verdicts and the --diff hunks.
// Standard error carries, a line each naming its file, why something
// failed, warnings and notes. Standard output is flushed before every line
// on standard error, so that in one log a cause follows what it explains.
#ifndef MORVET_REPORT_H
#define MORVET_REPORT_H

#include <cstddef>
#include <cstdint>

#include "plan.h"
#include "platform.h"

// Where the output goes (look_at_output), and whether warnings are wanted.
void report_begin(output_streams streams, bool quiet);

// The fixed usage text, printed when no file is named; with help, then the
// options and where the manual is. After a usage error, say_try_help
// points to --help on standard error.
void say_usage(bool help = false);
void say_try_help();
void say_version();

// "\nCan't open <path>", "\nCan't read <path>", "\nCan't create output",
// "\nCan't patch <path>: <reason>", "\nCan't sync <path>"; patched and
// unchanged files say nothing. A console of the program's own (see
// look_at_output) is also told at the end, a line for each file, in plain
// words, what became of it.
enum file_message {
	SAY_CANT_OPEN, SAY_CANT_READ, SAY_CANT_CREATE_OUTPUT, SAY_CANT_PATCH, SAY_CANT_SYNC,
	SAY_PATCHED, SAY_UNCHANGED,
};

void say(file_message message, const path_char *path, const char *reason = nullptr);

// "\nCan't patch <path>: <reason>", and the same on standard error unless
// one terminal shows both.
void say_refusal(const path_char *path, const char *reason);

// A --check line: "<path>: <verdict>", the path escaped as below.
void say_verdict(const path_char *path, const char *verdict);

// The path as it is, or, when a byte would end or garble the line, as
// sha256sum shows it (diff false: \n and, outside Windows, \\ escaped, a
// backslash in front) or as GNU diff names it (diff true: in double
// quotes, with C escapes, octal beyond ASCII), which GNU patch reads.
const char *escaped_path(const path_char *path, bool diff);

// Why the plan refused a file, after "Can't patch <path>: ".
const char *refusal_text(const patch_plan *plan);

// The --check verdict: "patched" or "not patched: <reasons or refusal>".
const char *check_verdict(const patch_plan *plan);

extern const char verdict_cant_open[], verdict_cant_read[], // --check's; then the refusals'
	reason_changed[], reason_open_for_writing[], reason_encrypted[], reason_owner_not_kept[];

// "morvet: <path>: <what failed>: <the system's reason>"; not_synced: the
// file is patched all the same.
void report_failure(const path_char *path, const failure *why, bool not_synced = false);

void report_refusal(const path_char *path, const char *reason); // "... can't patch: <reason>"

// A note on standard error, "morvet: [<path>: ]<text>", holding first and
// second where its text says.
enum note {
	NOTE_RESULT_KEPT, NOTE_RESULT_HELD, NOTE_EARLIER_RESULT, NOTE_IS_TEMPORARY, NOTE_CHANGED_WHILE_READ,
	NOTE_UNKNOWN_OPTION, NOTE_UNKNOWN_SLASH_OPTION, NOTE_SUGGESTED_OPTION, NOTE_CHECK_AND_DIFF,
	NOTE_LOCK_UNAVAILABLE, NOTE_WAITING_FOR_LOCK, NOTE_ONE_OTHER_LINK, NOTE_OTHER_LINKS,
	NOTE_DIRECTORY_NOT_OPENED, NOTE_SWAPPED_OUT, NOTE_LEFT_BEHIND, NOTE_OUTPUT_LOST,
};

void report_note(const path_char *path, note which, const char *first = nullptr,
                 const char *second = nullptr);

// The warnings on a file patched (or, with --check, that would be).
void report_warnings(const path_char *path, const patch_plan *plan);

// The NOTE_LEFT_BEHIND line made in advance into text (size bytes, always
// terminated), for a signal handler to write as it stands.
void make_left_behind_line(const char *location, char *text, std::size_t size);

// Flushes both streams; returns status, or failed_status when standard
// output could not be written (and says so on standard error): a message
// lost is a failure of the run.
int finish_output(int status, int failed_status);

#endif

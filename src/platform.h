// platform.h - everything the tool needs of the operating system, and only
// that: opening the input, the temporary file "$$out$$.stp" in the working
// directory, and putting the finished result in the input's place.
//
// Calling sequence for one run:
//   begin_run            standard output made byte-exact
//   lock_working_directory   one run at a time uses "$$out$$.stp" here
//   open_input           the file to patch; regular files only
//   is_temporary_file    refuse an input that is "$$out$$.stp" itself
//   create_temporary     a fresh "$$out$$.stp", exclusively created
//   commit_temporary     data on disk, stream closed
//   replace_input        the result takes the input's place in one step
// On a failure before replace_input, discard_temporary removes the
// incomplete file. When replace_input fails, the input is untouched and
// its result says whether the complete result stays in "$$out$$.stp" for the
// user to recover.
//
// Every function reports failure through its result and, before returning
// it, records what failed and the system's reason in last_failure for the
// driver to report. None prints to standard output; notes and warnings a
// user should see (waiting for a lock, a directory that could not be
// synced) go to standard error through report.h.
#ifndef MORVET_PLATFORM_H
#define MORVET_PLATFORM_H

#include <cstddef>
#include <cstdio>

#ifdef _WIN32
#include <windows.h>
// Paths stay in the form Windows gives them, so any name the user can type
// can be opened and shown back.
typedef wchar_t path_char;
#else
#include <sys/stat.h>
#include <sys/types.h>
typedef char path_char;
#endif

// The system's reason for a failure: an errno value, or on Windows either
// that or a GetLastError() code.
struct system_error {
	unsigned long code;
	bool from_c_library; // code is an errno value
};

// What the last failing platform function was doing, and why it failed.
struct platform_failure {
	const char *what;     // "can't create the temporary file", ...
	bool about_temporary; // the failure concerns "$$out$$.stp", not the input
	system_error error;
};
extern platform_failure last_failure;

// Records a failure with the system's last error (errno on POSIX,
// GetLastError() on Windows), read before anything can change it.
void record_failure(const char *what, bool about_temporary);

// Records a failure of a C library call, whose reason is always in errno.
void record_c_library_failure(const char *what, bool about_temporary);

// The system's description of error, as UTF-8 text without a trailing line
// end, in text (size bytes, always terminated).
void describe_error(system_error error, char *text, std::size_t size);

struct input_file {
	std::FILE *stream;      // open for reading in binary mode
	const path_char *target; // path the result replaces (a link resolved)
#ifdef _WIN32
	BY_HANDLE_FILE_INFORMATION identity;
#else
	const path_char *given;  // the path as the user gave it
	struct stat status;      // as opened: identity, size, times, permissions
	int directory;           // the target's directory, held from the open on
	const char *name;        // the target's name in that directory
	int descriptor;          // the input, kept past close_input for its metadata
#endif
};

// Prepares the process: messages go to standard output byte for byte, with
// no line-end translation.
void begin_run();

// Opens path for reading. Fails for anything but a regular file (or a link
// to one), so a directory, FIFO or device is never read or replaced.
bool open_input(const path_char *path, input_file *input);

// Waits until no other run uses this working directory's temporary file,
// then holds it until the process ends.
bool lock_working_directory();

// True when the input is the temporary file under any name or link.
bool is_temporary_file(const input_file *input);

// Removes whatever stands at the temporary name (never following a link
// there) and creates the file anew, exclusively, readable by its owner
// alone where the system allows: the input's permissions reach the result
// only as it takes the input's place. The stream is open for reading and
// writing, binary mode.
std::FILE *create_temporary(const input_file *input);

// Asks the system to start writing what the stream holds to the disk, and
// returns at once, so the disk works while the run computes the CRC and the
// final sync has less left to wait for. Only a hint: where the system has
// no such request it does nothing, and nothing here reports a failure
// (commit_temporary's sync does).
void start_writing_back(std::FILE *temporary);

// Flushes the stream, forces its data to the disk and closes it.
bool commit_temporary(std::FILE *temporary);

// Closes the stream if there is one and removes the incomplete file.
void discard_temporary(std::FILE *temporary);

// Closes the input after it has been read.
void close_input(input_file *input);

// Lets go of everything the run still holds of one file (its directory,
// the temporary file's descriptor), once it is done with, however it ended:
// a run over many files must not run out of descriptors or handles.
void release_input(input_file *input);

enum replace_result {
	REPLACED,                  // the input's path names the complete result
	REPLACED_NOT_SYNCED,       // it does, but its directory could not be synced
	REPLACE_FAILED,            // input untouched, nothing of this run left
	REPLACE_FAILED_RESULT_KEPT, // input untouched, "$$out$$.stp" holds the result
	REPLACE_INPUT_CHANGED,     // the input changed while it was read; untouched
};

// Moves the committed temporary file onto the input's path so that the path
// names either the old file or the complete new one at every moment, also
// when the working directory lies on another filesystem.
replace_result replace_input(const input_file *input);

// True for the platform's own way of asking for help ("/?" on Windows).
bool is_help_option(const path_char *argument);

// Calls visit once for each file a command-line argument names, in order.
// On Windows, where the shell leaves wildcards to the program, an argument
// whose last component holds * or ? names the matching files (hidden ones
// too, never directories or "$$out$$.stp"), sorted by name without regard
// to letter case; a pattern that matches nothing returns false, with the
// cause recorded. Everywhere else, and for any other argument, the argument
// itself is the one file.
typedef void (*file_visitor)(const path_char *path, void *context);
bool expand_argument(const path_char *argument, file_visitor visit, void *context);

// Writes a path to stream (standard output or error) the way the user typed
// it: on a Windows console as typed, elsewhere in UTF-8.
void write_path(const path_char *path, std::FILE *stream);

// Writes the absolute path of "$$out$$.stp" in the working directory to
// stream, as write_path does.
void write_temporary_location(std::FILE *stream);

#endif

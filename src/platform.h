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
// incomplete file. When replace_input fails, the complete result stays in
// "$$out$$.stp" for the user to recover and the input is untouched.
//
// Every function reports failure through its result; none prints.
#ifndef MORVET_PLATFORM_H
#define MORVET_PLATFORM_H

#include <cstdio>

#ifdef _WIN32
#include <windows.h>
// Paths stay in the form Windows gives them, so any name the user can type
// can be opened and shown back.
typedef wchar_t path_char;
#else
#include <sys/types.h>
typedef char path_char;
#endif

struct input_file {
	std::FILE *stream;      // open for reading in binary mode
	const path_char *target; // path the result replaces (a link resolved)
#ifdef _WIN32
	BY_HANDLE_FILE_INFORMATION identity;
#else
	dev_t device;
	ino_t inode;
	mode_t mode;
	uid_t owner;
	gid_t group;
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
// there) and creates the file anew, exclusively, with the input's
// permissions. The stream is open for reading and writing, binary mode.
std::FILE *create_temporary(const input_file *input);

// Flushes the stream, forces its data to the disk and closes it.
bool commit_temporary(std::FILE *temporary);

// Closes the stream if there is one and removes the incomplete file.
void discard_temporary(std::FILE *temporary);

// Moves the committed temporary file onto the input's path so that the path
// names either the old file or the complete new one at every moment, also
// when the working directory lies on another filesystem.
bool replace_input(const input_file *input);

// Writes a path to standard output the way the user typed it.
void print_path(const path_char *path);

#endif

// platform.h - everything the tool needs of the operating system, and only
// that. The patch logic reads the same on every system; what differs lives
// behind these functions, in platform_posix.cpp and platform_windows.cpp.
//
// Calling sequence for one run:
//   begin_run               output made byte-exact, signals handled
//   lock_working_directory  one run at a time uses "$$out$$.stp" here
// and for each file:
//   open_input              the file; regular files only
//   guard_input             (when patching) refuse a file being written
//   is_temporary_file       refuse an input that is "$$out$$.stp" itself
//   hold_temporary          a fresh temporary file, exclusively created
//   write_temporary, copy_in_kernel   the result, in pieces
//   commit_temporary        the result made durable and put in the
//                           input's place in one step
//   rollback_temporary      on every path: removes what is incomplete
//   close_input
//
// A function that fails says so in its result and records in *why the step
// that failed and the system's reason, at the call that failed; nothing is
// kept in a global for later. None writes to standard output or error
// except through report.h (notes a user should see, such as a wait for
// another run).
#ifndef MORVET_PLATFORM_H
#define MORVET_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#if _WIN32_WINNT < 0x0602
// Windows 8's 128-bit file identity, which headers for Windows 7 lack; the
// program asks for it at run time, where the volume has one.
typedef struct _FILE_ID_INFO {
	ULONGLONG VolumeSerialNumber;
	FILE_ID_128 FileId;
} FILE_ID_INFO;
#endif
// Paths stay in the form Windows gives them, so any name the user can type
// can be opened and shown back.
typedef wchar_t path_char;
#else
#include <sys/stat.h>
#include <sys/types.h>
typedef char path_char;
#endif

// The temporary file's name in the working directory.
extern const path_char temporary_name[];

// ---- Failures

// The system's reason for a failure: an errno value, or on Windows either
// that or a GetLastError() code.
struct system_error {
	unsigned long code;
	bool from_c_library; // code is an errno value
};

// What was being done when a call failed; report.cpp words each step.
enum failed_step {
	FAILED_NOTHING,
	FAILED_OPEN,
	FAILED_RESOLVE_LINK,
	FAILED_NOT_REGULAR,
	FAILED_READ,
	FAILED_CHECK_STILL_SAME,   // (--diff) the input could not be looked at again
	FAILED_LOCK,
	FAILED_REMOVE_OLD_TEMPORARY,
	FAILED_OTHERS_TEMPORARY,    // (POSIX) "$$out$$.stp" is another user's: left alone
	FAILED_CREATE_TEMPORARY,
	FAILED_WRITE_TEMPORARY,
	FAILED_SYNC_TEMPORARY,
	FAILED_READ_ATTRIBUTES,     // extended attributes (POSIX), attributes (Windows)
	FAILED_ATTRIBUTES_TOO_LARGE,
	FAILED_SET_ATTRIBUTES,
	FAILED_READ_PERMISSIONS,
	FAILED_SET_PERMISSIONS,
	FAILED_SET_OWNER,
	FAILED_CHECK_INPUT,         // looking at the input again before replacing it
	FAILED_NAME_BESIDE,         // giving the result its name beside the input
	FAILED_CREATE_BESIDE,
	FAILED_WRITE_BESIDE,
	FAILED_READ_RESULT,
	FAILED_REPLACE,
	FAILED_OPEN_DIRECTORY,      // to sync it
	FAILED_SYNC_DIRECTORY,
	FAILED_COPY_STREAMS,        // (Windows) the input's named streams
};

struct failure {
	failed_step step;
	system_error error;
};

// True when a complete result that could not take the input's place is
// worth keeping in "$$out$$.stp" for the user: the failure was the placing
// itself (no right to write the input's directory, the input held by
// another program). After any other failure (a sync, the input's
// metadata, a check) the result goes, as after a failed write: one not
// known to be on the disk must not be offered, nor stand in the way of
// the next run.
inline bool result_worth_keeping(const failure *why)
{
	return why->step == FAILED_NAME_BESIDE || why->step == FAILED_CREATE_BESIDE ||
	       why->step == FAILED_REPLACE;
}

// Records step with the system's last error (errno on POSIX, GetLastError()
// on Windows), read before anything can change it.
void record_failure(failure *why, failed_step step);

// True when an open_input that failed as why says found nothing it could
// ever read at the path: no file, one this user may not read, a link, or
// no regular file. Not for a failure that may pass (no descriptors or
// memory left, an I/O error, a file another program holds).
bool found_nothing_to_read(const failure *why);

// The system's description of error, as UTF-8 text without a trailing line
// end, in text (size bytes, always terminated).
void describe_error(system_error error, char *text, std::size_t size);

// ---- The run and its output

// Prepares the process: standard output and error take bytes as they are
// (no line-end translation); a broken pipe is an output failure like any
// other, never the end of the run; every signal whose default would end
// the process first removes this run's incomplete files.
void begin_run();

// Writes length bytes of UTF-8 text to stream (standard output or error):
// on a Windows console as the characters they are, elsewhere as bytes.
// Errors stay recorded on the stream, for finish_output in report.h.
void write_text(std::FILE *stream, const char *text, std::size_t length);

// Where standard output and error go. same: both reach one terminal, file
// or pipe (on Windows before 10, two pipes count as apart);
// terminal: standard output is a terminal; alone: (Windows) the console is
// this process's alone, as when it was started from Explorer.
struct output_streams {
	bool same, terminal, alone;
};
output_streams look_at_output();

// (Windows) Asks the user to press a key, and waits for one: a console of
// the program's own closes when it ends.
void wait_for_key();

// The path as UTF-8 text, valid until the next call (on POSIX the path
// itself).
const char *path_text(const path_char *path);

// The absolute path of "$$out$$.stp" in the working directory, as UTF-8
// text valid until the next call; "$$out$$.stp" when it cannot be known.
const char *temporary_location();

// ---- The command line

// The option argument stands for in the platform's own spelling: on
// Windows "/" and letters ("/?", "/h", "/help", "/check", "/diff", any
// other an unknown option); else the argument itself.
const path_char *option_spelling(const path_char *argument);

// Calls visit once for each file a command-line argument names, in order.
// On Windows, where the shell leaves wildcards to the program, an argument
// whose last component holds * or ? names the matching files (hidden ones
// too, never directories or "$$out$$.stp"): the directory is read once,
// the long names are matched against the pattern without regard to letter
// case, and sorted the same way. A pattern that matches nothing returns
// false with *why recorded. Everywhere else, and for any other argument,
// the argument itself is the one file.
typedef void (*file_visitor)(const path_char *path, void *context);
bool expand_argument(const path_char *argument, file_visitor visit, void *context,
                     failure *why);

// True when path names the working directory's "$$out$$.stp", under any
// name or link.
bool names_temporary_file(const path_char *path);

// ---- The working directory's lock

enum lock_result {
	LOCK_HELD,       // until the process ends, however it ends
	LOCK_UNAVAILABLE, // this directory cannot be locked here: runs are not kept apart
	LOCK_FAILED,     // *why says why
};

// Waits until no other run uses this working directory's temporary file,
// then holds it until the process ends; says so on standard error when the
// wait is long, and gives up after 30 seconds (LOCK_FAILED). Only a process
// that may write the directory can make a run wait (on Linux; where
// another holds the lock, the run goes on unlocked: LOCK_UNAVAILABLE).
lock_result lock_working_directory(failure *why);

// ---- The input

struct input_file {
	const path_char *given;  // the path as the user gave it
	const path_char *target; // the path the result replaces (a link resolved)
	std::uint64_t size;      // as opened
	unsigned long links;     // names the file has, as opened
	bool linked;             // path is a symbolic link (the file is what it points to)
#ifdef _WIN32
	HANDLE handle;
	BY_HANDLE_FILE_INFORMATION identity;
	FILE_ID_INFO long_identity; // the 128-bit identity, where the volume has one
	bool has_long_identity;
	LARGE_INTEGER change_time;
#else
	int descriptor;          // open for reading
	int directory;           // the target's directory, held from the open on
	const char *name;        // the target's name in that directory
	struct stat status;      // as opened: identity, size, times, permissions
	bool leased;             // a read lease tells if anyone opens it for writing
#endif
};

// Opens path for reading. Fails for anything but a regular file (or a link
// to one), so a directory, FIFO or device is never read or replaced. One
// input at a time: the paths in *input live in this layer's storage,
// which the next open_input reuses.
bool open_input(const path_char *path, input_file *input, failure *why);

// Reads up to size bytes at offset into buffer; *got is 0 only at the end
// of the file. A read error is never taken for the end.
bool read_input(input_file *input, std::uint64_t offset, unsigned char *buffer,
                std::size_t size, std::size_t *got, failure *why);

enum guard_result {
	GUARD_HELD,          // another program opening it for writing will be seen
	GUARD_UNAVAILABLE,   // the system cannot tell here; the identity check remains
	GUARD_WRITER,        // another program has it open for writing now
	GUARD_ENCRYPTED,     // (Windows) no plaintext copy of it may be made
};

// Before patching: asks the system to tell this run when another program
// opens the input for writing, from now until the replacement (on Linux, a
// read lease). A program that already has it open for writing makes this
// return GUARD_WRITER. On Windows the input's sharing mode already keeps
// writers out: GUARD_HELD, or GUARD_ENCRYPTED for an encrypted file whose
// result could not be made encrypted from its first byte.
guard_result guard_input(input_file *input);

// True when the input's path still names the file that was opened, with
// the size, modification and change times it had then.
bool input_unchanged(const input_file *input, failure *why);

// True when the input is the temporary file under any name or link.
bool is_temporary_file(const input_file *input);

// Closes the input and lets go of everything held for it (its directory,
// a lease): a run over many files must not run out of descriptors. Also
// for a zeroed input_file that open_input never saw, which holds nothing.
void close_input(input_file *input);

// ---- The temporary file

struct temporary_file {
	bool held;           // created by this run and not yet committed or removed
#ifdef _WIN32
	HANDLE handle;
	HANDLE beside;       // the copy beside an input on another volume
	DWORD access;        // what handle may do: WRITE_DAC only where granted
#else
	int descriptor;
	dev_t device;        // its identity, so that a name is only ever
	ino_t inode;         // removed while it is ours
	int named_in;        // directory of the name it has: -1 the working directory
	bool beside_input;   // created beside the input from the start
	std::uint64_t written; // its length so far
	std::uint64_t written_back; // and how much of it is on its way to the disk
#endif
};

// Creates the temporary file anew, exclusively, readable by its owner alone
// where the system allows: the input's permissions reach the result only as
// it takes the input's place. Whatever stands at the temporary name is
// removed first (never followed, if it is a link), unless another user owns
// it (POSIX): then this fails, and it stays. Where the working
// directory and the input lie on different filesystems, the file may
// instead be created under a fresh hidden name beside the input, so that
// the result need not be copied there.
bool hold_temporary(temporary_file *temporary, const input_file *input, failure *why);

// Appends length bytes to the temporary file. (Both this and
// copy_in_kernel send the result to the disk a few mebibytes at a time as
// it grows, on Linux, so that commit_temporary's sync waits for little.)
bool write_temporary(temporary_file *temporary, const unsigned char *data, std::size_t length,
                     failure *why);

// Appends up to length bytes of the input from offset to the temporary
// file inside the kernel, without passing them through this process, and
// says in *copied how many; 0 where the system cannot copy between these
// two files (or the input ends), and the caller copies through a buffer.
bool copy_in_kernel(temporary_file *temporary, input_file *input, std::uint64_t offset,
                    std::uint64_t length, std::uint64_t *copied, failure *why);

enum replace_result {
	REPLACED,                   // the input's path names the complete result
	REPLACED_NOT_SYNCED,        // it does, but its directory could not be synced
	REPLACE_FAILED,             // input untouched, nothing of this run left
	REPLACE_FAILED_RESULT_KEPT, // input untouched, "$$out$$.stp" holds the result
	REPLACE_INPUT_CHANGED,      // another program changed the input: untouched
	REPLACE_INPUT_WRITTEN,      // another program opened it for writing: untouched
	REPLACE_OWNER_NOT_KEPT,     // (POSIX) the result cannot have its owner and group:
	                            // untouched, nothing of this run left
};

// Makes the complete result durable with the input's owner, permissions and
// attributes, and puts it in the input's place so that the path names
// either the old file or the complete new one at every moment, also when
// the working directory lies on another filesystem. The input must still
// be the file that was read, unchanged, and not open for writing by another
// program; otherwise it is left as the other program made it. On Linux,
// without a lease, what the exchange moved out is read back and compared
// with what was read: the ranges copy_in_kernel copied byte for byte with
// the result, the rest by a digest under a key drawn for the run.
replace_result commit_temporary(temporary_file *temporary, input_file *input, failure *why);

// Removes the temporary file unless it was committed or its result is
// kept; safe to call on every path, any number of times, and on a zeroed
// temporary_file that hold_temporary never saw.
void rollback_temporary(temporary_file *temporary);

#endif

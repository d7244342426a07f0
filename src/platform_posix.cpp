// platform_posix.cpp - the platform layer on Linux and other POSIX systems.
//
// The input is opened through a descriptor of its directory, taken once, so
// the file read, the file checked for changes and the file replaced are one
// and the same even if a link or a directory on the way is swapped mid-run.
// On Linux a read lease on the input tells the run when another program
// opens it for writing; a file already open for writing is refused.
//
// The temporary file is created owner-only with O_EXCL|O_NOFOLLOW after
// removing any old entry, so nothing planted at "$$out$$.stp" can redirect
// the write or be read early; the run keeps its descriptor to the end. To
// replace the input, the result is first moved beside it under a fresh
// hidden name, and that name is checked to hold this run's open file (if
// another file was put at "$$out$$.stp" meanwhile, it is moved back and the
// result is copied from the descriptor instead). Where the working
// directory lies on another filesystem the result is written beside the
// input from the start, or copied there. Only beside the input does it get
// the input's owner, permissions and extended attributes (a file whose
// owner or group this user cannot give it is refused); then one fsync
// makes data and metadata durable (an unnamed file's before it is named),
// the input is checked once more, and the result takes its place by an
// exchange (renameat2 RENAME_EXCHANGE), after which what was swapped out
// must be the very file that was read, unchanged and not opened for writing
// meanwhile, or it is swapped back. A sync of the directory makes the
// replacement hold across a power cut. No step needs /proc.
#include "platform.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/xattr.h>
#endif

#include "report.h"

const char temporary_name[] = "$$out$$.stp";

namespace {

// Records step with the system's last error: false, for the caller to
// return.
bool fail(failure *why, failed_step step)
{
	record_failure(why, step);
	return false;
}

// The same, for a replacement.
replace_result replace_failed(failure *why, failed_step step)
{
	record_failure(why, step);
	return REPLACE_FAILED;
}

char working_directory[PATH_MAX];
char location[PATH_MAX + 64];
char resolved_target[PATH_MAX];
char directory_path[PATH_MAX];
unsigned char copy_block[524288]; // in halves when the input is compared with the result

// ---- What a signal handler removes
//
// The files this run would leave incomplete if it were interrupted: its
// "$$out$$.stp" (removed only while the name is still its file) and the
// result beside the input until it has taken the input's place. They are
// set with the cleanup signals held back, so the handler never sees a file
// created but not recorded. The lines naming a file the handler could not
// remove are made in advance: a handler may not format text.
volatile std::sig_atomic_t temporary_active = 0;
struct stat temporary_status; // its identity
char temporary_left_line[PATH_MAX + 128];

volatile std::sig_atomic_t beside_active = 0;
int beside_directory = -1;
char beside_name[32];
char beside_location[PATH_MAX + 64];
char beside_left_line[PATH_MAX + 128];

// One file: the same device and inode.
bool same_file(const struct stat &a, const struct stat &b)
{
	return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Removes "$$out$$.stp" if it still is the file this run created; anything
// someone else put there since is theirs and stays. Safe in a signal
// handler. False only when this run's file is there and cannot be removed.
bool remove_own_temporary()
{
	struct stat status;
	if (fstatat(AT_FDCWD, temporary_name, &status, AT_SYMLINK_NOFOLLOW) != 0)
		return errno == ENOENT;
	if (!same_file(status, temporary_status))
		return true;
	return unlinkat(AT_FDCWD, temporary_name, 0) == 0 || errno == ENOENT;
}

bool remove_beside()
{
	return unlinkat(beside_directory, beside_name, 0) == 0 || errno == ENOENT;
}

void write_left_line(const char *line)
{
	ssize_t ignored = write(STDERR_FILENO, line, std::strlen(line));
	(void)ignored;
}

#if defined(__linux__) && defined(SYS_rt_sigaction) && defined(SYS_rt_sigprocmask)
// The C library keeps the first real-time signals for its threads (glibc
// 32 and 33, below SIGRTMIN): it refuses them to sigaction and leaves them
// out of sigfillset, yet sent from outside they end this one-thread process
// like any other. For them the kernel is asked directly. Its record of an
// action differs between machines, so it is only ever copied whole: the
// default is all zero, and the handler is given as the C library set it up
// for another signal, its return trampoline included.
#define KERNEL_SIGNALS 1
const int first_kernel_realtime = 32;

struct kernel_action {
	alignas(16) unsigned char bytes[128];
};

long kernel_sigaction(int signal_number, const kernel_action *action, kernel_action *previous)
{
	return syscall(SYS_rt_sigaction, signal_number, action, previous, _NSIG / 8);
}
#endif

extern "C" void remove_incomplete_and_die(int signal_number)
{
	int saved = errno;
	if (temporary_active && !remove_own_temporary())
		write_left_line(temporary_left_line);
	if (beside_active && !remove_beside())
		write_left_line(beside_left_line);
	errno = saved;
	if (std::signal(signal_number, SIG_DFL) != SIG_ERR) {
		(void)std::raise(signal_number);
		return;
	}
#ifdef KERNEL_SIGNALS
	// One the C library keeps: it will not raise it either.
	const kernel_action by_default = {};
	(void)kernel_sigaction(signal_number, &by_default, nullptr);
	(void)kill(getpid(), signal_number);
#endif
}

// Every catchable signal whose default action ends the process, but the
// real-time ones.
const int cleanup_signals[] = {
	SIGHUP, SIGINT, SIGQUIT, SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGUSR1, SIGSEGV,
	SIGUSR2, SIGALRM, SIGTERM, SIGXCPU, SIGVTALRM, SIGPROF, SIGSYS,
#ifdef SIGSTKFLT
	SIGSTKFLT,
#endif
#ifdef SIGIO
	SIGIO,
#endif
#ifdef SIGPWR
	SIGPWR,
#endif
};

// True when the handler is installed. Ignored signals stay ignored (a
// script that started us with nohup expects exactly that), and a handler
// already there (a sanitizer's) is left to do its work.
bool install_cleanup_handler(int signal_number)
{
	struct sigaction action = {};
	action.sa_handler = remove_incomplete_and_die;
	sigemptyset(&action.sa_mask);
	struct sigaction previous;
	if (sigaction(signal_number, nullptr, &previous) != 0 || previous.sa_handler != SIG_DFL)
		return false;
	return sigaction(signal_number, &action, nullptr) == 0;
}

void install_cleanup_handlers()
{
	int model = 0; // a signal that has the handler
	for (int signal_number : cleanup_signals) {
		if (install_cleanup_handler(signal_number) && model == 0)
			model = signal_number;
	}
#ifdef SIGRTMIN
	for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number)
		(void)install_cleanup_handler(signal_number);
#endif
#ifdef KERNEL_SIGNALS
	kernel_action handled = {};
	if (model == 0 || kernel_sigaction(model, nullptr, &handled) != 0)
		return;
	for (int signal_number = first_kernel_realtime; signal_number < SIGRTMIN; ++signal_number) {
		kernel_action current = {};
		const kernel_action by_default = {};
		if (kernel_sigaction(signal_number, nullptr, &current) == 0 &&
		    std::memcmp(&current, &by_default, sizeof current) == 0)
			(void)kernel_sigaction(signal_number, &handled, nullptr);
	}
#endif
}

// Creating a file and recording that it must be cleaned up happen with the
// signals held back, or a signal between the two would leave the new file
// behind; so do the steps of the replacement. All of them: the C library's
// own included (its sigfillset leaves them out). Returns the mask that
// release_signals sets back.
sigset_t hold_signals()
{
	sigset_t all, previous;
#ifdef KERNEL_SIGNALS
	std::memset(&all, 0xff, sizeof all);
	(void)syscall(SYS_rt_sigprocmask, SIG_BLOCK, &all, &previous, _NSIG / 8);
#else
	sigfillset(&all);
	(void)sigprocmask(SIG_BLOCK, &all, &previous);
#endif
	return previous;
}

void release_signals(const sigset_t &previous)
{
#ifdef KERNEL_SIGNALS
	(void)syscall(SYS_rt_sigprocmask, SIG_SETMASK, &previous, nullptr, _NSIG / 8);
#else
	(void)sigprocmask(SIG_SETMASK, &previous, nullptr);
#endif
}

// ---- Paths and names

// The directory part of path, and in *name the part after it.
const char *split_path(const char *path, const char **name)
{
	const char *slash = std::strrchr(path, '/');
	if (slash == nullptr) {
		*name = path;
		return ".";
	}
	// "dir/" names the directory itself, which is then refused as input.
	*name = slash[1] == '\0' ? "." : slash + 1;
	if (slash == path)
		return "/";
	std::size_t length = static_cast<std::size_t>(slash - path);
	if (length >= sizeof directory_path)
		return nullptr;
	std::memcpy(directory_path, path, length);
	directory_path[length] = '\0';
	return directory_path;
}

const char *working_directory_path()
{
	if (getcwd(working_directory, sizeof working_directory) == nullptr)
		return nullptr;
	return working_directory;
}

// "<directory>/<name>", or the name alone when the directory is unknown;
// cut short, never overrun, when text has no room for it all.
const char *place(const char *directory, const char *name, char *text, std::size_t size)
{
	std::size_t length = 0;
	auto append = [&](const char *piece) {
		for (; *piece != '\0' && length + 1 < size; ++piece)
			text[length++] = *piece;
	};
	if (directory != nullptr) {
		append(directory);
		if (!(directory[0] == '/' && directory[1] == '\0'))
			append("/");
	}
	append(name);
	text[length] = '\0';
	return text;
}

// A fresh name for the result beside the input, that no one can have
// guessed.
void make_beside_name()
{
	static unsigned long long state = 0;
	if (state == 0) {
		struct timespec now = {0, 0};
		(void)clock_gettime(CLOCK_REALTIME, &now);
		state = (static_cast<unsigned long long>(getpid()) << 32) ^
		        static_cast<unsigned long long>(now.tv_nsec) ^
		        static_cast<unsigned long long>(now.tv_sec) ^ 1u;
	}
	static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
	char random_part[11];
	for (char &letter : random_part) {
		state = state * 6364136223846793005ULL + 1442695040888963407ULL;
		letter = letters[(state >> 33) % (sizeof letters - 1)];
	}
	random_part[10] = '\0';
	(void)std::snprintf(beside_name, sizeof beside_name, ".morvet-%s", random_part);
}

// Where name lies in the input's directory, as an absolute path.
void place_beside(const input_file *input, const char *name, char *text, std::size_t size)
{
	const char *unused;
	const char *directory = split_path(input->target, &unused);
	if (directory != nullptr && std::strcmp(directory, ".") == 0)
		directory = working_directory_path();
	else if (directory != nullptr && directory[0] != '/' && working_directory_path() != nullptr) {
		char absolute[2 * PATH_MAX];
		place(place(working_directory, directory, absolute, sizeof absolute), name, text, size);
		return;
	}
	place(directory, name, text, size);
}

// Records that the beside name, in the input's directory, holds this run's
// result (with the signals held back); it is now where the result is.
void watch_beside(const input_file *input)
{
	place_beside(input, beside_name, beside_location, sizeof beside_location);
	make_left_behind_line(beside_location, beside_left_line, sizeof beside_left_line);
	std::memcpy(location, beside_location, sizeof beside_location);
	beside_directory = input->directory;
	beside_active = 1;
}

// Puts a file beside the input under a fresh hidden name: a new, empty,
// owner-only one where unnamed is -1, else the open file unnamed, which
// has no name yet, linked there through /proc where the system has it.
// Returns its descriptor, or -1.
int make_beside(const input_file *input, int unnamed)
{
	char descriptor_path[40];
	(void)std::snprintf(descriptor_path, sizeof descriptor_path, "/proc/self/fd/%d", unnamed);
	for (int attempt = 0; attempt < 100; ++attempt) {
		make_beside_name();
		sigset_t held = hold_signals();
		int fd = unnamed;
		if (unnamed < 0)
			fd = openat(input->directory, beside_name,
			            O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
		else if (linkat(AT_FDCWD, descriptor_path, input->directory, beside_name,
		                AT_SYMLINK_FOLLOW) != 0)
			fd = -1;
		if (fd >= 0)
			watch_beside(input);
		release_signals(held);
		if (fd >= 0 || errno != EEXIST)
			return fd;
	}
	return -1;
}

// ---- Identity and times

bool same_time(const struct timespec &a, const struct timespec &b)
{
	return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

#ifdef __APPLE__
#define MODIFIED(status) (status).st_mtimespec
#define CHANGED(status) (status).st_ctimespec
#else
#define MODIFIED(status) (status).st_mtim
#define CHANGED(status) (status).st_ctim
#endif

// The same file, with the size, modification time, owner, permissions and
// names it had: after the exchange, which sets the change time, these are
// what tells of a chmod, chown or new link made in its last instant.
bool same_content(const struct stat &now, const struct stat &then)
{
	return same_file(now, then) && now.st_size == then.st_size &&
	       same_time(MODIFIED(now), MODIFIED(then)) && now.st_mode == then.st_mode &&
	       now.st_uid == then.st_uid && now.st_gid == then.st_gid && now.st_nlink == then.st_nlink;
}

enum input_state { INPUT_UNCHANGED, INPUT_CHANGED, INPUT_WRITTEN, INPUT_UNKNOWN };

// Whether another program opened the input for writing since the lease
// was taken: the kernel then breaks the lease, and it reads as going.
bool lease_broken(const input_file *input)
{
#ifdef F_GETLEASE
	return input->leased && fcntl(input->descriptor, F_GETLEASE) != F_RDLCK;
#else
	(void)input;
	return false;
#endif
}

void release_lease(input_file *input)
{
#ifdef F_SETLEASE
	if (input->leased)
		(void)fcntl(input->descriptor, F_SETLEASE, F_UNLCK);
#endif
	input->leased = false;
}

// Whether the input's path still names the file that was read, as it was:
// another program that saved over it, appended to it, rewrote it in place
// (even putting the old modification time back: the change time tells) or
// renamed another file onto it meanwhile must not lose its data to this run.
input_state check_input(const input_file *input, failure *why)
{
	if (lease_broken(input))
		return INPUT_WRITTEN;
	struct stat now;
	if (fstatat(input->directory, input->name, &now, AT_SYMLINK_NOFOLLOW) != 0) {
		if (errno == ENOENT)
			return INPUT_CHANGED;
		record_failure(why, FAILED_CHECK_INPUT);
		return INPUT_UNKNOWN;
	}
	bool same = same_content(now, input->status) && same_time(CHANGED(now), CHANGED(input->status));
	return same ? INPUT_UNCHANGED : INPUT_CHANGED;
}

// ---- Metadata

#ifdef __linux__
// Extended attributes carry POSIX ACLs and security labels. They are copied
// whole or the replacement fails: a result whose ACL silently went would
// give others access the file denied them. Only what the filesystem or
// this user's rights refuse outright (a label a user may not set, a
// filesystem without attributes) is passed over.
char input_attribute_names[65536];
char result_attribute_names[65536];
char attribute_value[65536];

bool refused_outright(int error)
{
	// ENOTSUP is EOPNOTSUPP on Linux.
	return error == EPERM || error == EACCES || error == ENOTSUP;
}

bool listed(const char *names, ssize_t length, const char *name)
{
	for (const char *entry = names; entry < names + length; entry += std::strlen(entry) + 1) {
		if (std::strcmp(entry, name) == 0)
			return true;
	}
	return false;
}

// A failure to read or write an attribute: too large for the buffers (or
// the filesystem), or any other error.
bool attribute_failure(failure *why, failed_step step)
{
	return fail(why, errno == ERANGE || errno == E2BIG ? FAILED_ATTRIBUTES_TOO_LARGE : step);
}

// Gives the result the input's extended attributes, and drops those the
// result got from its directory that the input lacks (a default ACL there
// would otherwise widen access).
bool copy_attributes(int to, int from, failure *why)
{
	ssize_t input_length = flistxattr(from, input_attribute_names, sizeof input_attribute_names);
	if (input_length < 0) {
		if (!refused_outright(errno))
			return attribute_failure(why, FAILED_READ_ATTRIBUTES);
		input_length = 0;
	}
	ssize_t result_length = flistxattr(to, result_attribute_names, sizeof result_attribute_names);
	if (result_length < 0) {
		if (!refused_outright(errno))
			return attribute_failure(why, FAILED_READ_ATTRIBUTES);
		result_length = 0;
	}
	const char *end = result_attribute_names + result_length;
	for (const char *name = result_attribute_names; name < end; name += std::strlen(name) + 1) {
		if (listed(input_attribute_names, input_length, name))
			continue;
		if (fremovexattr(to, name) != 0 && errno != ENODATA && !refused_outright(errno))
			return attribute_failure(why, FAILED_SET_ATTRIBUTES);
	}
	end = input_attribute_names + input_length;
	for (const char *name = input_attribute_names; name < end; name += std::strlen(name) + 1) {
		ssize_t size = fgetxattr(from, name, attribute_value, sizeof attribute_value);
		if (size < 0) {
			if (errno == ENODATA || refused_outright(errno))
				continue;
			return attribute_failure(why, FAILED_READ_ATTRIBUTES);
		}
		if (fsetxattr(to, name, attribute_value, static_cast<std::size_t>(size), 0) != 0 &&
		    !refused_outright(errno))
			return attribute_failure(why, FAILED_SET_ATTRIBUTES);
	}
	return true;
}
#else
// Other systems' attribute interfaces differ; there the result keeps the
// owner and permissions only.
bool copy_attributes(int, int, failure *)
{
	return true;
}
#endif

// Gives the result, open as fd, the input's owner and group, its extended
// attributes and its permission bits, and makes data and metadata durable
// in one sync. Only root may give a file away, and its owner keep only a
// group it belongs to: a file that would silently become this user's, or
// change group, is refused instead (REPLACE_OWNER_NOT_KEPT). Owner first:
// changing it clears the set-user-ID and set-group-ID bits; the
// permissions last, as setting an ACL rewrites the group bits.
replace_result make_durable(const input_file *input, int fd, failure *why)
{
	struct stat current;
	if (fstat(fd, &current) != 0)
		return replace_failed(why, FAILED_SET_PERMISSIONS);
	const struct stat &wanted = input->status;
	if ((current.st_uid != wanted.st_uid || current.st_gid != wanted.st_gid) &&
	    fchown(fd, wanted.st_uid, wanted.st_gid) != 0) {
		record_failure(why, FAILED_SET_OWNER);
		return errno == EPERM ? REPLACE_OWNER_NOT_KEPT : REPLACE_FAILED;
	}
	if (!copy_attributes(fd, input->descriptor, why))
		return REPLACE_FAILED;
	if (fchmod(fd, wanted.st_mode & 07777) != 0)
		return replace_failed(why, FAILED_SET_PERMISSIONS);
	if (fsync(fd) != 0)
		return replace_failed(why, FAILED_SYNC_TEMPORARY);
	return REPLACED;
}

// ---- The replacement

// Makes the replacement in the input's directory durable. Filesystems that
// cannot sync a directory say so with EINVAL; there the rename is as
// durable as it gets. A directory this user may write and search but not
// read cannot be opened for it at all: the file is patched all the same,
// so that is only worth a note.
bool sync_directory(const input_file *input, failure *why)
{
	int fd = openat(input->directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fd < 0) {
		if (errno == EACCES) {
			report_note(input->given, NOTE_DIRECTORY_NOT_OPENED);
			return true;
		}
		return fail(why, FAILED_OPEN_DIRECTORY);
	}
	bool synced = fsync(fd) == 0 || errno == EINVAL || errno == ENOTSUP;
	if (!synced)
		record_failure(why, FAILED_SYNC_DIRECTORY);
	if (close(fd) != 0 && synced) {
		record_failure(why, FAILED_SYNC_DIRECTORY);
		synced = false;
	}
	return synced;
}

// Swaps the beside name and the input's name; false where that fails.
bool exchange(const input_file *input)
{
#ifdef RENAME_EXCHANGE
	return renameat2(input->directory, beside_name, input->directory, input->name,
	                 RENAME_EXCHANGE) == 0;
#else
	(void)input;
	errno = ENOSYS;
	return false;
#endif
}

// ---- What was read, proven after the exchange
//
// Without a lease nothing tells the run that another program wrote the
// input in the instant between its last check and the exchange, with its
// modification time put back; and the exchange sets the change time itself.
// So what the exchange moved out is read again: where the result copied the
// input (copy_in_kernel), byte for byte against the result; the rest (the
// declarations replaced, the old CRC statement and what followed it, a
// few bytes as a rule) by a SipHash-2-4 digest under a key drawn for the
// run, which no other user can know, taken just before the last check.

struct copied_range {
	std::uint64_t from, length, at; // input bytes from..from+length are the result's at..
};
copied_range copied[plan_max_edits + 1]; // a range between each two of a plan's edits
unsigned copied_count;

#ifdef __linux__
void note_copied(std::uint64_t from, std::uint64_t length, std::uint64_t at)
{
	copied_range *last = copied_count > 0 ? &copied[copied_count - 1] : nullptr;
	if (last != nullptr && last->from + last->length == from && last->at + last->length == at)
		last->length += length;
	else if (copied_count < sizeof copied / sizeof copied[0] &&
	         (last == nullptr || last->from + last->length <= from))
		copied[copied_count++] = {from, length, at};
	// Any other range stays with the rest, in the digest.
}
#endif

std::uint64_t rotate(std::uint64_t x, int bits)
{
	return (x << bits) | (x >> (64 - bits));
}

struct digest {
	std::uint64_t v[4], word, length;
};

void sip_rounds(digest *d, int rounds)
{
	std::uint64_t *v = d->v;
	for (int round = 0; round < rounds; ++round) {
		v[0] += v[1], v[1] = rotate(v[1], 13) ^ v[0], v[0] = rotate(v[0], 32);
		v[2] += v[3], v[3] = rotate(v[3], 16) ^ v[2];
		v[0] += v[3], v[3] = rotate(v[3], 21) ^ v[0];
		v[2] += v[1], v[1] = rotate(v[1], 17) ^ v[2], v[2] = rotate(v[2], 32);
	}
}

void digest_begin(digest *d)
{
	static std::uint64_t key[2];
	static bool drawn = false;
#ifdef __linux__
	drawn = drawn || getrandom(key, sizeof key, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof key);
#endif
	if (!drawn) {
		struct timespec now = {0, 0}; // early in a boot: what no one else sees
		(void)clock_gettime(CLOCK_MONOTONIC, &now);
		key[0] ^= static_cast<std::uint64_t>(now.tv_nsec) << 32 ^ static_cast<std::uint64_t>(getpid());
		key[1] ^= reinterpret_cast<std::uintptr_t>(&now);
	}
	drawn = true;
	*d = digest{{key[0] ^ 0x736f6d6570736575ULL, key[1] ^ 0x646f72616e646f6dULL,
	             key[0] ^ 0x6c7967656e657261ULL, key[1] ^ 0x7465646279746573ULL}, 0, 0};
}

void digest_bytes(digest *d, const unsigned char *data, std::size_t length)
{
	for (std::size_t i = 0; i < length; ++i) {
		d->word |= static_cast<std::uint64_t>(data[i]) << (8 * (d->length & 7));
		if ((++d->length & 7) == 0) {
			d->v[3] ^= d->word;
			sip_rounds(d, 2);
			d->v[0] ^= d->word;
			d->word = 0;
		}
	}
}

std::uint64_t digest_end(digest *d)
{
	std::uint64_t last = d->word | d->length << 56;
	d->v[3] ^= last;
	sip_rounds(d, 2);
	d->v[0] ^= last;
	d->v[2] ^= 0xff;
	sip_rounds(d, 4);
	return d->v[0] ^ d->v[1] ^ d->v[2] ^ d->v[3];
}

// Reads length bytes at offset from fd into buffer: INPUT_CHANGED when the
// file ends before them.
input_state read_back(int fd, unsigned char *buffer, std::size_t length, std::uint64_t offset,
                      failure *why)
{
	ssize_t got = pread(fd, buffer, length, static_cast<off_t>(offset));
	if (got < 0)
		record_failure(why, FAILED_CHECK_INPUT);
	return got < 0 ? INPUT_UNKNOWN
	       : static_cast<std::size_t>(got) == length ? INPUT_UNCHANGED : INPUT_CHANGED;
}

const std::size_t half_block = sizeof copy_block / 2;

// Reads the input's file again through its descriptor: the bytes the
// result did not copy into a digest, in *rest, and with result an open
// result (not -1) the copied ranges compared byte for byte with what it
// holds of them.
input_state read_again(const input_file *input, int result, std::uint64_t *rest, failure *why)
{
	unsigned char *theirs = copy_block, *ours = copy_block + half_block;
	digest d;
	digest_begin(&d);
	std::uint64_t at = 0;
	for (unsigned i = 0; i <= copied_count; ++i) {
		// After the last range, the rest up to the end.
		copied_range range = i < copied_count ? copied[i] : copied_range{input->size, 0, 0};
		for (std::size_t piece; at < range.from; at += piece) {
			piece = range.from - at < half_block ? static_cast<std::size_t>(range.from - at)
			                                     : half_block;
			input_state state = read_back(input->descriptor, theirs, piece, at, why);
			if (state != INPUT_UNCHANGED)
				return state;
			digest_bytes(&d, theirs, piece);
		}
		for (std::uint64_t done = 0, piece; result >= 0 && done < range.length; done += piece) {
			piece = range.length - done < half_block ? range.length - done : half_block;
			input_state state = read_back(input->descriptor, theirs, piece, range.from + done, why);
			if (state == INPUT_UNCHANGED)
				state = read_back(result, ours, piece, range.at + done, why);
			if (state == INPUT_UNCHANGED && std::memcmp(theirs, ours, piece) != 0)
				state = INPUT_CHANGED;
			if (state != INPUT_UNCHANGED)
				return state;
		}
		at = range.from + range.length;
	}
	*rest = digest_end(&d);
	return INPUT_UNCHANGED;
}

// What a finding about the input means for its replacement.
replace_result replacement_for(input_state state)
{
	return state == INPUT_UNCHANGED ? REPLACED
	       : state == INPUT_CHANGED ? REPLACE_INPUT_CHANGED
	       : state == INPUT_WRITTEN ? REPLACE_INPUT_WRITTEN
	                                : REPLACE_FAILED; // it could not be looked at
}

bool copy_contents(int from, int to, failure *why);

// Without a lease, a program that still held the old file open wrote to it
// after it was proven and before it was removed. A removed file cannot be
// named again: a copy of what it holds takes the input's path back, made
// as the result was. Where that fails, a whole copy stays beside it
// (*theirs_left), and an incomplete one goes (*left: it could not).
replace_result put_back_copy(input_file *input, bool *theirs_left, bool *left, failure *why)
{
	int to = make_beside(input, -1);
	if (to < 0)
		return replace_failed(why, FAILED_CREATE_BESIDE);
	bool whole = copy_contents(input->descriptor, to, why);
	replace_result made = whole ? make_durable(input, to, why) : REPLACE_FAILED;
	(void)close(to); // synced, or no longer wanted
	if (made == REPLACED &&
	    renameat(input->directory, beside_name, input->directory, input->name) != 0)
		made = replace_failed(why, FAILED_REPLACE);
	beside_active = 0;
	if (made == REPLACED)
		return sync_directory(input, why) ? REPLACE_INPUT_CHANGED : REPLACE_FAILED;
	*theirs_left = whole;
	*left = !whole && !remove_beside();
	return REPLACE_FAILED;
}

// The result, open as fd and named beside the input, takes the input's
// place. The signals are held back throughout: once the exchange is made,
// only this code knows which of the two names holds which file.
replace_result swap_into_place(input_file *input, int fd, failure *why)
{
	sigset_t held = hold_signals();
	std::uint64_t rest = 0;
	input_state before = input->leased ? INPUT_UNCHANGED : read_again(input, -1, &rest, why);
	replace_result result =
		replacement_for(before == INPUT_UNCHANGED ? check_input(input, why) : before);
	bool old_left = false, theirs_left = false; // a file the user is told of
	if (result == REPLACED && exchange(input)) {
		// What was swapped out must be the file read, unchanged, and no one
		// may have opened it for writing since: a write that went to it
		// would be lost with it.
		struct stat swapped;
		bool same = fstatat(input->directory, beside_name, &swapped, AT_SYMLINK_NOFOLLOW) == 0 &&
		            same_content(swapped, input->status);
		input_state out = lease_broken(input) ? INPUT_WRITTEN : same ? INPUT_UNCHANGED : INPUT_CHANGED;
		std::uint64_t now = rest;
		if (out == INPUT_UNCHANGED && !input->leased)
			out = read_again(input, fd, &now, why);
		if (out == INPUT_UNCHANGED && now != rest)
			out = INPUT_CHANGED;
		result = replacement_for(out);
		if (result == REPLACED) {
			// The old file goes; failing that, the user is told where it is.
			beside_active = 0;
			old_left = unlinkat(input->directory, beside_name, 0) != 0 && errno != ENOENT;
			struct stat last;
			if (!old_left && !input->leased && fstat(input->descriptor, &last) == 0 &&
			    (last.st_size != swapped.st_size || !same_time(MODIFIED(last), MODIFIED(swapped))))
				result = put_back_copy(input, &theirs_left, &old_left, why);
		} else if (!exchange(input)) {
			// The other program's file now waits at the hidden name, and
			// this run's result stands at the input's path: neither is
			// removed, and the user is told where the other one is.
			beside_active = 0;
			theirs_left = true;
			result = replace_failed(why, FAILED_REPLACE);
		}
	} else if (result == REPLACED && errno == ENOENT) {
		// The input's name no longer stands: another program removed or
		// moved it.
		result = REPLACE_INPUT_CHANGED;
	} else if (result == REPLACED) {
		// Where the kernel or the filesystem has no exchange, the check just
		// made, then the rename, as close together as they can be. Any
		// other failure: the input's name may not be replaced.
		bool no_exchange = errno == EINVAL || errno == ENOSYS || errno == ENOTSUP;
		if (no_exchange &&
		    renameat(input->directory, beside_name, input->directory, input->name) == 0)
			beside_active = 0;
		else
			result = replace_failed(why, FAILED_REPLACE);
	}
	release_signals(held);
	release_lease(input);
	if (old_left) // the file's old content: named with the file
		report_note(input->given, NOTE_LEFT_BEHIND, beside_location);
	if (theirs_left)
		report_note(input->given, NOTE_SWAPPED_OUT, beside_location);
	if (result != REPLACED)
		return result; // the result beside the input is the caller's to keep or remove
	return sync_directory(input, why) ? REPLACED : REPLACED_NOT_SYNCED;
}

bool write_all(int fd, const unsigned char *data, std::size_t length, failure *why,
               failed_step step)
{
	while (length > 0) {
		ssize_t written = write(fd, data, length);
		if (written < 0 && errno == EINTR)
			continue;
		if (written < 0)
			return fail(why, step);
		data += written;
		length -= static_cast<std::size_t>(written);
	}
	return true;
}

bool copy_contents(int from, int to, failure *why)
{
	off_t offset = 0;
	for (;;) {
		ssize_t got = pread(from, copy_block, sizeof copy_block, offset);
		if (got < 0 && errno == EINTR)
			continue;
		if (got < 0)
			return fail(why, FAILED_READ_RESULT);
		if (got == 0)
			return true;
		if (!write_all(to, copy_block, static_cast<std::size_t>(got), why, FAILED_WRITE_BESIDE))
			return false;
		offset += got;
	}
}

// Makes the result beside the input durable and puts it in the input's
// place. On a failure the result stays beside the input, for
// rollback_temporary to remove.
replace_result finish_beside(input_file *input, int fd, failure *why)
{
	replace_result result = make_durable(input, fd, why);
	return result == REPLACED ? swap_into_place(input, fd, why) : result;
}

// The complete result, which could not take the input's place, goes back
// to "$$out$$.stp" for the user; never over a file put there meanwhile.
void move_back(const input_file *input)
{
#ifdef RENAME_NOREPLACE
	sigset_t held = hold_signals();
	if (renameat2(input->directory, beside_name, AT_FDCWD, temporary_name, RENAME_NOREPLACE) == 0) {
		beside_active = 0;
		temporary_active = 1;
		location[0] = '\0';
	}
	release_signals(held);
#else
	(void)input;
#endif
}

// The result cannot be moved beside the input (another filesystem, or its
// name in the working directory no longer holds it): it is copied there
// from this run's descriptor into a new file.
replace_result replace_by_copy(const temporary_file *temporary, input_file *input, failure *why)
{
	int to = make_beside(input, -1);
	if (to < 0)
		return replace_failed(why, FAILED_CREATE_BESIDE);
	replace_result result = REPLACE_FAILED;
	if (copy_contents(temporary->descriptor, to, why))
		result = finish_beside(input, to, why);
	(void)close(to); // synced or no longer wanted: nothing is lost at its close
	return result;
}


} // namespace

// ---- Failures

void record_failure(failure *why, failed_step step)
{
	why->step = step;
	why->error.code = static_cast<unsigned long>(errno);
	why->error.from_c_library = true;
}

bool found_nothing_to_read(const failure *why)
{
	int error = static_cast<int>(why->error.code);
	return why->step == FAILED_NOT_REGULAR || why->step == FAILED_RESOLVE_LINK ||
	       error == ENOENT || error == ENOTDIR || error == EACCES || error == EPERM ||
	       error == ELOOP;
}

void describe_error(system_error error, char *text, std::size_t size)
{
	(void)std::snprintf(text, size, "%s", std::strerror(static_cast<int>(error.code)));
}

// ---- The run and its output

void begin_run()
{
	// Under a file-size limit a write past it must fail like a full disk,
	// reported and cleaned up, instead of killing the run midway; and a
	// reader of standard error that went away must not end the run
	// between a replacement and the sync that makes it durable.
	(void)std::signal(SIGXFSZ, SIG_IGN);
	(void)std::signal(SIGPIPE, SIG_IGN);
	install_cleanup_handlers();
	// A standard descriptor left closed would be the next one opened: the
	// input or the result would then take in what is written to it. A
	// placeholder holds it that refuses writes, as the closed one did, so a
	// closed standard output still fails the run.
	for (int fd = 0; fd <= 2; ++fd) {
		if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", O_RDONLY) != fd &&
		    open("/", O_RDONLY | O_DIRECTORY) != fd)
			std::_Exit(1); // nothing touched, and nowhere to say so
	}
}

void write_text(std::FILE *stream, const char *text, std::size_t length)
{
	(void)std::fwrite(text, 1, length, stream);
}

const char *path_text(const path_char *path)
{
	return path;
}

const char *temporary_location()
{
	return location[0] != '\0' ? location
	                           : place(working_directory_path(), temporary_name, location,
	                                   sizeof location);
}

// ---- The command line

const path_char *option_spelling(const path_char *argument)
{
	return argument;
}

bool expand_argument(const path_char *argument, file_visitor visit, void *context, failure *)
{
	visit(argument, context);
	return true;
}

bool names_temporary_file(const path_char *path)
{
	struct stat temporary, named;
	return lstat(temporary_name, &temporary) == 0 &&
	       ((lstat(path, &named) == 0 && same_file(named, temporary)) ||
	        (stat(path, &named) == 0 && same_file(named, temporary)));
}

// ---- The lock

namespace {

// Another run usually finishes within moments; a user kept waiting longer
// is told why the tool sits there, and after 30 seconds the run gives up.
const long note_after_ms = 1000, give_up_after_ms = 30000;

struct lock_wait {
	struct timespec start;
	bool noted;
};

void pause_briefly()
{
	struct timespec pause = {0, 20000000};
	(void)nanosleep(&pause, nullptr);
}

// How long the wait may go on before its next step (the note, or the
// end), in milliseconds; 0 when it is over, with *why saying so.
int wait_left(lock_wait *wait, failure *why)
{
	struct timespec now = wait->start;
	(void)clock_gettime(CLOCK_MONOTONIC, &now);
	long waited = (now.tv_sec - wait->start.tv_sec) * 1000 +
	              (now.tv_nsec - wait->start.tv_nsec) / 1000000;
	if (!wait->noted && waited >= note_after_ms) {
		report_note(nullptr, NOTE_WAITING_FOR_LOCK);
		wait->noted = true;
	}
	if (waited < give_up_after_ms)
		return static_cast<int>((wait->noted ? give_up_after_ms : note_after_ms) - waited);
	errno = ETIMEDOUT;
	record_failure(why, FAILED_LOCK);
	return 0;
}

#ifdef __linux__
// Whether the process at the other end of connection may make files in
// the directory: root, or anyone the mode bits let (where an ACL has the
// last word they do not tell: there only root and the owner count).
bool may_write(int connection, const struct stat &directory)
{
	struct ucred peer;
	socklen_t size = sizeof peer;
	if (getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0)
		return false;
	const unsigned wx = S_IWOTH | S_IXOTH;
	if (peer.uid == 0 || peer.uid == directory.st_uid)
		return peer.uid == 0 || ((directory.st_mode >> 6) & wx) == wx;
	if (getxattr(".", "system.posix_acl_access", nullptr, 0) > 0)
		return false;
	bool member = peer.gid == directory.st_gid;
#ifdef SO_PEERGROUPS
	static gid_t groups[4096];
	size = sizeof groups;
	if (getsockopt(connection, SOL_SOCKET, SO_PEERGROUPS, groups, &size) == 0) {
		for (socklen_t i = 0; i < size / sizeof *groups; ++i)
			member = member || groups[i] == directory.st_gid;
	}
#endif
	return ((directory.st_mode >> (member ? 3 : 0)) & wx) == wx;
}
#endif

} // namespace

#ifdef __linux__
// The lock is a name in the abstract socket namespace made of the working
// directory's identity, which one process at a time can bind and which the
// kernel frees when the process ends; runs with and without read access to
// the directory meet there. Anyone may bind such a name, so its holder is
// asked who it is (the credentials of a connection to it): a run waits for
// one that may write the directory, and goes on unlocked past anyone else.
lock_result lock_working_directory(failure *why)
{
	struct stat directory;
	int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (fd < 0 || stat(".", &directory) != 0) {
		if (fd >= 0)
			(void)close(fd);
		return LOCK_UNAVAILABLE;
	}
	struct sockaddr_un address = {};
	address.sun_family = AF_UNIX;
	int length = std::snprintf(address.sun_path + 1, sizeof address.sun_path - 1,
	                           "morvet-lock-%llx-%llx",
	                           static_cast<unsigned long long>(directory.st_dev),
	                           static_cast<unsigned long long>(directory.st_ino));
	socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
	const auto *name = reinterpret_cast<const sockaddr *>(&address);
	lock_wait wait = {{0, 0}, false};
	(void)clock_gettime(CLOCK_MONOTONIC, &wait.start);
	lock_result result = LOCK_HELD;
	for (bool refused_before = false; result == LOCK_HELD;) {
		if (bind(fd, name, size) == 0) {
			// Held until the process ends. Not listening, it could not
			// tell another run who holds it: that one would go on.
			if (listen(fd, SOMAXCONN) == 0)
				return LOCK_HELD;
			(void)close(fd);
			return LOCK_UNAVAILABLE;
		}
		// The name is bound: while a process that may write the directory
		// holds it, the run waits until its end closes a connection made to
		// it, or until the wait's next step.
		int holder = -1;
		if (errno == EADDRINUSE)
			holder = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
		bool connected = holder >= 0 && connect(holder, name, size) == 0;
		bool refused = holder >= 0 && !connected && errno == ECONNREFUSED;
		result = LOCK_UNAVAILABLE;
		if (connected && may_write(holder, directory)) {
			int left = wait_left(&wait, why);
			struct pollfd end = {holder, POLLIN, 0};
			if (left > 0)
				(void)poll(&end, 1, left);
			result = left > 0 ? LOCK_HELD : LOCK_FAILED;
		} else if (refused && !refused_before) {
			// A run binds the name, then listens: refused once, it may have
			// been one in between.
			pause_briefly();
			result = LOCK_HELD;
		}
		refused_before = refused;
		if (holder >= 0)
			(void)close(holder);
	}
	(void)close(fd);
	return result;
}
#else
lock_result lock_working_directory(failure *why)
{
	// A lock on the directory itself, held until the process ends, which
	// closes the descriptor and so releases it however the run ends.
	int fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fd < 0 && errno == EACCES)
		return LOCK_UNAVAILABLE;
	lock_wait wait = {{0, 0}, false};
	(void)clock_gettime(CLOCK_MONOTONIC, &wait.start);
	for (;;) {
		if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0)
			return LOCK_HELD;
		// Where the filesystem has no locks at all, a single run must
		// still work; only overlapping runs are unprotected there.
		if (fd >= 0 && (errno == ENOLCK || errno == EOPNOTSUPP))
			return LOCK_UNAVAILABLE;
		if (fd < 0 || (errno != EWOULDBLOCK && errno != EINTR)) {
			record_failure(why, FAILED_LOCK);
			return LOCK_FAILED;
		}
		if (wait_left(&wait, why) == 0)
			return LOCK_FAILED;
		pause_briefly();
	}
}
#endif

// ---- The input

bool open_input(const path_char *path, input_file *input, failure *why)
{
	input->given = path;
	input->target = path;
	input->descriptor = -1;
	input->directory = -1;
	input->leased = false;
	// Through a symbolic link the user means the file it points to; renaming
	// over the link itself would turn it into a copy and leave that file
	// old. The link is resolved here once; from then on the file is reached
	// only through its directory's descriptor.
	struct stat link_status;
	if (lstat(path, &link_status) != 0)
		return fail(why, FAILED_OPEN);
	input->linked = S_ISLNK(link_status.st_mode);
	if (input->linked) {
#ifdef O_PATH
		// The kernel follows it once too, as cat would, and so refuses a
		// link another user planted in a sticky shared directory (Linux's
		// protected_symlinks), which realpath alone would follow.
		int followed = open(path, O_PATH | O_CLOEXEC);
		if (followed < 0)
			return fail(why, FAILED_RESOLVE_LINK);
		(void)close(followed);
#endif
		if (realpath(path, resolved_target) == nullptr)
			return fail(why, FAILED_RESOLVE_LINK);
		input->target = resolved_target;
	}
	const char *directory = split_path(input->target, &input->name);
	if (directory == nullptr) {
		errno = ENAMETOOLONG;
		return fail(why, FAILED_OPEN);
	}
#ifdef O_PATH
	const int directory_flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
	const int directory_flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
	input->directory = open(directory, directory_flags);
	if (input->directory < 0)
		return fail(why, FAILED_OPEN);
	// Anything but a regular file is refused before it is opened: opening
	// a serial port can reset the board on it, a tape rewinds.
	struct stat &status = input->status;
	if (fstatat(input->directory, input->name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
	    !S_ISREG(status.st_mode) && !S_ISLNK(status.st_mode)) {
		errno = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
		return fail(why, FAILED_NOT_REGULAR);
	}
	// Should one be put there meanwhile: O_NONBLOCK keeps a FIFO from
	// stalling the open, O_NOCTTY a terminal from becoming this process's,
	// and it is refused below. O_NOFOLLOW: a link put at the resolved name
	// since is not followed.
	input->descriptor = openat(input->directory, input->name,
	                           O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
	if (input->descriptor < 0 || fstat(input->descriptor, &status) != 0 ||
	    fcntl(input->descriptor, F_SETFL, 0) != 0)
		return fail(why, FAILED_OPEN);
	if (!S_ISREG(status.st_mode)) {
		errno = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
		return fail(why, FAILED_NOT_REGULAR);
	}
	input->size = static_cast<std::uint64_t>(status.st_size);
	input->links = static_cast<unsigned long>(status.st_nlink);
	return true;
}

bool read_input(input_file *input, std::uint64_t offset, unsigned char *buffer,
                std::size_t size, std::size_t *got, failure *why)
{
	for (;;) {
		ssize_t read = pread(input->descriptor, buffer, size, static_cast<off_t>(offset));
		if (read >= 0) {
			*got = static_cast<std::size_t>(read);
			return true;
		}
		if (errno != EINTR)
			return fail(why, FAILED_READ);
	}
}

guard_result guard_input(input_file *input)
{
#ifdef F_SETLEASE
	// The notice of a broken lease goes to a signal whose default is to be
	// ignored: the run asks the lease itself before the replacement.
	if (fcntl(input->descriptor, F_SETSIG, SIGURG) == 0 &&
	    fcntl(input->descriptor, F_SETLEASE, F_RDLCK) == 0) {
		input->leased = true;
		return GUARD_HELD;
	}
	// Taken by no one but the file's owner (or root), and not on every
	// filesystem; refused at once while anyone has the file open for
	// writing.
	return errno == EAGAIN ? GUARD_WRITER : GUARD_UNAVAILABLE;
#else
	(void)input;
	return GUARD_UNAVAILABLE;
#endif
}

bool input_unchanged(const input_file *input, failure *why)
{
	// Through its path, with the change time: a save over it and a rewrite
	// with its old modification time put back change the file too.
	input_state state = check_input(input, why);
	if (state == INPUT_UNKNOWN)
		why->step = FAILED_CHECK_STILL_SAME;
	return state == INPUT_UNCHANGED;
}

bool is_temporary_file(const input_file *input)
{
	struct stat temporary;
	return lstat(temporary_name, &temporary) == 0 && same_file(temporary, input->status);
}

void close_input(input_file *input)
{
	// Descriptor 0 in a zeroed input_file is standard input, or, where
	// that was closed, whatever took its number: never this one's.
	if (input->given == nullptr)
		return;
	release_lease(input);
	// Read-only: nothing can be lost at its close.
	if (input->descriptor >= 0)
		(void)close(input->descriptor);
	input->descriptor = -1;
	if (input->directory >= 0)
		(void)close(input->directory);
	input->directory = -1;
}

// ---- The temporary file

bool hold_temporary(temporary_file *temporary, const input_file *input, failure *why)
{
	*temporary = temporary_file{};
	temporary->descriptor = -1;
	temporary->named_in = -1;
	location[0] = '\0';
	copied_count = 0;
	// Working from another filesystem, the result is written beside the
	// input at once, so it need not be copied there: where the filesystem
	// allows, into a file with no name until it is complete, so that even
	// a run killed outright leaves nothing there.
	struct stat here, there;
	if (stat(".", &here) == 0 && fstat(input->directory, &there) == 0 &&
	    here.st_dev != there.st_dev) {
		int fd = -1;
#ifdef O_TMPFILE
		fd = openat(input->directory, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, S_IRUSR | S_IWUSR);
		if (fd >= 0)
			place_beside(input, ".morvet-* (no name yet)", location, sizeof location);
		else
#endif
			fd = make_beside(input, -1);
		if (fd >= 0) {
			temporary->descriptor = fd;
			temporary->beside_input = true;
			temporary->named_in = beside_active ? input->directory : -1;
			temporary->held = true;
			return true;
		}
	}
	// Another user's file there is theirs, even to root.
	struct stat old;
	if (lstat(temporary_name, &old) == 0 && old.st_uid != geteuid()) {
		errno = EPERM;
		return fail(why, FAILED_OTHERS_TEMPORARY);
	}
	if (unlink(temporary_name) != 0 && errno != ENOENT)
		return fail(why, FAILED_REMOVE_OLD_TEMPORARY);
	// Owner-only while it is written, whatever the input's permissions: in
	// a shared working directory no one else may read it, nor change it
	// before its CRC is computed.
	sigset_t held = hold_signals();
	int fd = open(temporary_name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
	              S_IRUSR | S_IWUSR);
	bool created = fd >= 0 && fstat(fd, &temporary_status) == 0;
	if (created) {
		make_left_behind_line(temporary_location(), temporary_left_line,
		                      sizeof temporary_left_line);
		temporary_active = 1;
	}
	release_signals(held);
	if (!created) {
		record_failure(why, FAILED_CREATE_TEMPORARY);
		if (fd >= 0) {
			(void)close(fd);
			(void)unlink(temporary_name);
		}
		return false;
	}
	temporary->descriptor = fd;
	temporary->device = temporary_status.st_dev;
	temporary->inode = temporary_status.st_ino;
	temporary->held = true;
	return true;
}

// The result's bytes go to the disk while the rest is still being copied,
// a few mebibytes at a time (only whole pages, which nothing writes
// again), so that its sync waits for little: without this a large file's
// run waits for the whole write after the whole copy.
#ifdef __linux__
const std::uint64_t writeback_step = 1u << 21, no_writeback = ~std::uint64_t{0};
#endif

bool write_back(temporary_file *temporary, failure *why)
{
#ifdef __linux__
	std::uint64_t until = temporary->written & ~std::uint64_t{4095};
	if (temporary->written_back == no_writeback || until - temporary->written_back < writeback_step)
		return true;
	if (sync_file_range(temporary->descriptor, static_cast<off_t>(temporary->written_back),
	                    static_cast<off_t>(until - temporary->written_back),
	                    SYNC_FILE_RANGE_WRITE) == 0) {
		temporary->written_back = until;
		return true;
	}
	// Only a head start: where the system (or a sandbox) will not take it,
	// the sync at the commit does it all. An error of the disk fails the run.
	if (errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP || errno == EPERM ||
	    errno == ESPIPE) {
		temporary->written_back = no_writeback;
		return true;
	}
	return fail(why, FAILED_SYNC_TEMPORARY);
#else
	(void)temporary;
	(void)why;
	return true;
#endif
}

bool write_temporary(temporary_file *temporary, const unsigned char *data, std::size_t length,
                     failure *why)
{
	temporary->written += length;
	return write_all(temporary->descriptor, data, length, why, FAILED_WRITE_TEMPORARY) &&
	       write_back(temporary, why);
}

#ifdef __linux__
bool copy_in_kernel(temporary_file *temporary, input_file *input, std::uint64_t offset,
                    std::uint64_t length, std::uint64_t *copied, failure *why)
{
	*copied = 0;
	off_t from = static_cast<off_t>(offset);
	while (*copied < length) {
		std::uint64_t left = length - *copied;
		ssize_t moved = copy_file_range(input->descriptor, &from, temporary->descriptor, nullptr,
		                                left < writeback_step ? left : writeback_step, 0);
		if (moved > 0) {
			note_copied(static_cast<std::uint64_t>(from - moved), static_cast<std::uint64_t>(moved),
			            temporary->written);
			temporary->written += static_cast<std::uint64_t>(moved);
			*copied += static_cast<std::uint64_t>(moved);
			if (!write_back(temporary, why))
				return false;
			continue;
		}
		if (moved == 0)
			return true; // the input ended: the caller's read says so
		if (errno == EINTR)
			continue;
		// Files the kernel cannot copy between: the caller's buffer does
		// the rest.
		if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
		    errno == EBADF)
			return true;
		return fail(why, errno == EIO ? FAILED_READ : FAILED_WRITE_TEMPORARY);
	}
	return true;
}
#else
// Elsewhere the caller's buffer makes every copy.
bool copy_in_kernel(temporary_file *, input_file *, std::uint64_t, std::uint64_t,
                    std::uint64_t *copied, failure *)
{
	*copied = 0;
	return true;
}
#endif

replace_result commit_temporary(temporary_file *temporary, input_file *input, failure *why)
{
	int fd = temporary->descriptor;
	if (temporary->beside_input) {
		// Durable before it has a name (where it has none yet), so that a
		// run killed meanwhile leaves nothing beside the input.
		replace_result result = make_durable(input, fd, why);
		if (result != REPLACED)
			return result;
		if (temporary->named_in >= 0 || make_beside(input, fd) >= 0)
			return swap_into_place(input, fd, why);
		// No /proc to name it by: it is copied into a named file.
		return replace_by_copy(temporary, input, why);
	}

	// The result's only name moves beside the input before it gets the
	// input's permissions, so no one reads it in the working directory
	// with wider ones.
	sigset_t held = hold_signals();
	make_beside_name();
	bool moved = renameat(AT_FDCWD, temporary_name, input->directory, beside_name) == 0;
	int error = errno;
	struct stat status;
	bool ours = moved &&
	            fstatat(input->directory, beside_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
	            same_file(status, temporary_status);
	if (ours) {
		temporary_active = 0;
		watch_beside(input);
	} else if (moved) {
		// Someone else's file was put at "$$out$$.stp": it goes back.
#ifdef RENAME_NOREPLACE
		(void)renameat2(input->directory, beside_name, AT_FDCWD, temporary_name, RENAME_NOREPLACE);
#else
		(void)renameat(input->directory, beside_name, AT_FDCWD, temporary_name);
#endif
	}
	release_signals(held);
	replace_result result = REPLACE_FAILED;
	if (ours) {
		result = finish_beside(input, fd, why);
		if (result == REPLACE_FAILED && beside_active)
			move_back(input);
	} else if (moved || error == EXDEV || error == ENOENT) {
		// Another filesystem, or the name is no longer this run's file:
		// the result is copied from the descriptor.
		result = replace_by_copy(temporary, input, why);
		if (result == REPLACED || result == REPLACED_NOT_SYNCED)
			(void)remove_own_temporary();
	} else {
		errno = error;
		result = replace_failed(why, FAILED_NAME_BESIDE);
	}
	// A result that failed to replace the input stays in "$$out$$.stp" for
	// the user, made durable, where that name still holds it.
	if (result != REPLACE_FAILED || !result_worth_keeping(why) ||
	    fstatat(AT_FDCWD, temporary_name, &status, AT_SYMLINK_NOFOLLOW) != 0 ||
	    !same_file(status, temporary_status) || fsync(fd) != 0)
		return result;
	temporary_active = 0;
	return REPLACE_FAILED_RESULT_KEPT;
}

void rollback_temporary(temporary_file *temporary)
{
	if (!temporary->held || temporary->descriptor < 0)
		return; // never created (a zeroed one's descriptor 0 is not its own)
	// What is still recorded as this run's and incomplete goes; a file
	// that cannot be removed is named, and the next run in this directory
	// removes a stale "$$out$$.stp".
	if (beside_active && !remove_beside())
		report_note(nullptr, NOTE_LEFT_BEHIND, beside_location);
	beside_active = 0;
	if (temporary_active && !remove_own_temporary())
		report_note(nullptr, NOTE_LEFT_BEHIND, temporary_location());
	temporary_active = 0;
	(void)close(temporary->descriptor);
	temporary->descriptor = -1;
}

// ---- Where the output goes

output_streams look_at_output()
{
	struct stat out, err;
	bool same = fstat(STDOUT_FILENO, &out) == 0 && fstat(STDERR_FILENO, &err) == 0 &&
	            same_file(out, err);
	return {same, isatty(STDOUT_FILENO) == 1, false};
}

void wait_for_key() {}

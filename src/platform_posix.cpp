// platform_posix.cpp - the platform layer on Linux and other POSIX systems.
//
// The input is opened through a descriptor of its directory, taken once, so
// the file read, the file checked for changes and the file replaced are one
// and the same even if a link or a directory on the way is swapped mid-run.
// The temporary file is created owner-only with O_EXCL|O_NOFOLLOW after
// removing any old entry, so nothing planted at "$$out$$.stp" can redirect
// the write or be read early. The result is moved by its descriptor, never
// by the temporary name: it gets a fresh name beside the input (linkat
// through /proc/self/fd, or a copy made with O_TMPFILE when the input lies
// on another filesystem), only there gets the input's owner, permissions and
// extended attributes, and replaces the input with rename(2) once the input
// is seen unchanged since it was opened. fsync on the file before and on the
// directory after makes the replacement hold across a power cut as well.
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
#include <sys/xattr.h>
#include <unistd.h>

#include "report.h"
#include "sync_behind.h"

platform_failure last_failure;

namespace {

const char temporary_name[] = "$$out$$.stp";
char working_directory[PATH_MAX];

// Files this run would leave half-written if it were interrupted: the
// temporary file until it is complete, and the name given to the result
// beside the input until it replaces the input. The signal handler removes
// them.
volatile std::sig_atomic_t temporary_incomplete = 0;
volatile std::sig_atomic_t beside_input_active = 0;
int beside_directory = -1;
char beside_name[32];

// The temporary file as created: a descriptor kept open until the end, and
// its identity, so that the name is only ever removed while it is ours.
int temporary_fd = -1;
dev_t temporary_device;
ino_t temporary_inode;

char resolved_target[PATH_MAX];
char directory_path[PATH_MAX];
unsigned char copy_block[65536];

// Extended attributes are copied through fixed buffers; one whose name list
// or value does not fit is skipped like one the filesystem refuses.
char input_attribute_names[65536];
char result_attribute_names[65536];
char attribute_value[65536];

bool names_temporary_file(const struct stat *status)
{
	return status->st_dev == temporary_device && status->st_ino == temporary_inode;
}

// Removes "$$out$$.stp" if it still is the file this run created; anything
// someone else put there since is theirs and stays. Safe in a signal
// handler. False only when this run's file is there and cannot be removed.
bool remove_own_temporary()
{
	struct stat status;
	if (fstatat(AT_FDCWD, temporary_name, &status, AT_SYMLINK_NOFOLLOW) != 0)
		return errno == ENOENT;
	if (!names_temporary_file(&status))
		return true;
	return unlink(temporary_name) == 0 || errno == ENOENT;
}

extern "C" void remove_incomplete_and_die(int signal_number)
{
	if (temporary_incomplete)
		(void)remove_own_temporary();
	if (beside_input_active)
		(void)unlinkat(beside_directory, beside_name, 0);
	(void)std::signal(signal_number, SIG_DFL);
	(void)std::raise(signal_number);
}

const int cleanup_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void install_cleanup_handlers()
{
	static bool installed = false;
	if (installed)
		return;
	installed = true;
	for (int signal_number : cleanup_signals) {
		struct sigaction action;
		std::memset(&action, 0, sizeof action);
		action.sa_handler = remove_incomplete_and_die;
		sigemptyset(&action.sa_mask);
		// Ignored signals stay ignored: a script that started us with
		// nohup expects exactly that.
		struct sigaction previous;
		if (sigaction(signal_number, nullptr, &previous) == 0 &&
		    previous.sa_handler == SIG_IGN)
			continue;
		sigaction(signal_number, &action, nullptr);
	}
}

// Creating a file and recording that it must be cleaned up happen with the
// cleanup signals held back, or a signal between the two would leave the
// new file behind.
void hold_cleanup_signals(sigset_t *previous)
{
	sigset_t held;
	sigemptyset(&held);
	for (int signal_number : cleanup_signals)
		sigaddset(&held, signal_number);
	sigprocmask(SIG_BLOCK, &held, previous);
}

void release_cleanup_signals(const sigset_t *previous)
{
	sigprocmask(SIG_SETMASK, previous, nullptr);
}

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

// A name for the result beside the input that no one can have guessed.
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

// Gives the open file fd a fresh name in directory, by its descriptor:
// whatever stands at any name meanwhile plays no part.
bool link_beside(int fd, int directory)
{
	char descriptor_path[40];
	(void)std::snprintf(descriptor_path, sizeof descriptor_path, "/proc/self/fd/%d", fd);
	for (int attempt = 0; attempt < 100; ++attempt) {
		make_beside_name();
		sigset_t signals;
		hold_cleanup_signals(&signals);
		int linked = linkat(AT_FDCWD, descriptor_path, directory, beside_name, AT_SYMLINK_FOLLOW);
		if (linked == 0) {
			beside_directory = directory;
			beside_input_active = 1;
		}
		release_cleanup_signals(&signals);
		if (linked == 0)
			return true;
		if (errno != EEXIST)
			return false;
	}
	return false;
}

// A new, empty, owner-only file beside the input for the copy across
// filesystems: without a name until it is complete where the filesystem
// allows (O_TMPFILE), else with a fresh hidden one.
int create_beside(int directory)
{
#ifdef O_TMPFILE
	int fd = openat(directory, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, S_IRUSR | S_IWUSR);
	if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
		return fd;
#endif
	for (int attempt = 0; attempt < 100; ++attempt) {
		make_beside_name();
		sigset_t signals;
		hold_cleanup_signals(&signals);
		int created = openat(directory, beside_name,
		                     O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
		if (created >= 0) {
			beside_directory = directory;
			beside_input_active = 1;
		}
		release_cleanup_signals(&signals);
		if (created >= 0 || errno != EEXIST)
			return created;
	}
	return -1;
}

void remove_beside()
{
	if (beside_input_active)
		(void)unlinkat(beside_directory, beside_name, 0);
	beside_input_active = 0;
}

// What the filesystem or this user's rights refuse of an extended attribute
// is skipped: the result is no less the user's file without it.
bool attribute_refused(int error)
{
	return error == EPERM || error == EACCES || error == ENOTSUP ||
	       error == E2BIG || error == ERANGE || error == EINVAL || error == ENODATA;
}

bool listed(const char *names, ssize_t length, const char *name)
{
	for (const char *entry = names; entry < names + length; entry += std::strlen(entry) + 1) {
		if (std::strcmp(entry, name) == 0)
			return true;
	}
	return false;
}

// Gives the result the input's extended attributes, which carry POSIX ACLs
// and security labels, and drops those the result got from its directory
// that the input lacks (a default ACL there would otherwise widen access).
bool copy_attributes(int to, int from, bool *changed)
{
	ssize_t input_length = flistxattr(from, input_attribute_names, sizeof input_attribute_names);
	if (input_length < 0) {
		if (!attribute_refused(errno)) {
			record_failure("can't read the file's extended attributes", false);
			return false;
		}
		input_length = 0;
	}
	ssize_t result_length = flistxattr(to, result_attribute_names, sizeof result_attribute_names);
	if (result_length < 0)
		result_length = 0;
	const char *end = result_attribute_names + result_length;
	for (const char *name = result_attribute_names; name < end; name += std::strlen(name) + 1) {
		if (listed(input_attribute_names, input_length, name))
			continue;
		if (fremovexattr(to, name) == 0)
			*changed = true;
		else if (!attribute_refused(errno)) {
			record_failure("can't give the result the file's extended attributes", true);
			return false;
		}
	}
	end = input_attribute_names + input_length;
	for (const char *name = input_attribute_names; name < end; name += std::strlen(name) + 1) {
		ssize_t size = fgetxattr(from, name, attribute_value, sizeof attribute_value);
		if (size < 0) {
			if (attribute_refused(errno))
				continue;
			record_failure("can't read the file's extended attributes", false);
			return false;
		}
		if (fsetxattr(to, name, attribute_value, static_cast<std::size_t>(size), 0) == 0)
			*changed = true;
		else if (!attribute_refused(errno)) {
			record_failure("can't give the result the file's extended attributes", true);
			return false;
		}
	}
	return true;
}

// Gives the result the input's owner and group where this process may set
// them (only root may give a file away, but its owner may keep a group it
// belongs to), its extended attributes and its permission bits. Owner
// first: changing it clears the set-user-ID and set-group-ID bits; the
// permissions last, as setting an ACL rewrites the group bits.
bool copy_metadata(int to, const input_file *input, bool *changed)
{
	struct stat current;
	if (fstat(to, &current) != 0) {
		record_failure("can't give the result the file's permissions", true);
		return false;
	}
	const struct stat &wanted = input->status;
	if (current.st_uid != wanted.st_uid || current.st_gid != wanted.st_gid) {
		if (fchown(to, wanted.st_uid, wanted.st_gid) == 0)
			*changed = true;
		else if (errno != EPERM) {
			record_failure("can't give the result the file's owner", true);
			return false;
		} else if (current.st_gid != wanted.st_gid) {
			if (fchown(to, static_cast<uid_t>(-1), wanted.st_gid) == 0)
				*changed = true;
			else if (errno != EPERM) {
				record_failure("can't give the result the file's group", true);
				return false;
			}
		}
	}
	if (!copy_attributes(to, input->descriptor, changed))
		return false;
	if (*changed || (current.st_mode & 07777) != (wanted.st_mode & 07777)) {
		if (fchmod(to, wanted.st_mode & 07777) != 0) {
			record_failure("can't give the result the file's permissions", true);
			return false;
		}
		*changed = true;
	}
	return true;
}

enum input_state { INPUT_UNCHANGED, INPUT_CHANGED, INPUT_UNKNOWN };

// Whether the input's path still names the file that was read, as it was:
// another program that saved over it, appended to it or renamed another
// file onto it meanwhile must not lose its data to this run.
input_state check_input(const input_file *input)
{
	struct stat now;
	if (fstatat(input->directory, input->name, &now, AT_SYMLINK_NOFOLLOW) != 0) {
		if (errno == ENOENT)
			return INPUT_CHANGED;
		record_failure("can't check the file before replacing it", false);
		return INPUT_UNKNOWN;
	}
	const struct stat &then = input->status;
	bool same = now.st_dev == then.st_dev && now.st_ino == then.st_ino &&
	            now.st_size == then.st_size && now.st_mtim.tv_sec == then.st_mtim.tv_sec &&
	            now.st_mtim.tv_nsec == then.st_mtim.tv_nsec &&
	            now.st_ctim.tv_sec == then.st_ctim.tv_sec &&
	            now.st_ctim.tv_nsec == then.st_ctim.tv_nsec;
	return same ? INPUT_UNCHANGED : INPUT_CHANGED;
}

// Makes the rename in the input's directory durable. Filesystems that cannot
// sync a directory say so with EINVAL; there the rename is as durable as it
// gets. A directory this user may write and search but not read cannot be
// opened for it at all: the file is patched all the same, so that is only
// worth a warning.
bool sync_directory(const input_file *input)
{
	int fd = openat(input->directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fd < 0) {
		if (errno == EACCES) {
			report_note(input->given, "patched, but its directory could not be opened to "
			                          "sync it (permission denied)");
			return true;
		}
		record_failure("can't open the file's directory to sync it", false);
		return false;
	}
	bool synced = fsync(fd) == 0 || errno == EINVAL || errno == ENOTSUP;
	if (!synced)
		record_failure("can't sync the file's directory", false);
	if (close(fd) != 0 && synced) {
		record_failure("can't sync the file's directory", false);
		synced = false;
	}
	return synced;
}

// The other names of a hard-linked input still name the old file, as with
// any editor that replaces a file; say so, as the user may not expect it.
void warn_about_other_links(const input_file *input)
{
	if (input->status.st_nlink <= 1)
		return;
	char text[120];
	unsigned long others = static_cast<unsigned long>(input->status.st_nlink) - 1;
	(void)std::snprintf(text, sizeof text,
	                    "patched through this name only; its %lu other hard link%s keep%s the "
	                    "old content",
	                    others, others == 1 ? "" : "s", others == 1 ? "s" : "");
	report_note(input->given, text);
}

// The result, open as fd, stands beside the input (named already, or as an
// unnamed O_TMPFILE file): gives it the input's metadata, makes that
// durable, names it, checks the input once more and renames it over the
// input. On failure nothing of it is left beside the input.
replace_result finish_beside(const input_file *input, int fd, bool must_sync,
                             replace_result on_failure)
{
	bool changed = false;
	if (!copy_metadata(fd, input, &changed)) {
		remove_beside();
		return on_failure;
	}
	if ((must_sync || changed) && fsync(fd) != 0) {
		record_failure("can't sync the result", true);
		remove_beside();
		return on_failure;
	}
	if (!beside_input_active && !link_beside(fd, input->directory)) {
		record_failure("can't name the copy beside the file", false);
		return on_failure;
	}
	switch (check_input(input)) {
	case INPUT_UNCHANGED:
		break;
	case INPUT_CHANGED:
		remove_beside();
		(void)remove_own_temporary();
		return REPLACE_INPUT_CHANGED;
	case INPUT_UNKNOWN:
		remove_beside();
		return on_failure;
	}
	if (renameat(input->directory, beside_name, input->directory, input->name) != 0) {
		record_failure("can't replace the file", false);
		remove_beside();
		return on_failure;
	}
	beside_input_active = 0;
	warn_about_other_links(input);
	return sync_directory(input) ? REPLACED : REPLACED_NOT_SYNCED;
}

bool write_all(int fd, const unsigned char *data, std::size_t length)
{
	while (length > 0) {
		ssize_t written = write(fd, data, length);
		if (written < 0) {
			if (errno == EINTR)
				continue;
			record_failure("can't write the copy beside the file", false);
			return false;
		}
		data += written;
		length -= static_cast<std::size_t>(written);
	}
	return true;
}

bool copy_file_contents(int from, int to)
{
	off_t offset = 0;
	for (;;) {
		ssize_t got = pread(from, copy_block, sizeof copy_block, offset);
		if (got < 0) {
			if (errno == EINTR)
				continue;
			record_failure("can't read the result back", true);
			return false;
		}
		if (got == 0)
			return true;
		if (!write_all(to, copy_block, static_cast<std::size_t>(got)))
			return false;
		offset += got;
	}
}

// The working directory and the input lie on different filesystems, so the
// result cannot simply be given a name beside the input. Copy it, from this
// run's own descriptor, into a new file there, and put that in its place.
replace_result replace_by_copy(const input_file *input)
{
	int to = create_beside(input->directory);
	if (to < 0) {
		record_failure("can't make a copy beside the file", false);
		return REPLACE_FAILED_RESULT_KEPT;
	}
	replace_result result = REPLACE_FAILED_RESULT_KEPT;
	if (copy_file_contents(temporary_fd, to))
		result = finish_beside(input, to, true, REPLACE_FAILED_RESULT_KEPT);
	else
		remove_beside();
	// Its data are synced or no longer wanted: nothing is lost at its close.
	(void)close(to);
	// The result is in place; a stale copy left in the working directory is
	// removed by the next run there, so failing to remove it is no failure.
	if (result == REPLACED || result == REPLACED_NOT_SYNCED)
		(void)remove_own_temporary();
	return result;
}

} // namespace

void record_failure(const char *what, bool about_temporary)
{
	last_failure.error.code = static_cast<unsigned long>(errno);
	last_failure.error.from_c_library = true;
	last_failure.what = what;
	last_failure.about_temporary = about_temporary;
}

void record_c_library_failure(const char *what, bool about_temporary)
{
	record_failure(what, about_temporary);
}

void describe_error(system_error error, char *text, std::size_t size)
{
	(void)std::snprintf(text, size, "%s", std::strerror(static_cast<int>(error.code)));
}

void begin_run()
{
	// Under a file-size limit a write past it must fail like a full disk,
	// reported and cleaned up, instead of killing the run midway.
	(void)std::signal(SIGXFSZ, SIG_IGN);
}

bool open_input(const path_char *path, input_file *input)
{
	input->given = path;
	input->stream = nullptr;
	input->descriptor = -1;
	input->directory = -1;
	// Through a symbolic link the user means the file it points to; renaming
	// over the link itself would turn it into a copy and leave that file
	// old. The link is resolved here once; from then on the file is reached
	// only through its directory's descriptor.
	input->target = path;
	struct stat link_status;
	if (lstat(path, &link_status) != 0) {
		record_failure("can't open", false);
		return false;
	}
	if (S_ISLNK(link_status.st_mode)) {
		if (realpath(path, resolved_target) == nullptr) {
			record_failure("can't resolve the link", false);
			return false;
		}
		input->target = resolved_target;
	}
	const char *directory = split_path(input->target, &input->name);
	if (directory == nullptr) {
		errno = ENAMETOOLONG;
		record_failure("can't open", false);
		return false;
	}
#ifdef O_PATH
	const int directory_flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
	const int directory_flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
	input->directory = open(directory, directory_flags);
	if (input->directory < 0) {
		record_failure("can't open", false);
		return false;
	}
	// O_NONBLOCK keeps a FIFO from stalling the open; it is refused below
	// along with every other kind of file that is not a regular one.
	// O_NOFOLLOW: a link put at the resolved name since is not followed.
	int fd = openat(input->directory, input->name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
	struct stat &status = input->status;
	if (fd < 0 || fstat(fd, &status) != 0 || fcntl(fd, F_SETFL, 0) != 0) {
		record_failure("can't open", false);
		if (fd >= 0)
			(void)close(fd);
		(void)close(input->directory);
		return false;
	}
	if (!S_ISREG(status.st_mode)) {
		errno = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
		last_failure = {"not a regular file", false, {static_cast<unsigned long>(errno), true}};
		(void)close(fd);
		(void)close(input->directory);
		return false;
	}
	// The stream reads through a descriptor of its own; this one stays open
	// to the end for the input's extended attributes.
	int reading = dup(fd);
	input->stream = reading < 0 ? nullptr : fdopen(reading, "rb");
	if (input->stream == nullptr) {
		record_failure("can't open", false);
		if (reading >= 0)
			(void)close(reading);
		(void)close(fd);
		(void)close(input->directory);
		return false;
	}
	input->descriptor = fd;
	return true;
}

bool lock_working_directory()
{
	// Held until the process ends, which closes the descriptor and so
	// releases the lock however the run ends.
	int fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fd < 0) {
		record_failure("can't lock the working directory", true);
		return false;
	}
	// Another run usually finishes within moments; a user kept waiting
	// longer is told why the tool sits there.
	const long poll_nanoseconds = 20000000;
	int polls_left = 50;
	int mode = LOCK_EX | LOCK_NB;
	for (;;) {
		if (flock(fd, mode) == 0)
			return true;
		if (errno == EINTR)
			continue;
		if (errno == EWOULDBLOCK && mode != LOCK_EX) {
			if (polls_left-- > 0) {
				struct timespec pause = {0, poll_nanoseconds};
				(void)nanosleep(&pause, nullptr);
			} else {
				report_note(nullptr, "waiting for another run in this directory to finish");
				mode = LOCK_EX;
			}
			continue;
		}
		// Where the filesystem has no locks at all, a single run must still
		// work; only overlapping runs are unprotected there.
		if (errno == ENOLCK || errno == EOPNOTSUPP)
			return true;
		record_failure("can't lock the working directory", true);
		return false;
	}
}

bool is_temporary_file(const input_file *input)
{
	struct stat status;
	if (lstat(temporary_name, &status) == 0 && status.st_dev == input->status.st_dev &&
	    status.st_ino == input->status.st_ino)
		return true;
	return stat(temporary_name, &status) == 0 && status.st_dev == input->status.st_dev &&
	       status.st_ino == input->status.st_ino;
}

std::FILE *create_temporary(const input_file *input)
{
	(void)input;
	install_cleanup_handlers();
	if (unlink(temporary_name) != 0 && errno != ENOENT) {
		record_failure("can't remove the old temporary file", true);
		return nullptr;
	}
	// Owner-only while it is written, whatever the input's permissions: in
	// a shared working directory no one else may read it, nor change it
	// before its CRC is computed.
	sigset_t signals;
	hold_cleanup_signals(&signals);
	int fd = open(temporary_name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
	              S_IRUSR | S_IWUSR);
	struct stat status;
	bool created = fd >= 0 && fstat(fd, &status) == 0;
	if (created) {
		temporary_device = status.st_dev;
		temporary_inode = status.st_ino;
		temporary_incomplete = 1;
	} else {
		record_failure("can't create the temporary file", true);
	}
	release_cleanup_signals(&signals);
	if (!created) {
		if (fd >= 0) {
			(void)close(fd);
			(void)unlink(temporary_name);
		}
		return nullptr;
	}
	// A second descriptor outlives the stream: the result is moved by it,
	// not by its name.
	temporary_fd = dup(fd);
	std::FILE *stream = temporary_fd < 0 ? nullptr : fdopen(fd, "w+b");
	if (stream == nullptr) {
		record_failure("can't create the temporary file", true);
		(void)close(fd);
		discard_temporary(nullptr);
	}
	return stream;
}

void start_writing_back(std::FILE *temporary)
{
	// A stream that cannot be flushed fails again at the commit, which
	// reports it.
	if (std::fflush(temporary) != 0)
		return;
#ifdef SYNC_FILE_RANGE_WRITE
	// Starts the writing at once; the helper's sync may still be busy with
	// an earlier stretch.
	(void)sync_file_range(fileno(temporary), 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
	sync_behind_request(fileno(temporary));
}

bool commit_temporary(std::FILE *temporary)
{
	bool committed = std::fflush(temporary) == 0;
	if (!committed)
		record_failure("can't write the temporary file", true);
	// A write the helper's sync found lost is reported to this file only
	// once, to the helper: the fsync below would not see it again.
	int behind = sync_behind_stop();
	if (committed && behind != 0) {
		errno = behind;
		record_failure("can't sync the temporary file", true);
		committed = false;
	}
	if (committed && fsync(fileno(temporary)) != 0) {
		record_failure("can't sync the temporary file", true);
		committed = false;
	}
	if (std::fclose(temporary) != 0 && committed) {
		record_failure("can't write the temporary file", true);
		committed = false;
	}
	if (committed)
		temporary_incomplete = 0;
	return committed;
}

void discard_temporary(std::FILE *temporary)
{
	(void)sync_behind_stop();
	if (temporary != nullptr)
		(void)std::fclose(temporary);
	// Failing to remove it leaves an incomplete file that the next run in
	// this directory removes; the run fails either way.
	(void)remove_own_temporary();
	temporary_incomplete = 0;
	if (temporary_fd >= 0)
		(void)close(temporary_fd);
	temporary_fd = -1;
}

void close_input(input_file *input)
{
	// Read-only: nothing can be lost at its close.
	(void)std::fclose(input->stream);
	input->stream = nullptr;
}

void release_input(input_file *input)
{
	if (input->descriptor >= 0)
		(void)close(input->descriptor);
	input->descriptor = -1;
	if (input->directory >= 0)
		(void)close(input->directory);
	input->directory = -1;
	if (temporary_fd >= 0)
		(void)close(temporary_fd);
	temporary_fd = -1;
}

replace_result replace_input(const input_file *input)
{
	// Same filesystem: the result gets a second name beside the input, and
	// loses the one in the working directory before it gets the input's
	// permissions, so no one reads it there with wider ones.
	replace_result result;
	if (link_beside(temporary_fd, input->directory)) {
		if (!remove_own_temporary()) {
			record_failure("can't remove the temporary file", true);
			remove_beside();
			return REPLACE_FAILED_RESULT_KEPT;
		}
		result = finish_beside(input, temporary_fd, false, REPLACE_FAILED);
	} else if (errno == EXDEV || errno == EPERM || errno == ENOENT || errno == EMLINK ||
	           errno == EOPNOTSUPP) {
		// Another filesystem, or one without hard links: copy it over.
		result = replace_by_copy(input);
	} else {
		record_failure("can't replace the file", false);
		result = REPLACE_FAILED_RESULT_KEPT;
	}
	// The user is only pointed to "$$out$$.stp" while it is this run's file.
	struct stat status;
	if (result == REPLACE_FAILED_RESULT_KEPT &&
	    (fstatat(AT_FDCWD, temporary_name, &status, AT_SYMLINK_NOFOLLOW) != 0 ||
	     !names_temporary_file(&status)))
		result = REPLACE_FAILED;
	return result;
}

void write_path(const path_char *path, std::FILE *stream)
{
	(void)std::fputs(path, stream);
}

void write_temporary_location(std::FILE *stream)
{
	if (getcwd(working_directory, sizeof working_directory) == nullptr) {
		(void)std::fputs(temporary_name, stream);
		return;
	}
	// The root directory already ends in a slash.
	const char *separator = working_directory[1] == '\0' ? "" : "/";
	(void)std::fprintf(stream, "%s%s%s", working_directory, separator, temporary_name);
}

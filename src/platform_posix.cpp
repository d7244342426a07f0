// platform_posix.cpp - the platform layer on Linux and other POSIX systems.
//
// The temporary file is created with O_EXCL|O_NOFOLLOW after removing any
// old entry, so nothing planted at "$$out$$.stp" can redirect the write. The
// result replaces the input with rename(2), which readers see as the old
// file or the new one, never a mix; fsync on the file before and on the
// directory after makes that hold across a power cut as well.
#include "platform.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

platform_failure last_failure;

namespace {

const char temporary_name[] = "$$out$$.stp";
char working_directory[PATH_MAX];

// Files this run would leave half-written if it were interrupted: the
// temporary file until it is complete, and the copy made beside the input
// when the result crosses filesystems. The signal handler removes them.
volatile std::sig_atomic_t temporary_incomplete = 0;
volatile std::sig_atomic_t beside_input_active = 0;
char beside_input_path[PATH_MAX + 16];

char resolved_target[PATH_MAX];
char directory_path[PATH_MAX];
unsigned char copy_block[65536];

extern "C" void remove_incomplete_and_die(int signal_number)
{
	if (temporary_incomplete)
		unlink(temporary_name);
	if (beside_input_active)
		unlink(beside_input_path);
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

// The directory part of path, for syncing it and for making files beside it.
const char *directory_of(const char *path)
{
	const char *slash = std::strrchr(path, '/');
	if (slash == nullptr)
		return ".";
	if (slash == path)
		return "/";
	std::size_t length = static_cast<std::size_t>(slash - path);
	if (length >= sizeof directory_path)
		return nullptr;
	std::memcpy(directory_path, path, length);
	directory_path[length] = '\0';
	return directory_path;
}

// Makes a rename in directory durable. Filesystems that cannot sync a
// directory say so with EINVAL; there the rename is as durable as it gets.
bool sync_directory(const char *directory)
{
	if (directory == nullptr) {
		errno = ENAMETOOLONG;
		record_failure("can't sync the file's directory", false);
		return false;
	}
	int fd = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fd < 0) {
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

// Gives fd the input's permission bits, and its owner and group where this
// process may set them (only root may give a file away). Owner first:
// changing it clears the set-user-ID and set-group-ID bits.
bool copy_permissions(int fd, const input_file *input)
{
	if (fchown(fd, input->owner, input->group) != 0 && errno != EPERM) {
		record_failure("can't give the result the file's owner", true);
		return false;
	}
	if (fchmod(fd, input->mode & 07777) != 0) {
		record_failure("can't give the result the file's permissions", true);
		return false;
	}
	return true;
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
	for (;;) {
		ssize_t got = read(from, copy_block, sizeof copy_block);
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
	}
}

// The working directory and the input lie on different filesystems, so
// rename(2) cannot move the result. Copy it into a new file beside the
// input, make that durable, and rename it over the input there.
bool replace_across_filesystems(const input_file *input)
{
	const char *directory = directory_of(input->target);
	int length = directory == nullptr ? -1
	                                  : std::snprintf(beside_input_path, sizeof beside_input_path,
	                                                  "%s/.morvet-XXXXXX", directory);
	if (length < 0 || static_cast<std::size_t>(length) >= sizeof beside_input_path) {
		errno = ENAMETOOLONG;
		record_failure("can't make a copy beside the file", false);
		return false;
	}
	int from = open(temporary_name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
	if (from < 0) {
		record_failure("can't read the result back", true);
		return false;
	}
	sigset_t signals;
	hold_cleanup_signals(&signals);
	int to = mkostemp(beside_input_path, O_CLOEXEC);
	if (to >= 0)
		beside_input_active = 1;
	else
		record_failure("can't make a copy beside the file", false);
	release_cleanup_signals(&signals);
	if (to < 0) {
		close(from);
		return false;
	}
	bool copied = copy_file_contents(from, to) && copy_permissions(to, input);
	if (copied && fsync(to) != 0) {
		record_failure("can't sync the copy beside the file", false);
		copied = false;
	}
	close(from);
	if (close(to) != 0 && copied) {
		record_failure("can't write the copy beside the file", false);
		copied = false;
	}
	if (copied && rename(beside_input_path, input->target) != 0) {
		record_failure("can't replace the file", false);
		copied = false;
	}
	if (!copied) {
		unlink(beside_input_path);
		beside_input_active = 0;
		return false;
	}
	beside_input_active = 0;
	// The result is in place; a stale copy left in the working directory is
	// removed by the next run there, so failing to remove it is no failure.
	unlink(temporary_name);
	return true;
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
}

bool open_input(const path_char *path, input_file *input)
{
	// O_NONBLOCK keeps a FIFO from stalling the open; it is refused below
	// along with every other kind of file that is not a regular one.
	int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0) {
		record_failure("can't open", false);
		return false;
	}
	struct stat status;
	if (fstat(fd, &status) != 0 || fcntl(fd, F_SETFL, 0) != 0) {
		record_failure("can't open", false);
		close(fd);
		return false;
	}
	if (!S_ISREG(status.st_mode)) {
		errno = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
		last_failure = {"not a regular file", false, {static_cast<unsigned long>(errno), true}};
		close(fd);
		return false;
	}
	input->device = status.st_dev;
	input->inode = status.st_ino;
	input->mode = status.st_mode;
	input->owner = status.st_uid;
	input->group = status.st_gid;

	// Through a symbolic link the user means the file it points to; renaming
	// over the link itself would turn it into a copy and leave that file old.
	input->target = path;
	struct stat link_status;
	if (lstat(path, &link_status) != 0) {
		record_failure("can't open", false);
		close(fd);
		return false;
	}
	if (S_ISLNK(link_status.st_mode)) {
		if (realpath(path, resolved_target) == nullptr) {
			record_failure("can't resolve the link", false);
			close(fd);
			return false;
		}
		input->target = resolved_target;
	}
	input->stream = fdopen(fd, "rb");
	if (input->stream == nullptr) {
		record_failure("can't open", false);
		close(fd);
		return false;
	}
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
	for (;;) {
		if (flock(fd, LOCK_EX) == 0)
			return true;
		if (errno == EINTR)
			continue;
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
	if (lstat(temporary_name, &status) == 0 && status.st_dev == input->device &&
	    status.st_ino == input->inode)
		return true;
	return stat(temporary_name, &status) == 0 && status.st_dev == input->device &&
	       status.st_ino == input->inode;
}

std::FILE *create_temporary(const input_file *input)
{
	install_cleanup_handlers();
	if (unlink(temporary_name) != 0 && errno != ENOENT) {
		record_failure("can't remove the old temporary file", true);
		return nullptr;
	}
	sigset_t signals;
	hold_cleanup_signals(&signals);
	int fd = open(temporary_name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
	              S_IRUSR | S_IWUSR);
	if (fd >= 0)
		temporary_incomplete = 1;
	else
		record_failure("can't create the temporary file", true);
	release_cleanup_signals(&signals);
	if (fd < 0)
		return nullptr;
	std::FILE *stream = nullptr;
	if (copy_permissions(fd, input)) {
		stream = fdopen(fd, "w+b");
		if (stream == nullptr)
			record_failure("can't create the temporary file", true);
	}
	if (stream == nullptr) {
		close(fd);
		discard_temporary(nullptr);
	}
	return stream;
}

bool commit_temporary(std::FILE *temporary)
{
	bool committed = std::fflush(temporary) == 0;
	if (!committed)
		record_failure("can't write the temporary file", true);
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
	if (temporary != nullptr)
		(void)std::fclose(temporary);
	// Failing to remove it leaves an incomplete file that the next run in
	// this directory removes; the run fails either way.
	unlink(temporary_name);
	temporary_incomplete = 0;
}

void close_input(input_file *input)
{
	// Read-only: nothing can be lost at its close.
	(void)std::fclose(input->stream);
	input->stream = nullptr;
}

replace_result replace_input(const input_file *input)
{
	if (rename(temporary_name, input->target) == 0)
		return sync_directory(directory_of(input->target)) ? REPLACED : REPLACED_NOT_SYNCED;
	if (errno == EXDEV) {
		if (!replace_across_filesystems(input))
			return REPLACE_FAILED_RESULT_KEPT;
		return sync_directory(directory_of(input->target)) ? REPLACED : REPLACED_NOT_SYNCED;
	}
	record_failure("can't replace the file", false);
	return REPLACE_FAILED_RESULT_KEPT;
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

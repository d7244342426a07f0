// platform_windows.cpp - the platform layer on Windows.
//
// Paths are wide strings as Windows hands them over, so names outside the
// ANSI code page work. The input is opened by its full path, which is also
// where the result goes, so rooted ("\board.stp") and drive-relative
// ("D:board.stp") names mean what they mean to the user; a full path of
// MAX_PATH or more gets the "\\?\" prefix, which lifts the length limit on
// systems without the long-path policy.
//
// The temporary file stays open from its creation to the end of the run,
// and the result takes the input's place by renaming that very handle
// (FileRenameInfo, replace if exists): what lands on the input's path is the
// file this run wrote, whatever stands at the name "$$out$$.stp" by then.
// Just before the rename, the input's path must still name the file that was
// read, unchanged, and its attributes, creation time, owner and DACL are
// copied onto the result. ReplaceFileW, which carries those itself, is not
// used: it works on names rather than the handle, it can fail midway and
// leave the input moved away, and Wine's keeps no attributes.
//
// Anti-virus scanners, indexers and backup agents open a fresh file for a
// moment; opening the input and replacing it are retried for a few seconds
// when another program holds the file.
#include "platform.h"

#include <cerrno>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <io.h>

#include "report.h"

platform_failure last_failure;

namespace {

const wchar_t temporary_name[] = L"$$out$$.stp";
const DWORD extended_path = 32768;
// GetFullPathNameW is given one character less than the longest path:
// Wine's returns garbage for a drive-relative path on another drive when
// the buffer holds 32768 characters.
const DWORD full_path_room = extended_path - 1;

// Attributes the result takes over from the input. Read-only files are
// refused; directory, compression and the like are not the user's choice.
const DWORD carried_attributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                 FILE_ATTRIBUTE_ARCHIVE |
                                 FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Owner, group and DACL; the SACL needs a privilege users do not hold.
const SECURITY_INFORMATION carried_security =
	OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

// Files the console control handler removes when the user presses Ctrl+C
// (the temporary file, and the copy beside the input on another volume).
// The handler runs on a thread of its own, so it and the rename that
// commits a file agree under a lock: once the handler has run, nothing is
// renamed into place, and once a file is in place the handler no longer
// knows it.
enum { temporary_slot, beside_slot, slot_count };
SRWLOCK files_lock = SRWLOCK_INIT;
HANDLE incomplete_files[slot_count] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
bool broken_off = false;

// The temporary file's own handle, kept open from its creation to the end
// of the run; the C stream works on a duplicate of it.
HANDLE temporary_handle = INVALID_HANDLE_VALUE;

wchar_t full_path_scratch[extended_path];
wchar_t input_path[extended_path + 8];
wchar_t resolved_target[extended_path];
wchar_t beside_input_path[extended_path + 64];
char utf8_path[extended_path * 3];
wchar_t full_temporary_path[extended_path];
wchar_t error_text[512];
unsigned char copy_block[65536];
// A security descriptor is at most 64 KB.
alignas(SECURITY_DESCRIPTOR) unsigned char security_block[65536];
alignas(FILE_RENAME_INFO) unsigned char rename_block[sizeof(FILE_RENAME_INFO) +
                                                     (extended_path + 8) * sizeof(wchar_t)];

bool set_delete_on_close(HANDLE handle, bool remove)
{
	FILE_DISPOSITION_INFO disposition = {};
	disposition.DeleteFile = remove ? TRUE : FALSE;
	return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
	                                  sizeof disposition) != 0;
}

BOOL WINAPI remove_incomplete_on_break(DWORD)
{
	AcquireSRWLockExclusive(&files_lock);
	broken_off = true;
	for (HANDLE handle : incomplete_files) {
		if (handle != INVALID_HANDLE_VALUE)
			(void)set_delete_on_close(handle, true);
	}
	ReleaseSRWLockExclusive(&files_lock);
	return FALSE; // let the default handler end the process
}

void watch_incomplete(int slot, HANDLE handle)
{
	AcquireSRWLockExclusive(&files_lock);
	incomplete_files[slot] = handle;
	ReleaseSRWLockExclusive(&files_lock);
}

// Closes a file this run created and removes it.
void remove_created(int slot, HANDLE handle)
{
	watch_incomplete(slot, INVALID_HANDLE_VALUE);
	bool marked = set_delete_on_close(handle, true);
	CloseHandle(handle);
	if (!marked && slot == temporary_slot)
		DeleteFileW(temporary_name);
}

bool same_file(const BY_HANDLE_FILE_INFORMATION &a, const BY_HANDLE_FILE_INFORMATION &b)
{
	return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
	       a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

bool same_content(const BY_HANDLE_FILE_INFORMATION &a, const BY_HANDLE_FILE_INFORMATION &b)
{
	return a.nFileSizeHigh == b.nFileSizeHigh && a.nFileSizeLow == b.nFileSizeLow &&
	       a.ftLastWriteTime.dwLowDateTime == b.ftLastWriteTime.dwLowDateTime &&
	       a.ftLastWriteTime.dwHighDateTime == b.ftLastWriteTime.dwHighDateTime;
}

// Identity of what stands at path; flags choose whether a link is followed.
bool identity_of(const wchar_t *path, DWORD flags, BY_HANDLE_FILE_INFORMATION *identity)
{
	HANDLE handle = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
	                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags,
	                            nullptr);
	if (handle == INVALID_HANDLE_VALUE)
		return false;
	bool known = GetFileInformationByHandle(handle, identity) != 0;
	CloseHandle(handle);
	return known;
}

// A C stream over a Windows handle; the stream owns the handle afterwards.
std::FILE *stream_over(HANDLE handle, int flags, const char *mode)
{
	int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
	if (fd < 0) {
		CloseHandle(handle);
		return nullptr;
	}
	std::FILE *stream = _fdopen(fd, mode);
	if (stream == nullptr)
		_close(fd);
	return stream;
}

// The full path of path in the form the system takes at any length: as
// GetFullPathNameW gives it below MAX_PATH, with the "\\?\" (or
// "\\?\UNC\") prefix from there on. A path that already has the prefix is
// taken as it stands.
bool system_path(const wchar_t *path, wchar_t *out)
{
	if (std::wcsncmp(path, L"\\\\?\\", 4) == 0) {
		std::size_t length = std::wcslen(path);
		if (length >= extended_path) {
			SetLastError(ERROR_FILENAME_EXCED_RANGE);
			return false;
		}
		std::wmemcpy(out, path, length + 1);
		return true;
	}
	DWORD length = GetFullPathNameW(path, full_path_room, full_path_scratch, nullptr);
	if (length == 0)
		return false;
	if (length >= full_path_room) {
		SetLastError(ERROR_FILENAME_EXCED_RANGE);
		return false;
	}
	const wchar_t *rest = full_path_scratch;
	const wchar_t *prefix = L"";
	if (length >= MAX_PATH) {
		bool unc = full_path_scratch[0] == L'\\' && full_path_scratch[1] == L'\\';
		prefix = unc ? L"\\\\?\\UNC\\" : L"\\\\?\\";
		if (unc)
			rest += 2;
	}
	std::wcscpy(out, prefix);
	std::wcscat(out, rest);
	return true;
}

// A pause before trying again, growing from 50 ms to 1 s, about five
// seconds in all; false once the time is spent.
struct retry_state {
	DWORD waited;
	DWORD pause;
};

bool wait_before_retry(retry_state *retry)
{
	if (retry->waited >= 5000)
		return false;
	Sleep(retry->pause);
	retry->waited += retry->pause;
	retry->pause = retry->pause * 2 < 1000 ? retry->pause * 2 : 1000;
	return true;
}

// Another program has the file open or locked for the moment.
bool is_busy(DWORD error)
{
	return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
	       error == ERROR_LOCK_VIOLATION;
}

// The directory part of a full path, with its final separator, so that a
// name appended to it lies beside the file, also in a drive's root.
const wchar_t *directory_of(const wchar_t *path, std::size_t *length)
{
	const wchar_t *separator = nullptr;
	for (const wchar_t *p = path; *p != L'\0'; ++p) {
		if (*p == L'\\' || *p == L'/')
			separator = p;
	}
	if (separator == nullptr)
		return nullptr;
	*length = static_cast<std::size_t>(separator - path) + 1;
	return path;
}

bool write_all(HANDLE handle, const unsigned char *data, DWORD length)
{
	while (length > 0) {
		DWORD written = 0;
		if (!WriteFile(handle, data, length, &written, nullptr) || written == 0)
			return false;
		data += written;
		length -= written;
	}
	return true;
}

bool copy_file_contents(HANDLE from, HANDLE to)
{
	LARGE_INTEGER start = {};
	if (!SetFilePointerEx(from, start, nullptr, FILE_BEGIN))
		return false;
	for (;;) {
		DWORD got = 0;
		if (!ReadFile(from, copy_block, sizeof copy_block, &got, nullptr))
			return false;
		if (got == 0)
			return true;
		if (!write_all(to, copy_block, got))
			return false;
	}
}

enum move_outcome { MOVED, MOVE_FAILED, MOVE_INPUT_CHANGED, MOVE_OTHER_VOLUME };

// Checks that the input's path still names the file that was read, as it
// was read, and gives file its attributes, creation time, owner and DACL
// as they are now.
move_outcome check_and_take_over(HANDLE file, const input_file *input)
{
	// Attributes and security only: such a handle shares with every other,
	// so a program holding the file does not make this fail.
	HANDLE current = CreateFileW(input->target, FILE_READ_ATTRIBUTES | READ_CONTROL,
	                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
	                             nullptr, OPEN_EXISTING, 0, nullptr);
	if (current == INVALID_HANDLE_VALUE) {
		DWORD error = GetLastError();
		if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
			return MOVE_INPUT_CHANGED;
		record_failure("can't check the file before replacing it", false);
		return MOVE_FAILED;
	}
	BY_HANDLE_FILE_INFORMATION now;
	if (!GetFileInformationByHandle(current, &now)) {
		record_failure("can't check the file before replacing it", false);
		CloseHandle(current);
		return MOVE_FAILED;
	}
	if (!same_file(now, input->identity) || !same_content(now, input->identity) ||
	    (now.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
		CloseHandle(current);
		return MOVE_INPUT_CHANGED;
	}
	// Made read-only meanwhile: refused at once, not waited for.
	if (now.dwFileAttributes & FILE_ATTRIBUTE_READONLY) {
		CloseHandle(current);
		SetLastError(ERROR_ACCESS_DENIED);
		record_failure("can't replace the file", false);
		return MOVE_FAILED;
	}
	// A volume without ACLs (FAT, exFAT) has no permissions to keep. When
	// the question cannot be asked, they are copied as on NTFS.
	DWORD volume_flags = FILE_PERSISTENT_ACLS;
	if (!GetVolumeInformationByHandleW(current, nullptr, 0, nullptr, nullptr, &volume_flags,
	                                   nullptr, 0))
		volume_flags = FILE_PERSISTENT_ACLS;
	bool has_acls = (volume_flags & FILE_PERSISTENT_ACLS) != 0;
	DWORD needed = 0;
	bool read = !has_acls || GetKernelObjectSecurity(current, carried_security, security_block,
	                                                 sizeof security_block, &needed) != 0;
	if (!read)
		record_failure("can't read the file's permissions", false);
	CloseHandle(current);
	if (!read)
		return MOVE_FAILED;
	if (has_acls && !SetKernelObjectSecurity(file, DACL_SECURITY_INFORMATION, security_block)) {
		record_failure("can't give the result the file's permissions", false);
		return MOVE_FAILED;
	}
	// Owner and group can only be given away with a privilege; without it
	// the result belongs to the user who ran the tool, as with any editor.
	if (has_acls) {
		(void)SetKernelObjectSecurity(file, OWNER_SECURITY_INFORMATION, security_block);
		(void)SetKernelObjectSecurity(file, GROUP_SECURITY_INFORMATION, security_block);
	}
	FILE_BASIC_INFO basic = {};
	basic.CreationTime.LowPart = now.ftCreationTime.dwLowDateTime;
	basic.CreationTime.HighPart = static_cast<LONG>(now.ftCreationTime.dwHighDateTime);
	basic.FileAttributes = now.dwFileAttributes & carried_attributes;
	if (basic.FileAttributes == 0)
		basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
	if (!SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic)) {
		record_failure("can't give the result the file's attributes", false);
		return MOVE_FAILED;
	}
	return MOVED;
}

bool rename_handle(HANDLE file, const wchar_t *target)
{
	std::size_t length = std::wcslen(target);
	auto *info = reinterpret_cast<FILE_RENAME_INFO *>(rename_block);
	std::memset(info, 0, sizeof *info);
	info->ReplaceIfExists = TRUE;
	info->RootDirectory = nullptr;
	info->FileNameLength = static_cast<DWORD>(length * sizeof(wchar_t));
	std::wmemcpy(info->FileName, target, length + 1);
	return SetFileInformationByHandle(
		       file, FileRenameInfo, info,
		       static_cast<DWORD>(sizeof(FILE_RENAME_INFO) + length * sizeof(wchar_t))) != 0;
}

// Puts file, watched in slot, in the input's place: checks the input,
// gives file what it keeps, and renames it, retrying for a few seconds
// while another program holds the input.
move_outcome move_into_place(HANDLE file, int slot, const input_file *input)
{
	retry_state retry = {0, 50};
	for (;;) {
		move_outcome checked = check_and_take_over(file, input);
		if (checked != MOVED)
			return checked;
		AcquireSRWLockExclusive(&files_lock);
		bool renamed = false;
		DWORD error = ERROR_OPERATION_ABORTED;
		if (!broken_off) {
			renamed = rename_handle(file, input->target);
			error = GetLastError();
			if (renamed)
				incomplete_files[slot] = INVALID_HANDLE_VALUE;
		}
		ReleaseSRWLockExclusive(&files_lock);
		if (renamed)
			return MOVED;
		if (error == ERROR_NOT_SAME_DEVICE) {
			record_failure("can't replace the file", false);
			return MOVE_OTHER_VOLUME;
		}
		if (!is_busy(error) || !wait_before_retry(&retry)) {
			SetLastError(error);
			record_failure("can't replace the file", false);
			return MOVE_FAILED;
		}
	}
}

// The temporary file kept for the user: it gets ordinary attributes back
// in case it was given the input's hidden or system ones.
void keep_temporary()
{
	watch_incomplete(temporary_slot, INVALID_HANDLE_VALUE);
	FILE_BASIC_INFO basic = {};
	basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
	(void)SetFileInformationByHandle(temporary_handle, FileBasicInfo, &basic, sizeof basic);
	CloseHandle(temporary_handle);
	temporary_handle = INVALID_HANDLE_VALUE;
}

// The working directory and the input lie on different volumes, where no
// rename reaches. The result is copied into a new file beside the input,
// which stays marked for deletion until it is complete, so a run killed
// meanwhile leaves nothing there; that copy is then renamed into place.
replace_result replace_across_volumes(const input_file *input)
{
	std::size_t length = 0;
	const wchar_t *directory = directory_of(input->target, &length);
	if (directory == nullptr || length + 40 >= extended_path) {
		SetLastError(ERROR_FILENAME_EXCED_RANGE);
		record_failure("can't make a copy beside the file", false);
		keep_temporary();
		return REPLACE_FAILED_RESULT_KEPT;
	}
	HANDLE to = INVALID_HANDLE_VALUE;
	for (unsigned attempt = 0; attempt < 100 && to == INVALID_HANDLE_VALUE; ++attempt) {
		_snwprintf(beside_input_path, sizeof beside_input_path / sizeof(wchar_t),
		           L"%.*ls.morvet-%lu-%u.tmp", static_cast<int>(length), directory,
		           GetCurrentProcessId(), attempt);
		to = CreateFileW(beside_input_path,
		                 GENERIC_READ | GENERIC_WRITE | DELETE | WRITE_DAC | WRITE_OWNER, 0,
		                 nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
		if (to == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS)
			break;
	}
	if (to == INVALID_HANDLE_VALUE) {
		record_failure("can't make a copy beside the file", false);
		keep_temporary();
		return REPLACE_FAILED_RESULT_KEPT;
	}
	watch_incomplete(beside_slot, to);
	bool copied = set_delete_on_close(to, true);
	if (!copied)
		record_failure("can't make a copy beside the file", false);
	if (copied && !copy_file_contents(temporary_handle, to)) {
		record_failure("can't write the copy beside the file", false);
		copied = false;
	}
	if (copied && !FlushFileBuffers(to)) {
		record_failure("can't sync the copy beside the file", false);
		copied = false;
	}
	// Complete: it may now outlive the handle.
	if (copied && !set_delete_on_close(to, false)) {
		record_failure("can't make a copy beside the file", false);
		copied = false;
	}
	move_outcome moved = copied ? move_into_place(to, beside_slot, input) : MOVE_FAILED;
	if (moved != MOVED) {
		remove_created(beside_slot, to);
		if (moved == MOVE_INPUT_CHANGED) {
			remove_created(temporary_slot, temporary_handle);
			temporary_handle = INVALID_HANDLE_VALUE;
			return REPLACE_INPUT_CHANGED;
		}
		keep_temporary();
		return REPLACE_FAILED_RESULT_KEPT;
	}
	CloseHandle(to);
	// The result is in place; the temporary file has done its work.
	remove_created(temporary_slot, temporary_handle);
	temporary_handle = INVALID_HANDLE_VALUE;
	return REPLACED;
}

} // namespace

void record_failure(const char *what, bool about_temporary)
{
	last_failure.error.code = GetLastError();
	last_failure.error.from_c_library = false;
	last_failure.what = what;
	last_failure.about_temporary = about_temporary;
}

void record_c_library_failure(const char *what, bool about_temporary)
{
	last_failure.error.code = static_cast<unsigned long>(errno);
	last_failure.error.from_c_library = true;
	last_failure.what = what;
	last_failure.about_temporary = about_temporary;
}

void describe_error(system_error error, char *text, std::size_t size)
{
	if (size == 0)
		return;
	if (error.from_c_library) {
		(void)std::snprintf(text, size, "%s", std::strerror(static_cast<int>(error.code)));
		return;
	}
	DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
	                              nullptr, error.code, 0, error_text,
	                              sizeof error_text / sizeof(wchar_t), nullptr);
	// The system's messages end in a period and a line end; a line of ours
	// ends where we say.
	while (length > 0 && (error_text[length - 1] == L'\r' || error_text[length - 1] == L'\n' ||
	                      error_text[length - 1] == L' ' || error_text[length - 1] == L'.'))
		--length;
	if (length == 0) {
		(void)std::snprintf(text, size, "error %lu", error.code);
		return;
	}
	int written = WideCharToMultiByte(CP_UTF8, 0, error_text, static_cast<int>(length), text,
	                                  static_cast<int>(size - 1), nullptr, nullptr);
	text[written > 0 ? written : 0] = '\0';
}

void begin_run()
{
	// Without this the C runtime turns every "\n" of a message into "\r\n".
	_setmode(_fileno(stdout), _O_BINARY);
	_setmode(_fileno(stderr), _O_BINARY);
	SetConsoleCtrlHandler(remove_incomplete_on_break, TRUE);
}

bool open_input(const path_char *path, input_file *input)
{
	if (!system_path(path, input_path)) {
		record_failure("can't open", false);
		return false;
	}
	HANDLE handle;
	retry_state retry = {0, 50};
	for (;;) {
		handle = CreateFileW(input_path, GENERIC_READ, FILE_SHARE_READ, nullptr,
		                     OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
		if (handle != INVALID_HANDLE_VALUE)
			break;
		DWORD error = GetLastError();
		// A directory is refused with "access denied" too, and stays one.
		DWORD attributes = GetFileAttributesW(input_path);
		bool directory = attributes != INVALID_FILE_ATTRIBUTES &&
		                 (attributes & FILE_ATTRIBUTE_DIRECTORY);
		if (!is_busy(error) || directory || !wait_before_retry(&retry)) {
			SetLastError(error);
			record_failure("can't open", false);
			return false;
		}
	}
	// Only files on disk: not a console, printer port or pipe ("CON",
	// "LPT1", ...), and not a directory.
	if (GetFileType(handle) != FILE_TYPE_DISK ||
	    !GetFileInformationByHandle(handle, &input->identity) ||
	    (input->identity.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
		SetLastError(ERROR_INVALID_FUNCTION);
		record_failure("not a regular file", false);
		CloseHandle(handle);
		return false;
	}
	// Through a symbolic link the user means the file it points to.
	input->target = input_path;
	DWORD attributes = GetFileAttributesW(input_path);
	if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
		DWORD length = GetFinalPathNameByHandleW(handle, resolved_target, extended_path,
		                                         FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
		if (length == 0 || length >= extended_path) {
			record_failure("can't resolve the link", false);
			CloseHandle(handle);
			return false;
		}
		input->target = resolved_target;
	}
	input->stream = stream_over(handle, _O_RDONLY, "rb");
	if (input->stream == nullptr)
		record_c_library_failure("can't open", false);
	return input->stream != nullptr;
}

bool lock_working_directory()
{
	// A named mutex stands in for a lock on the directory. Its name comes
	// from the directory's identity, not its spelling, so that "C:\Work",
	// "c:\work\" and a mapped drive all meet at the same lock. Windows
	// releases it when the process ends, however it ends.
	BY_HANDLE_FILE_INFORMATION directory;
	if (!identity_of(L".", 0, &directory)) {
		record_failure("can't lock the working directory", true);
		return false;
	}
	wchar_t name[96];
	const wchar_t *namespaces[] = {L"Global", L"Local"};
	for (const wchar_t *space : namespaces) {
		_snwprintf(name, sizeof name / sizeof(wchar_t), L"%ls\\morvet-%08lx-%08lx%08lx",
		           space, directory.dwVolumeSerialNumber, directory.nFileIndexHigh,
		           directory.nFileIndexLow);
		HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
		if (mutex == nullptr)
			continue;
		// Another run usually finishes within moments; a user kept waiting
		// longer is told why the tool sits there.
		DWORD waited = WaitForSingleObject(mutex, 1000);
		if (waited == WAIT_TIMEOUT) {
			report_note(nullptr, "waiting for another run in this directory to finish");
			waited = WaitForSingleObject(mutex, INFINITE);
		}
		if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED)
			return true;
		record_failure("can't lock the working directory", true);
		return false;
	}
	record_failure("can't lock the working directory", true);
	return false;
}

bool is_temporary_file(const input_file *input)
{
	BY_HANDLE_FILE_INFORMATION temporary;
	if (identity_of(temporary_name, FILE_FLAG_OPEN_REPARSE_POINT, &temporary) &&
	    same_file(temporary, input->identity))
		return true;
	return identity_of(temporary_name, 0, &temporary) && same_file(temporary, input->identity);
}

std::FILE *create_temporary(const input_file *)
{
	// DeleteFileW removes a link itself, never what it points to; a stale
	// file marked read-only needs that mark taken off first.
	if (!DeleteFileW(temporary_name)) {
		DWORD error = GetLastError();
		if (error == ERROR_ACCESS_DENIED &&
		    SetFileAttributesW(temporary_name, FILE_ATTRIBUTE_NORMAL)) {
			if (!DeleteFileW(temporary_name)) {
				record_failure("can't remove the old temporary file", true);
				return nullptr;
			}
		} else if (error != ERROR_FILE_NOT_FOUND) {
			SetLastError(error);
			record_failure("can't remove the old temporary file", true);
			return nullptr;
		}
	}
	// DELETE for the rename into place; the rest to take over the input's
	// permissions.
	HANDLE handle = CreateFileW(temporary_name,
	                            GENERIC_READ | GENERIC_WRITE | DELETE | WRITE_DAC | WRITE_OWNER,
	                            0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
	if (handle == INVALID_HANDLE_VALUE) {
		record_failure("can't create the temporary file", true);
		return nullptr;
	}
	temporary_handle = handle;
	watch_incomplete(temporary_slot, handle);
	HANDLE for_stream = INVALID_HANDLE_VALUE;
	if (!DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &for_stream, 0,
	                     FALSE, DUPLICATE_SAME_ACCESS)) {
		record_failure("can't create the temporary file", true);
		discard_temporary(nullptr);
		return nullptr;
	}
	std::FILE *stream = stream_over(for_stream, _O_RDWR, "w+b");
	if (stream == nullptr) {
		record_c_library_failure("can't create the temporary file", true);
		discard_temporary(nullptr);
	}
	return stream;
}

void start_writing_back(std::FILE *)
{
	// Windows starts writing dirty pages back on its own schedule and has
	// no request to hurry it that would not also wait for it.
}

bool commit_temporary(std::FILE *temporary)
{
	bool committed = std::fflush(temporary) == 0;
	if (!committed)
		record_c_library_failure("can't write the temporary file", true);
	if (committed && !FlushFileBuffers(temporary_handle)) {
		record_failure("can't sync the temporary file", true);
		committed = false;
	}
	if (std::fclose(temporary) != 0 && committed) {
		record_c_library_failure("can't write the temporary file", true);
		committed = false;
	}
	return committed;
}

void discard_temporary(std::FILE *temporary)
{
	if (temporary != nullptr)
		(void)std::fclose(temporary);
	if (temporary_handle != INVALID_HANDLE_VALUE)
		remove_created(temporary_slot, temporary_handle);
	temporary_handle = INVALID_HANDLE_VALUE;
}

void close_input(input_file *input)
{
	// Read-only: nothing can be lost at its close.
	(void)std::fclose(input->stream);
	input->stream = nullptr;
}

void release_input(input_file *)
{
	// The input's handle belongs to its stream, closed with it.
}

replace_result replace_input(const input_file *input)
{
	// Windows refuses to replace a read-only file. Refusing here as well
	// makes that certain on every file system and emulation, rather than
	// up to the one the file lies on.
	DWORD attributes = GetFileAttributesW(input->target);
	if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
		SetLastError(ERROR_ACCESS_DENIED);
		record_failure("can't replace the file", false);
		keep_temporary();
		return REPLACE_FAILED_RESULT_KEPT;
	}
	// A working directory on another volume is known by its serial number
	// (the rename would say so too, but only after the temporary file had
	// been given permissions its own volume may not hold).
	BY_HANDLE_FILE_INFORMATION temporary;
	if (GetFileInformationByHandle(temporary_handle, &temporary) &&
	    temporary.dwVolumeSerialNumber != input->identity.dwVolumeSerialNumber)
		return replace_across_volumes(input);
	switch (move_into_place(temporary_handle, temporary_slot, input)) {
	case MOVED:
		// The handle now names the user's file, which stays.
		CloseHandle(temporary_handle);
		temporary_handle = INVALID_HANDLE_VALUE;
		return REPLACED;
	case MOVE_OTHER_VOLUME:
		return replace_across_volumes(input);
	case MOVE_INPUT_CHANGED:
		discard_temporary(nullptr);
		return REPLACE_INPUT_CHANGED;
	case MOVE_FAILED:
		break;
	}
	keep_temporary();
	return REPLACE_FAILED_RESULT_KEPT;
}

void write_path(const path_char *path, std::FILE *stream)
{
	// A console shows the name exactly as typed; anything else (a pipe, a
	// file) gets it in UTF-8, which loses no character.
	HANDLE out = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
	DWORD mode;
	if (GetConsoleMode(out, &mode) && std::fflush(stream) == 0) {
		DWORD written;
		if (WriteConsoleW(out, path, static_cast<DWORD>(std::wcslen(path)), &written, nullptr))
			return;
	}
	int length = WideCharToMultiByte(CP_UTF8, 0, path, -1, utf8_path, sizeof utf8_path,
	                                 nullptr, nullptr);
	if (length > 1)
		(void)std::fwrite(utf8_path, 1, static_cast<std::size_t>(length - 1), stream);
}

void write_temporary_location(std::FILE *stream)
{
	DWORD length = GetFullPathNameW(temporary_name, full_path_room, full_temporary_path,
	                                nullptr);
	if (length == 0 || length >= full_path_room) {
		write_path(temporary_name, stream);
		return;
	}
	write_path(full_temporary_path, stream);
}

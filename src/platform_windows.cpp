// platform_windows.cpp - the platform layer on Windows.
//
// Paths are wide strings as Windows hands them over, so names outside the
// ANSI code page work. The temporary file is created with CREATE_NEW after
// removing whatever stood at its name, and the result replaces the input
// with MoveFileExW (replace existing, write through), which swaps the
// directory entry in one step. ReplaceFileW is not used: when it fails
// midway without a backup name it can leave the input deleted.
#include "platform.h"

#include <cerrno>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <io.h>

platform_failure last_failure;

namespace {

const wchar_t temporary_name[] = L"$$out$$.stp";
const DWORD extended_path = 32768;

// The incomplete temporary file's handle, for the console control handler
// to mark it for deletion if the user presses Ctrl+C mid-run.
HANDLE volatile temporary_handle = INVALID_HANDLE_VALUE;

wchar_t resolved_target[extended_path];
wchar_t directory_path[extended_path];
wchar_t beside_input_path[extended_path + 64];
char utf8_path[extended_path * 3];
wchar_t full_temporary_path[extended_path];
wchar_t error_text[512];
unsigned char copy_block[65536];

BOOL WINAPI remove_incomplete_on_break(DWORD)
{
	HANDLE handle = temporary_handle;
	if (handle != INVALID_HANDLE_VALUE) {
		FILE_DISPOSITION_INFO disposition = {TRUE};
		SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
		                           sizeof disposition);
	}
	return FALSE; // let the default handler end the process
}

bool same_file(const BY_HANDLE_FILE_INFORMATION &a, const BY_HANDLE_FILE_INFORMATION &b)
{
	return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
	       a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
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

// The directory part of path: "." for a bare name, "X:" for "X:name".
const wchar_t *directory_of(const wchar_t *path)
{
	const wchar_t *separator = nullptr;
	for (const wchar_t *p = path; *p != L'\0'; ++p) {
		if (*p == L'\\' || *p == L'/')
			separator = p;
	}
	std::size_t length;
	if (separator != nullptr)
		length = separator == path ? 1 : static_cast<std::size_t>(separator - path);
	else if (path[0] != L'\0' && path[1] == L':')
		length = 2;
	else
		return L".";
	if (length >= extended_path)
		return nullptr;
	std::wmemcpy(directory_path, path, length);
	directory_path[length] = L'\0';
	return directory_path;
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

// The working directory and the input lie on different volumes, where a
// move would be a copy onto the input itself. Copy the result into a new
// file beside the input instead, flush it, and move that one over the
// input within its own volume.
bool replace_across_volumes(const input_file *input)
{
	const wchar_t *directory = directory_of(input->target);
	if (directory == nullptr) {
		SetLastError(ERROR_FILENAME_EXCED_RANGE);
		record_failure("can't make a copy beside the file", false);
		return false;
	}
	HANDLE from = CreateFileW(temporary_name, GENERIC_READ, FILE_SHARE_READ, nullptr,
	                          OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
	if (from == INVALID_HANDLE_VALUE) {
		record_failure("can't read the result back", true);
		return false;
	}
	HANDLE to = INVALID_HANDLE_VALUE;
	for (unsigned attempt = 0; attempt < 100 && to == INVALID_HANDLE_VALUE; ++attempt) {
		_snwprintf(beside_input_path, sizeof beside_input_path / sizeof(wchar_t),
		           L"%ls\\.morvet-%lu-%u.tmp", directory, GetCurrentProcessId(), attempt);
		to = CreateFileW(beside_input_path, GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
		                 FILE_ATTRIBUTE_NORMAL, nullptr);
		if (to == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS)
			break;
	}
	if (to == INVALID_HANDLE_VALUE) {
		record_failure("can't make a copy beside the file", false);
		CloseHandle(from);
		return false;
	}
	temporary_handle = to;
	bool copied = copy_file_contents(from, to);
	if (!copied)
		record_failure("can't write the copy beside the file", false);
	if (copied && !FlushFileBuffers(to)) {
		record_failure("can't sync the copy beside the file", false);
		copied = false;
	}
	CloseHandle(from);
	temporary_handle = INVALID_HANDLE_VALUE;
	if (!CloseHandle(to) && copied) {
		record_failure("can't write the copy beside the file", false);
		copied = false;
	}
	if (copied && !MoveFileExW(beside_input_path, input->target,
	                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
		record_failure("can't replace the file", false);
		copied = false;
	}
	if (!copied) {
		DeleteFileW(beside_input_path);
		return false;
	}
	// The result is in place; a stale copy left in the working directory is
	// removed by the next run there.
	DeleteFileW(temporary_name);
	return true;
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
	HANDLE handle = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
	                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
	if (handle == INVALID_HANDLE_VALUE) {
		record_failure("can't open", false);
		return false;
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
	input->target = path;
	DWORD attributes = GetFileAttributesW(path);
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
		DWORD waited = WaitForSingleObject(mutex, INFINITE);
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
	HANDLE handle = CreateFileW(temporary_name, GENERIC_READ | GENERIC_WRITE | DELETE, 0,
	                            nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
	if (handle == INVALID_HANDLE_VALUE) {
		record_failure("can't create the temporary file", true);
		return nullptr;
	}
	temporary_handle = handle;
	std::FILE *stream = stream_over(handle, _O_RDWR, "w+b");
	if (stream == nullptr) {
		record_c_library_failure("can't create the temporary file", true);
		discard_temporary(nullptr);
	}
	return stream;
}

bool commit_temporary(std::FILE *temporary)
{
	// The C runtime hands the handle back as an integer.
	HANDLE handle = reinterpret_cast<HANDLE>( // NOLINT(performance-no-int-to-ptr)
		_get_osfhandle(_fileno(temporary)));
	bool committed = std::fflush(temporary) == 0;
	if (!committed)
		record_c_library_failure("can't write the temporary file", true);
	if (committed && !FlushFileBuffers(handle)) {
		record_failure("can't sync the temporary file", true);
		committed = false;
	}
	temporary_handle = INVALID_HANDLE_VALUE;
	if (std::fclose(temporary) != 0 && committed) {
		record_c_library_failure("can't write the temporary file", true);
		committed = false;
	}
	return committed;
}

void discard_temporary(std::FILE *temporary)
{
	temporary_handle = INVALID_HANDLE_VALUE;
	if (temporary != nullptr)
		(void)std::fclose(temporary);
	DeleteFileW(temporary_name);
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
		return REPLACE_FAILED_RESULT_KEPT;
	}
	if (MoveFileExW(temporary_name, input->target,
	                MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
		return REPLACED;
	if (GetLastError() == ERROR_NOT_SAME_DEVICE)
		return replace_across_volumes(input) ? REPLACED : REPLACE_FAILED_RESULT_KEPT;
	record_failure("can't replace the file", false);
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
	DWORD length = GetFullPathNameW(temporary_name, extended_path - 1, full_temporary_path,
	                                nullptr);
	if (length == 0 || length >= extended_path - 1) {
		write_path(temporary_name, stream);
		return;
	}
	write_path(full_temporary_path, stream);
}

// platform_windows.cpp - the platform layer on Windows.
//
// Paths are wide strings as Windows hands them over, so names outside the
// ANSI code page work. The input is opened by its full path, which is also
// where the result goes, so rooted ("\board.stp") and drive-relative
// ("D:board.stp") names mean what they mean to the user. Every full path the
// program makes (the input's, the temporary file's, the copy beside the
// input) gets the "\\?\" prefix once it reaches MAX_PATH, which lifts the
// length limit on systems without the long-path policy.
//
// The input stays open from the first read to the end of its run, shared
// with no writer: no other program can write it meanwhile. The temporary
// file stays open from its creation to the end of the run, shared with no
// one. To replace the input, its path is opened for deletion and must
// still name the file that was read (the same identity, size, last-write
// time and change time: the change time cannot be put back by the tools
// that put back a last-write time). That handle moves the input aside to
// a hidden name beside it, the result's own handle gives the result the
// input's name, and the moved-aside input is removed; if the result cannot
// take the name, the input is moved back. Nothing is renamed over a name
// that is taken, and no write can fall between the check and the result
// taking the name.
//
// What the user expects of the file after an edit comes along: its named
// streams, hidden and system attributes, creation time, owner and DACL,
// compression and encryption; the archive attribute is set, as the content
// changed. ReplaceFileW, which carries some of those itself, is not used:
// it works on names rather than the handle, it can fail midway and leave the
// input moved away, and Wine's keeps no attributes.
//
// Anti-virus scanners, indexers and backup agents open a fresh file for a
// moment; opening the input and replacing it are retried for a few seconds
// while another program holds the file. A plain denial is not waited for,
// and a look at its attributes alone keeps nothing from it.
#include "platform.h"

#include <cerrno>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <io.h>
#include <tlhelp32.h>
#include <winioctl.h>

#include "report.h"

// The full path of path in the form the system takes at any length (or,
// always, with the prefix that keeps every character of its name); a path
// that already has the prefix is taken as it stands.
bool windows_system_path(const wchar_t *path, wchar_t *out, bool always = false);
// The length of the directory part of path, its last separator (or a
// drive's colon) included, so that a name appended to it lies beside the
// file, also in a drive's root.
std::size_t windows_directory_length(const wchar_t *path);
// In arguments_windows.cpp: the exact full path of a name a wildcard found,
// for its path as shown; null for any other path.
const wchar_t *windows_exact_path(const wchar_t *path);

const wchar_t temporary_name[] = L"$$out$$.stp";

namespace {

const DWORD extended_path = 32768;
// GetFullPathNameW is given one character less than the longest path:
// Wine's returns garbage for a drive-relative path on another drive when
// the buffer holds 32768 characters.
const DWORD full_path_room = extended_path - 1;
// Room for a path and a suffix (a stream name, a name beside the input).
const DWORD path_room = extended_path + 320;

// Attributes the result takes over from the input. Read-only files are
// refused; the archive attribute is set on every result, since its content
// changed and a backup must take it again; compression and encryption come
// from the way the result is created.
const DWORD carried_attributes =
	FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Owner, group and DACL; the SACL needs a privilege users do not hold.
const SECURITY_INFORMATION carried_security =
	OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

// What a new file beside the input or in the working directory is opened
// with: DELETE for the rename into place and the removal of an incomplete
// file. The rights to set the security descriptor are asked for only where
// the volume keeps one, and dropped where they are refused (an SMB share
// with "Change" rights); the result then keeps the descriptor it was
// created with, which is set only if it differs from the input's.
const DWORD file_access = GENERIC_READ | GENERIC_WRITE | DELETE;
const DWORD security_access[] = {WRITE_DAC | WRITE_OWNER, WRITE_DAC, 0};

// ERROR_DIRECTORY_NOT_SUPPORTED, which older headers lack: the reason given
// for a directory named as a file.
const DWORD directory_not_supported = 336;

// FileIdInfo, from Windows 8 on: Windows 7 answers that it does not know it.
const FILE_INFO_BY_HANDLE_CLASS file_id_info = static_cast<FILE_INFO_BY_HANDLE_CLASS>(18);

// Files the console control handler removes when the user presses Ctrl+C
// or Ctrl+Break (the temporary file, and the copy beside the input on
// another volume) before it ends the run with status 1.
// The handler runs on a thread of its own, so it and the rename that
// commits a file agree under a lock: once the handler has run, nothing is
// renamed into place, and once a file is in place the handler no longer
// knows it.
enum { temporary_slot, beside_slot, slot_count };
SRWLOCK files_lock = SRWLOCK_INIT;
HANDLE incomplete_files[slot_count] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
bool broken_off = false;

wchar_t full_path_scratch[extended_path];
wchar_t input_path[path_room];
wchar_t target_path[path_room];
wchar_t temporary_path[path_room];
wchar_t beside_path[path_room];
wchar_t aside_path[path_room];
wchar_t stream_from_path[path_room];
wchar_t stream_to_path[path_room];
char utf8_path[path_room * 3];
char utf8_location[path_room * 3];
wchar_t error_text[512];
unsigned char copy_block[65536];
// A security descriptor is at most 64 KB.
alignas(SECURITY_DESCRIPTOR) unsigned char input_security[65536];
alignas(SECURITY_DESCRIPTOR) unsigned char result_security[65536];
alignas(FILE_STREAM_INFO) unsigned char stream_block[65536];
alignas(FILE_RENAME_INFO) unsigned char rename_block[sizeof(FILE_RENAME_INFO) +
                                                     path_room * sizeof(wchar_t)];

// ---- Paths

bool starts_with(const wchar_t *text, const wchar_t *prefix)
{
	return std::wcsncmp(text, prefix, std::wcslen(prefix)) == 0;
}

// Puts the "\\?\" (or "\\?\UNC\") prefix in front of the full path in
// place, once it is long enough to need it (or always); room is the
// buffer's size.
bool extend_if_long(wchar_t *path, std::size_t room, bool always = false)
{
	std::size_t length = std::wcslen(path);
	if ((length < MAX_PATH - 12 && !always) || starts_with(path, L"\\\\?\\") ||
	    starts_with(path, L"\\\\.\\"))
		return true;
	// From a few characters short of MAX_PATH on: some calls count the
	// limit with room for an 8.3 name.
	bool unc = path[0] == L'\\' && path[1] == L'\\';
	const wchar_t *prefix = unc ? L"\\\\?\\UNC" : L"\\\\?\\";
	std::size_t skip = unc ? 1 : 0; // "\\server" keeps one backslash
	std::size_t prefix_length = std::wcslen(prefix);
	if (length - skip + prefix_length + 1 > room) {
		SetLastError(ERROR_FILENAME_EXCED_RANGE);
		return false;
	}
	std::wmemmove(path + prefix_length, path + skip, length - skip + 1);
	for (std::size_t i = 0; i < prefix_length; ++i) // the path's own end stays
		path[i] = prefix[i];
	return true;
}

// path_length characters of path, then suffix_length of suffix, into out
// (path_room characters), with the prefix once it is long.
bool join(wchar_t *out, const wchar_t *path, std::size_t path_length, const wchar_t *suffix,
          std::size_t suffix_length)
{
	if (path_length + suffix_length + 1 > path_room) {
		SetLastError(ERROR_FILENAME_EXCED_RANGE);
		return false;
	}
	std::wmemmove(out, path, path_length);
	std::wmemcpy(out + path_length, suffix, suffix_length);
	out[path_length + suffix_length] = L'\0';
	return extend_if_long(out, path_room);
}

// Records step with the system's last error, for a caller that fails.
bool failed(failure *why, failed_step step)
{
	record_failure(why, step);
	return false;
}

bool failed(failure *why, failed_step step, DWORD error)
{
	SetLastError(error);
	return failed(why, step);
}

// ---- Identity

// What tells one file from another, and one state of it from the next.
struct file_state {
	BY_HANDLE_FILE_INFORMATION identity;
	FILE_ID_INFO long_identity;
	bool has_long_identity;
	LARGE_INTEGER change_time;
};

bool read_state(HANDLE handle, file_state *state)
{
	if (!GetFileInformationByHandle(handle, &state->identity))
		return false;
	// The 128-bit identity where the volume has one (ReFS, and NTFS from
	// Windows 8 on); the 64-bit index is not unique on ReFS.
	state->has_long_identity = GetFileInformationByHandleEx(handle, file_id_info, &state->long_identity,
	                                                        sizeof state->long_identity) != 0;
	FILE_BASIC_INFO basic;
	if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic))
		return false;
	state->change_time = basic.ChangeTime;
	return true;
}

bool same_file(const file_state &a, const file_state &b)
{
	if (a.has_long_identity && b.has_long_identity)
		return a.long_identity.VolumeSerialNumber == b.long_identity.VolumeSerialNumber &&
		       std::memcmp(&a.long_identity.FileId, &b.long_identity.FileId,
		                   sizeof a.long_identity.FileId) == 0;
	return a.identity.dwVolumeSerialNumber == b.identity.dwVolumeSerialNumber &&
	       a.identity.nFileIndexHigh == b.identity.nFileIndexHigh &&
	       a.identity.nFileIndexLow == b.identity.nFileIndexLow;
}

bool same_volume(const file_state &a, const file_state &b)
{
	if (a.has_long_identity && b.has_long_identity)
		return a.long_identity.VolumeSerialNumber == b.long_identity.VolumeSerialNumber;
	return a.identity.dwVolumeSerialNumber == b.identity.dwVolumeSerialNumber;
}

// The same file with the same content as far as the system can tell: a
// write changes the change time even where the last-write time is put back.
bool same_content(const file_state &now, const file_state &then)
{
	return same_file(now, then) && now.identity.nFileSizeHigh == then.identity.nFileSizeHigh &&
	       now.identity.nFileSizeLow == then.identity.nFileSizeLow &&
	       CompareFileTime(&now.identity.ftLastWriteTime, &then.identity.ftLastWriteTime) == 0 &&
	       now.change_time.QuadPart == then.change_time.QuadPart;
}

file_state state_of(const input_file *input)
{
	return {input->identity, input->long_identity, input->has_long_identity, input->change_time};
}

// A look at what stands at path, file or directory, that keeps nothing
// from anyone; flags choose whether a link is followed.
HANDLE open_to_look(const wchar_t *path, DWORD flags)
{
	return CreateFileW(path, FILE_READ_ATTRIBUTES,
	                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
	                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags, nullptr);
}

// The state of what stands at path; flags choose whether a link is followed.
bool state_at(const wchar_t *path, DWORD flags, file_state *state)
{
	HANDLE handle = open_to_look(path, flags);
	if (handle == INVALID_HANDLE_VALUE)
		return false;
	bool known = read_state(handle, state);
	CloseHandle(handle);
	return known;
}

// True when path, followed or not, names the file described by state.
bool names_file(const wchar_t *path, const file_state &state)
{
	file_state found;
	return (state_at(path, FILE_FLAG_OPEN_REPARSE_POINT, &found) && same_file(found, state)) ||
	       (state_at(path, 0, &found) && same_file(found, state));
}

DWORD volume_flags_of(HANDLE handle)
{
	DWORD flags = 0;
	return GetVolumeInformationByHandleW(handle, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0)
	               ? flags
	               : 0;
}

// ---- Waiting for another program

// Opens the existing path. While another program has it open or locked
// for the moment, tries again after a pause growing from 50 ms to 1 s,
// about five seconds in all; a plain denial (no permission, a file being
// deleted) does not pass by waiting.
// One pause of that wait, *waited long so far; false once it is over.
bool pause_waiting(DWORD *waited)
{
	if (*waited >= 5000)
		return false;
	DWORD pause = *waited < 50 ? 50 : *waited < 1000 ? *waited : 1000;
	Sleep(pause);
	*waited += pause;
	return true;
}

HANDLE open_waiting(const wchar_t *path, DWORD access, DWORD share, DWORD flags)
{
	for (DWORD waited = 0;;) {
		HANDLE handle = CreateFileW(path, access, share, nullptr, OPEN_EXISTING, flags, nullptr);
		DWORD error = GetLastError();
		if (handle != INVALID_HANDLE_VALUE ||
		    (error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION) ||
		    !pause_waiting(&waited))
			return handle;
	}
}

// ---- Files this run creates

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
	// A run broken off failed, whatever Windows would make of it; what was
	// said so far is not lost.
	(void)std::fflush(stdout);
	TerminateProcess(GetCurrentProcess(), 1);
	return TRUE;
}

void watch_incomplete(int slot, HANDLE handle)
{
	AcquireSRWLockExclusive(&files_lock);
	incomplete_files[slot] = handle;
	ReleaseSRWLockExclusive(&files_lock);
}

// Closes a file this run created and removes it; says so when it cannot.
void remove_created(int slot, HANDLE handle, const wchar_t *path)
{
	watch_incomplete(slot, INVALID_HANDLE_VALUE);
	bool marked = set_delete_on_close(handle, true);
	CloseHandle(handle);
	if (!marked)
		report_note(nullptr, NOTE_LEFT_BEHIND, path_text(path));
}

// Creates path anew, exclusively, for a result: the rights to set its
// security descriptor where they are needed and granted, encrypted from
// its first byte when the input is, and watched by the Ctrl+C handler.
// *access says what the handle may do.
HANDLE create_result_file(const wchar_t *path, int slot, const input_file *input,
                          DWORD attributes, DWORD *access)
{
	bool encrypted = (input->identity.dwFileAttributes & FILE_ATTRIBUTE_ENCRYPTED) != 0;
	if (encrypted)
		attributes |= FILE_ATTRIBUTE_ENCRYPTED;
	bool keeps_security = (volume_flags_of(input->handle) & FILE_PERSISTENT_ACLS) != 0;
	HANDLE handle = INVALID_HANDLE_VALUE;
	for (DWORD extra : security_access) {
		if (!keeps_security && extra != 0)
			continue;
		AcquireSRWLockExclusive(&files_lock);
		if (broken_off) {
			SetLastError(ERROR_OPERATION_ABORTED);
		} else {
			handle = CreateFileW(path, file_access | extra, 0, nullptr, CREATE_NEW, attributes,
			                     nullptr);
			if (handle != INVALID_HANDLE_VALUE)
				incomplete_files[slot] = handle;
		}
		ReleaseSRWLockExclusive(&files_lock);
		if (handle != INVALID_HANDLE_VALUE) {
			*access = file_access | extra;
			break;
		}
		if (GetLastError() != ERROR_ACCESS_DENIED)
			break;
	}
	if (handle == INVALID_HANDLE_VALUE || !encrypted)
		return handle;
	// No plaintext may reach a file that is not encrypted (a volume or a
	// policy without EFS creates it plain without a word).
	BY_HANDLE_FILE_INFORMATION created;
	if (GetFileInformationByHandle(handle, &created) &&
	    (created.dwFileAttributes & FILE_ATTRIBUTE_ENCRYPTED))
		return handle;
	remove_created(slot, handle, path);
	SetLastError(ERROR_ENCRYPTION_FAILED);
	return INVALID_HANDLE_VALUE;
}

// Whether the file open as file is the one named path in its directory,
// as their final paths show: Wine shows a Unix symbolic link as a plain
// file, and follows it even where asked not to. *known is false where
// either final path cannot be had.
bool named_there(HANDLE file, const wchar_t *path, bool *known)
{
	*known = false;
	std::size_t directory = windows_directory_length(path);
	HANDLE here = join(stream_from_path, path, directory, L"", 0)
	                      ? open_to_look(stream_from_path, 0)
	                      : INVALID_HANDLE_VALUE;
	DWORD here_length = here == INVALID_HANDLE_VALUE
	                            ? 0
	                            : GetFinalPathNameByHandleW(here, stream_to_path, full_path_room, 0);
	if (here != INVALID_HANDLE_VALUE)
		CloseHandle(here);
	DWORD length = GetFinalPathNameByHandleW(file, full_path_scratch, full_path_room, 0);
	if (here_length == 0 || here_length >= full_path_room || length == 0 || length >= full_path_room)
		return false;
	// (A drive's root ends in its separator already.)
	if (stream_to_path[here_length - 1] != L'\\')
		stream_to_path[here_length++] = L'\\';
	const wchar_t *name = path + directory;
	if (!join(stream_from_path, stream_to_path, here_length, name, std::wcslen(name)))
		return false;
	*known = true;
	// (Wine's final path drops a name's trailing dots and spaces.)
	auto kept = [](const wchar_t *text) {
		int length = static_cast<int>(std::wcslen(text));
		while (length > 0 && (text[length - 1] == L'.' || text[length - 1] == L' '))
			--length;
		return length;
	};
	return CompareStringOrdinal(full_path_scratch, kept(full_path_scratch), stream_from_path,
	                            kept(stream_from_path), TRUE) == CSTR_EQUAL;
}

// Removes what stands at the temporary name through a handle to that very
// name, never to what a link there leads to (Wine follows a Unix symbolic
// link even when asked not to: the handle's final path tells). A stale
// file marked read-only loses the mark first, unless it has other links,
// whose file would lose it too.
bool remove_stale(failure *why)
{
	HANDLE stale = open_waiting(temporary_path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
	                            0, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS);
	if (stale == INVALID_HANDLE_VALUE)
		return GetLastError() == ERROR_FILE_NOT_FOUND || failed(why, FAILED_REMOVE_OLD_TEMPORARY);
	BY_HANDLE_FILE_INFORMATION state;
	bool known = false; // and where it cannot be, nothing is removed
	bool removable = named_there(stale, temporary_path, &known) &&
	                 GetFileInformationByHandle(stale, &state);
	if (!removable) {
		SetLastError(ERROR_CANT_ACCESS_FILE);
	} else if (state.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
		// No run leaves a directory there: someone's, not to be removed.
		SetLastError(directory_not_supported);
		removable = false;
	} else if ((state.dwFileAttributes & FILE_ATTRIBUTE_READONLY) && state.nNumberOfLinks > 1) {
		SetLastError(ERROR_ACCESS_DENIED);
		removable = false;
	} else if (state.dwFileAttributes & FILE_ATTRIBUTE_READONLY) {
		FILE_BASIC_INFO basic = {};
		basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
		removable = SetFileInformationByHandle(stale, FileBasicInfo, &basic, sizeof basic) != 0;
	}
	removable = removable && set_delete_on_close(stale, true);
	if (!removable)
		record_failure(why, FAILED_REMOVE_OLD_TEMPORARY);
	CloseHandle(stale);
	// A program that has it open, sharing it for deletion, keeps the name
	// until it lets go: waited for as for a reader of the input.
	for (DWORD waited = 0; removable && GetFileAttributesW(temporary_path) != INVALID_FILE_ATTRIBUTES;) {
		if (!pause_waiting(&waited))
			removable = failed(why, FAILED_REMOVE_OLD_TEMPORARY, ERROR_SHARING_VIOLATION);
	}
	return removable;
}

// Gives a new, empty result file the input's compression: NTFS compresses
// what is written from then on.
bool take_over_compression(HANDLE file, const input_file *input, failure *why)
{
	if (!(input->identity.dwFileAttributes & FILE_ATTRIBUTE_COMPRESSED))
		return true;
	USHORT format = COMPRESSION_FORMAT_DEFAULT;
	DWORD returned = 0;
	return DeviceIoControl(file, FSCTL_SET_COMPRESSION, &format, sizeof format, nullptr, 0,
	                       &returned, nullptr) ||
	       failed(why, FAILED_SET_ATTRIBUTES);
}

bool write_all(HANDLE handle, const unsigned char *data, std::size_t length)
{
	while (length > 0) {
		DWORD piece = length > (1u << 30) ? (1u << 30) : static_cast<DWORD>(length);
		DWORD written = 0;
		if (!WriteFile(handle, data, piece, &written, nullptr))
			return false;
		if (written == 0) {
			SetLastError(ERROR_WRITE_FAULT);
			return false;
		}
		data += written;
		length -= written;
	}
	return true;
}

// Reads at offset, 64 bits wide, without depending on the file pointer;
// *got is 0 at the end.
bool read_at(HANDLE handle, std::uint64_t offset, unsigned char *buffer, std::size_t size,
             std::size_t *got)
{
	OVERLAPPED at = {};
	at.Offset = static_cast<DWORD>(offset);
	at.OffsetHigh = static_cast<DWORD>(offset >> 32);
	DWORD piece = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
	DWORD read = 0;
	if (!ReadFile(handle, buffer, piece, &read, &at)) {
		if (GetLastError() != ERROR_HANDLE_EOF)
			return false;
		read = 0;
	}
	*got = read;
	return true;
}

// ---- What the result takes over

// Copies all of from, from its start, to the end of to.
bool copy_all(HANDLE from, HANDLE to, failure *why)
{
	for (std::uint64_t offset = 0;;) {
		std::size_t got = 0;
		if (!read_at(from, offset, copy_block, sizeof copy_block, &got))
			return failed(why, FAILED_READ_RESULT);
		if (got == 0)
			return true;
		if (!write_all(to, copy_block, got))
			return failed(why, FAILED_WRITE_BESIDE);
		offset += got;
	}
}

// Copies one named stream, name as the system lists it (":name:$DATA"),
// from the input to the file at path; the caller names the failure.
bool copy_stream(const wchar_t *name, std::size_t name_length, const wchar_t *path,
                 failure *why)
{
	if (!join(stream_from_path, target_path, std::wcslen(target_path), name, name_length) ||
	    !join(stream_to_path, path, std::wcslen(path), name, name_length))
		return false;
	HANDLE from = CreateFileW(stream_from_path, GENERIC_READ, FILE_SHARE_READ, nullptr,
	                          OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
	if (from == INVALID_HANDLE_VALUE)
		return false;
	HANDLE to = CreateFileW(stream_to_path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
	                        FILE_ATTRIBUTE_NORMAL, nullptr);
	bool copied = to != INVALID_HANDLE_VALUE && copy_all(from, to, why);
	DWORD error = GetLastError();
	if (to != INVALID_HANDLE_VALUE && !CloseHandle(to) && copied) {
		error = GetLastError();
		copied = false;
	}
	CloseHandle(from);
	SetLastError(error);
	return copied;
}

// The input's named streams, as the system lists them: a downloaded file's
// Zone.Identifier, a tool's own data. Volumes without streams (FAT, and
// Wine's) list none. Each is copied to the file at path; without a path
// they are only listed, so that a file whose streams would be lost is
// refused before anything is written.
bool copy_streams(const input_file *input, const wchar_t *path, failure *why)
{
	if (!(volume_flags_of(input->handle) & FILE_NAMED_STREAMS))
		return true;
	if (!GetFileInformationByHandleEx(input->handle, FileStreamInfo, stream_block,
	                                  sizeof stream_block)) {
		DWORD error = GetLastError();
		return error == ERROR_HANDLE_EOF || error == ERROR_INVALID_PARAMETER ||
		       error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ||
		       failed(why, FAILED_COPY_STREAMS);
	}
	for (const unsigned char *at = stream_block;;) {
		const auto *stream = reinterpret_cast<const FILE_STREAM_INFO *>(at);
		std::size_t length = stream->StreamNameLength / sizeof(wchar_t);
		// "::$DATA" is the file's own content.
		bool own_data = length == 7 && std::wcsncmp(stream->StreamName, L"::$DATA", 7) == 0;
		if (path != nullptr && !own_data && !copy_stream(stream->StreamName, length, path, why))
			return failed(why, FAILED_COPY_STREAMS);
		if (stream->NextEntryOffset == 0)
			return true;
		at += stream->NextEntryOffset;
	}
}

// Whether two security descriptors have the same DACL, byte for byte,
// equally present and equally protected from inheritance.
bool same_dacl(void *a, void *b, bool *same)
{
	void *descriptors[] = {a, b};
	BOOL present[2] = {}, defaulted = FALSE;
	ACL *dacls[2] = {};
	SECURITY_DESCRIPTOR_CONTROL controls[2] = {};
	DWORD revision = 0;
	for (int i = 0; i < 2; ++i) {
		if (!GetSecurityDescriptorDacl(descriptors[i], &present[i], &dacls[i], &defaulted) ||
		    !GetSecurityDescriptorControl(descriptors[i], &controls[i], &revision))
			return false;
		if (!present[i])
			dacls[i] = nullptr;
	}
	if ((present[0] != FALSE) != (present[1] != FALSE) ||
	    ((controls[0] ^ controls[1]) & SE_DACL_PROTECTED))
		*same = false;
	else if (dacls[0] == nullptr || dacls[1] == nullptr)
		*same = dacls[0] == dacls[1];
	else
		*same = dacls[0]->AclSize == dacls[1]->AclSize &&
		        std::memcmp(dacls[0], dacls[1], dacls[0]->AclSize) == 0;
	return true;
}

// Gives file the input's DACL, and its owner and group where this user may
// assign them (otherwise the user who ran the tool owns the result, as
// with any editor). A volume without ACLs (FAT, exFAT) has none to keep.
bool take_over_security(HANDLE file, DWORD access, const input_file *input, failure *why)
{
	if (!(volume_flags_of(input->handle) & FILE_PERSISTENT_ACLS))
		return true;
	DWORD needed = 0;
	bool same = false;
	if (!GetKernelObjectSecurity(input->handle, carried_security, input_security,
	                             sizeof input_security, &needed) ||
	    !GetKernelObjectSecurity(file, carried_security, result_security, sizeof result_security,
	                             &needed) ||
	    !same_dacl(input_security, result_security, &same))
		return failed(why, FAILED_READ_PERMISSIONS);
	if (!same && !SetKernelObjectSecurity(file, DACL_SECURITY_INFORMATION, input_security))
		return failed(why, FAILED_SET_PERMISSIONS);
	if (access & WRITE_OWNER) {
		(void)SetKernelObjectSecurity(file, OWNER_SECURITY_INFORMATION, input_security);
		(void)SetKernelObjectSecurity(file, GROUP_SECURITY_INFORMATION, input_security);
	}
	return true;
}

// Everything file takes over from the input before it takes its place:
// named streams, permissions, attributes and creation time.
bool take_over(HANDLE file, DWORD access, const wchar_t *path, const input_file *input,
               failure *why)
{
	FILE_BASIC_INFO basic = {};
	basic.CreationTime.LowPart = input->identity.ftCreationTime.dwLowDateTime;
	basic.CreationTime.HighPart = static_cast<LONG>(input->identity.ftCreationTime.dwHighDateTime);
	basic.FileAttributes =
		(input->identity.dwFileAttributes & carried_attributes) | FILE_ATTRIBUTE_ARCHIVE;
	return copy_streams(input, path, why) && take_over_security(file, access, input, why) &&
	       (SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic) ||
	        failed(why, FAILED_SET_ATTRIBUTES));
}

// ---- The replacement

// A fresh hidden name beside the input, into out: the copy made there
// from another volume, and the input moved aside while the result takes
// its name.
bool name_beside(const input_file *input, unsigned attempt, const wchar_t *ending, wchar_t *out)
{
	wchar_t name[64];
	(void)_snwprintf(name, sizeof name / sizeof name[0], L".morvet-%lu-%u.%ls",
	                 GetCurrentProcessId(), attempt, ending);
	name[63] = L'\0';
	return join(out, input->target, windows_directory_length(input->target), name,
	            std::wcslen(name));
}

bool rename_handle(HANDLE file, const wchar_t *target)
{
	std::size_t length = std::wcslen(target);
	auto *info = reinterpret_cast<FILE_RENAME_INFO *>(rename_block);
	std::memset(info, 0, sizeof *info);
	info->ReplaceIfExists = FALSE; // nothing is ever replaced that stands at a name
	info->FileNameLength = static_cast<DWORD>(length * sizeof(wchar_t));
	std::wmemcpy(info->FileName, target, length + 1);
	return SetFileInformationByHandle(
		       file, FileRenameInfo, info,
		       static_cast<DWORD>(sizeof(FILE_RENAME_INFO) + length * sizeof(wchar_t))) != 0;
}

enum move_outcome { MOVED, MOVE_FAILED, MOVE_INPUT_CHANGED, MOVE_OTHER_VOLUME };

// The input moved aside through old, file renamed to its name, and the
// moved-aside input removed; or, when file cannot take the name, the input
// moved back. Under the lock, so that Ctrl+C finds either the input in
// place or the result. The input's own handle, which shares with no
// writer, stays open throughout: no write can fall between the last check
// and the result taking the name.
move_outcome swap_into_place(HANDLE old, HANDLE file, int slot, input_file *input, failure *why)
{
	AcquireSRWLockExclusive(&files_lock);
	DWORD error = ERROR_OPERATION_ABORTED;
	bool aside = false;
	for (unsigned attempt = 0; !broken_off && !aside && attempt < 100; ++attempt) {
		aside = name_beside(input, attempt, L"old", aside_path) && rename_handle(old, aside_path);
		error = GetLastError();
		if (!aside && error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS)
			break;
	}
	move_outcome moved = MOVE_FAILED;
	if (aside && rename_handle(file, input->target)) {
		moved = MOVED;
		incomplete_files[slot] = INVALID_HANDLE_VALUE;
		if (!set_delete_on_close(old, true)) // the file's old content: named with the file
			report_note(input->given, NOTE_LEFT_BEHIND, path_text(aside_path));
	} else if (aside) {
		error = GetLastError();
		moved = error == ERROR_NOT_SAME_DEVICE ? MOVE_OTHER_VOLUME : MOVE_FAILED;
		// Another program put a file at the name in that instant: its
		// file stays, and the input is where the note says.
		file_state back;
		if (!rename_handle(old, input->target)) {
			report_note(input->given, NOTE_SWAPPED_OUT, path_text(aside_path));
			moved = MOVE_INPUT_CHANGED;
		} else if (read_state(old, &back)) {
			// Moving it changed only its change time, which the copy
			// from another volume checks again.
			input->change_time = back.change_time;
		}
	}
	ReleaseSRWLockExclusive(&files_lock);
	if (moved == MOVE_FAILED)
		failed(why, FAILED_REPLACE, error);
	return moved;
}

// Puts file, watched in slot, in the input's place. The input's path is
// opened for deletion and must name the file that was read, as it was:
// another program that saved over it, renamed another file onto it or
// removed it meanwhile keeps its file. A program that has the file open
// (a scanner, an indexer, a backup agent) is waited for a few seconds.
move_outcome move_into_place(HANDLE file, int slot, input_file *input, failure *why)
{
	// Deleted by another program while this run holds it, it only waits
	// for the run to let go before it goes. (Wine never says so.)
	FILE_STANDARD_INFO standing = {};
	if (GetFileInformationByHandleEx(input->handle, FileStandardInfo, &standing, sizeof standing) &&
	    standing.DeletePending)
		return MOVE_INPUT_CHANGED;
	HANDLE old = open_waiting(input->target, DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ,
	                          FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS);
	if (old == INVALID_HANDLE_VALUE) {
		DWORD error = GetLastError();
		if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
			return MOVE_INPUT_CHANGED;
		record_failure(why, FAILED_REPLACE);
		return MOVE_FAILED;
	}
	file_state now;
	move_outcome moved = MOVE_FAILED;
	if (!read_state(old, &now)) {
		record_failure(why, FAILED_CHECK_INPUT);
	} else if (!same_content(now, state_of(input))) {
		moved = MOVE_INPUT_CHANGED;
	} else if (now.identity.dwFileAttributes & FILE_ATTRIBUTE_READONLY) {
		// Made read-only meanwhile: attributes are not kept out by the
		// sharing mode.
		failed(why, FAILED_REPLACE, ERROR_ACCESS_DENIED);
	} else {
		moved = swap_into_place(old, file, slot, input, why);
	}
	CloseHandle(old);
	return moved;
}

// The complete result stays in "$$out$$.stp" for the user, made durable,
// with ordinary attributes in case it was given the input's hidden or
// system ones; where why is no failure to place it, it goes.
replace_result keep_result(temporary_file *temporary, const failure *why)
{
	if (!result_worth_keeping(why) || temporary->handle == INVALID_HANDLE_VALUE ||
	    !FlushFileBuffers(temporary->handle))
		return REPLACE_FAILED;
	FILE_BASIC_INFO basic = {};
	basic.FileAttributes = FILE_ATTRIBUTE_ARCHIVE;
	(void)SetFileInformationByHandle(temporary->handle, FileBasicInfo, &basic, sizeof basic);
	watch_incomplete(temporary_slot, INVALID_HANDLE_VALUE);
	CloseHandle(temporary->handle);
	temporary->handle = INVALID_HANDLE_VALUE;
	temporary->held = false;
	return REPLACE_FAILED_RESULT_KEPT;
}

// The working directory and the input lie on different volumes, where no
// rename reaches. The result is copied into a new file beside the input,
// which stays marked for deletion until it is complete, so a run killed
// meanwhile leaves nothing there; that copy is then renamed into place.
replace_result replace_across_volumes(temporary_file *temporary, input_file *input, failure *why)
{
	DWORD access = 0;
	HANDLE to = INVALID_HANDLE_VALUE;
	for (unsigned attempt = 0; attempt < 100 && name_beside(input, attempt, L"tmp", beside_path);
	     ++attempt) {
		to = create_result_file(beside_path, beside_slot, input, FILE_ATTRIBUTE_HIDDEN, &access);
		if (to != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS)
			break;
	}
	if (to == INVALID_HANDLE_VALUE) {
		record_failure(why, FAILED_CREATE_BESIDE);
		return keep_result(temporary, why);
	}
	temporary->beside = to;
	// Once complete, it may outlive the handle, and have streams of its own
	// (a file marked for deletion cannot be opened again for them).
	bool copied = (set_delete_on_close(to, true) || failed(why, FAILED_CREATE_BESIDE)) &&
	              take_over_compression(to, input, why) && copy_all(temporary->handle, to, why) &&
	              (set_delete_on_close(to, false) || failed(why, FAILED_CREATE_BESIDE)) &&
	              take_over(to, access, beside_path, input, why) &&
	              (FlushFileBuffers(to) || failed(why, FAILED_WRITE_BESIDE));
	move_outcome moved = copied ? move_into_place(to, beside_slot, input, why) : MOVE_FAILED;
	if (moved != MOVED) {
		remove_created(beside_slot, to, beside_path);
		temporary->beside = INVALID_HANDLE_VALUE;
		return moved == MOVE_INPUT_CHANGED ? REPLACE_INPUT_CHANGED : keep_result(temporary, why);
	}
	// In place: the handle now names the user's file, which stays; the
	// temporary file has done its work and goes at the rollback.
	CloseHandle(to);
	temporary->beside = INVALID_HANDLE_VALUE;
	return REPLACED;
}

// ---- The console

// A console takes characters, not bytes: the text goes out through
// WriteConsoleW in pieces of a few thousand characters, as older consoles
// refuse very long writes. Bytes of a character cut between two calls wait
// for the rest.
struct console_stream {
	char pending[4];
	std::size_t pending_length;
};
console_stream consoles[2];
const std::size_t console_piece = 8192;
char console_bytes[console_piece + 4];
wchar_t console_text[console_piece + 4]; // a byte makes one UTF-16 unit at most
char refused_bytes[3 * (console_piece + 4)];

// How many bytes at the end of text begin a UTF-8 character they do not
// finish.
std::size_t unfinished_tail(const char *text, std::size_t length)
{
	for (std::size_t back = 1; back <= 3 && back <= length; ++back) {
		unsigned char byte = static_cast<unsigned char>(text[length - back]);
		if ((byte & 0xC0) == 0x80)
			continue; // a continuation byte: look further back
		std::size_t needed = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
		return needed > back ? back : 0;
	}
	return 0;
}

// Writes text to the console out; whatever the console refuses goes to
// the stream as bytes, where a failure stays recorded for the end of the
// run.
void write_console(HANDLE out, console_stream *console, std::FILE *stream, const char *text,
                   std::size_t length)
{
	while (length > 0) {
		std::size_t piece = length < console_piece ? length : console_piece;
		std::memcpy(console_bytes, console->pending, console->pending_length);
		std::memcpy(console_bytes + console->pending_length, text, piece);
		std::size_t bytes = console->pending_length + piece;
		std::size_t tail = unfinished_tail(console_bytes, bytes);
		console->pending_length = 0;
		text += piece;
		length -= piece;
		int wide = 0;
		if (bytes > tail)
			wide = MultiByteToWideChar(CP_UTF8, 0, console_bytes, static_cast<int>(bytes - tail),
			                           console_text, console_piece + 4);
		DWORD offset = 0, written = 0;
		bool refused = bytes > tail && wide <= 0;
		while (!refused && offset < static_cast<DWORD>(wide)) {
			refused = !WriteConsoleW(out, console_text + offset, static_cast<DWORD>(wide) - offset,
			                         &written, nullptr) ||
			          written == 0;
			offset += refused ? 0 : written;
		}
		if (refused) {
			if (offset == 0) {
				(void)std::fwrite(console_bytes, 1, bytes, stream);
			} else {
				int made = WideCharToMultiByte(CP_UTF8, 0, console_text + offset,
				                               wide - static_cast<int>(offset), refused_bytes,
				                               sizeof refused_bytes, nullptr, nullptr);
				(void)std::fwrite(refused_bytes, 1, static_cast<std::size_t>(made > 0 ? made : 0),
				                  stream);
				(void)std::fwrite(console_bytes + bytes - tail, 1, tail, stream);
			}
			(void)std::fwrite(text, 1, length, stream);
			return;
		}
		std::memcpy(console->pending, console_bytes + bytes - tail, tail);
		console->pending_length = tail;
	}
}

// ---- Where the output goes

// True when Explorer started this process (a double-click, or files
// dropped on the program), not a console, a script or a scheduled task.
bool started_by_explorer()
{
	HANDLE all = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
	if (all == INVALID_HANDLE_VALUE)
		return false;
	PROCESSENTRY32W entry;
	DWORD parent = 0;
	bool explorer = false;
	for (int pass = 0; pass < 2; ++pass) {
		entry.dwSize = sizeof entry;
		for (BOOL more = Process32FirstW(all, &entry); more; more = Process32NextW(all, &entry)) {
			if (pass == 0 && entry.th32ProcessID == GetCurrentProcessId())
				parent = entry.th32ParentProcessID;
			else if (pass == 1 && parent != 0 && entry.th32ProcessID == parent)
				explorer = _wcsicmp(entry.szExeFile, L"explorer.exe") == 0;
		}
	}
	(void)CloseHandle(all);
	// A parent that has ended leaves its number free: an Explorer started
	// after this process took it over, and is no parent of it.
	FILETIME theirs, ours, unused[3];
	HANDLE process =
		explorer ? OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, parent) : nullptr;
	explorer = process != nullptr &&
	           GetProcessTimes(process, &theirs, &unused[0], &unused[1], &unused[2]) &&
	           GetProcessTimes(GetCurrentProcess(), &ours, &unused[0], &unused[1], &unused[2]) &&
	           CompareFileTime(&theirs, &ours) < 0;
	if (process != nullptr)
		(void)CloseHandle(process);
	return explorer;
}

} // namespace

bool windows_system_path(const wchar_t *path, wchar_t *out, bool always)
{
	bool prefixed = starts_with(path, L"\\\\?\\");
	std::size_t length = prefixed ? std::wcslen(path)
	                              : GetFullPathNameW(path, full_path_room, full_path_scratch, nullptr);
	if (length == 0)
		return false;
	if (length >= (prefixed ? extended_path : full_path_room)) {
		SetLastError(ERROR_FILENAME_EXCED_RANGE);
		return false;
	}
	std::wmemcpy(out, prefixed ? path : full_path_scratch, length + 1);
	return extend_if_long(out, extended_path, always);
}

std::size_t windows_directory_length(const wchar_t *path)
{
	std::size_t length = 0;
	for (std::size_t i = 0; path[i] != L'\0'; ++i) {
		if (path[i] == L'\\' || path[i] == L'/' || (i == 1 && path[i] == L':'))
			length = i + 1;
	}
	return length;
}

// ---- Failures

void record_failure(failure *why, failed_step step)
{
	why->step = step;
	why->error.code = GetLastError();
	why->error.from_c_library = false;
}

bool found_nothing_to_read(const failure *why)
{
	unsigned long error = why->error.code;
	return why->step == FAILED_NOT_REGULAR || why->step == FAILED_RESOLVE_LINK ||
	       (!why->error.from_c_library &&
	        (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
	         error == ERROR_ACCESS_DENIED || error == ERROR_CANT_ACCESS_FILE ||
	         error == ERROR_INVALID_NAME));
}

void describe_error(system_error error, char *text, std::size_t size)
{
	if (size == 0)
		return;
	if (error.from_c_library) {
		(void)std::snprintf(text, size, "%s", std::strerror(static_cast<int>(error.code)));
		return;
	}
	// In the user's language: the line goes out whole as UTF-8, and as
	// wide characters on a console.
	DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
	                              nullptr, error.code, 0, error_text,
	                              sizeof error_text / sizeof(wchar_t), nullptr);
	// The system's messages end in a period and a line end; a line of ours
	// ends where we say.
	while (length > 0 && std::wcschr(L"\r\n .", error_text[length - 1]) != nullptr)
		--length;
	if (length == 0) {
		(void)std::snprintf(text, size, "error %lu", error.code);
		return;
	}
	int written = WideCharToMultiByte(CP_UTF8, 0, error_text, static_cast<int>(length), text,
	                                  static_cast<int>(size - 1), nullptr, nullptr);
	text[written > 0 ? written : 0] = '\0';
}

// ---- The run and its output

void begin_run()
{
	// Without this the C runtime turns every "\n" of a message into "\r\n".
	(void)_setmode(_fileno(stdout), _O_BINARY);
	(void)_setmode(_fileno(stderr), _O_BINARY);
	// A closed pipe is a failed write here, never a signal.
	(void)SetConsoleCtrlHandler(remove_incomplete_on_break, TRUE);
}

void write_text(std::FILE *stream, const char *text, std::size_t length)
{
	bool error_stream = stream == stderr;
	HANDLE out = GetStdHandle(error_stream ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
	DWORD mode = 0;
	// A console shows the characters, the system's message and the path
	// alike; anything else (a pipe, a file) gets the UTF-8 bytes, which
	// lose no character.
	if (length > 0 && out != nullptr && out != INVALID_HANDLE_VALUE &&
	    GetConsoleMode(out, &mode) && std::fflush(stream) == 0) {
		write_console(out, &consoles[error_stream ? 1 : 0], stream, text, length);
		return;
	}
	// Standard error unbuffered, a line in one write: in a log of both
	// streams it lands where it was said, and whole.
	if (error_stream && out != nullptr && out != INVALID_HANDLE_VALUE) {
		(void)write_all(out, reinterpret_cast<const unsigned char *>(text), length);
		return;
	}
	(void)std::fwrite(text, 1, length, stream);
}

const char *path_text(const path_char *path)
{
	if (WideCharToMultiByte(CP_UTF8, 0, path, -1, utf8_path, sizeof utf8_path, nullptr, nullptr) <= 0)
		utf8_path[0] = '\0';
	return utf8_path;
}

const char *temporary_location()
{
	DWORD length = GetFullPathNameW(temporary_name, full_path_room, full_path_scratch, nullptr);
	const wchar_t *shown =
		length == 0 || length >= full_path_room ? temporary_name : full_path_scratch;
	int made = WideCharToMultiByte(CP_UTF8, 0, shown, -1, utf8_location, sizeof utf8_location,
	                               nullptr, nullptr);
	return made > 0 ? utf8_location : "$$out$$.stp";
}

// ---- The command line

bool names_temporary_file(const path_char *path)
{
	file_state temporary;
	if (!windows_system_path(path, input_path) ||
	    !state_at(temporary_name, FILE_FLAG_OPEN_REPARSE_POINT, &temporary))
		return false;
	return names_file(input_path, temporary);
}

// ---- The lock

lock_result lock_working_directory(failure *why)
{
	// A named mutex stands in for a lock on the directory. Its name comes
	// from the directory's identity, not its spelling, so that "C:\Work",
	// "c:\work\" and a mapped drive all meet at the same lock. Windows
	// releases it when the process ends, however it ends.
	file_state directory;
	if (!state_at(L".", 0, &directory)) {
		record_failure(why, FAILED_LOCK);
		return LOCK_FAILED;
	}
	unsigned long long volume = directory.identity.dwVolumeSerialNumber;
	unsigned long long high = directory.identity.nFileIndexHigh;
	unsigned long long low = directory.identity.nFileIndexLow;
	if (directory.has_long_identity) {
		volume = directory.long_identity.VolumeSerialNumber;
		std::memcpy(&high, directory.long_identity.FileId.Identifier + 8, 8);
		std::memcpy(&low, directory.long_identity.FileId.Identifier, 8);
	}
	wchar_t name[128];
	const wchar_t *namespaces[] = {L"Global", L"Local"};
	for (const wchar_t *space : namespaces) {
		(void)_snwprintf(name, sizeof name / sizeof name[0], L"%ls\\morvet-%016llx-%016llx%016llx",
		                 space, volume, high, low);
		name[127] = L'\0';
		HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
		if (mutex == nullptr)
			continue;
		// Another run usually finishes within moments; a user kept waiting
		// longer is told why the tool sits there.
		DWORD waited = WaitForSingleObject(mutex, 1000);
		if (waited == WAIT_TIMEOUT) {
			report_note(nullptr, NOTE_WAITING_FOR_LOCK);
			waited = WaitForSingleObject(mutex, INFINITE);
		}
		// Abandoned: a run that was killed; its files are stale now.
		if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED)
			return LOCK_HELD;
		break;
	}
	record_failure(why, FAILED_LOCK);
	return LOCK_FAILED;
}

// ---- The input

bool open_input(const path_char *path, input_file *input, failure *why)
{
	*input = input_file{};
	input->given = path;
	input->target = path;
	input->handle = INVALID_HANDLE_VALUE;
	// A name a wildcard found is opened as it is on disk: by a plain path
	// Windows would drop a trailing dot or space and open another file.
	const wchar_t *exact = windows_exact_path(path);
	if (!windows_system_path(exact != nullptr ? exact : path, input_path))
		return failed(why, FAILED_OPEN);
	// Shared with no writer: from now to the replacement no other program
	// writes it. Deletion is shared, so that the replacement can move it
	// aside through a handle of its own.
	HANDLE handle = open_waiting(input_path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
	                             FILE_FLAG_SEQUENTIAL_SCAN);
	if (handle == INVALID_HANDLE_VALUE) {
		// A directory is refused with "access denied".
		DWORD error = GetLastError();
		DWORD attributes = GetFileAttributesW(input_path);
		if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
			return failed(why, FAILED_NOT_REGULAR, directory_not_supported);
		return failed(why, FAILED_OPEN, error);
	}
	input->handle = handle;
	file_state state;
	// Only files on disk: not a console, printer port or pipe ("CON",
	// "LPT1", ...), and not a directory.
	if (GetFileType(handle) != FILE_TYPE_DISK)
		return failed(why, FAILED_NOT_REGULAR, ERROR_INVALID_FUNCTION);
	if (!read_state(handle, &state))
		return failed(why, FAILED_OPEN);
	if (state.identity.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
		return failed(why, FAILED_NOT_REGULAR, directory_not_supported);
	input->identity = state.identity;
	input->long_identity = state.long_identity;
	input->has_long_identity = state.has_long_identity;
	input->change_time = state.change_time;
	input->size = (static_cast<std::uint64_t>(state.identity.nFileSizeHigh) << 32) |
	              state.identity.nFileSizeLow;
	input->links = state.identity.nNumberOfLinks;
	// Through a symbolic link the user means the file it points to.
	DWORD attributes = GetFileAttributesW(input_path);
	input->linked = attributes != INVALID_FILE_ATTRIBUTES &&
	                (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
	if (!input->linked) {
		// The result takes the name as it is on disk, not as it was typed:
		// in another letter case, or as the 8.3 short name ("BOARD~1.STP").
		// If the directory cannot be listed, the name stays as typed.
		std::size_t directory = windows_directory_length(input_path);
		WIN32_FIND_DATAW found;
		HANDLE search = FindFirstFileExW(input_path, FindExInfoBasic, &found,
		                                 FindExSearchNameMatch, nullptr, 0);
		const wchar_t *name = input_path + directory;
		if (search != INVALID_HANDLE_VALUE) {
			name = found.cFileName;
			FindClose(search);
		}
		if (!join(target_path, input_path, directory, name, std::wcslen(name)))
			return failed(why, FAILED_OPEN);
		bool known = false; // and where it cannot be, the name is taken as it stands
		input->linked = !named_there(handle, target_path, &known) && known;
	}
	if (input->linked) {
		DWORD length = GetFinalPathNameByHandleW(handle, target_path, extended_path,
		                                         FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
		if (length == 0 || length >= extended_path)
			return failed(why, FAILED_RESOLVE_LINK);
	}
	input->target = target_path;
	return true;
}

bool read_input(input_file *input, std::uint64_t offset, unsigned char *buffer,
                std::size_t size, std::size_t *got, failure *why)
{
	return read_at(input->handle, offset, buffer, size, got) || failed(why, FAILED_READ);
}

guard_result guard_input(input_file *input)
{
	// The sharing mode keeps writers out from the open on.
	if (!(input->identity.dwFileAttributes & FILE_ATTRIBUTE_ENCRYPTED))
		return GUARD_HELD;
	// An encrypted file's content may not reach a plaintext file, even for
	// a moment: the result must be encrypted from its first byte, in the
	// working directory and beside the input alike.
	HANDLE here = open_to_look(L".", 0);
	DWORD here_flags = 0;
	if (here != INVALID_HANDLE_VALUE) {
		here_flags = volume_flags_of(here);
		CloseHandle(here);
	}
	bool possible = (here_flags & FILE_SUPPORTS_ENCRYPTION) &&
	                (volume_flags_of(input->handle) & FILE_SUPPORTS_ENCRYPTION);
	return possible ? GUARD_HELD : GUARD_ENCRYPTED;
}

bool input_unchanged(const input_file *input, failure *why)
{
	file_state now;
	if (!read_state(input->handle, &now))
		return failed(why, FAILED_CHECK_STILL_SAME);
	return same_content(now, state_of(input)) && names_file(input->target, now);
}

bool is_temporary_file(const input_file *input)
{
	return names_file(temporary_name, state_of(input));
}

void close_input(input_file *input)
{
	// Read-only: nothing can be lost at its close.
	if (input->handle != INVALID_HANDLE_VALUE && input->handle != nullptr)
		CloseHandle(input->handle);
	input->handle = INVALID_HANDLE_VALUE;
}

// ---- The temporary file

bool hold_temporary(temporary_file *temporary, const input_file *input, failure *why)
{
	*temporary = temporary_file{};
	temporary->handle = INVALID_HANDLE_VALUE;
	temporary->beside = INVALID_HANDLE_VALUE;
	if (!windows_system_path(temporary_name, temporary_path))
		return failed(why, FAILED_CREATE_TEMPORARY);
	// Streams that could not be listed now would be lost at the end: the
	// file is refused before anything is written.
	if (!copy_streams(input, nullptr, why))
		return false;
	// Refused before anything is written: Windows would not let the
	// result replace it on some file systems, and the rest of the batch
	// goes on.
	if (input->identity.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
		return failed(why, FAILED_REPLACE, ERROR_ACCESS_DENIED);
	if (!remove_stale(why))
		return false;
	HANDLE handle = create_result_file(temporary_path, temporary_slot, input,
	                                   FILE_ATTRIBUTE_NORMAL, &temporary->access);
	if (handle == INVALID_HANDLE_VALUE)
		return failed(why, FAILED_CREATE_TEMPORARY);
	temporary->handle = handle;
	temporary->held = true;
	// Compressed like the input where it will stay on the input's volume;
	// a copy beside the input gets it there.
	file_state state;
	if (!read_state(handle, &state))
		return failed(why, FAILED_CREATE_TEMPORARY);
	return !same_volume(state, state_of(input)) || take_over_compression(handle, input, why);
}

bool write_temporary(temporary_file *temporary, const unsigned char *data, std::size_t length,
                     failure *why)
{
	return write_all(temporary->handle, data, length) || failed(why, FAILED_WRITE_TEMPORARY);
}

bool copy_in_kernel(temporary_file *, input_file *, std::uint64_t, std::uint64_t,
                    std::uint64_t *copied, failure *)
{
	*copied = 0; // no such call between two files here
	return true;
}

replace_result commit_temporary(temporary_file *temporary, input_file *input, failure *why)
{
	// A working directory on another volume is known by its serial number
	// (the rename would say so too, but only after the temporary file had
	// been given what its own volume may not hold).
	file_state state;
	if (!read_state(temporary->handle, &state)) {
		record_failure(why, FAILED_SYNC_TEMPORARY);
		return REPLACE_FAILED;
	}
	if (!same_volume(state, state_of(input)))
		return replace_across_volumes(temporary, input, why);
	if (!take_over(temporary->handle, temporary->access, temporary_path, input, why))
		return keep_result(temporary, why);
	// Data and what was taken over, durable in one flush.
	if (!FlushFileBuffers(temporary->handle)) {
		record_failure(why, FAILED_SYNC_TEMPORARY);
		return REPLACE_FAILED;
	}
	move_outcome moved = move_into_place(temporary->handle, temporary_slot, input, why);
	if (moved == MOVED) {
		// The handle now names the user's file, which stays.
		CloseHandle(temporary->handle);
		temporary->handle = INVALID_HANDLE_VALUE;
		temporary->held = false;
		return REPLACED;
	}
	// MOVE_OTHER_VOLUME: the same serial number on two volumes, as the
	// rename said.
	if (moved == MOVE_OTHER_VOLUME)
		return replace_across_volumes(temporary, input, why);
	return moved == MOVE_INPUT_CHANGED ? REPLACE_INPUT_CHANGED : keep_result(temporary, why);
}

void rollback_temporary(temporary_file *temporary)
{
	if (temporary->beside != INVALID_HANDLE_VALUE && temporary->beside != nullptr)
		remove_created(beside_slot, temporary->beside, beside_path);
	temporary->beside = INVALID_HANDLE_VALUE;
	if (temporary->handle != INVALID_HANDLE_VALUE && temporary->handle != nullptr) {
		if (temporary->held)
			remove_created(temporary_slot, temporary->handle, temporary_path);
		else
			CloseHandle(temporary->handle);
	}
	temporary->handle = INVALID_HANDLE_VALUE;
	temporary->held = false;
}

// ---- Where the output goes

output_streams look_at_output()
{
	HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE), err = GetStdHandle(STD_ERROR_HANDLE);
	DWORD mode = 0;
	bool terminal = GetConsoleMode(out, &mode) != 0;
	bool consoles = terminal && GetConsoleMode(err, &mode);
	// "2>&1" hands both streams one object, which Windows 10 can tell; a
	// file opened twice is told by its identity.
	typedef BOOL(WINAPI * compare_handles)(HANDLE, HANDLE);
	auto compare = reinterpret_cast<compare_handles>(reinterpret_cast<void (*)()>(
		GetProcAddress(GetModuleHandleW(L"kernelbase.dll"), "CompareObjectHandles")));
	FILE_ID_INFO a = {}, b = {};
	BY_HANDLE_FILE_INFORMATION c, d;
	// The 64-bit index only where the 128-bit identity is missing: on ReFS
	// two files may share it.
	bool disk = GetFileType(out) == FILE_TYPE_DISK && GetFileType(err) == FILE_TYPE_DISK;
	bool long_ids = disk && GetFileInformationByHandleEx(out, file_id_info, &a, sizeof a) &&
	                GetFileInformationByHandleEx(err, file_id_info, &b, sizeof b);
	bool same = consoles || (compare != nullptr && compare(out, err)) ||
	            (long_ids ? std::memcmp(&a, &b, sizeof a) == 0
	                      : disk && GetFileInformationByHandle(out, &c) &&
	                            GetFileInformationByHandle(err, &d) &&
	                            c.dwVolumeSerialNumber == d.dwVolumeSerialNumber &&
	                            c.nFileIndexHigh == d.nFileIndexHigh &&
	                            c.nFileIndexLow == d.nFileIndexLow);
	// A console no other process shares closes with the program: when a
	// person sees it (Explorer started the program, or its window shows),
	// the run waits for a key at the end. Wine on a terminal and scheduled
	// tasks have such a console too, shown to no one, and never wait.
	DWORD processes[2];
	HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
	HWND window = GetConsoleWindow();
	bool alone = consoles && GetConsoleMode(in, &mode) && GetConsoleProcessList(processes, 2) == 1 &&
	             ((window != nullptr && IsWindowVisible(window)) || started_by_explorer());
	return {same, terminal, alone};
}

void wait_for_key()
{
	HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
	INPUT_RECORD record;
	DWORD got = 0;
	(void)FlushConsoleInputBuffer(in);
	while (ReadConsoleInputW(in, &record, 1, &got) && got == 1 &&
	       !(record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown))
		;
}

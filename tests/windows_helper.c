/* windows_helper.c - what the Windows end-to-end cases need of Windows
 * itself, run under the same emulation as the tool:
 *
 *   hold PATH MILLISECONDS exclusive|reading|attributes
 *       opens PATH without sharing it for writing or deletion (exclusive:
 *       not even for reading; attributes: for its attributes alone, shared
 *       with no one, as Explorer and indexers look at a file), writes
 *       "held" on standard output, and closes it after MILLISECONDS
 *   append PATH MILLISECONDS
 *       for MILLISECONDS, appends the lines "' line N" to PATH as often as
 *       it can open it, N from 1, writes "held" when it starts and the last
 *       N it wrote at the end
 *   short PATH
 *       writes the last component of PATH's 8.3 short name
 *   show PATH
 *       writes the attributes, the creation time and the owner, group and
 *       DACL (as SDDL) of PATH on one line
 *   set PATH ATTRIBUTES CREATION-TIME SDDL
 *       gives PATH those (attributes in hexadecimal, the creation time as
 *       a FILETIME number, the owner, group and DACL as SDDL)
 *   in DIRECTORY [=X:=DIRECTORY] PROGRAM ARGUMENT...
 *       runs PROGRAM with the working directory DIRECTORY (a Windows path
 *       on any drive), optionally setting drive X:'s current directory,
 *       and exits with its status
 */
#include <windows.h>
#include <sddl.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

static int fail(const char *what)
{
	fprintf(stderr, "windows_helper: %s: error %lu\n", what, GetLastError());
	return 2;
}

static int hold(const wchar_t *path, DWORD milliseconds, const wchar_t *mode)
{
	int exclusive = wcscmp(mode, L"exclusive") == 0, attributes = wcscmp(mode, L"attributes") == 0;
	HANDLE file = CreateFileW(path,
	                          exclusive    ? GENERIC_READ | GENERIC_WRITE
	                          : attributes ? FILE_READ_ATTRIBUTES
	                                       : GENERIC_READ,
	                          exclusive || attributes ? 0 : FILE_SHARE_READ, NULL, OPEN_EXISTING,
	                          0, NULL);
	if (file == INVALID_HANDLE_VALUE)
		return fail("hold");
	printf("held\n");
	fflush(stdout);
	Sleep(milliseconds);
	CloseHandle(file);
	return 0;
}

static int append(const wchar_t *path, DWORD milliseconds)
{
	DWORD start = GetTickCount();
	unsigned long written = 0;
	printf("held\n");
	fflush(stdout);
	while (GetTickCount() - start < milliseconds) {
		/* As a logger appends: shared with everyone, opened anew each time. */
		HANDLE file = CreateFileW(path, FILE_APPEND_DATA,
		                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
		                          OPEN_EXISTING, 0, NULL);
		char line[32];
		DWORD length, done = 0;
		if (file == INVALID_HANDLE_VALUE)
			continue;
		length = (DWORD)snprintf(line, sizeof line, "' line %lu\r\n", written + 1);
		if (WriteFile(file, line, length, &done, NULL) && done == length)
			++written;
		CloseHandle(file);
	}
	printf("%lu\n", written);
	return 0;
}

static int short_name(const wchar_t *path)
{
	static wchar_t name[32768];
	DWORD length = GetShortPathNameW(path, name, 32768);
	const wchar_t *last;
	if (length == 0 || length >= 32768)
		return fail("short name");
	last = wcsrchr(name, L'\\');
	printf("%ls", last != NULL ? last + 1 : name);
	return 0;
}

static const SECURITY_INFORMATION kept_security =
	OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

static int show(const wchar_t *path)
{
	static unsigned char descriptor[65536];
	DWORD needed = 0;
	WIN32_FILE_ATTRIBUTE_DATA data;
	wchar_t *sddl = NULL;
	if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data))
		return fail("show attributes");
	if (!GetFileSecurityW(path, kept_security, descriptor, sizeof descriptor, &needed) ||
	    !ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
	                                                          kept_security, &sddl, NULL))
		return fail("show security");
	printf("attributes=%lx created=%llu sd=%ls\n", data.dwFileAttributes,
	       ((unsigned long long)data.ftCreationTime.dwHighDateTime << 32) |
	               data.ftCreationTime.dwLowDateTime,
	       sddl);
	LocalFree(sddl);
	return 0;
}

static int set(const wchar_t *path, const wchar_t *attributes, const wchar_t *created,
               const wchar_t *sddl)
{
	PSECURITY_DESCRIPTOR descriptor = NULL;
	unsigned long long time = wcstoull(created, NULL, 10);
	FILETIME creation = {(DWORD)time, (DWORD)(time >> 32)};
	HANDLE file = CreateFileW(path, FILE_WRITE_ATTRIBUTES,
	                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
	                          OPEN_EXISTING, 0, NULL);
	if (file == INVALID_HANDLE_VALUE || !SetFileTime(file, &creation, NULL, NULL))
		return fail("set creation time");
	CloseHandle(file);
	if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1,
	                                                          &descriptor, NULL) ||
	    !SetFileSecurityW(path, DACL_SECURITY_INFORMATION, descriptor))
		return fail("set security");
	LocalFree(descriptor);
	if (!SetFileAttributesW(path, wcstoul(attributes, NULL, 16)))
		return fail("set attributes");
	return 0;
}

static int run_in(int argc, wchar_t **argv)
{
	static wchar_t command[32768];
	size_t used = 0;
	STARTUPINFOW startup;
	PROCESS_INFORMATION process;
	DWORD status;
	int first = 0;
	ZeroMemory(&startup, sizeof startup);
	startup.cb = sizeof startup;
	if (first < argc && argv[first][0] == L'=') {
		/* "=X:=X:\dir": the name is "=X:", the value what follows. */
		wchar_t *value = wcschr(argv[first] + 1, L'=');
		if (value == NULL)
			return fail("drive directory");
		*value++ = L'\0';
		if (!SetEnvironmentVariableW(argv[first], value))
			return fail("drive directory");
		++first;
	}
	for (int i = first; i < argc; ++i) {
		int written = _snwprintf(command + used, 32768 - used, L"%ls\"%ls\"",
		                         i > first ? L" " : L"", argv[i]);
		if (written < 0)
			return fail("command line");
		used += (size_t)written;
	}
	startup.dwFlags = STARTF_USESTDHANDLES;
	startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
	startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
	startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
	// Wine now and then fails a start with an internal error, just after a
	// drive was mapped: that start is tried again.
	BOOL started = FALSE;
	for (int attempt = 0; !started && attempt < 5; ++attempt) {
		started = CreateProcessW(NULL, command, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process);
		if (!started && GetLastError() != ERROR_INTERNAL_ERROR)
			break;
		if (!started)
			Sleep(200);
	}
	if (!started)
		return fail("start");
	WaitForSingleObject(process.hProcess, INFINITE);
	if (!GetExitCodeProcess(process.hProcess, &status))
		return fail("exit status");
	return (int)status;
}

int wmain(int argc, wchar_t **argv)
{
	if (argc == 5 && wcscmp(argv[1], L"hold") == 0)
		return hold(argv[2], wcstoul(argv[3], NULL, 10), argv[4]);
	if (argc == 4 && wcscmp(argv[1], L"append") == 0)
		return append(argv[2], wcstoul(argv[3], NULL, 10));
	if (argc == 3 && wcscmp(argv[1], L"show") == 0)
		return show(argv[2]);
	if (argc == 3 && wcscmp(argv[1], L"short") == 0)
		return short_name(argv[2]);
	if (argc == 6 && wcscmp(argv[1], L"set") == 0)
		return set(argv[2], argv[3], argv[4], argv[5]);
	if (argc >= 4 && wcscmp(argv[1], L"in") == 0) {
		if (!SetCurrentDirectoryW(argv[2]))
			return fail("working directory");
		return run_in(argc - 3, argv + 3);
	}
	fprintf(stderr, "usage: windows_helper hold|append|show|set|short|in ...\n");
	return 2;
}

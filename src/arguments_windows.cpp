// arguments_windows.cpp - command-line arguments on Windows. The command
// prompt passes wildcards through to the program, so "morvet *.stp" must
// expand them itself, as Windows' own tools do.
#include "platform.h"

#include <cwchar>

namespace {

const DWORD longest_path = 32767;

wchar_t matched_path[longest_path + 1];
wchar_t previous_name[MAX_PATH];
wchar_t next_name[MAX_PATH];

// The length of the directory part of path, its last separator included.
std::size_t directory_length(const wchar_t *path)
{
	std::size_t length = 0;
	for (std::size_t i = 0; path[i] != L'\0'; ++i) {
		if (path[i] == L'\\' || path[i] == L'/' || (i == 1 && path[i] == L':'))
			length = i + 1;
	}
	return length;
}

bool has_wildcard(const wchar_t *name)
{
	return std::wcspbrk(name, L"*?") != nullptr;
}

// Orders names as Explorer and dir do, without regard to letter case;
// names that differ only in case keep a fixed order between them.
int compare_names(const wchar_t *a, const wchar_t *b)
{
	int order = CompareStringOrdinal(a, -1, b, -1, TRUE);
	if (order == CSTR_EQUAL)
		order = CompareStringOrdinal(a, -1, b, -1, FALSE);
	return order - CSTR_EQUAL;
}

bool is_candidate(const WIN32_FIND_DATAW &found)
{
	if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
		return false;
	return CompareStringOrdinal(found.cFileName, -1, L"$$out$$.stp", -1, TRUE) != CSTR_EQUAL;
}

// Finds the first matching name after previous (all names when previous is
// empty) into next_name. The directory is read anew for each file, so the
// run needs no list of names: the files being patched keep their names.
bool find_next(const wchar_t *pattern, bool first)
{
	WIN32_FIND_DATAW found;
	HANDLE search = FindFirstFileExW(pattern, FindExInfoBasic, &found, FindExSearchNameMatch,
	                                 nullptr, 0);
	if (search == INVALID_HANDLE_VALUE)
		return false;
	bool any = false;
	do {
		if (!is_candidate(found))
			continue;
		if (!first && compare_names(found.cFileName, previous_name) <= 0)
			continue;
		if (any && compare_names(found.cFileName, next_name) >= 0)
			continue;
		std::wcscpy(next_name, found.cFileName);
		any = true;
	} while (FindNextFileW(search, &found));
	FindClose(search);
	if (!any)
		SetLastError(ERROR_FILE_NOT_FOUND);
	return any;
}

} // namespace

bool is_help_option(const path_char *argument)
{
	return std::wcscmp(argument, L"/?") == 0;
}

bool expand_argument(const path_char *argument, file_visitor visit, void *context)
{
	std::size_t directory = directory_length(argument);
	if (!has_wildcard(argument + directory)) {
		visit(argument, context);
		return true;
	}
	if (directory + MAX_PATH > longest_path) {
		SetLastError(ERROR_FILENAME_EXCED_RANGE);
		record_failure("can't open", false);
		return false;
	}
	bool first = true;
	while (find_next(argument, first)) {
		std::wmemcpy(matched_path, argument, directory);
		std::wcscpy(matched_path + directory, next_name);
		std::wcscpy(previous_name, next_name);
		first = false;
		visit(matched_path, context);
	}
	if (first) {
		record_failure("can't open", false);
		return false;
	}
	return true;
}

// arguments_windows.cpp - command-line arguments on Windows. The command
// prompt passes wildcards through to the program, so "morvet *.stp" must
// expand them itself, as Windows' own tools do.
//
// The directory is read once per pattern, and every long name is matched
// against the pattern here. The system's own matching is not used: it also
// matches the 8.3 short names, so "*.stp" would take in "board.stp_old"
// (BOARD~1.STP) and "board.stpx". The names are kept, sorted, in memory
// that grows with the list: a directory of thousands of files costs one
// read, not one per file.
#include "platform.h"

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <new>
#include <vector>

// In platform_windows.cpp: the full path of path in the form the system
// takes at any length ("\\?\" from MAX_PATH on, or always), in out (32768
// characters); and the length of path's directory part, its last separator
// (or a drive's colon) included.
bool windows_system_path(const wchar_t *path, wchar_t *out, bool always);
std::size_t windows_directory_length(const wchar_t *path);

namespace {

const DWORD longest_path = 32767;

wchar_t search_path[longest_path + 8];
wchar_t exact_directory[longest_path + 8]; // the pattern's, with "\\?\", for remember
wchar_t directory_pattern[longest_path + 1];

// Each pattern's matched paths, each ending in L'\0' and followed by its
// exact full path (see windows_exact_path), kept to the end of the run: the
// driver may hold on to a path it was given (the file whose result
// "$$out$$.stp" keeps). A pattern's list no longer grows once it is read,
// so its paths stay where they are.
std::vector<std::vector<wchar_t>> matched;

bool same_letter(wchar_t a, wchar_t b)
{
	return a == b || CompareStringOrdinal(&a, 1, &b, 1, TRUE) == CSTR_EQUAL;
}

// How many UTF-16 units the character at text takes: a '?' stands for one
// character, also outside the Basic Multilingual Plane.
std::size_t character_length(const wchar_t *text)
{
	return IS_HIGH_SURROGATE(text[0]) && IS_LOW_SURROGATE(text[1]) ? 2 : 1;
}

// The usual wildcard rules on the whole long name: '*' any run of
// characters, '?' exactly one, every other character itself without regard
// to letter case.
bool matches(const wchar_t *pattern, const wchar_t *name)
{
	const wchar_t *star = nullptr; // the last '*' seen, and where its run ends
	const wchar_t *resume = nullptr;
	while (*name != L'\0') {
		if (*pattern == L'*') {
			star = ++pattern;
			resume = name;
		} else if (*pattern == L'?') {
			++pattern;
			name += character_length(name);
		} else if (*pattern != L'\0' && same_letter(*pattern, *name)) {
			++pattern;
			++name;
		} else if (star != nullptr) {
			// The last '*' takes one more character.
			pattern = star;
			resume += character_length(resume);
			name = resume;
		} else {
			return false;
		}
	}
	while (*pattern == L'*')
		++pattern;
	return *pattern == L'\0';
}

// Orders names as Explorer and dir do, without regard to letter case;
// names that differ only in case keep a fixed order between them.
int compare_names(const wchar_t *a, const wchar_t *b)
{
	int compared = CompareStringOrdinal(a, -1, b, -1, TRUE);
	if (compared == CSTR_EQUAL)
		compared = CompareStringOrdinal(a, -1, b, -1, FALSE);
	return compared - CSTR_EQUAL;
}

// Keeps the directory as the user typed it and the name as it is on disk,
// then the exact full path, in names, and where it starts in order; the
// working directory's own temporary file is left out.
void remember(std::vector<wchar_t> *names, std::vector<std::size_t> *order,
              const wchar_t *argument, std::size_t directory, const wchar_t *name)
{
	std::size_t start = names->size(), name_length = std::wcslen(name) + 1;
	names->insert(names->end(), argument, argument + directory);
	names->insert(names->end(), name, name + name_length);
	std::size_t exact = names->size();
	names->insert(names->end(), exact_directory, exact_directory + std::wcslen(exact_directory));
	names->insert(names->end(), name, name + name_length);
	if (CompareStringOrdinal(name, -1, L"$$out$$.stp", -1, TRUE) == CSTR_EQUAL &&
	    names_temporary_file(names->data() + exact))
		names->resize(start);
	else
		order->push_back(start);
}

// Reads the directory of the pattern at argument once and keeps the
// matching names in a list of their own; false, with none in order and
// the system's reason, when it cannot be read.
bool list_matches(const wchar_t *argument, std::size_t directory, std::vector<std::size_t> *order)
{
	// The directory as the user gave it, with "*" for every name in it.
	std::wmemcpy(directory_pattern, argument, directory);
	std::wcscpy(directory_pattern + directory, directory == 0 ? L".\\*" : L"*");
	if (!windows_system_path(directory_pattern, search_path, false) ||
	    !windows_system_path(directory_pattern, exact_directory, true))
		return false;
	exact_directory[std::wcslen(exact_directory) - 1] = L'\0'; // the "*"
	WIN32_FIND_DATAW found;
	HANDLE search = FindFirstFileExW(search_path, FindExInfoBasic, &found, FindExSearchNameMatch,
	                                 nullptr, FIND_FIRST_EX_LARGE_FETCH);
	if (search == INVALID_HANDLE_VALUE && GetLastError() == ERROR_INVALID_PARAMETER)
		search = FindFirstFileExW(search_path, FindExInfoBasic, &found, FindExSearchNameMatch,
		                          nullptr, 0);
	if (search == INVALID_HANDLE_VALUE)
		return false;
	DWORD error = ERROR_NOT_ENOUGH_MEMORY;
	try {
		matched.emplace_back();
		do {
			if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
			    matches(argument + directory, found.cFileName))
				remember(&matched.back(), order, argument, directory, found.cFileName);
		} while (FindNextFileW(search, &found));
		error = GetLastError();
	} catch (const std::bad_alloc &) {
		// error says so
	}
	FindClose(search);
	// A directory read only in part would patch some files silently less.
	if (error != ERROR_NO_MORE_FILES)
		order->clear();
	SetLastError(error);
	return error == ERROR_NO_MORE_FILES;
}

} // namespace

const wchar_t *windows_exact_path(const wchar_t *path)
{
	auto at = reinterpret_cast<std::uintptr_t>(path);
	for (const auto &names : matched) {
		auto base = reinterpret_cast<std::uintptr_t>(names.data());
		if (at >= base && at < base + names.size() * sizeof(wchar_t))
			return path + std::wcslen(path) + 1;
	}
	return nullptr;
}

const path_char *option_spelling(const path_char *argument)
{
	// "/" and letters (or "/?") is an option; "/" before a name with a dot
	// or a separator is a path.
	if (argument[0] != L'/' || argument[1] == L'\0')
		return argument;
	const wchar_t *known[][2] = {{L"/?", L"--help"}, {L"/h", L"--help"}, {L"/help", L"--help"},
	                             {L"/check", L"--check"}, {L"/diff", L"--diff"}};
	for (const auto &option : known) {
		if (CompareStringOrdinal(argument, -1, option[0], -1, TRUE) == CSTR_EQUAL)
			return option[1];
	}
	for (const wchar_t *at = argument + 1; *at != L'\0'; ++at) {
		if (!IsCharAlphaW(*at))
			return argument;
	}
	return L"-/"; // unknown
}

bool expand_argument(const path_char *argument, file_visitor visit, void *context,
                     failure *why)
{
	std::size_t directory = windows_directory_length(argument);
	if (std::wcspbrk(argument + directory, L"*?") == nullptr) {
		visit(argument, context);
		return true;
	}
	std::vector<std::size_t> order;
	if (directory + MAX_PATH > longest_path)
		SetLastError(ERROR_FILENAME_EXCED_RANGE);
	else if (list_matches(argument, directory, &order) && order.empty())
		SetLastError(ERROR_FILE_NOT_FOUND);
	if (order.empty()) {
		record_failure(why, FAILED_OPEN);
		return false;
	}
	const wchar_t *names = matched.back().data();
	std::sort(order.begin(), order.end(), [names, directory](std::size_t a, std::size_t b) {
		return compare_names(names + a + directory, names + b + directory) < 0;
	});
	for (std::size_t start : order)
		visit(names + start, context);
	return true;
}

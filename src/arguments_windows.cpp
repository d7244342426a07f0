// arguments_windows.cpp - command-line arguments on Windows. The command
// prompt passes wildcards through to the program, so "morvet *.stp" must
// expand them itself, as Windows' own tools do.
//
// The directory is read once per pattern, and every long name is matched
// against the pattern here. The system's own matching is not used: it also
// matches the 8.3 short names, so "*.stp" would take in "board.stp_old"
// (BOARD~1.STP) and "board.stpx". The names are kept, sorted, in memory
// reserved from the system as the list grows: a directory of thousands of
// files costs one read, not one per file.
#include "platform.h"

#include <algorithm>
#include <cstdint>
#include <cwchar>

// In platform_windows.cpp: the full path of path in the form the system
// takes at any length ("\\?\" from MAX_PATH on, or always), in out (32768
// characters).
bool windows_system_path(const wchar_t *path, wchar_t *out, bool always);

namespace {

const DWORD longest_path = 32767;

wchar_t search_path[longest_path + 8];
wchar_t exact_directory[longest_path + 8]; // the pattern's, with "\\?\", for remember
wchar_t directory_pattern[longest_path + 1];

// Memory that grows as names are added: reserved once, committed as used.
struct growing_region {
	unsigned char *base;
	std::size_t reserved;
	std::size_t committed;
	std::size_t used;
};

// Reserved address space: room for millions of names on a 64-bit system,
// a few hundred thousand within the 32-bit program's 2 GB.
const std::size_t region_reserve = sizeof(void *) == 8 ? (std::size_t(1) << 30) : (64u << 20);
const std::size_t commit_step = 1u << 20;

// The matched paths, each ending in L'\0' and followed by its exact full
// path (see windows_exact_path), kept to the end of the run: the
// driver may hold on to a path it was given (the file whose result
// "$$out$$.stp" keeps). Only the order is made anew for each pattern.
growing_region paths = {nullptr, 0, 0, 0};
growing_region order = {nullptr, 0, 0, 0}; // where each path of a pattern starts

// Room for length more bytes; false, with the system's reason, when there
// is none.
void *take(growing_region *region, std::size_t length)
{
	if (region->base == nullptr) {
		region->base = static_cast<unsigned char *>(
			VirtualAlloc(nullptr, region_reserve, MEM_RESERVE, PAGE_NOACCESS));
		if (region->base == nullptr)
			return nullptr;
		region->reserved = region_reserve;
	}
	if (length > region->reserved - region->used) {
		SetLastError(ERROR_NOT_ENOUGH_MEMORY);
		return nullptr;
	}
	std::size_t end = region->used + length;
	if (end > region->committed) {
		std::size_t wanted = (end - region->committed + commit_step - 1) / commit_step * commit_step;
		if (wanted > region->reserved - region->committed)
			wanted = region->reserved - region->committed;
		if (VirtualAlloc(region->base + region->committed, wanted, MEM_COMMIT, PAGE_READWRITE) ==
		    nullptr)
			return nullptr;
		region->committed += wanted;
	}
	void *room = region->base + region->used;
	region->used = end;
	return room;
}

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

const wchar_t *path_at(std::uint32_t offset)
{
	return reinterpret_cast<const wchar_t *>(paths.base) + offset;
}

// Keeps the directory as the user typed it and the name as it is on disk,
// then the exact full path; false when it is the working directory's own
// temporary file, which is left out.
bool remember(const wchar_t *argument, std::size_t directory, const wchar_t *name, bool *kept)
{
	std::size_t exact = std::wcslen(exact_directory);
	std::size_t length = directory + 2 * std::wcslen(name) + 2 + exact;
	if (paths.used / sizeof(wchar_t) > UINT32_MAX - length) {
		SetLastError(ERROR_NOT_ENOUGH_MEMORY);
		return false;
	}
	auto offset = static_cast<std::uint32_t>(paths.used / sizeof(wchar_t));
	auto *copy = static_cast<wchar_t *>(take(&paths, length * sizeof(wchar_t)));
	auto *slot = static_cast<std::uint32_t *>(take(&order, sizeof offset));
	if (copy == nullptr || slot == nullptr)
		return false;
	std::wmemcpy(copy, argument, directory);
	std::wcscpy(copy + directory, name);
	std::wcscpy(copy + directory + std::wcslen(name) + 1, exact_directory);
	std::wcscpy(copy + directory + std::wcslen(name) + 1 + exact, name);
	*kept = CompareStringOrdinal(name, -1, L"$$out$$.stp", -1, TRUE) != CSTR_EQUAL ||
	        !names_temporary_file(copy + directory + std::wcslen(name) + 1);
	if (*kept)
		*slot = offset;
	else
		order.used -= sizeof offset;
	return true;
}

// Reads the directory of the pattern at argument once and keeps the
// matching names; false with the system's reason when it cannot be read.
bool list_matches(const wchar_t *argument, std::size_t directory)
{
	order.used = 0;
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
	const wchar_t *pattern = argument + directory;
	bool listed = true;
	do {
		bool kept = false;
		if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
		    matches(pattern, found.cFileName) &&
		    !remember(argument, directory, found.cFileName, &kept)) {
			listed = false;
			break;
		}
	} while (FindNextFileW(search, &found));
	DWORD error = GetLastError();
	FindClose(search);
	// A directory read only in part would patch some files silently less.
	if (listed && error != ERROR_NO_MORE_FILES) {
		SetLastError(error);
		return false;
	}
	SetLastError(error);
	return listed;
}

} // namespace

const wchar_t *windows_exact_path(const wchar_t *path)
{
	auto at = reinterpret_cast<std::uintptr_t>(path), base = reinterpret_cast<std::uintptr_t>(paths.base);
	if (paths.base == nullptr || at < base || at >= base + paths.used)
		return nullptr;
	return path + std::wcslen(path) + 1;
}

const path_char *option_spelling(const path_char *argument)
{
	// "/" and letters (or "/?") is an option; "/" before a name with a dot
	// or a separator is a path.
	if (argument[0] != L'/' || argument[1] == L'\0')
		return argument;
	if (std::wcscmp(argument, L"/?") == 0)
		return L"--help";
	for (const wchar_t *at = argument + 1; *at != L'\0'; ++at) {
		if (!IsCharAlphaW(*at))
			return argument;
	}
	const wchar_t *known[][2] = {{L"/h", L"--help"}, {L"/help", L"--help"},
	                             {L"/check", L"--check"}, {L"/diff", L"--diff"}};
	for (const auto &option : known) {
		if (CompareStringOrdinal(argument, -1, option[0], -1, TRUE) == CSTR_EQUAL)
			return option[1];
	}
	return L"-/"; // unknown
}

bool expand_argument(const path_char *argument, file_visitor visit, void *context,
                     failure *why)
{
	std::size_t directory = directory_length(argument);
	if (!has_wildcard(argument + directory)) {
		visit(argument, context);
		return true;
	}
	if (directory + MAX_PATH > longest_path || !list_matches(argument, directory)) {
		if (directory + MAX_PATH > longest_path)
			SetLastError(ERROR_FILENAME_EXCED_RANGE);
		record_failure(why, FAILED_OPEN);
		return false;
	}
	std::size_t count = order.used / sizeof(std::uint32_t);
	if (count == 0) {
		SetLastError(ERROR_FILE_NOT_FOUND);
		record_failure(why, FAILED_OPEN);
		return false;
	}
	auto *first = reinterpret_cast<std::uint32_t *>(order.base);
	std::sort(first, first + count, [directory](std::uint32_t a, std::uint32_t b) {
		return compare_names(path_at(a) + directory, path_at(b) + directory) < 0;
	});
	for (std::size_t i = 0; i < count; ++i)
		visit(path_at(first[i]), context);
	return true;
}

// filter.cpp - the statement patch rules.
#include "filter.h"

#include <cstring>

namespace {

struct rule {
	const char *prefix;
	std::size_t prefix_length;
	bool whole_name;        // the prefix must end a STAPL name
	const char *replacement; // nullptr: stop the copy
};

const rule rules[] = {
	{"BOOLEAN USE_RCK", 15, true, "BOOLEAN USE_RCK = 1;\r\n"},
	{"INTEGER freq", 12, true, "INTEGER freq = 3;\r\n"},
	{"CRC ", 4, false, nullptr},
};

// True for the bytes that can continue a STAPL name. Spelled out rather
// than taken from <cctype>, whose answer depends on the locale.
bool is_name_byte(unsigned char byte)
{
	return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
	       (byte >= '0' && byte <= '9') || byte == '_';
}

bool rule_matches(const rule &r, const char *chunk, std::size_t length)
{
	if (length < r.prefix_length || std::memcmp(chunk, r.prefix, r.prefix_length) != 0)
		return false;
	if (!r.whole_name || length == r.prefix_length)
		return true;
	return !is_name_byte(static_cast<unsigned char>(chunk[r.prefix_length]));
}

} // namespace

filter_result filter_line(const char *chunk, std::size_t length, std::FILE *out)
{
	for (const rule &r : rules) {
		if (!rule_matches(r, chunk, length))
			continue;
		if (r.replacement == nullptr)
			return FILTER_STOP;
		(void)std::fputs(r.replacement, out);
		return FILTER_REPLACED;
	}
	(void)std::fwrite(chunk, 1, length, out);
	return FILTER_COPIED;
}

// filter.cpp - the statement patch rules.
#include "filter.h"

#include <cstring>

#include "reader.h"

namespace {

struct declaration_rule {
	line_rule rule;
	const char *keyword;     // the type: BOOLEAN or INTEGER
	const char *name;        // the variable
	const char *replacement; // what the line becomes
	const char *words;       // the replacement without white space
};

const declaration_rule declarations[] = {
	{RULE_USE_RCK, "BOOLEAN", "USE_RCK", "BOOLEAN USE_RCK = 1;\r\n", "BOOLEANUSE_RCK=1;"},
	{RULE_FREQ, "INTEGER", "freq", "INTEGER freq = 3;\r\n", "INTEGERfreq=3;"},
};

// A line's bytes up to its line feed (or the end of what is available),
// read with carriage returns passed over.
struct line_cursor {
	const unsigned char *line;
	std::size_t at;
	std::size_t end;
	bool more_may_follow; // the line goes on past end
};

std::size_t next_visible(const line_cursor *cursor, std::size_t at)
{
	while (at < cursor->end && cursor->line[at] == '\r')
		++at;
	return at;
}

// Compares the visible bytes at the cursor with word. Returns 1 when they
// match (the cursor then past them), 0 when they differ, -1 when the bytes
// end first and more may follow.
int match_word(line_cursor *cursor, const char *word)
{
	std::size_t at = cursor->at;
	for (; *word != '\0'; ++word, ++at) {
		at = next_visible(cursor, at);
		if (at == cursor->end)
			return cursor->more_may_follow ? -1 : 0;
		if (cursor->line[at] != static_cast<unsigned char>(*word))
			return 0;
	}
	cursor->at = at;
	return 1;
}

// After a word: -1 when the line's bytes end and more may follow, 1 when
// the next visible byte continues a name, 0 otherwise (white space, other
// signs, or the line's end).
int continues_name(const line_cursor *cursor)
{
	std::size_t after = next_visible(cursor, cursor->at);
	if (after == cursor->end)
		return cursor->more_may_follow ? -1 : 0;
	return is_name_byte(cursor->line[after]) ? 1 : 0;
}

line_match undecided()
{
	return {RULE_UNDECIDED, 0, 0};
}

// Rules 1 and 2 from the line's first word on.
line_match match_declaration(const declaration_rule &rule, line_cursor cursor,
                             std::size_t start)
{
	line_match none = {RULE_NONE, start, 0};
	int found = match_word(&cursor, rule.keyword);
	if (found <= 0)
		return found < 0 ? undecided() : none;
	// White space between the words, a carriage return alone being none.
	bool spaced = false;
	while (cursor.at < cursor.end && is_line_space(cursor.line[cursor.at]))
		spaced |= cursor.line[cursor.at++] != '\r';
	if (cursor.at == cursor.end && cursor.more_may_follow)
		return undecided();
	if (!spaced)
		return none; // "BOOLEANUSE_RCK" is another name
	found = match_word(&cursor, rule.name);
	if (found <= 0)
		return found < 0 ? undecided() : none;
	int longer = continues_name(&cursor);
	if (longer != 0)
		return longer < 0 ? undecided() : none; // USE_RCK2, frequency: other variables
	return {rule.rule, start, cursor.at - start};
}

} // namespace

line_match filter_line(const unsigned char *line, std::size_t available, bool at_end)
{
	const void *line_feed = std::memchr(line, '\n', available);
	std::size_t line_end =
		line_feed ? static_cast<std::size_t>(static_cast<const unsigned char *>(line_feed) - line)
			  : available;
	line_cursor cursor = {line, 0, line_end, line_feed == nullptr && !at_end};
	while (cursor.at < line_end && is_line_space(line[cursor.at]))
		++cursor.at;
	std::size_t start = cursor.at;
	if (start == line_end && cursor.more_may_follow)
		return undecided();

	line_cursor keyword = cursor;
	int crc = match_word(&keyword, "CRC");
	if (crc < 0)
		return undecided();
	for (const declaration_rule &rule : declarations) {
		line_match match = match_declaration(rule, cursor, start);
		if (match.rule != RULE_NONE)
			return match;
	}
	line_match match = {RULE_NONE, start, 0};
	if (crc > 0) {
		// The keyword, then white space, the line's end or the file's end:
		// "CRC;" and "CRCX" are other words.
		std::size_t after = next_visible(&keyword, keyword.at);
		if (after == line_end && keyword.more_may_follow)
			return undecided();
		if (after == line_end || is_line_space(line[after]))
			match = {RULE_CRC, start, keyword.at - start};
	}
	return match;
}

namespace {

const declaration_rule *declaration_for(line_rule rule)
{
	for (const declaration_rule &r : declarations) {
		if (r.rule == rule)
			return &r;
	}
	return nullptr;
}

} // namespace

const char *forced_declaration(line_rule rule)
{
	const declaration_rule *r = declaration_for(rule);
	return r ? r->replacement : nullptr;
}

const char *forced_declaration_words(line_rule rule)
{
	const declaration_rule *r = declaration_for(rule);
	return r ? r->words : nullptr;
}

// filter.cpp - the statement patch rules, and a player's view of the text.
#include "filter.h"

#include <cstring>

#include "scan.h"

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

// Compares the bytes at line[at] with word. Returns 1 when they match, 0
// when they differ, -1 when the bytes end first and more may follow.
int match_word(const unsigned char *line, std::size_t at, const char *word, std::size_t line_end,
               bool more_may_follow)
{
	std::size_t length = std::strlen(word);
	for (std::size_t i = 0; i < length; ++i) {
		if (at + i >= line_end)
			return more_may_follow ? -1 : 0;
		if (line[at + i] != static_cast<unsigned char>(word[i]))
			return 0;
	}
	return 1;
}

// White space a player sees between words, the line feed included.
bool is_player_space(unsigned char byte)
{
	return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\f' || byte == '\v';
}

// What a comment and a string must stop at; every other byte is passed
// over in a tight loop. (Inside a statement, scan.h does the same.)
enum : unsigned char {
	STOP_IN_COMMENT = 1, // the line feed and NUL
	STOP_IN_STRING = 2,  // the closing quote and NUL
};

struct stop_table {
	unsigned char entries[256];
};

constexpr stop_table make_stop_table()
{
	stop_table table{};
	table.entries[0] = STOP_IN_COMMENT | STOP_IN_STRING;
	table.entries[static_cast<unsigned char>('"')] = STOP_IN_STRING;
	table.entries[static_cast<unsigned char>('\n')] = STOP_IN_COMMENT;
	return table;
}

constexpr stop_table stops = make_stop_table();

} // namespace

bool is_line_space(unsigned char byte)
{
	return byte == ' ' || byte == '\t' || byte == '\r' || byte == '\f' || byte == '\v';
}

bool is_name_byte(unsigned char byte)
{
	return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
	       (byte >= '0' && byte <= '9') || byte == '_';
}

line_match filter_line(const unsigned char *line, std::size_t available, bool at_end)
{
	line_match match = {RULE_NONE, 0, 0};
	const void *line_feed = std::memchr(line, '\n', available);
	std::size_t line_end =
		line_feed ? static_cast<std::size_t>(static_cast<const unsigned char *>(line_feed) - line)
			  : available;
	bool ends_here = line_feed != nullptr || at_end;

	std::size_t at = 0;
	while (at < line_end && is_line_space(line[at]))
		++at;
	match.indent = at;
	if (at == line_end && !ends_here) {
		match.rule = RULE_UNDECIDED;
		return match;
	}

	// Rule 3: CRC followed by white space, the line's end or the file's end.
	int crc = match_word(line, at, "CRC", line_end, !ends_here);
	if (crc < 0) {
		match.rule = RULE_UNDECIDED;
		return match;
	}
	for (const declaration_rule &rule : declarations) {
		int found = match_word(line, at, rule.keyword, line_end, !ends_here);
		if (found < 0) {
			match.rule = RULE_UNDECIDED;
			return match;
		}
		if (found == 0)
			continue;
		std::size_t name = at + std::strlen(rule.keyword);
		std::size_t spaces = name;
		while (spaces < line_end && is_line_space(line[spaces]))
			++spaces;
		if (spaces == line_end && !ends_here) {
			match.rule = RULE_UNDECIDED;
			return match;
		}
		if (spaces == name)
			return match; // "BOOLEANUSE_RCK" is another name
		found = match_word(line, spaces, rule.name, line_end, !ends_here);
		if (found < 0) {
			match.rule = RULE_UNDECIDED;
			return match;
		}
		if (found == 0)
			return match;
		std::size_t after = spaces + std::strlen(rule.name);
		if (after == line_end && !ends_here) {
			match.rule = RULE_UNDECIDED;
			return match;
		}
		if (after < line_end && is_name_byte(line[after]))
			return match; // USE_RCK2, frequency: other variables
		match.rule = rule.rule;
		match.matched = after - at;
		return match;
	}
	if (crc > 0) {
		std::size_t after = at + 3;
		if (after == line_end && !ends_here) {
			match.rule = RULE_UNDECIDED;
			return match;
		}
		if (after == line_end || is_line_space(line[after])) {
			match.rule = RULE_CRC;
			match.matched = 3;
		}
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

stapl_lexer lexer_at_start()
{
	return {LEX_CODE, false, true, -1, false};
}

stapl_lexer lexer_in_statement()
{
	return {LEX_CODE, true, false, -1, true};
}

bool lexer_between_statements(const stapl_lexer *lexer)
{
	return lexer->mode == LEX_CODE && !lexer->in_statement;
}

lex_event lexer_feed(stapl_lexer *lexer, const unsigned char *data, std::size_t length,
                     std::size_t *at)
{
	std::size_t i = 0;
	while (i < length) {
		if (lexer->mode != LEX_CODE) {
			// A comment ends at the line feed, which is white space to a
			// player; a string at its closing quote, which is not.
			bool comment = lexer->mode == LEX_COMMENT;
			unsigned char stop = comment ? STOP_IN_COMMENT : STOP_IN_STRING;
			while (i < length && !(stops.entries[data[i]] & stop))
				++i;
			if (i == length)
				break;
			if (data[i] == 0) {
				*at = i;
				return LEX_NUL;
			}
			lexer->mode = LEX_CODE;
			lexer->after_space = comment;
			++i;
			continue;
		}
		// Inside a statement, past its first word, only ; ' " and NUL
		// matter.
		if (lexer->in_statement && lexer->crc_word < 0) {
			i += find_statement_stop(data + i, length - i);
			if (i == length)
				break;
		}
		unsigned char byte = data[i];
		if (byte == '\r') { // invisible to a player
			++i;
			continue;
		}
		if (byte == 0) {
			*at = i;
			return LEX_NUL;
		}
		if (lexer->crc_word >= 0) {
			if (lexer->crc_word == 3) {
				lexer->crc_word = -1;
				if (is_player_space(byte)) {
					*at = i;
					return LEX_CRC_STATEMENT;
				}
			} else if (byte == static_cast<unsigned char>("CRC"[lexer->crc_word])) {
				++lexer->crc_word;
				lexer->after_space = false;
				++i;
				continue;
			} else {
				lexer->crc_word = -1;
			}
		}
		++i;
		if (byte == '\'') {
			lexer->mode = LEX_COMMENT;
		} else if (byte == '"') {
			lexer->mode = LEX_STRING;
		} else if (byte == ';') {
			if (lexer->in_statement && lexer->stop_at_end) {
				lexer->in_statement = false;
				lexer->after_space = false;
				*at = i;
				return LEX_STATEMENT_END;
			}
			lexer->in_statement = false;
		} else if (!lexer->in_statement && is_name_byte(byte)) {
			lexer->in_statement = true;
			lexer->crc_word = byte == 'C' && lexer->after_space ? 1 : -1;
		}
		lexer->after_space = is_player_space(byte);
	}
	*at = length;
	return LEX_NONE;
}

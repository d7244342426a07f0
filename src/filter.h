// filter.h - what the tool knows of STAPL statements.
//
// Three rules decide what becomes of a line that begins a statement (after
// any leading white space), tested in this order:
//   1. the Boolean declaration of USE_RCK  -> "BOOLEAN USE_RCK = 1;\r\n"
//   2. the integer declaration of freq     -> "INTEGER freq = 3;\r\n"
//   3. the CRC statement                   -> nothing, and the copy ends
// Any other line is copied byte for byte. A replaced line keeps its leading
// white space, and the whole declaration goes, up to its ';' even when that
// lies on a later line.
//
// The rules only apply where a STAPL player would see a statement begin, so
// the copy pass also reads the text it writes the way a player does
// (stapl_lexer below): carriage returns are invisible, a comment runs from
// ' to the end of its line, a string from " to the next ", and a statement
// begins at the first letter, digit or _ after the previous statement's ;.
// Letter case counts everywhere.
#ifndef MORVET_FILTER_H
#define MORVET_FILTER_H

#include <cstddef>

enum line_rule {
	RULE_NONE,      // copy the line
	RULE_USE_RCK,   // force the USE_RCK declaration
	RULE_FREQ,      // force the freq declaration
	RULE_CRC,       // the old CRC statement: the copy ends before this line
	RULE_UNDECIDED, // the bytes given end before the rules can tell
};

struct line_match {
	line_rule rule;
	std::size_t indent;  // leading white space, kept in front of a replacement
	std::size_t matched; // bytes after the indent that the rule read (keyword and name)
};

// White space inside a line: space, tab, carriage return, form feed and
// vertical tab. A line feed ends the line instead.
bool is_line_space(unsigned char byte);

// True for the bytes that can continue a STAPL name. Spelled out rather
// than taken from <cctype>, whose answer depends on the locale.
bool is_name_byte(unsigned char byte);

// Decides which rule a line matches, from the available bytes at its start
// (the line ends at its first line feed among them). at_end says nothing
// follows them in the file. RULE_UNDECIDED asks for more bytes; it is only
// answered when the bytes given end inside the indent or the keywords.
line_match filter_line(const unsigned char *line, std::size_t available, bool at_end);

// The text written in place of a declaration the rules force.
const char *forced_declaration(line_rule rule);

// What forcing a declaration writes, without white space and comments:
// a declaration that reads the same is already forced.
const char *forced_declaration_words(line_rule rule);

enum lexer_mode : unsigned char {
	LEX_CODE,
	LEX_COMMENT,
	LEX_STRING,
};

// A player's view of a stream of text, fed in pieces of any size.
struct stapl_lexer {
	lexer_mode mode;
	bool in_statement;   // a statement has begun and its ';' not yet come
	bool after_space;    // the last visible byte was white space (or none yet)
	signed char crc_word; // letters of "CRC" matched at a statement's start, or -1
	bool stop_at_end;    // report the end of the current statement
};

enum lex_event {
	LEX_NONE,          // the bytes were all taken
	LEX_CRC_STATEMENT, // a statement whose first word is CRC begins at *at
	LEX_STATEMENT_END, // the ';' ending the statement is at *at - 1
	LEX_NUL,           // a NUL byte is at *at: not STAPL text
};

// A lexer at the start of a text.
stapl_lexer lexer_at_start();

// A lexer inside a statement that has begun, which reports its end: for
// reading a declaration that is being replaced.
stapl_lexer lexer_in_statement();

// Feeds length bytes at data. Stops at the first event and returns it, with
// *at the offset into data where it happened (for LEX_STATEMENT_END, the
// offset just after the ';'); the bytes from *at on are not yet taken.
lex_event lexer_feed(stapl_lexer *lexer, const unsigned char *data, std::size_t length,
                     std::size_t *at);

// True when a player would see a statement begin at the next visible byte:
// the rules may apply there.
bool lexer_between_statements(const stapl_lexer *lexer);

#endif

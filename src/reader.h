// reader.h - the text as a STAPL player reads it when it checks the CRC.
//
// A player reads the bytes in order and skips every carriage return
// entirely: not fed to the CRC, not remembered. Every other byte is fed to
// the CRC; then, outside a comment and a string, ' opens a comment and "
// opens a string. The CRC statement is found when, outside a comment and a
// string and inside a statement's first word, the last four bytes
// remembered are a white-space byte, C, R, C and the byte at hand is white
// space; then white space, four hex digits, white space and ';' must
// follow, and the file's CRC is compared with the CRC of everything before
// that C. After that test, outside a comment and a string, a name byte
// (letter, digit, _) opens a statement and its first word when no
// statement is open; any other byte ends the first word; ';' ends the
// statement. A line feed ends a comment; the second " ends a string.
//
// The first place where the test fires ends the player's reading. So a
// comment right after a statement's first word keeps that word open
// (ENDPROC'x LF CRC 1234; is found), and CRC at a text's very first byte,
// with no white space before it, is not found.
//
// This is the only reading of the text the tool has: the rules, the
// refusals and the comparison all consult it. It tells where the test
// fires; the CRC itself is crc16.h's.
#ifndef MORVET_READER_H
#define MORVET_READER_H

#include <cstddef>
#include <cstdint>

// White space to a player: space, tab, line feed, carriage return (which it
// never sees), form feed and vertical tab.
bool is_player_space(unsigned char byte);

// White space within a line: the same without the line feed.
bool is_line_space(unsigned char byte);

// The bytes a STAPL name is made of. Spelled out rather than taken from
// <cctype>, whose answer depends on the locale.
bool is_name_byte(unsigned char byte);

enum reader_mode : unsigned char {
	READ_CODE,
	READ_COMMENT,
	READ_STRING,
};

struct stapl_reader {
	reader_mode mode;
	bool in_statement;     // a statement has begun and its ';' not yet come
	bool in_first_word;    // and its first word goes on
	bool report_end;       // report the end of the current statement
	std::uint32_t recent;  // the last four bytes remembered, the newest lowest
};

enum read_event {
	READ_ALL,           // every byte was taken
	READ_CRC_STATEMENT, // the test fires at the white space at *at (not taken)
	READ_STATEMENT_END, // with report_end: the ';' ending the statement is at *at - 1
	READ_NUL,           // a NUL byte is at *at: not STAPL text (not taken)
};

// A reader at the start of a text.
stapl_reader reader_at_start();

// A reader past the first word of a statement, which reports the
// statement's end: for reading a declaration that is being replaced.
stapl_reader reader_in_declaration();

// Takes length bytes at data. Stops at the first event and returns it with
// *at its offset into data; the bytes from *at on are not yet taken.
read_event reader_feed(stapl_reader *reader, const unsigned char *data, std::size_t length,
                       std::size_t *at);

// True when a statement may begin at the next byte the reader takes: the
// declaration rules may apply there.
bool reader_between_statements(const stapl_reader *reader);

// True when the test could fire on a CRC keyword that begins at the next
// byte (between statements, or inside a first word).
bool reader_may_find_keyword(const stapl_reader *reader);

// The reading of a CRC statement after its keyword, as a player checks it:
// white space, exactly four hex digits, white space, then ';'.
enum value_phase : unsigned char {
	VALUE_SPACE,
	VALUE_DIGITS,
	VALUE_SPACE_AFTER,
	VALUE_WELL_FORMED, // its ';' has been read
	VALUE_BROKEN,      // a byte no player accepts there
};

struct crc_value_reading {
	value_phase phase;
	unsigned digits;
	unsigned value;
};

crc_value_reading value_reading_start();

// Takes bytes of the statement until it is well formed (just past its ';')
// or broken (at the offending byte); returns how many were taken.
std::size_t read_crc_value(crc_value_reading *reading, const unsigned char *data,
                           std::size_t length);

#endif

// filter.h - what the tool knows of STAPL statements.
//
// Three rules decide what becomes of a line where a player may see a
// statement begin (reader.h), from the line's first words after its
// leading white space, tested in this order:
//   1. the Boolean declaration of USE_RCK  -> "BOOLEAN USE_RCK = 1;\r\n"
//   2. the integer declaration of freq     -> "INTEGER freq = 3;\r\n"
//   3. the CRC keyword followed by white space: the old CRC statement,
//      where the copy ends
// Any other line is copied byte for byte. A replaced line keeps its leading
// white space, and the whole declaration goes, up to its ';' even when that
// lies on a later line. Words are read as a player reads them: carriage
// returns are invisible (CRC, CR, X is the name CRCX), letter case counts,
// and a declaration's words stand on one line.
#ifndef MORVET_FILTER_H
#define MORVET_FILTER_H

#include <cstddef>

enum line_rule {
	RULE_NONE,      // copy the line
	RULE_USE_RCK,   // force the USE_RCK declaration
	RULE_FREQ,      // force the freq declaration
	RULE_CRC,       // the CRC keyword, then white space or the end of the line
	RULE_UNDECIDED, // the bytes given end before the rules can tell
};

struct line_match {
	line_rule rule;
	std::size_t indent;  // leading white space, kept in front of a replacement
	std::size_t matched; // bytes after the indent that the rule read (keyword and name)
};

// Decides which rule a line matches, from the available bytes at its start
// (the line ends at its first line feed among them). at_end says nothing
// follows them in the file. RULE_UNDECIDED asks for more bytes; it is only
// answered when the bytes given end inside the indent or the words.
line_match filter_line(const unsigned char *line, std::size_t available, bool at_end);

// The text written in place of a declaration the rules force.
const char *forced_declaration(line_rule rule);

// What forcing a declaration writes, without white space and comments:
// a declaration that reads the same is already forced.
const char *forced_declaration_words(line_rule rule);

#endif

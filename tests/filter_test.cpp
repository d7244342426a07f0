// The statement rules on single lines, and the player's reading of a text.
#include "filter.h"
#include "reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

line_match match(const std::string &line, bool at_end = true)
{
	return filter_line(reinterpret_cast<const unsigned char *>(line.data()), line.size(), at_end);
}

struct rule_case {
	const char *line;
	std::size_t length; // 0: up to the NUL
	line_rule rule;
	std::size_t indent;
	std::size_t matched;
};

const char *rule_name(line_rule rule)
{
	switch (rule) {
	case RULE_NONE: return "none";
	case RULE_USE_RCK: return "USE_RCK";
	case RULE_FREQ: return "freq";
	case RULE_CRC: return "CRC";
	case RULE_UNDECIDED: return "undecided";
	}
	return "?";
}

TEST(Rules, DecideEachLineFromItsStart)
{
	const rule_case cases[] = {
		// The forced declarations, whatever their value or line end.
		{"BOOLEAN USE_RCK = 0;\r\n", 0, RULE_USE_RCK, 0, 15},
		{"BOOLEAN USE_RCK = 0;\n", 0, RULE_USE_RCK, 0, 15},
		{"BOOLEAN USE_RCK[4] = $F;\n", 0, RULE_USE_RCK, 0, 15},
		{"BOOLEAN USE_RCK", 0, RULE_USE_RCK, 0, 15}, // last line, no line end
		{"BOOLEAN USE_RCK\n", 0, RULE_USE_RCK, 0, 15},
		{"INTEGER freq = -20000;\n", 0, RULE_FREQ, 0, 12},
		{"INTEGER freq=1;\n", 0, RULE_FREQ, 0, 12},
		{"INTEGER freq;\n", 0, RULE_FREQ, 0, 12},
		{"INTEGER freq\0 = 2;\n", 19, RULE_FREQ, 0, 12},
		// Indented and spaced, as generators and editors write them.
		{"\tBOOLEAN USE_RCK = 0;\n", 0, RULE_USE_RCK, 1, 15},
		{"  \f\vINTEGER freq = 1;\n", 0, RULE_FREQ, 4, 12},
		{"INTEGER  freq = 1;\n", 0, RULE_FREQ, 0, 13},
		{"BOOLEAN\t\r USE_RCK=0;\n", 0, RULE_USE_RCK, 0, 17},
		// Other variables whose names begin the same, and other spellings.
		{"INTEGER frequency = 5;\r\n", 0, RULE_NONE, 0, 0},
		{"INTEGER freq_div = 2;\n", 0, RULE_NONE, 0, 0},
		{"INTEGER freq2 = 2;\n", 0, RULE_NONE, 0, 0},
		{"BOOLEAN USE_RCK2 = 1;\r\n", 0, RULE_NONE, 0, 0},
		{"BOOLEAN USE_RCK_FALLBACK = 0;\n", 0, RULE_NONE, 0, 0},
		{"BOOLEANUSE_RCK = 0;\n", 0, RULE_NONE, 0, 0},
		{"integer freq = 1;\n", 0, RULE_NONE, 0, 0},
		{"BOOLEAN use_rck = 0;\n", 0, RULE_NONE, 0, 0},
		{"INTEGER\nfreq = 1;\n", 0, RULE_NONE, 0, 0},
		{"INTEGER fre", 0, RULE_NONE, 0, 0},
		{"BOOLEAN USE_RC\n", 0, RULE_NONE, 0, 0},
		// The CRC statement: the keyword, then white space or an end.
		{"CRC 1A2B;\r\n", 0, RULE_CRC, 0, 3},
		{"CRC\tABCD;\n", 0, RULE_CRC, 0, 3},
		{"CRC\r\n", 0, RULE_CRC, 0, 3},
		{"CRC\n", 0, RULE_CRC, 0, 3},
		{"CRC", 0, RULE_CRC, 0, 3},
		{"   CRC 1234;\n", 0, RULE_CRC, 3, 3},
		{"CRC;\n", 0, RULE_NONE, 0, 0},
		{"CRCX 1234;\n", 0, RULE_NONE, 0, 0},
		// Carriage returns are invisible to a player, inside words too.
		{"CRC\rX = 1;\n", 0, RULE_NONE, 0, 0},
		{"C\rRC 1;\n", 0, RULE_CRC, 0, 4},
		{"\r\r  CRC 1;", 0, RULE_CRC, 4, 3},
		{"BOOLEAN\rUSE_RCK = 0;\n", 0, RULE_NONE, 0, 0},
		{"INTEGER fr\req = 1;\n", 0, RULE_FREQ, 0, 13},
		{"INTEGER freq\r2 = 1;\n", 0, RULE_NONE, 0, 0},
		{"crc 1234;\n", 0, RULE_NONE, 0, 0},
		// Lines no rule takes.
		{"\r\n", 0, RULE_NONE, 1, 0},
		{"\n", 0, RULE_NONE, 0, 0},
		{"", 0, RULE_NONE, 0, 0},
		{"NOTE \"DEVICE\" \"CX2064\";\r\n", 0, RULE_NONE, 0, 0},
		{"\0INTEGER freq = 1;\n", 19, RULE_NONE, 0, 0},
		{"\x80\xff\x01 high bytes\n", 0, RULE_NONE, 0, 0},
	};
	for (const rule_case &c : cases) {
		std::string line(c.line, c.length ? c.length : std::char_traits<char>::length(c.line));
		line_match m = match(line);
		EXPECT_STREQ(rule_name(m.rule), rule_name(c.rule)) << '"' << line << '"';
		if (c.rule != RULE_NONE) {
			EXPECT_EQ(m.indent, c.indent) << line;
			EXPECT_EQ(m.matched, c.matched) << line;
		}
	}
}

TEST(Rules, AskForMoreBytesOnlyWhileTheyCannotTell)
{
	// Cut off in the middle of the file: the next bytes may still decide.
	for (const char *start : {"   ", "BOOLEAN", "BOOLEAN  ", "INTEGER fre", "CR", "CRC",
	                          "CRC\r", "INTEGER freq"}) {
		EXPECT_EQ(match(start, false).rule, RULE_UNDECIDED) << start;
		EXPECT_NE(match(start, true).rule, RULE_UNDECIDED) << start;
	}
	// Decided whatever follows.
	for (const char *start : {"NOTE", "BOOLEAN X", "CRC ", "INTEGER freq ", "  \n"})
		EXPECT_NE(match(start, false).rule, RULE_UNDECIDED) << start;
}

struct lexed {
	read_event event;
	std::size_t at;
	stapl_reader after;
};

// Feeds text in pieces of the given size, as the copy pass's blocks do.
lexed lex(const std::string &text, std::size_t piece, stapl_reader reader = reader_at_start())
{
	const unsigned char *data = reinterpret_cast<const unsigned char *>(text.data());
	std::size_t done = 0;
	while (done < text.size()) {
		std::size_t length = std::min(piece, text.size() - done);
		std::size_t at = 0;
		read_event event = reader_feed(&reader, data + done, length, &at);
		if (event != READ_ALL)
			return {event, done + at, reader};
		done += length;
	}
	return {READ_ALL, text.size(), reader};
}

TEST(PlayerView, FindsEveryCrcStatementAPlayerWouldTake)
{
	struct {
		const char *text;
		read_event event;
		std::size_t at; // where the white space after the keyword is
	} cases[] = {
		{"ENDPROC; CRC 1234;\n", READ_CRC_STATEMENT, 12},
		{"A;\n\tCRC\t1234;\n", READ_CRC_STATEMENT, 7},
		{"A;\r\nCRC\r\n1234;", READ_CRC_STATEMENT, 8},
		{"A; ' note\nCRC 1;", READ_CRC_STATEMENT, 13},
		{"\nC\rR\rC 1;", READ_CRC_STATEMENT, 6},
		// A comment right after a statement's first word keeps the word
		// open: a player finds the CRC statement on the next line.
		{"ENDPROC' end\nCRC 1234;", READ_CRC_STATEMENT, 16},
		{"X\"s\"'a\n'b\nCRC 1;", READ_CRC_STATEMENT, 13},
		// Not one: inside a statement, a comment or a string, no white
		// space on either side (the text's first byte has none before
		// it), another word, lower case.
		{"CRC 1;", READ_ALL, 6},
		{"\r\rCRC 1;", READ_ALL, 8},
		{"A = CRC 1;\n", READ_ALL, 11},
		{"A = 1\nCRC 1;\n", READ_ALL, 13},
		{"A;CRC 1;\n", READ_ALL, 9},
		{"' CRC 1;\n", READ_ALL, 9},
		{"NOTE \"x\" \"; CRC 1;\";\n", READ_ALL, 21},
		{"A; CRC;\n", READ_ALL, 8},
		{"A; CRCX 1;\n", READ_ALL, 11},
		{"A;\nCRC\rX 1;\n", READ_ALL, 12},
		{"A; crc 1;\n", READ_ALL, 10},
		{"A;\nCRC", READ_ALL, 6},
	};
	for (const auto &c : cases) {
		for (std::size_t piece : {1, 2, 3, 1000}) {
			lexed result = lex(c.text, piece);
			EXPECT_EQ(result.event, c.event) << c.text << " in pieces of " << piece;
			EXPECT_EQ(result.at, c.at) << c.text << " in pieces of " << piece;
		}
	}
}

TEST(PlayerView, KnowsWhereStatementsBeginAndEnd)
{
	struct {
		const char *text;
		reader_mode mode;
		bool in_statement;
	} cases[] = {
		{"", READ_CODE, false},
		{"A = 1;\r\n", READ_CODE, false},
		{"A = 1\r\n", READ_CODE, true},
		{"A = 1; ' x;\n", READ_CODE, false},
		{"A = 1 ' x;\n", READ_CODE, true},
		{"A; ' open comment", READ_COMMENT, false},
		{"NOTE \"a;b\n", READ_STRING, true},
		{"NOTE \"a;b\";", READ_CODE, false},
		{"\"loose string;\"", READ_CODE, false},
		{" ; ; \t\f\v\r\n", READ_CODE, false},
		{"@#$ ;", READ_CODE, false}, // no letter, digit or _: no statement
	};
	for (const auto &c : cases) {
		for (std::size_t piece : {1, 1000}) {
			lexed result = lex(c.text, piece);
			EXPECT_EQ(result.event, READ_ALL) << c.text;
			EXPECT_EQ(result.after.mode, c.mode) << c.text;
			EXPECT_EQ(result.after.in_statement, c.in_statement) << c.text;
		}
	}
}

TEST(PlayerView, ReportsNulBytesAndTheEndOfADeclaration)
{
	for (const char *state : {"", "A ", "A '", "A \"", "' "}) {
		std::string text = std::string(state) + std::string("x\0y", 3);
		lexed result = lex(text, 1000);
		EXPECT_EQ(result.event, READ_NUL) << state;
		EXPECT_EQ(result.at, text.size() - 2) << state;
	}
	// A declaration ends at its ';', not at one in a comment or a string.
	lexed end = lex(" = 1 ' not; here\n \"nor; here\" ;  ' rest", 5, reader_in_declaration());
	EXPECT_EQ(end.event, READ_STATEMENT_END);
	EXPECT_EQ(end.at, 31u);
	EXPECT_EQ(lex(" = 1\n 2\n", 4, reader_in_declaration()).event, READ_ALL);
}

} // namespace

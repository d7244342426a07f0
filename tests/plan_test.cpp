// The plan on whole texts: what patching makes of them, what --check says,
// and what a player's interpreter would run, fed in pieces of many sizes so
// that every rule and reading falls across the seams between reads.
#include "plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "report.h"
#include "stapl_reference.h"

namespace {

patch_plan plan;

void make_plan(const std::string &input, std::size_t piece)
{
	plan_begin(&plan);
	const unsigned char *data = reinterpret_cast<const unsigned char *>(input.data());
	for (std::size_t done = 0; done < input.size(); done += piece)
		plan_feed(&plan, data + done, std::min(piece, input.size() - done));
	plan_finish(&plan);
}

// The plan's edits applied to input, as patching writes them.
std::string applied(const std::string &input)
{
	std::string result;
	std::uint64_t kept = 0;
	for (unsigned i = 0; i < plan.edit_count; ++i) {
		const plan_edit &edit = plan.edits[i];
		EXPECT_LE(kept, edit.from);
		result += input.substr(kept, edit.from - kept);
		result.append(edit.text, edit.length);
		kept = edit.to;
	}
	return result + input.substr(kept);
}

// What the tool makes of input, or "refused: " and the reason: the same in
// every size of piece.
std::string patched(const std::string &input)
{
	std::string first;
	for (std::size_t piece : {input.size() + 1, std::size_t{1}, std::size_t{2}, std::size_t{7}}) {
		make_plan(input, piece);
		std::string result =
			plan_accepted(&plan)
				? applied(input)
				: std::string("refused: ") +
				          refusal_text(&plan);
		if (first.empty())
			first = result;
		EXPECT_EQ(result, first) << "in pieces of " << piece << ": " << input;
	}
	return first;
}

std::string checked(const std::string &input)
{
	make_plan(input, input.size() + 1);
	if (!plan_accepted(&plan))
		return std::string("not patched: ") +
		       refusal_text(&plan);
	return check_verdict(&plan);
}

const std::string use_rck = "BOOLEAN USE_RCK = 1;\r\n";
const std::string freq = "INTEGER freq = 3;\r\n";

struct patch_case {
	const char *input;
	std::size_t length;   // 0: up to the NUL
	const char *expected; // the text before the new CRC statement, or "refused: ..."
};

void expect_cases(const patch_case *cases, std::size_t count)
{
	for (std::size_t i = 0; i < count; ++i) {
		const patch_case &c = cases[i];
		std::string input(c.input, c.length ? c.length : std::char_traits<char>::length(c.input));
		std::string expected = c.expected;
		std::string result = patched(input);
		if (expected.rfind("refused: ", 0) == 0) {
			EXPECT_EQ(result, expected) << input;
			continue;
		}
		EXPECT_EQ(result, expected.empty() ? "CRC 0000;\r\n" : with_crc(expected)) << input;
		EXPECT_EQ(patched(result), result) << "second run on " << input;
		make_plan(result, result.size() + 1);
		EXPECT_EQ(plan.edit_count, 0u) << "a patched file has nothing to change: " << input;
	}
}

TEST(Plan, ForcesDeclarationsAndEndsAtTheOldCrcStatement)
{
	const patch_case cases[] = {
		{"NOTE \"DEVICE\" \"CX2064\";\r\nDATA P;\r\nINTEGER freq = 1;\r\nBOOLEAN USE_RCK = 0;\r\n"
		 "ENDDATA;\r\nCRC 1A2B;\r\nNOTE \"after\" \"dropped\";\r\n",
		 0,
		 "NOTE \"DEVICE\" \"CX2064\";\r\nDATA P;\r\nINTEGER freq = 3;\r\nBOOLEAN USE_RCK = "
		 "1;\r\nENDDATA;\r\n"},
		{"INTEGER freq = 1;\nPROCEDURE P;\nINTEGER freq = 9;\nENDPROC;\n", 0,
		 "INTEGER freq = 3;\r\nPROCEDURE P;\nINTEGER freq = 3;\r\nENDPROC;\n"},
		// Old CRC statements however they are spaced.
		{"A;\r\nCRC\t1234;\r\nB;\r\n", 0, "A;\r\n"},
		{"A;\r\n  CRC 1234;\r\n", 0, "A;\r\n"},
		{"A;\nCRC\n1234;\n", 0, "A;\n"},
		{"A;\nCRC", 0, "A;\n"},
		{"ENDPROC; CRC 1234;\r\n", 0,
		 "refused: line 1 holds a CRC statement that does not begin the line"},
		{"A;\nB;\n ' c\nENDPROC;\tCRC 1234;\n", 0,
		 "refused: line 4 holds a CRC statement that does not begin the line"},
		// Declarations indented, spaced, over several lines, at the end.
		{"DATA D;\n\tBOOLEAN USE_RCK = 0;\r\nENDDATA;\n", 0,
		 "DATA D;\n\tBOOLEAN USE_RCK = 1;\r\nENDDATA;\n"},
		{"INTEGER  freq = 1;\n", 0, "INTEGER freq = 3;\r\n"},
		{"BOOLEAN\t\r USE_RCK=0;\n", 0, "BOOLEAN USE_RCK = 1;\r\n"},
		{"BOOLEAN USE_RCK[4] = $F;\n", 0, "BOOLEAN USE_RCK = 1;\r\n"},
		{"INTEGER freq;\n", 0, "INTEGER freq = 3;\r\n"},
		{"INTEGER freq =\n 1;\nENDDATA;\n", 0, "INTEGER freq = 3;\r\nENDDATA;\n"},
		{"INTEGER freq ' the value\n = 1 ' ; not yet\n ; ' now\nA;\n", 0,
		 "INTEGER freq = 3;\r\nA;\n"},
		{"INTEGER freq = \"1;\n\";\nA;\n", 0, "INTEGER freq = 3;\r\nA;\n"},
		{"INTEGER freq = 1; \t' a comment; stays out\r\n", 0, "INTEGER freq = 3;\r\n"},
		{"INTEGER freq = 1;", 0, "INTEGER freq = 3;\r\n"},
		{"BOOLEAN USE_RCK = 1;\r\n", 0, "BOOLEAN USE_RCK = 1;\r\n"},
		// Other variables whose names begin the same.
		{"INTEGER frequency = 5;\r\nINTEGER freq_div = 2;\nBOOLEAN USE_RCK2 = 1;\n"
		 "BOOLEAN USE_RCK_OLD = 0;\nBOOLEANUSE_RCK = 0;\n",
		 0,
		 "INTEGER frequency = 5;\r\nINTEGER freq_div = 2;\nBOOLEAN USE_RCK2 = 1;\n"
		 "BOOLEAN USE_RCK_OLD = 0;\nBOOLEANUSE_RCK = 0;\n"},
		// Not at a statement's start: copied as they are.
		{"A =\nINTEGER freq = 1;\n", 0, "A =\nINTEGER freq = 1;\n"},
		{"NOTE \"x\nBOOLEAN USE_RCK = 0;\nCRC 1;\n\";\n", 0,
		 "NOTE \"x\nBOOLEAN USE_RCK = 0;\nCRC 1;\n\";\n"},
		{"A = 1\nCRC 1234;\nB;\n", 0, "A = 1\nCRC 1234;\nB;\n"},
		{"' BOOLEAN USE_RCK = 0;\nA; ' CRC 1234;\n", 0, "' BOOLEAN USE_RCK = 0;\nA; ' CRC 1234;\n"},
		// A forced declaration that shares its line, or never ends.
		{"A;\nB;\nINTEGER freq = 1; C;\n", 0, "refused: line 3 holds more than the declaration"},
		{"INTEGER freq =\n1; CRC 1234;\n", 0, "refused: line 2 holds more than the declaration"},
		{"BOOLEAN USE_RCK = 0; \"x\";\n", 0, "refused: line 1 holds more than the declaration"},
		{"A;\nBOOLEAN USE_RCK =\n 0\n", 0, "refused: the declaration on line 2 is never finished"},
		{"INTEGER freq = \"1;\n", 0, "refused: the declaration on line 1 is never finished"},
		{"BOOLEAN USE_RCK", 0, "refused: the declaration on line 1 is never finished"},
		// Text a player would misread at its end.
		{"NOTE \"a\n", 0, "refused: the text ends inside a string"},
		{"A = \"x", 0, "refused: the text ends inside a string"},
		{"A = 1\n", 0, "refused: the last statement is not finished"},
		{"A = 1 ' comment;", 0, "refused: the last statement is not finished"},
		{"ENDPROC' end\nCRC 1234;\n", 0, "refused: the last statement is not finished"},
		// Not text at all: NUL and 0xFF bytes wherever they stand.
		{"\xFF\xFEN\0O\0", 6, "refused: not a STAPL text file"},
		{"\xFE\xFF\0N", 4, "refused: not a STAPL text file"},
		{"DATA\0X;\n", 8, "refused: not a STAPL text file"},
		{"INTEGER freq = 1\0;\n", 19, "refused: not a STAPL text file"},
		{"A;\nCRC 1234;\n\0", 14, "refused: not a STAPL text file"},
		{"INTEGER freq = 1; '\0\n", 21, "refused: not a STAPL text file"},
		{"' caf\xFF\nA;\n", 0, "refused: not a STAPL text file"},
		{"A;\nCRC 1234;\n' \xFF", 0, "refused: not a STAPL text file"},
		// Still text: the empty file, comments alone, unfinished lines, a
		// UTF-8 mark.
		{"", 0, ""},
		{"' only a comment", 0, "' only a comment\r\n"},
		{"ENDPROC;\r", 0, "ENDPROC;\r\r\n"},
		{"\xEF\xBB\xBF' marked\n", 0, "\xEF\xBB\xBF' marked\n"},
		{"\xEF\xBB\xBF" "BOOLEAN USE_RCK = 0;\n", 0, "\xEF\xBB\xBF" "BOOLEAN USE_RCK = 1;\r\n"},
		{"\xEF\xBB" "BOOLEAN USE_RCK = 0;\n", 0, "\xEF\xBB" "BOOLEAN USE_RCK = 0;\n"},
		// Where a player finds an old CRC statement, and where not.
		{"X\n' c\nCRC 1234;\n", 0, "X\n' c\nCRC 1234;\n"}, // past X's first word
		{"CRC 1234;\r\nA;\r\nCRC 5678;\r\n", 0, "refused: the text begins with a CRC statement"},
		{"\xEF\xBB\xBF" "CRC 1234;\n", 0, "refused: the text begins with a CRC statement"},
		{"\r\rCRC 1234;\n", 0, "refused: the text begins with a CRC statement"},
		{"CRC 1234;\r\n", 0, "refused: the text begins with a CRC statement"},
		{"CRC 0000;' note\n", 0, "refused: the text begins with a CRC statement"},
		{"CRC 0000;\n\r\n \n", 0, ""},
		// Indented on the first line, it is found; a result made of it alone is not.
		{"\xEF\xBB\xBF CRC 1234;\n", 0, "refused: the text begins with a CRC statement"},
		{" CRC D17A;\r\n", 0, "refused: the text begins with a CRC statement"},
		{"\t\tCRC 1234; = 0;;A = 1;CRC 1234;", 0, "refused: the text begins with a CRC statement"},
		{"\r\n CRC 1234;\r\n", 0, "\r\n"},
		{"crc 1234;\nA;\n", 0, "crc 1234;\nA;\n"},
	};
	expect_cases(cases, sizeof cases / sizeof cases[0]);
}

TEST(Plan, ReadsDeclarationsAsThePlayersInterpreterRunsThem)
{
	const std::string long_label = std::string(256, 'L') + ":BOOLEAN USE_RCK = 0;\r\n";
	const patch_case cases[] = {
		// Letter case does not count for the interpreter: forced.
		{"boolean USE_RCK = 0;\nBOOLEAN use_rck = 0;\ninteger FREQ = 1;\n", 0,
		 "BOOLEAN USE_RCK = 1;\r\nBOOLEAN USE_RCK = 1;\r\nINTEGER freq = 3;\r\n"},
		{"  Integer Freq=1; ' set\r\n", 0, "  INTEGER freq = 3;\r\n"},
		// A label, more statements, or a comment a lone CR ends, before it.
		{"A;\nL1: BOOLEAN USE_RCK = 0;\n", 0, "refused: line 2 puts a label before the declaration"},
		{"L1:\tinteger freq = 1;\n", 0, "refused: line 1 puts a label before the declaration"},
		{"L1\n:\nINTEGER freq = 1;\n", 0, "refused: line 3 puts a label before the declaration"},
		{"A = 1; INTEGER freq = 1;\n", 0, "refused: line 1 holds more than the declaration"},
		{"' generated\rBOOLEAN USE_RCK = 0;\n", 0,
		 "refused: line 1 holds a comment that a lone carriage return ends before the "
		 "declaration"},
		{"BOOLEAN USE_RCK = 0; ' x\r A = 1;\n", 0, "refused: line 1 holds more than the declaration"},
		// Carriage returns part the interpreter's words; form feed and
		// vertical tab do not.
		{"INTEGER fr\req = 1;\n", 0,
		 "refused: a player's CRC check and its interpreter read line 1 differently"},
		{"BOOLEAN\rUSE_RCK = 0;\n", 0, "BOOLEAN USE_RCK = 1;\r\n"},
		{"INTEGER freq\r2 = 1;\n", 0,
		 "refused: a player's CRC check and its interpreter read line 1 differently"},
		{"\fINTEGER freq = 1;\n", 0,
		 "refused: a player's CRC check and its interpreter read line 1 differently"},
		{"BOOLEAN\vUSE_RCK = 0;\n", 0,
		 "refused: a player's CRC check and its interpreter read line 1 differently"},
		// Line ends and comments between the type and the name part them
		// as blanks do: the declaration's lines are replaced whole, where
		// both readings find the name at the same byte.
		{"INTEGER\nfreq = 1;\n", 0, "INTEGER freq = 3;\r\n"},
		{"A;\n  boolean\r\n\r\n use_rck ' c\r\n= 0;\r\nB;\n", 0, "A;\n  BOOLEAN USE_RCK = 1;\r\nB;\n"},
		{"BOOLEAN ' c\r\nUSE_RCK = 0;\n", 0, "BOOLEAN USE_RCK = 1;\r\n"},
		{"BOOLEAN\nUSE_RCK_OLD = 0;\nINTEGER\n;\n", 0, "BOOLEAN\nUSE_RCK_OLD = 0;\nINTEGER\n;\n"},
		{"BOOLEAN ' c\rUSE_RCK = 0;\n", 0, "refused: the last statement is not finished"},
		{"BOOLEAN' c\nUSE_RCK = 0;\n", 0, "BOOLEAN USE_RCK = 1;\r\n"},
		{"BOOLEAN '\rUSE_RCK=0;A=1;\nUSE_RCK=5;\n", 0,
		 "refused: a player's CRC check and its interpreter read line 1 differently"},
		{"A=1;\r\nBOOLEAN USE_RCK\r\n=\r\n0; B=2;\r\n", 0,
		 "refused: line 4 holds more than the declaration"},
		{"BOOLEAN USE_RCK = 0; '\r;\r\n", 0, "refused: line 1 holds more than the declaration"},
		{long_label.c_str(), 0, "refused: line 1 puts a label before the declaration"},
		{"INTEGER\f\nfreq = 1;\n", 0,
		 "refused: a player's CRC check and its interpreter read line 1 differently"},
		// The CRC statement is where the check finds it, in capitals.
		{"A;\nC\rRC 1;\n", 0,
		 "refused: a player's CRC check and its interpreter read line 2 differently"},
		{"A;\nCRC\rX = 1;\nCRC 1;\n", 0,
		 "refused: a player's CRC check and its interpreter read line 2 differently"},
		{"' x\rCRC 1234;\nA;\n", 0,
		 "refused: a player's CRC check and its interpreter read line 1 differently"},
		{"A;CRC 1234;\n", 0,
		 "refused: a player's CRC check and its interpreter read line 1 differently"},
		{"\xFE", 0, "refused: a player's CRC check and its interpreter read line 1 differently"},
		{"\xEF", 0, "refused: a player's CRC check and its interpreter read line 1 differently"},
		{"' x\rP:\n", 0, "refused: a player's CRC check and its interpreter read line 2 differently"},
		// Decoys: names, strings and comments that only look like one.
		{"NOTE \"BOOLEAN USE_RCK = 0;\";\nA = freq;\nINTEGER freqs = 1;\n", 0,
		 "NOTE \"BOOLEAN USE_RCK = 0;\";\nA = freq;\nINTEGER freqs = 1;\n"},
		{"BOOLEAN X = USE_RCK;\nINTEGER Y = 1; ' INTEGER freq = 1;\n", 0,
		 "BOOLEAN X = USE_RCK;\nINTEGER Y = 1; ' INTEGER freq = 1;\n"},
	};
	expect_cases(cases, sizeof cases / sizeof cases[0]);
}

TEST(Plan, LongLinesAndWhiteSpaceAreReadInBoundedMemory)
{
	// A megabyte of blanks before and between the words, a declaration
	// longer than any read, thousands of lines: the plan holds no text.
	std::string blanks(1 << 20, ' ');
	std::string input = blanks + "A;\n" + blanks + "BOOLEAN" + blanks + "USE_RCK = 0;\n" +
	                    "INTEGER freq = $" + std::string(300000, 'F') + ";\r\n" + blanks +
	                    "\r\nCRC 1;\n";
	make_plan(input, 262144);
	ASSERT_TRUE(plan_accepted(&plan));
	EXPECT_TRUE(applied(input) ==
	            with_crc(blanks + "A;\n" + blanks + use_rck + freq + blanks + "\r\n"));
	// As many declarations as a plan holds, with its CRC statement; one more
	// is refused.
	std::string many;
	for (unsigned i = 0; i < plan_max_declarations; ++i)
		many += "BOOLEAN USE_RCK = 0;\n";
	EXPECT_EQ(patched(many + "CRC 1234;\n").size(), plan_max_declarations * use_rck.size() + 11);
	EXPECT_EQ(patched(many + "INTEGER freq = 1;\n"),
	          "refused: it holds more than 16384 declarations to force");
}

TEST(Plan, CrcsOfLargeTextsAgreeWithTheReference)
{
	// Lines of many lengths, declarations among them: the output's CRC
	// follows from the input's through every edit.
	std::string input, expected;
	for (int n = 0; input.size() < 600000; ++n) {
		std::string body(static_cast<std::size_t>((n * 977) % 4500), static_cast<char>('a' + n % 26));
		switch (n % 5) {
		case 0:
			input += "\tINTEGER freq =\r\n " + body + "\r\n;\r\n";
			expected += "\tINTEGER freq = 3;\r\n";
			break;
		case 1:
			input += "BOOLEAN  USE_RCK = " + body + "; ' x\n";
			expected += use_rck;
			break;
		case 2:
			input += "' " + body + " CRC 1;\n";
			expected += "' " + body + " CRC 1;\n";
			break;
		default:
			input += "A = " + body + ";\r\n";
			expected += "A = " + body + ";\r\n";
			break;
		}
	}
	for (const std::string &tail : {std::string(), std::string("CRC FFFF;\r\nA;\r\n")}) {
		make_plan(input + tail, 100003);
		ASSERT_TRUE(plan_accepted(&plan));
		EXPECT_TRUE(applied(input + tail) == with_crc(expected));
		EXPECT_EQ(plan.input_crc, reference_crc(input));
	}
}

TEST(Check, TellsWhatPatchingWouldChange)
{
	const std::string body = "DATA D;\r\nBOOLEAN USE_RCK = 1;\r\nINTEGER freq = 3;\r\nENDDATA;\r\n";
	const std::string good = with_crc(body);
	auto hex = [](const std::string &text) {
		char value[5];
		std::snprintf(value, sizeof value, "%04X", reference_crc(text));
		return std::string(value);
	};
	std::string lower = good;
	for (std::size_t i = lower.size() - 7; i < lower.size() - 3; ++i)
		lower[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(lower[i])));
	const std::string both = "BOOLEAN USE_RCK = 0;\r\nINTEGER freq = 1;\r\n";
	struct {
		std::string input;
		std::string verdict;
	} cases[] = {
		{good, "patched"},
		{"CRC 0000;\r\n", "patched"},
		{body + "CRC 1234;\r\n", "not patched: CRC statement 1234 does not match the text (" +
		                                 hex(body) + ")"},
		{body, "not patched: no CRC statement"},
		{"", "not patched: no CRC statement"},
		{both + "CRC 1234;\r\nJUNK;\r\n",
		 "not patched: CRC statement 1234 does not match the text (" + hex(both) +
		         "), USE_RCK is not forced, freq is not forced, text follows the CRC statement"},
		{good + "\r\n", "not patched: the CRC statement's line does not end with just CR LF"},
		{good.substr(0, good.size() - 2), "not patched: the CRC statement's line does not end with just CR LF"},
		{good.substr(0, good.size() - 2) + "\n", "not patched: the CRC statement's line does not end with just CR LF"},
		{good + "JUNK;\r\n", "not patched: text follows the CRC statement"},
		{body + "CRC " + good.substr(good.size() - 7, 2) + "\r" + good.substr(good.size() - 5),
		 "not patched: the CRC statement is not written CRC XXXX; at its line's start"}, // a player skips the CR between the digits
		{lower, "not patched: the CRC statement is not written CRC XXXX; at its line's start"},
		{with_crc("BOOLEAN  USE_RCK=1; ' kept\r\n"), "not patched: USE_RCK is forced, but not written BOOLEAN USE_RCK = 1; alone on a line ending in CR LF"},
		{with_crc("INTEGER freq = 3; ' kept\r\nBOOLEAN USE_RCK = 1;\r\n"), "not patched: freq is forced, but not written INTEGER freq = 3; alone on a line ending in CR LF"},
		{with_crc("boolean USE_RCK = 1;\r\n"), "not patched: USE_RCK is forced, but not written BOOLEAN USE_RCK = 1; alone on a line ending in CR LF"},
		// A declaration to change, and a CRC statement whose only fault is its form.
		{body + "BOOLEAN USE_RCK = 0;\n" + "CRC 1234;\n", "not patched: CRC statement 1234 does not match the text (" +
		                                 hex(body + "BOOLEAN USE_RCK = 0;\n") + "), USE_RCK is not forced, the CRC statement's line does not end with just CR LF"},
		{body + "BOOLEAN USE_RCK = 1;\n" + "CRC 12ab;\r\n", "not patched: CRC statement 12AB does not match the text (" +
		                                 hex(body + "BOOLEAN USE_RCK = 1;\n") + "), USE_RCK is forced, but not written BOOLEAN USE_RCK = 1; alone on a line ending in CR LF, the CRC statement is not written CRC XXXX; at its line's start"},
		{with_crc(body + "  "), "not patched: the CRC statement is not written CRC XXXX; at its line's start"}, // an indented statement
		{"A;\r\nCRC 12345;\r\n",
		 "not patched: CRC statement ???? does not match the text (" + hex("A;\r\n") +
		         "), the CRC statement is not written CRC XXXX; at its line's start"},
		{"A; CRC 1234;\n", "not patched: line 1 holds a CRC statement that does not begin the line"},
	};
	for (const auto &c : cases)
		EXPECT_EQ(checked(c.input), c.verdict) << c.input;
}

TEST(Plan, PatchedProgramsRunForcedInTheInterpretersReading)
{
	// Programs in every form a generator writes declarations in, checked
	// by an independent reading: a player accepts the result and its
	// interpreter runs USE_RCK as 1 and freq as 3; or the file is refused.
	const char *forms[] = {
		"BOOLEAN USE_RCK = 0;\r\n", "boolean use_rck = 0;\n", "\tInteger FREQ = 1; ' old\r\n",
		"INTEGER freq =\r\n 1;\r\n", "BOOLEAN USE_RCK;\n", "' c\rBOOLEAN USE_RCK = 0;\n",
		"L1: INTEGER freq = 1;\n", "A = 1; BOOLEAN USE_RCK = 0;\n", "INTEGER fr\req = 1;\n",
		"NOTE \"BOOLEAN USE_RCK = 0;\";\n", "INTEGER frequency = 1;\n",
	};
	int refused = 0;
	for (const char *first : forms) {
		for (const char *second : forms) {
			std::string program = std::string("ACTION P = DO;\r\n") + first +
			                      "DATA D;\r\n" + second + "ENDDATA;\r\nCRC 1234;\r\n";
			std::string result = patched(program);
			if (result.rfind("refused: ", 0) == 0) {
				++refused;
				continue;
			}
			EXPECT_TRUE(player_accepts(result)) << program;
			for (const interpreted_declaration &d : interpreter_declarations(result))
				EXPECT_EQ(d.value, d.variable == "USE_RCK" ? "1" : "3") << program;
		}
	}
	EXPECT_GT(refused, 0);
	EXPECT_LT(refused, 121);
}

} // namespace

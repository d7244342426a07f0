// The copy and CRC passes on streams, with all the line handling between:
// long lines, block boundaries, missing line ends, refusals, I/O errors.
#include "passes.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "crc16.h"
#include "report.h"
#include "stapl_reference.h"

namespace {

pass_buffers buffers;

// A file holding text, in a scratch directory of the test's own.
std::string scratch_file(const std::string &text)
{
	static std::string directory;
	static int count = 0;
	if (directory.empty()) {
		char pattern[] = "/tmp/morvet-passes-XXXXXX";
		EXPECT_NE(mkdtemp(pattern), nullptr);
		directory = pattern;
	}
	std::string path = directory + "/" + std::to_string(count++ % 8) + ".stp";
	std::FILE *file = std::fopen(path.c_str(), "wb");
	EXPECT_NE(file, nullptr);
	EXPECT_EQ(std::fwrite(text.data(), 1, text.size(), file), text.size());
	EXPECT_EQ(std::fclose(file), 0);
	return path;
}

std::string contents(std::FILE *stream)
{
	std::rewind(stream);
	std::string text;
	char buffer[4096];
	std::size_t got;
	while ((got = std::fread(buffer, 1, sizeof buffer, stream)) > 0)
		text.append(buffer, got);
	return text;
}

struct pass_outcome {
	pass_result result;
	copy_findings findings;
	std::string output;     // what a file output received
	bool changed;           // what a comparison found
	std::uint16_t input_crc; // the CRC of the input before its old statement
	failure why;
};

// One pass over input into a file (a scratch stream standing in for the
// temporary file) or a comparison, as a run makes it.
pass_outcome run_pass(const std::string &input, output_kind kind, bool helper = true)
{
	pass_outcome outcome{};
	input_file in{};
	std::string path = scratch_file(input);
	EXPECT_TRUE(open_input(path.c_str(), &in, &outcome.why));
	std::FILE *written = std::tmpfile();
	EXPECT_NE(written, nullptr);
	temporary_file temporary{};
	temporary.descriptor = fileno(written);
	crc_beside crc;
	crc_beside_begin(&crc, helper);
	text_output out = kind == OUTPUT_FILE ? file_output(&temporary, &crc, &outcome.why)
	                                      : comparison_output(&crc);
	copy_pass pass;
	copy_pass_begin(&pass, &in, &buffers);
	outcome.result = copy_pass_run(&pass, &out, &outcome.why);
	std::uint16_t input_crc = 0;
	crc_beside_end(&crc, nullptr, &input_crc);
	outcome.input_crc = crc16_value(input_crc);
	outcome.findings = pass.findings;
	outcome.changed = out.changed;
	outcome.output = contents(written);
	std::fclose(written);
	close_input(&in);
	return outcome;
}

// What the tool makes of input; or, when the copy pass refuses, "refused: "
// and the reason.
std::string patched(const std::string &input, bool helper = true)
{
	pass_outcome outcome = run_pass(input, OUTPUT_FILE, helper);
	if (outcome.result == PASS_REFUSED)
		return std::string("refused: ") + refusal_text(&outcome.findings);
	EXPECT_EQ(outcome.result, PASS_DONE);
	return outcome.output;
}

// What --check says of input.
std::string checked(const std::string &input)
{
	pass_outcome outcome = run_pass(input, OUTPUT_COMPARISON);
	EXPECT_TRUE(outcome.result == PASS_DONE || outcome.result == PASS_REFUSED);
	return check_verdict(&outcome.findings, outcome.changed, outcome.input_crc);
}

const std::string use_rck = "BOOLEAN USE_RCK = 1;\r\n";
const std::string freq = "INTEGER freq = 3;\r\n";

TEST(CopyPass, ForcesDeclarationsAndEndsAtTheOldCrcStatement)
{
	std::string input = "NOTE \"DEVICE\" \"CX2064\";\r\n"
	                    "DATA P;\r\nINTEGER freq = 1;\r\nBOOLEAN USE_RCK = 0;\r\nENDDATA;\r\n"
	                    "CRC 1A2B;\r\nNOTE \"after\" \"dropped\";\r\n";
	EXPECT_EQ(patched(input),
	          with_crc("NOTE \"DEVICE\" \"CX2064\";\r\nDATA P;\r\n" + freq + use_rck +
	                   "ENDDATA;\r\n"));
}

TEST(CopyPass, KeepsLineFeedOnlyLinesAndForcesEveryMatchingDeclaration)
{
	std::string input = "INTEGER freq = 1;\nPROCEDURE P;\nINTEGER freq = 9;\nENDPROC;\n";
	EXPECT_EQ(patched(input), with_crc(freq + "PROCEDURE P;\n" + freq + "ENDPROC;\n"));
}

TEST(CopyPass, EmptyInputGivesTheStatementOfTheEmptyText)
{
	// That result, and only it, may begin with its CRC statement.
	for (const char *input : {"", "CRC 0000;\r\n", "CRC 0000;\n\r\n \n"})
		EXPECT_EQ(patched(input), "CRC 0000;\r\n") << input;
	for (const char *input : {"CRC 1234;\r\n", "CRC 0000;\r\nA;\r\n", "CRC 0000;' note\n"})
		EXPECT_EQ(patched(input), "refused: the text begins with a CRC statement") << input;
}

TEST(CopyPass, AnUnfinishedLastLineIsEndedBeforeTheStatement)
{
	EXPECT_EQ(patched("NOTE \"A\" \"B\"; ' no line end"),
	          with_crc("NOTE \"A\" \"B\"; ' no line end\r\n"));
	// A lone carriage return does not end a line either.
	EXPECT_EQ(patched("ENDPROC;\r"), with_crc("ENDPROC;\r\r\n"));
	// The result passes through unchanged a second time.
	std::string once = patched("' comment");
	EXPECT_EQ(patched(once), once);
}

TEST(CopyPass, NulBytesMarkAFileThatIsNotText)
{
	// Wherever they stand, after the old CRC statement too: a binary file
	// must never lose its tail.
	for (const std::string &input :
	     {std::string("DATA\0X;\n\0\0\0\nINTEGER freq = 1;\0 tail\n", 36),
	      std::string("INTEGER freq = 1\0;\n", 19), std::string("A;\nCRC 1234;\n\0", 14),
	      std::string("INTEGER freq = 1; '\0\n", 21), std::string("INTEGER freq = 1; \0\n", 20),
	      std::string("INTEGER freq = 1;\0", 18)})
		EXPECT_EQ(patched(input), "refused: not a STAPL text file");
}

TEST(LongLines, AreMatchedOnlyWhereTheyBegin)
{
	// The 255th byte of each line starts with a rule's prefix.
	std::string filler(254, 'A');
	std::string input = "' " + filler.substr(2) + "CRC 1234; still a comment\n" +
	                    filler + "BOOLEAN USE_RCK = 0;\n" +
	                    filler + "INTEGER freq = 1;\n" + "ENDDATA;\n";
	EXPECT_EQ(patched(input), with_crc(input));
}

TEST(LongLines, ADeclarationLongerThanAChunkIsReplacedWhole)
{
	std::string long_value = "BOOLEAN USE_RCK[1000] = $" + std::string(990, 'F') + ";\r\n";
	std::string long_freq = "INTEGER freq = 1; ' " + std::string(600, '-') + "\n";
	std::string input = long_value + "ENDDATA;\n" + long_freq + "PROCEDURE P;\n";
	EXPECT_EQ(patched(input), with_crc(use_rck + "ENDDATA;\n" + freq + "PROCEDURE P;\n"));
}

TEST(LongLines, ChunkBoundaryFallingOnTheLineFeed)
{
	// 254 bytes then the line feed: the feed arrives as a chunk of its own
	// and belongs to the replaced line.
	std::string exact = "INTEGER freq = " + std::string(238, '1') + ";\n";
	ASSERT_EQ(exact.size(), 255u);
	EXPECT_EQ(patched(exact + "ENDPROC;\n"), with_crc(freq + "ENDPROC;\n"));
	std::string copied = std::string(253, 'x') + ";\n" + "CRC 0000;\n";
	EXPECT_EQ(patched(copied), with_crc(std::string(253, 'x') + ";\n"));
}

TEST(LongLines, InputLargerThanOneReadBlockIsCutTheSameEverywhere)
{
	// Lines of many lengths, so that line starts and long lines fall on
	// every side of the read block boundaries.
	std::string input, expected;
	for (int n = 0; input.size() < 300000; ++n) {
		std::string body(static_cast<std::size_t>((n * 131) % 700), static_cast<char>('a' + n % 26));
		if (n % 7 == 3) {
			input += "INTEGER freq = " + body + ";\r\n";
			expected += freq;
		} else {
			input += body + ";\r\n";
			expected += body + ";\r\n";
		}
	}
	input += "CRC FFFF;\r\n";
	EXPECT_TRUE(patched(input) == with_crc(expected));
}

struct patch_case {
	const char *input;
	const char *expected; // the text before the new CRC statement, or "refused: ..."
};

TEST(PlayerView, OnlyWhatAPlayerAcceptsIsCertified)
{
	const patch_case cases[] = {
		// Old CRC statements however they are spaced.
		{"A;\r\nCRC\t1234;\r\nB;\r\n", "A;\r\n"},
		{"A;\r\n  CRC 1234;\r\n", "A;\r\n"},
		{"A;\nCRC\n1234;\n", "A;\n"},
		{"ENDPROC; CRC 1234;\r\n",
		 "refused: line 1 holds a CRC statement that does not begin the line"},
		{"A;\nB;\n ' c\nENDPROC;\tCRC 1234;\n",
		 "refused: line 4 holds a CRC statement that does not begin the line"},
		// Declarations indented, spaced, over several lines.
		{"DATA D;\n\tBOOLEAN USE_RCK = 0;\r\nENDDATA;\n",
		 "DATA D;\n\tBOOLEAN USE_RCK = 1;\r\nENDDATA;\n"},
		{"INTEGER  freq = 1;\n", "INTEGER freq = 3;\r\n"},
		{"INTEGER freq =\n 1;\nENDDATA;\n", "INTEGER freq = 3;\r\nENDDATA;\n"},
		{"INTEGER freq ' the value\n = 1 ' ; not yet\n ; ' now\nA;\n",
		 "INTEGER freq = 3;\r\nA;\n"},
		{"INTEGER freq = \"1;\n\";\nA;\n", "INTEGER freq = 3;\r\nA;\n"},
		{"INTEGER freq = 1; \t' a comment; stays out\r\n", "INTEGER freq = 3;\r\n"},
		{"INTEGER freq = 1;", "INTEGER freq = 3;\r\n"},
		// Not at a statement's start: copied as they are.
		{"A =\nINTEGER freq = 1;\n", "A =\nINTEGER freq = 1;\n"},
		{"NOTE \"x\nBOOLEAN USE_RCK = 0;\nCRC 1;\n\";\n",
		 "NOTE \"x\nBOOLEAN USE_RCK = 0;\nCRC 1;\n\";\n"},
		{"A = 1\nCRC 1234;\nB;\n", "A = 1\nCRC 1234;\nB;\n"},
		// A forced declaration that shares its line, or never ends.
		{"A;\nB;\nINTEGER freq = 1; C;\n",
		 "refused: line 3 holds more than the declaration"},
		{"INTEGER freq =\n1; CRC 1234;\n", "refused: line 1 holds more than the declaration"},
		{"BOOLEAN USE_RCK = 0; \"x\";\n",
		 "refused: line 1 holds more than the declaration"},
		{"A;\nBOOLEAN USE_RCK =\n 0\n",
		 "refused: the declaration on line 2 is never finished"},
		{"INTEGER freq = \"1;\n", "refused: the declaration on line 1 is never finished"},
		// Text a player would misread at its end.
		{"NOTE \"a\n", "refused: the text ends inside a string"},
		{"A = \"x", "refused: the text ends inside a string"},
		{"A = 1\n", "refused: the last statement is not finished"},
		{"A = 1 ' comment;", "refused: the last statement is not finished"},
		// Not text at all.
		{"\xFF\xFEN\0O\0", "refused: not a STAPL text file"},
		{"\xFE\xFF\0N", "refused: not a STAPL text file"},
		{"\xFF\xFE", "refused: not a STAPL text file"},
		// Still text: the empty file, comments alone, a UTF-8 mark.
		{"", ""},
		{"' only a comment", "' only a comment\r\n"},
		{"\xEF\xBB\xBF' marked\n", "\xEF\xBB\xBF' marked\n"},
		{"\xEF\xBB\xBF" "BOOLEAN USE_RCK = 0;\n", "\xEF\xBB\xBF" "BOOLEAN USE_RCK = 1;\r\n"},
		// Where a player finds an old CRC statement, and where not.
		{"ENDPROC' end\nCRC 1234;\n", "refused: the last statement is not finished"},
		{"X\n' c\nCRC 1234;\n", "X\n' c\nCRC 1234;\n"}, // past X's first word
		{"CRC 1234;\r\nA;\r\nCRC 5678;\r\n", "refused: the text begins with a CRC statement"},
		{"\xEF\xBB\xBF" "CRC 1234;\n", "refused: the text begins with a CRC statement"},
		{"\r\rCRC 1234;\n", "refused: the text begins with a CRC statement"},
		{"\xEF\xBB\xBF CRC 1234;\n", ""},
		{"A;\nCRC\rX = 1;\nCRC 1;\n", "A;\nCRC\rX = 1;\n"},
		{"A;\nC\rRC 1;\n", "A;\n"},
		{"A;\nCRC", "A;\n"},
	};
	for (const patch_case &c : cases) {
		std::string input = c.input;
		std::string expected = c.expected;
		std::string result = patched(input);
		if (expected.rfind("refused: ", 0) == 0) {
			EXPECT_EQ(result, expected) << input;
			continue;
		}
		EXPECT_EQ(result, expected.empty() ? "CRC 0000;\r\n" : with_crc(expected)) << input;
		EXPECT_EQ(patched(result), result) << "second run on " << input;
	}
}

TEST(LongLines, BlanksAreReadUpToAFixedLimitWhereverTheyFall)
{
	// Thousands of blanks before and between the words: still read, on
	// either side of a read block's end.
	for (std::size_t before : {0, 262144 - 4000}) {
		std::string lead = before ? "' " + std::string(before - 4, '-') + "\r\n" : "";
		std::string blanks(5000, ' ');
		std::string input = lead + blanks + "A;\n" + "BOOLEAN" + blanks + "USE_RCK = 0;\n" +
		                    "A;\n" + blanks + "\r\nCRC 1;\n";
		EXPECT_TRUE(patched(input) == with_crc(lead + blanks + "A;\n" + use_rck + "A;\n" + blanks +
		                                       "\r\n"))
			<< before;
	}
	// Past the limit the rules cannot tell the line, and refuse it.
	EXPECT_EQ(patched("A;\n" + std::string(70000, '\t') + "B;\n"),
	          "refused: line 2 begins with too much white space to read");
}

TEST(LongLines, DeclarationsAcrossReadBlockSeamsWithoutACrcStatement)
{
	// Three read blocks and more, no CRC statement to stop the copy early:
	// every byte carried from one block to the next must arrive once, and
	// the CRC computed beside the copy is the same on one core as on two.
	std::string input, expected;
	for (int n = 0; input.size() < 3 * 262144 + 5000; ++n) {
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
	for (bool helper : {true, false})
		EXPECT_TRUE(patched(input, helper) == with_crc(expected)) << helper;
}

TEST(Check, TellsWhatPatchingWouldChange)
{
	const std::string body = "DATA D;\r\nBOOLEAN USE_RCK = 1;\r\nINTEGER freq = 3;\r\nENDDATA;\r\n";
	const std::string good = with_crc(body);
	const std::string stale = body + "CRC 1234;\r\n";
	char computed[5];
	std::snprintf(computed, sizeof computed, "%04X", reference_crc(body));
	std::string lower = good;
	for (std::size_t i = lower.size() - 7; i < lower.size() - 3; ++i)
		lower[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(lower[i])));
	std::string lf_only = "BOOLEAN USE_RCK = 1;\nENDDATA;\r\n";
	struct {
		std::string input;
		std::string verdict;
	} cases[] = {
		{good, "patched"},
		{patched("INTEGER freq = 1;\nA;\n"), "patched"},
		{"CRC 0000;\r\n", "patched"},
		{stale, std::string("not patched: CRC statement 1234 does not match the text (") + computed +
		            ")"},
		{body, "not patched: no CRC statement"},
		{"", "not patched: no CRC statement"},
		{"BOOLEAN USE_RCK = 0;\r\nINTEGER freq = 1;\r\nCRC 1234;\r\nJUNK;\r\n",
		 "not patched: CRC statement 1234 does not match the text (" +
		         [] {
				 char value[5];
				 std::snprintf(value, sizeof value, "%04X",
				               reference_crc("BOOLEAN USE_RCK = 0;\r\nINTEGER freq = 1;\r\n"));
				 return std::string(value);
			 }() +
		         "), USE_RCK is not forced, freq is not forced, text follows the CRC statement"},
		{good + "\r\n", "not patched: other changes"}, // a blank line is no text
		{good + "JUNK;\r\n", "not patched: text follows the CRC statement"},
		{body + "CRC\n" + good.substr(good.size() - 7), "not patched: other changes"},
		{body + "CRC " + good.substr(good.size() - 7, 2) + "\r" + good.substr(good.size() - 5),
		 "not patched: other changes"}, // a player skips the CR between the digits
		{lower, "not patched: other changes"},
		{with_crc(lf_only), "not patched: other changes"},
		{with_crc("BOOLEAN  USE_RCK=1; ' kept\r\n"), "not patched: other changes"},
		{with_crc(body + "  "), "not patched: other changes"}, // an indented statement
		{with_crc("A;\r\n").substr(0, 14), "not patched: other changes"},
		{"A;\r\nCRC 12345;\r\n", "not patched: CRC statement ???? does not match the text (" +
		                                 [] {
					             char value[5];
					             std::snprintf(value, sizeof value, "%04X",
					                           reference_crc("A;\r\n"));
					             return std::string(value);
				             }() + ")"},
		{"A;\r\nCRC 12;\r\n", "not patched: CRC statement ???? does not match the text (" +
		                             [] {
					             char value[5];
					             std::snprintf(value, sizeof value, "%04X",
					                           reference_crc("A;\r\n"));
					             return std::string(value);
				             }() + ")"},
		{"A; CRC 1234;\n",
		 "not patched: line 1 holds a CRC statement that does not begin the line"},
		{std::string("A;\0\n", 4), "not patched: not a STAPL text file"},
	};
	for (const auto &c : cases)
		EXPECT_EQ(checked(c.input), c.verdict) << c.input;
}

TEST(PassErrors, AReadErrorIsNeverTakenForTheEndOfTheInput)
{
	input_file in{};
	failure why{};
	ASSERT_TRUE(open_input(scratch_file("A;\n").c_str(), &in, &why));
	// A descriptor open only for writing fails every read.
	ASSERT_EQ(close(in.descriptor), 0);
	in.descriptor = open("/dev/null", O_WRONLY);
	crc_beside crc;
	crc_beside_begin(&crc, false);
	text_output out = comparison_output(&crc);
	copy_pass pass;
	copy_pass_begin(&pass, &in, &buffers);
	EXPECT_EQ(copy_pass_run(&pass, &out, &why), PASS_READ_FAILED);
	EXPECT_EQ(why.step, FAILED_READ);
	crc_beside_end(&crc, nullptr, nullptr);
	close_input(&in);
}

TEST(PassErrors, AFullDiskFailsTheCopyAsAWriteOfTheTemporaryFile)
{
	int full = open("/dev/full", O_WRONLY);
	if (full < 0)
		GTEST_SKIP() << "no /dev/full on this system";
	input_file in{};
	failure why{};
	ASSERT_TRUE(open_input(scratch_file("NOTE \"A\" \"B\";\n").c_str(), &in, &why));
	temporary_file temporary{};
	temporary.descriptor = full;
	crc_beside crc;
	crc_beside_begin(&crc, false);
	text_output out = file_output(&temporary, &crc, &why);
	copy_pass pass;
	copy_pass_begin(&pass, &in, &buffers);
	EXPECT_EQ(copy_pass_run(&pass, &out, &why), PASS_STOPPED);
	EXPECT_EQ(why.step, FAILED_WRITE_TEMPORARY);
	EXPECT_EQ(why.error.code, static_cast<unsigned long>(ENOSPC));
	crc_beside_end(&crc, nullptr, nullptr);
	close(full);
	close_input(&in);
}

} // namespace

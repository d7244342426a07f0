// The copy and CRC passes on streams, with all the line handling between:
// long lines, block boundaries, NUL bytes, missing line ends, I/O errors.
#include "morvet.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "crc16.h"
#include "stapl_reference.h"

namespace {

std::FILE *stream_holding(const std::string &text)
{
	std::FILE *stream = std::tmpfile();
	EXPECT_NE(stream, nullptr);
	EXPECT_EQ(std::fwrite(text.data(), 1, text.size(), stream), text.size());
	std::rewind(stream);
	return stream;
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

// What the tool makes of input: both passes, as a run does them.
std::string patched(const std::string &input)
{
	crc16_running = crc16_preset;
	std::FILE *in = stream_holding(input);
	std::FILE *out = std::tmpfile();
	EXPECT_EQ(copy_pass(in, out), PASS_DONE);
	EXPECT_EQ(crc_pass(out), PASS_DONE);
	std::string result = contents(out);
	std::fclose(in);
	std::fclose(out);
	return result;
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
	EXPECT_EQ(patched(""), "CRC 0000;\r\n");
	EXPECT_EQ(patched("CRC 1234;\r\nanything"), "CRC 0000;\r\n");
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

TEST(CopyPass, NulBytesAreCopiedAndCovered)
{
	std::string input("DATA\0X;\n\0\0\0\nINTEGER freq = 1;\0 tail\n", 36);
	std::string expected("DATA\0X;\n\0\0\0\n", 12);
	EXPECT_EQ(patched(input), with_crc(expected + freq));
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
	std::string copied = std::string(254, 'x') + "\n" + "CRC 0000;\n";
	EXPECT_EQ(patched(copied), with_crc(std::string(254, 'x') + "\n"));
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
			input += body + "\r\n";
			expected += body + "\r\n";
		}
	}
	input += "CRC FFFF;\r\n";
	EXPECT_EQ(patched(input), with_crc(expected));
}

TEST(PassErrors, AReadErrorIsNeverTakenForTheEndOfTheInput)
{
	// A stream open only for writing fails every read.
	std::FILE *unreadable = std::fopen("/dev/null", "wb");
	ASSERT_NE(unreadable, nullptr);
	std::FILE *out = std::tmpfile();
	ASSERT_NE(out, nullptr);
	EXPECT_EQ(copy_pass(unreadable, out), PASS_READ_FAILED);
	std::fclose(unreadable);
	std::fclose(out);
}

TEST(PassErrors, AFullDiskFailsTheCopy)
{
	std::FILE *full = std::fopen("/dev/full", "wb");
	if (full == nullptr)
		GTEST_SKIP() << "no /dev/full on this system";
	std::FILE *in = stream_holding("NOTE \"A\" \"B\";\n");
	EXPECT_EQ(copy_pass(in, full), PASS_WRITE_FAILED);
	std::fclose(in);
	std::fclose(full);
}

} // namespace

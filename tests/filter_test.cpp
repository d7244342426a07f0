#include "filter.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

struct filtered {
	filter_result result;
	std::string written;
};

// Runs one line through the rules and collects what they wrote.
filtered filter(const std::string &line)
{
	std::FILE *out = std::tmpfile();
	EXPECT_NE(out, nullptr);
	filtered f;
	f.result = filter_line(line.data(), line.size(), out);
	std::rewind(out);
	char buffer[512];
	std::size_t got = std::fread(buffer, 1, sizeof buffer, out);
	f.written.assign(buffer, got);
	std::fclose(out);
	return f;
}

void expect_replaced(const std::string &line, const std::string &replacement)
{
	filtered f = filter(line);
	EXPECT_EQ(f.result, FILTER_REPLACED) << line;
	EXPECT_EQ(f.written, replacement) << line;
}

void expect_copied(const std::string &line)
{
	filtered f = filter(line);
	EXPECT_EQ(f.result, FILTER_COPIED) << line;
	EXPECT_EQ(f.written, line) << line;
}

const char use_rck_line[] = "BOOLEAN USE_RCK = 1;\r\n";
const char freq_line[] = "INTEGER freq = 3;\r\n";

TEST(ForcedDeclarations, UseRckIsSetToOneWhateverItsLineEnd)
{
	expect_replaced("BOOLEAN USE_RCK = 0;\r\n", use_rck_line);
	expect_replaced("BOOLEAN USE_RCK = 0;\n", use_rck_line);
	expect_replaced("BOOLEAN USE_RCK = 1;\r\n", use_rck_line);
	expect_replaced("BOOLEAN USE_RCK[4] = $F;\n", use_rck_line);
	expect_replaced("BOOLEAN USE_RCK = 0; ' note\r\n", use_rck_line);
	expect_replaced("BOOLEAN USE_RCK", use_rck_line); // last line, no line end
}

TEST(ForcedDeclarations, FreqIsSetToThreeWhateverItsValue)
{
	expect_replaced("INTEGER freq = 1;\r\n", freq_line);
	expect_replaced("INTEGER freq = -20000;\n", freq_line);
	expect_replaced("INTEGER freq=1;\n", freq_line);
	expect_replaced("INTEGER freq;\n", freq_line);
	expect_replaced("INTEGER freq = 1; INTEGER other = 2;\r\n", freq_line);
	expect_replaced(std::string("INTEGER freq\0 = 2;\n", 19), freq_line);
}

TEST(ForcedDeclarations, OtherVariablesWhoseNamesBeginTheSameAreLeftAlone)
{
	expect_copied("INTEGER frequency = 5;\r\n");
	expect_copied("INTEGER freq_div = 2;\n");
	expect_copied("INTEGER freq2 = 2;\n");
	expect_copied("BOOLEAN USE_RCK2 = 1;\r\n");
	expect_copied("BOOLEAN USE_RCK_FALLBACK = 0;\n");
}

TEST(ForcedDeclarations, MatchOnlyTheExactTextAtTheLineStart)
{
	expect_copied(" INTEGER freq = 1;\n");
	expect_copied("\tBOOLEAN USE_RCK = 0;\n");
	expect_copied("integer freq = 1;\n");
	expect_copied("BOOLEAN use_rck = 0;\n");
	expect_copied("INTEGER  freq = 1;\n");
	expect_copied("INTEGER fre");
	expect_copied("BOOLEAN USE_RC\n");
}

TEST(CrcStatement, StopsTheCopyAndWritesNothing)
{
	for (const char *line : {"CRC 1A2B;\r\n", "CRC 0000;\n", "CRC ", "CRC garbage"}) {
		filtered f = filter(line);
		EXPECT_EQ(f.result, FILTER_STOP) << line;
		EXPECT_EQ(f.written, "") << line;
	}
}

TEST(CrcStatement, NeedsTheSpaceAfterTheKeyword)
{
	expect_copied("CRC;\n");
	expect_copied("CRCX 1234;\n");
	expect_copied("CRC\r\n");
	expect_copied("CRC\tABCD;\n");
	expect_copied("crc 1234;\n");
	expect_copied(" CRC 1234;\n");
}

TEST(OtherLines, AreCopiedByteForByteIncludingNulBytes)
{
	expect_copied("\r\n");
	expect_copied("\n");
	expect_copied("NOTE \"DEVICE\" \"CX2064\";\r\n");
	expect_copied(std::string("DATA\0\0 with NUL\0\n", 18));
	expect_copied(std::string("\0INTEGER freq = 1;\n", 19));
	expect_copied("\x80\xff\x01 high bytes\n");
}

} // namespace

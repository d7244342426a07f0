#include "crc16.h"

#include <gtest/gtest.h>

#include <string>

#include "stapl_reference.h"

namespace {

std::uint16_t crc_of_bytes_one_at_a_time(const std::string &text)
{
	crc16_running = crc16_preset;
	for (unsigned char byte : text)
		crc16_feed(byte);
	return crc16_value();
}

std::uint16_t crc_of_block(const std::string &text)
{
	crc16_running = crc16_preset;
	crc16_feed_block(reinterpret_cast<const unsigned char *>(text.data()), text.size());
	return crc16_value();
}

std::string statement_for(std::uint16_t value)
{
	char text[crc16_statement_size];
	std::size_t length = crc16_format_statement(value, text);
	return std::string(text, length);
}

TEST(FileCrc, MatchesTheCatalogueValuesByteByByteAndBlockWise)
{
	const struct {
		std::string text;
		std::uint16_t value;
	} cases[] = {
		{"", 0x0000},
		{"123456789", 0x906E},
		{"abc", 0x9E25},
		{"a\r\nb\r\n", 0xF344},
		{"a\nb\n", 0xF344},
	};
	for (const auto &c : cases) {
		EXPECT_EQ(crc_of_bytes_one_at_a_time(c.text), c.value) << c.text;
		EXPECT_EQ(crc_of_block(c.text), c.value) << c.text;
	}
}

TEST(FileCrc, CarriageReturnsAreNotCovered)
{
	EXPECT_EQ(crc_of_block("\r\r\r"), 0x0000);
	EXPECT_EQ(crc_of_bytes_one_at_a_time("\r"), 0x0000);
	EXPECT_EQ(crc_of_block("NOTE \"X\" \"Y\";\r\r\nCRC"), crc_of_block("NOTE \"X\" \"Y\";\nCRC"));
}

TEST(FileCrc, EveryByteValueAgreesWithAnIndependentTableDrivenCrc)
{
	std::string all;
	for (int round = 0; round < 3; ++round)
		for (int byte = 0; byte < 256; ++byte)
			all.push_back(static_cast<char>((byte * 37 + round) & 0xFF));
	EXPECT_EQ(crc_of_block(all), reference_crc(all));
	EXPECT_EQ(crc_of_bytes_one_at_a_time(all), reference_crc(all));
}

TEST(FileCrc, BlocksFedInPiecesGiveTheSameValueAsOneBlock)
{
	std::string text = "ACTION PROGRAM = DO_PROGRAM;\r\nDATA D;\r\nENDDATA;\r\n";
	crc16_running = crc16_preset;
	crc16_feed_block(reinterpret_cast<const unsigned char *>(text.data()), 7);
	crc16_feed_block(reinterpret_cast<const unsigned char *>(text.data()) + 7, text.size() - 7);
	EXPECT_EQ(crc16_value(), reference_crc(text));
}

TEST(CrcStatement, HasFourUpperCaseDigitsWithLeadingZeros)
{
	EXPECT_EQ(statement_for(0x0000), "CRC 0000;\r\n");
	EXPECT_EQ(statement_for(0x000A), "CRC 000A;\r\n");
	EXPECT_EQ(statement_for(0x0F3C), "CRC 0F3C;\r\n");
	EXPECT_EQ(statement_for(0xBEEF), "CRC BEEF;\r\n");
	EXPECT_EQ(statement_for(0xFFFF), "CRC FFFF;\r\n");
}

} // namespace

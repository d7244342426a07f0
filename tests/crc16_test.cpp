// The CRC: the table and folding paths against the players' bit-by-bit
// steps and the catalogue, carriage returns anywhere, and the statement's
// form.
#include "crc16.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

#include "stapl_reference.h"

namespace {

const unsigned char *bytes(const std::string &text)
{
	return reinterpret_cast<const unsigned char *>(text.data());
}

// The reference: one crc16_feed per byte.
std::uint16_t register_byte_by_byte(std::uint16_t start, const std::string &text)
{
	std::uint16_t crc = start;
	for (unsigned char byte : text)
		crc = crc16_feed(crc, byte);
	return crc;
}

// The fast paths (folding from 256 bytes on, where the processor can), which
// must also count the bytes they fed: all but the carriage returns.
std::uint16_t register_of_block(std::uint16_t start, const std::string &text)
{
	std::uint64_t fed = 7;
	std::uint16_t crc = crc16_update(start, bytes(text), text.size(), &fed);
	EXPECT_EQ(fed - 7, text.size() - static_cast<std::size_t>(
	                                      std::count(text.begin(), text.end(), '\r')));
	return crc;
}

std::string statement_for(std::uint16_t value)
{
	char text[crc16_statement_size];
	std::size_t length = crc16_format_statement(value, text);
	return std::string(text, length);
}

TEST(FileCrc, MatchesTheCatalogueValuesByteByByteAndBlockWise)
{
	// CRC-16/X-25's catalogue values, and what skipping returns makes of them.
	const struct {
		std::string text;
		std::uint16_t value;
	} catalogue[] = {
		{"", 0x0000},
		{"123456789", 0x906E},
		{"abc", 0x9E25},
		{"a\r\nb\r\n", 0xF344},
		{"a\nb\n", 0xF344},
		{std::string(5000, '\r'), 0x0000},
		{"NOTE \"X\" \"Y\";\r\r\nCRC", reference_crc("NOTE \"X\" \"Y\";\nCRC")},
	};
	for (const auto &c : catalogue) {
		EXPECT_EQ(crc16_value(register_byte_by_byte(crc16_preset, c.text)), c.value) << c.text;
		EXPECT_EQ(crc16_value(register_of_block(crc16_preset, c.text)), c.value) << c.text;
	}
}

TEST(FileCrc, TheFastPathsAgreeWithTheStepsOnRandomBlocks)
{
	// Every length around the eight-byte steps, then up to four gathering
	// buffers; returns from none to most bytes, from arbitrary registers,
	// and fed in two pieces. Folded blocks take every byte value, CR's too.
	std::mt19937 random(13);
	for (int round = 0; round < 400; ++round) {
		std::size_t length = round < 100 ? static_cast<std::size_t>(round)
		                                 : random() % (1 << 16) + 1;
		unsigned cr_every = round % 4 == 0 ? 1u << 31 : 1 + random() % 40;
		std::string text(length, '\0');
		for (char &byte : text) {
			unsigned value = random();
			byte = static_cast<char>(value % cr_every == 0 ? '\r' : (value >> 8) & 0xFF);
		}
		auto start = static_cast<std::uint16_t>(random());
		EXPECT_EQ(register_of_block(start, text), register_byte_by_byte(start, text)) << round;
		std::size_t cut = length ? random() % length : 0;
		EXPECT_EQ(register_of_block(register_of_block(start, text.substr(0, cut)), text.substr(cut)),
		          register_byte_by_byte(start, text))
			<< round;
		if (cr_every > 1) {
			EXPECT_EQ(crc16_value(register_of_block(crc16_preset, text)), reference_crc(text));
		}
	}
}

TEST(FileCrc, CarryingOverZerosIsFeedingZeros)
{
	const std::uint64_t lengths[] = {0, 1, 2, 7, 8, 255, 4096, 65537, 1000003};
	for (std::uint64_t length : lengths) {
		for (std::uint16_t start : {std::uint16_t(0x0001), std::uint16_t(0x8000),
		                            std::uint16_t(0xFFFF), std::uint16_t(0x4C2A)})
			EXPECT_EQ(crc16_extend_by_zeros(start, length),
			          register_byte_by_byte(start, std::string(length, '\0')))
				<< length << " zeros from " << start;
	}
}

TEST(CrcStatement, HasFourUpperCaseDigitsWithLeadingZeros)
{
	EXPECT_EQ(statement_for(0x0000), "CRC 0000;\r\n");
	EXPECT_EQ(statement_for(0x000A), "CRC 000A;\r\n");
	EXPECT_EQ(statement_for(0x0F3C), "CRC 0F3C;\r\n");
	EXPECT_EQ(statement_for(0xBEEF), "CRC BEEF;\r\n");
}

} // namespace

#include "crc16.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "stapl_reference.h"

namespace {

const unsigned char *bytes(const std::string &text)
{
	return reinterpret_cast<const unsigned char *>(text.data());
}

// The reference: the single chain, one crc16_feed per byte.
std::uint16_t register_byte_by_byte(std::uint16_t start, const std::string &text)
{
	std::uint16_t crc = start;
	for (unsigned char byte : text)
		crc = crc16_feed(crc, byte);
	return crc;
}

std::uint16_t crc_of_bytes_one_at_a_time(const std::string &text)
{
	return crc16_value(register_byte_by_byte(crc16_preset, text));
}

std::uint16_t crc_of_block(const std::string &text)
{
	return crc16_value(crc16_update(crc16_preset, bytes(text), text.size()));
}

// The register after feeding text from start through one path, which must
// also count the bytes it fed: all but the carriage returns.
std::uint16_t register_via(crc16_path path, std::uint16_t start, const std::string &text)
{
	std::uint64_t fed = 7;
	std::uint16_t crc = crc16_update_via(path, start, bytes(text), text.size(), &fed);
	EXPECT_EQ(fed - 7, text.size() - static_cast<std::size_t>(
	                                      std::count(text.begin(), text.end(), '\r')))
		<< crc16_path_name(path);
	return crc;
}

std::vector<crc16_path> available_paths()
{
	std::vector<crc16_path> paths;
	for (int path = 0; path < CRC16_PATH_COUNT; ++path) {
		if (crc16_path_available(static_cast<crc16_path>(path)))
			paths.push_back(static_cast<crc16_path>(path));
	}
	return paths;
}

// Text in which about one byte in cr_every is a carriage return.
std::string random_text(std::mt19937 &random, std::size_t length, unsigned cr_every)
{
	std::string text(length, '\0');
	for (char &byte : text) {
		unsigned value = random();
		byte = static_cast<char>(value % cr_every == 0 ? '\r' : (value >> 8) & 0xFF);
	}
	return text;
}

// Every available path against the byte-by-byte reference, from the preset
// and from an arbitrary register (only the first segment may start from it).
void expect_paths_agree(const std::string &text, std::uint16_t start, const char *what)
{
	std::uint16_t expected = register_byte_by_byte(start, text);
	for (crc16_path path : available_paths())
		EXPECT_EQ(register_via(path, start, text), expected)
			<< what << ", " << text.size() << " bytes from " << start << " via "
			<< crc16_path_name(path);
}

std::string statement_for(std::uint16_t value)
{
	char text[crc16_statement_size];
	std::size_t length = crc16_format_statement(value, text);
	return std::string(text, length);
}

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
};

TEST(FileCrc, MatchesTheCatalogueValuesByteByByteAndBlockWise)
{
	for (const auto &c : catalogue) {
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
	std::uint16_t crc = crc16_update(crc16_preset, bytes(text), 7);
	crc = crc16_update(crc, bytes(text) + 7, text.size() - 7);
	EXPECT_EQ(crc16_value(crc), reference_crc(text));
}

TEST(FileCrcPaths, TheReferenceAndTheFastestPathAreAlwaysThere)
{
	EXPECT_TRUE(crc16_path_available(CRC16_SINGLE));
	EXPECT_TRUE(crc16_path_available(CRC16_SCALAR4));
	EXPECT_TRUE(crc16_path_available(crc16_best_path()));
	EXPECT_GE(crc16_best_path(), CRC16_SCALAR4);
	EXPECT_FALSE(crc16_path_available(CRC16_PATH_COUNT));
}

TEST(FileCrcPaths, EveryPathGivesTheCatalogueValues)
{
	for (const auto &c : catalogue)
		for (crc16_path path : available_paths())
			EXPECT_EQ(static_cast<std::uint16_t>(~register_via(path, crc16_preset, c.text)),
			          c.value)
				<< c.text.size() << " bytes via " << crc16_path_name(path);
}

TEST(FileCrcPaths, AgreeOnEveryShortLengthWithReturnsAnywhere)
{
	// Up past the lengths where each width of lanes starts to be used.
	std::mt19937 random(11);
	for (std::size_t length = 0; length <= 1200; ++length) {
		std::string text = random_text(random, length, 1 + length % 9);
		expect_paths_agree(text, crc16_preset, "random");
		expect_paths_agree(text, static_cast<std::uint16_t>(random()), "random");
	}
}

TEST(FileCrcPaths, AgreeWhenWholeSegmentsAreReturns)
{
	const struct {
		std::size_t length, returns_from, returns_to;
	} cases[] = {
		{4096, 0, 4096},          // all returns
		{4096, 0, 2048},          // the first half
		{8192, 2048, 8192},       // all but the first quarter
		{1 << 20, 100, 1 << 19},  // long runs of returns in every lane
		{65536, 65535, 65536},    // the last byte only
	};
	std::mt19937 random(12);
	for (const auto &c : cases) {
		std::string text = random_text(random, c.length, 50);
		for (std::size_t i = c.returns_from; i < c.returns_to; ++i)
			text[i] = '\r';
		expect_paths_agree(text, crc16_preset, "returns");
		expect_paths_agree(text, 0x1D0F, "returns");
	}
}

TEST(FileCrcPaths, AgreeOnRandomBlocksUpToOneMebibyte)
{
	std::mt19937 random(13);
	for (int round = 0; round < 40; ++round) {
		std::size_t length = random() % (1 << 20) + 1;
		if (round < 4) // whole driver blocks and the largest case
			length = std::size_t(1) << (17 + round % 4);
		std::string text = random_text(random, length, 2 + random() % 100);
		expect_paths_agree(text, static_cast<std::uint16_t>(random()), "random block");
	}
}

TEST(FileCrcPaths, CarryingOverZerosIsFeedingZeros)
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
	EXPECT_EQ(statement_for(0xFFFF), "CRC FFFF;\r\n");
}

} // namespace

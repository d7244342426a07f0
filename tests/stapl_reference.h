// stapl_reference.h - an independent way to compute what a patched file must
// end with, for checking the tool's results: a table-driven CRC-16/X-25 built
// from the polynomial, unlike the tool's bit-by-bit loop, and the check a
// STAPL player makes when it loads a file.
#ifndef MORVET_TESTS_STAPL_REFERENCE_H
#define MORVET_TESTS_STAPL_REFERENCE_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

inline std::uint16_t reference_crc(const std::string &text)
{
	static std::uint16_t table[256];
	static bool built = false;
	if (!built) {
		for (unsigned n = 0; n < 256; ++n) {
			unsigned value = n;
			for (int k = 0; k < 8; ++k)
				value = (value & 1) ? (value >> 1) ^ 0x8408 : value >> 1;
			table[n] = static_cast<std::uint16_t>(value);
		}
		built = true;
	}
	unsigned crc = 0xFFFF;
	for (unsigned char byte : text) {
		if (byte != '\r')
			crc = (crc >> 8) ^ table[(crc ^ byte) & 0xFF];
	}
	return static_cast<std::uint16_t>(~crc & 0xFFFF);
}

// text followed by the CRC statement that certifies it.
inline std::string with_crc(const std::string &text)
{
	char statement[16];
	std::snprintf(statement, sizeof statement, "CRC %04X;\r\n", reference_crc(text));
	return text + statement;
}

// True when file ends with one CRC statement, beginning a line, whose value
// matches every byte before it, the way a player verifies a file.
inline bool carries_valid_crc(const std::string &file)
{
	const std::size_t statement_length = 11; // "CRC XXXX;\r\n"
	if (file.size() < statement_length)
		return false;
	std::size_t start = file.size() - statement_length;
	if (start > 0 && file[start - 1] != '\n')
		return false;
	std::string text = file.substr(0, start);
	return file.compare(start, std::string::npos, with_crc(text), start, std::string::npos) == 0;
}

// Where a STAPL player finds the first CRC statement of file, read the way
// it reads: carriage returns skipped, comments from ' to the line's end,
// strings between quotes, a statement beginning at the first letter, digit
// or _ after a ';', and a CRC statement being one whose first word is CRC
// with white space on both sides. Returns the offset of its C, or npos.
inline std::size_t player_crc_statement(const std::string &file)
{
	auto is_space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\v'; };
	auto is_name = [](char c) {
		return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
		       c == '_';
	};
	// The visible text, with the offset each byte had in the file.
	std::string text;
	std::vector<std::size_t> offsets;
	for (std::size_t i = 0; i < file.size(); ++i) {
		if (file[i] != '\r') {
			text += file[i];
			offsets.push_back(i);
		}
	}
	bool comment = false, string = false, statement = false;
	for (std::size_t i = 0; i < text.size(); ++i) {
		char c = text[i];
		if (comment) {
			comment = c != '\n';
		} else if (string) {
			string = c != '"';
		} else if (c == '\'') {
			comment = true;
		} else if (c == '"') {
			string = true;
		} else if (c == ';') {
			statement = false;
		} else if (!statement && is_name(c)) {
			statement = true;
			if ((i == 0 || is_space(text[i - 1])) && text.compare(i, 3, "CRC") == 0 &&
			    i + 3 < text.size() && is_space(text[i + 3]))
				return offsets[i];
		}
	}
	return std::string::npos;
}

// True when a player accepts file: its first CRC statement carries the CRC
// of every byte before its C.
inline bool player_accepts(const std::string &file)
{
	std::size_t at = player_crc_statement(file);
	if (at == std::string::npos)
		return false;
	std::size_t digits = at + 3;
	while (digits < file.size() && (file[digits] == ' ' || file[digits] == '\t' ||
	                                file[digits] == '\r' || file[digits] == '\n' ||
	                                file[digits] == '\f' || file[digits] == '\v'))
		++digits;
	char expected[8];
	std::snprintf(expected, sizeof expected, "%04X", reference_crc(file.substr(0, at)));
	return file.compare(digits, 4, expected) == 0;
}

#endif

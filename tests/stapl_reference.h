// stapl_reference.h - an independent way to compute what a patched file must
// end with, for checking the tool's results: a table-driven CRC-16/X-25 built
// from the polynomial, unlike the tool's bit-by-bit loop, and the check a
// STAPL player makes when it loads a file.
#ifndef MORVET_TESTS_STAPL_REFERENCE_H
#define MORVET_TESTS_STAPL_REFERENCE_H

#include <cstdint>
#include <cstdio>
#include <string>

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

#endif

// crc16.cpp - the file CRC: the players' bit-by-bit steps, and the same
// arithmetic eight bytes at a time through tables.
//
// table[k][b] is the register feeding b gives from 0, carried over k zero
// bytes: the CRC is linear, so eight bytes fold in as the XOR of eight
// lookups that do not wait on each other.
#include "crc16.h"

#include <cstdio>
#include <cstring>

namespace {

const unsigned generator = 0x8408u; // x^16 + x^12 + x^5 + 1, bit-reflected

constexpr unsigned feed_bits(unsigned crc, unsigned byte)
{
	for (int bit = 0; bit < 8; ++bit)
		crc = (crc >> 1) ^ ((((byte >> bit) ^ crc) & 1u) ? generator : 0u);
	return crc;
}

constexpr struct crc_tables {
	std::uint16_t byte[8][256];
	constexpr crc_tables() : byte()
	{
		for (unsigned b = 0; b < 256; ++b)
			byte[0][b] = static_cast<std::uint16_t>(feed_bits(0, b));
		for (int k = 1; k < 8; ++k) {
			for (unsigned b = 0; b < 256; ++b) {
				unsigned before = byte[k - 1][b];
				byte[k][b] = static_cast<std::uint16_t>((before >> 8) ^ byte[0][before & 0xFF]);
			}
		}
	}
} tables;

inline unsigned feed_table(unsigned crc, unsigned char byte)
{
	return (crc >> 8) ^ tables.byte[0][(crc ^ byte) & 0xFF];
}

// a * b modulo the generator, both bit-reflected like the register (bit 15
// holds the coefficient of x^0).
unsigned multiply(unsigned a, unsigned b)
{
	unsigned product = 0;
	for (int term = 15; term >= 0; --term) {
		if ((a >> term) & 1u)
			product ^= b;
		b = (b >> 1) ^ ((b & 1u) ? generator : 0u); // b times x
	}
	return product;
}

} // namespace

std::uint16_t crc16_feed(std::uint16_t crc, std::uint8_t byte)
{
	return byte == '\r' ? crc : static_cast<std::uint16_t>(feed_bits(crc, byte));
}

std::uint16_t crc16_update(std::uint16_t crc, const unsigned char *data, std::size_t length,
                           std::uint64_t *fed)
{
	const std::uint64_t ones = 0x0101010101010101ull;
	const std::uint64_t returns = ones * '\r';
	unsigned reg = crc;
	std::uint64_t skipped = 0;
	std::size_t i = 0;
	while (i + 8 <= length) {
		const unsigned char *p = data + i;
		std::uint64_t word;
		std::memcpy(&word, p, sizeof word);
		std::uint64_t x = word ^ returns; // a zero byte where a CR is
		std::uint64_t returns_at = (x - ones) & ~x & (ones << 7);
		if (returns_at != 0) {
			// Up to the first CR byte by byte, then on past it.
			int before = __builtin_ctzll(returns_at) / 8;
			for (int k = 0; k < before; ++k)
				reg = feed_table(reg, p[k]);
			++skipped;
			i += static_cast<std::size_t>(before) + 1;
			continue;
		}
		unsigned first = reg ^ (p[0] | static_cast<unsigned>(p[1]) << 8);
		reg = tables.byte[7][first & 0xFF] ^ tables.byte[6][first >> 8] ^
		      tables.byte[5][p[2]] ^ tables.byte[4][p[3]] ^ tables.byte[3][p[4]] ^
		      tables.byte[2][p[5]] ^ tables.byte[1][p[6]] ^ tables.byte[0][p[7]];
		i += 8;
	}
	for (; i < length; ++i) { // the last few
		skipped += data[i] == '\r' ? 1 : 0;
		reg = data[i] == '\r' ? reg : feed_table(reg, data[i]);
	}
	*fed += length - skipped;
	return static_cast<std::uint16_t>(reg);
}

std::uint16_t crc16_extend_by_zeros(std::uint16_t crc, std::uint64_t length)
{
	// crc * x^(8 * length), by the binary digits of length: the power for
	// each digit is the square of the one before, starting from x^8.
	unsigned result = crc, power = 0x0080;
	for (; length != 0; length >>= 1) {
		if (length & 1u)
			result = multiply(power, result);
		power = multiply(power, power);
	}
	return static_cast<std::uint16_t>(result);
}

std::size_t crc16_format_statement(std::uint16_t value, char *text)
{
	// Always the 11 bytes: four digits fit any 16-bit value.
	(void)std::snprintf(text, crc16_statement_size, "CRC %04X;\r\n", static_cast<unsigned>(value));
	return crc16_statement_size - 1;
}

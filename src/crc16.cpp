// crc16.cpp - the file CRC: the players' bit-by-bit steps, the same
// arithmetic a byte at a time through a table, and sixteen bytes at a time
// by carry-less multiplication where the processor has it.
#include "crc16.h"

#include <cstdio>
#include <cstring>

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#include <immintrin.h>
#define CRC16_CARRYLESS 1
#endif

namespace {

const unsigned generator = 0x8408u; // x^16 + x^12 + x^5 + 1, bit-reflected

constexpr unsigned feed_bits(unsigned crc, unsigned byte)
{
	for (int bit = 0; bit < 8; ++bit)
		crc = (crc >> 1) ^ ((((byte >> bit) ^ crc) & 1u) ? generator : 0u);
	return crc;
}

constexpr struct crc_table { // of[b]: the register feeding b gives from 0
	std::uint16_t of[256];
	constexpr crc_table() : of()
	{
		for (unsigned b = 0; b < 256; ++b)
			of[b] = static_cast<std::uint16_t>(feed_bits(0, b));
	}
} table;

inline unsigned feed_table(unsigned crc, unsigned char byte)
{
	return (crc >> 8) ^ table.of[(crc ^ byte) & 0xFF];
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

// The register after data, through the table; *skipped counts the
// carriage returns passed over.
unsigned through_table(unsigned reg, const unsigned char *data, std::size_t length,
                       std::uint64_t *skipped)
{
	for (std::size_t i = 0; i < length; ++i) {
		*skipped += data[i] == '\r' ? 1 : 0;
		reg = data[i] == '\r' ? reg : feed_table(reg, data[i]);
	}
	return reg;
}

#ifdef CRC16_CARRYLESS
// Sixteen bytes are a polynomial of degree below 128 (byte 0's low bit the
// highest term); text that follows them n bits later multiplies it by x^n.
// Folding replaces a block by one of the same value modulo the generator,
// n bits further on, by two carry-less products with x^(n+63) and x^(n-1)
// (in the register's bit order a product comes out times x, hence the
// one less): four lanes 64 bytes apart, then the lanes into one, whose 16
// bytes (no text: any values) go through the table from a register of 0.
// The register the text starts from joins its first two bytes, as the
// table's first steps do.

// x^n modulo the generator in a lane's multiplier: bit 63 - k holds x^k.
constexpr long long power(int n)
{
	unsigned crc = 0x8000; // x^0
	for (int i = 0; i < n; ++i)
		crc = (crc >> 1) ^ ((crc & 1u) ? generator : 0u);
	std::uint64_t multiplier = std::uint64_t{crc} << 48;
	return static_cast<long long>(multiplier);
}

__attribute__((target("pclmul,sse2"))) __m128i fold(__m128i block, __m128i by, __m128i next)
{
	__m128i moved = _mm_xor_si128(_mm_clmulepi64_si128(block, by, 0x00),
	                              _mm_clmulepi64_si128(block, by, 0x11));
	return _mm_xor_si128(moved, next);
}

__attribute__((target("sse2"))) __m128i at(const unsigned char *data)
{ return _mm_loadu_si128(reinterpret_cast<const __m128i *>(data)); }

// The register after length bytes (at least 64, a multiple of 16).
__attribute__((target("pclmul,sse2"))) unsigned folded(unsigned reg, const unsigned char *data,
                                                  std::size_t length)
{
	constexpr long long x511 = power(511), x575 = power(575), x127 = power(127), x191 = power(191);
	const __m128i by_64 = _mm_set_epi64x(x511, x575), by_16 = _mm_set_epi64x(x127, x191);
	__m128i lane[4] = {_mm_xor_si128(at(data), _mm_cvtsi32_si128(static_cast<int>(reg))),
	                   at(data + 16), at(data + 32), at(data + 48)};
	std::size_t i = 64;
	for (; i + 64 <= length; i += 64) {
		for (std::size_t k = 0; k < 4; ++k)
			lane[k] = fold(lane[k], by_64, at(data + i + 16 * k));
	}
	__m128i one = fold(fold(fold(lane[0], by_16, lane[1]), by_16, lane[2]), by_16, lane[3]);
	for (; i < length; i += 16)
		one = fold(one, by_16, at(data + i));
	unsigned char last[16];
	_mm_storeu_si128(reinterpret_cast<__m128i *>(last), one);
	reg = 0;
	for (unsigned char byte : last) // any value, a carriage return's too
		reg = feed_table(reg, byte);
	return reg;
}

// The text's bytes but carriage returns are gathered, a block at a time,
// and folded.
unsigned through_folding(unsigned reg, const unsigned char *data, std::size_t length,
                         std::uint64_t *skipped)
{
	static unsigned char gathered[16384];
	for (std::size_t i = 0; i < length;) {
		std::size_t got = 0;
		while (i < length && got < sizeof gathered) {
			std::size_t room = sizeof gathered - got < length - i ? sizeof gathered - got : length - i;
			auto found = static_cast<const unsigned char *>(std::memchr(data + i, '\r', room));
			std::size_t run = found ? static_cast<std::size_t>(found - (data + i)) : room;
			std::memcpy(gathered + got, data + i, run);
			got += run;
			i += run + (found ? 1 : 0);
			*skipped += found ? 1 : 0;
		}
		std::size_t whole = got >= 64 ? got & ~std::size_t{15} : 0;
		if (whole > 0)
			reg = folded(reg, gathered, whole);
		reg = through_table(reg, gathered + whole, got - whole, skipped);
	}
	return reg;
}
#endif

} // namespace

std::uint16_t crc16_feed(std::uint16_t crc, std::uint8_t byte)
{
	return byte == '\r' ? crc : static_cast<std::uint16_t>(feed_bits(crc, byte));
}

std::uint16_t crc16_update(std::uint16_t crc, const unsigned char *data, std::size_t length,
                           std::uint64_t *fed)
{
	std::uint64_t skipped = 0;
	unsigned reg = crc;
#ifdef CRC16_CARRYLESS
	// (The processor's features are read once, before main.)
	if (length >= 256 && __builtin_cpu_supports("pclmul"))
		reg = through_folding(reg, data, length, &skipped);
	else
#endif
		reg = through_table(reg, data, length, &skipped);
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

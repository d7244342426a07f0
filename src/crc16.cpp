// crc16.cpp - the file CRC, computed bit by bit as STAPL players do it.
//
// One chain of shift-and-test steps is slow: each step waits for the one
// before it. The block paths therefore cut a block into equal segments, run
// one chain per segment side by side (in the 16-bit lanes of a vector
// register, or in four integer registers), and join the segments' registers
// afterwards. Feeding a register r through a text B gives the register of B
// fed from 0, XOR the register r carried over as many zero bytes as B feeds;
// carrying a register over n zero bytes is multiplying it by x^(8n) modulo
// the generator polynomial. So only the first segment starts from the
// running register, the others from 0, and each segment's register is
// carried over the bytes fed after it, every lane at once, and XORed in.
// Carriage returns are not fed, so n counts the other bytes only.
#include "crc16.h"

#include <cstdio>

namespace {

const unsigned generator = 0x8408u; // x^16 + x^12 + x^5 + 1, bit-reflected

// One byte into a register held in a full-width local: keeping the hot loop
// out of 16-bit arithmetic spares the compiler a mask on every step.
inline unsigned feed_byte(unsigned crc, unsigned byte)
{
	for (int bit = 0; bit < 8; ++bit) {
		unsigned test = (byte ^ crc) & 1u;
		crc >>= 1;
		if (test)
			crc ^= generator;
		byte >>= 1;
	}
	return crc;
}

// Each path returns the register and adds the bytes it fed to *fed.
unsigned feed_single(unsigned crc, const unsigned char *data, std::size_t length,
                     std::uint64_t *fed)
{
	std::uint64_t count = 0;
	for (std::size_t i = 0; i < length; ++i) {
		if (data[i] != '\r') {
			crc = feed_byte(crc, data[i]);
			++count;
		}
	}
	*fed += count;
	return crc;
}

// Polynomials over GF(2) of degree below 16, bit-reflected like the
// register: bit 15 holds the coefficient of x^0, bit 0 that of x^15.
// Returns a * b modulo the generator.
constexpr unsigned multiply(unsigned a, unsigned b)
{
	// Masks rather than branches: the bits of a are as good as random, and
	// every mispredicted branch would cost more than the step itself.
	unsigned product = 0;
	for (int term = 15; term >= 0; --term) {
		product ^= b & (0u - ((a >> term) & 1u));
		// b times x: one step of the register over a zero bit.
		b = (b >> 1) ^ (generator & (0u - (b & 1u)));
	}
	return product;
}

// x^(8 * 2^k) modulo the generator for k = 0..63, each the square of the
// one before: enough to carry a register over any 64-bit count of bytes.
struct powers_of_x {
	std::uint16_t byte_power[64];
};

constexpr powers_of_x square_powers()
{
	powers_of_x squares{};
	squares.byte_power[0] = 0x0080; // x^8
	for (int k = 1; k < 64; ++k)
		squares.byte_power[k] = static_cast<std::uint16_t>(
			multiply(squares.byte_power[k - 1], squares.byte_power[k - 1]));
	return squares;
}

constexpr powers_of_x powers = square_powers();

// crc carried over length zero bytes: crc * x^(8 * length), by the binary
// digits of length.
unsigned extend(unsigned crc, std::uint64_t length)
{
	for (int k = 0; length != 0; ++k, length >>= 1) {
		if (length & 1u)
			crc = multiply(powers.byte_power[k], crc);
	}
	return crc;
}

// Four chains in integer registers: a quarter of the block each.
unsigned feed_scalar4(unsigned crc, const unsigned char *data, std::size_t length,
                      std::uint64_t *total)
{
	std::size_t segment = length / 4;
	if (segment < 16)
		return feed_single(crc, data, length, total);
	unsigned reg[4] = {crc, 0, 0, 0};
	std::size_t fed[4] = {0, 0, 0, 0};
	const unsigned char *start[4] = {data, data + segment, data + 2 * segment,
	                                 data + 3 * segment};
	for (std::size_t i = 0; i < segment; ++i) {
#pragma GCC unroll 4
		for (int chain = 0; chain < 4; ++chain) {
			unsigned byte = start[chain][i];
			unsigned next = reg[chain] ^ byte;
			// The same steps as feed_byte, with the byte XORed in at once
			// (the test bit is then the lowest bit) and the conditional
			// XOR as a mask, so that no step waits on a branch.
#pragma GCC unroll 8
			for (int bit = 0; bit < 8; ++bit)
				next = (next >> 1) ^ (-(next & 1u) & generator);
			bool skipped = byte == '\r';
			reg[chain] = skipped ? reg[chain] : next;
			fed[chain] += skipped ? 0 : 1;
		}
	}
	crc = reg[0];
	*total += fed[0];
	for (int chain = 1; chain < 4; ++chain) {
		crc = extend(crc, fed[chain]) ^ reg[chain];
		*total += fed[chain];
	}
	return feed_single(crc, data + 4 * segment, length - 4 * segment, total);
}

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define CRC16_X86 1
#endif
#if defined(__GNUC__) && (defined(CRC16_X86) || defined(__ARM_NEON) || defined(__aarch64__))
#define CRC16_VECTORS 1
#endif

#ifdef CRC16_VECTORS

#define CRC16_INLINE inline __attribute__((always_inline))

typedef std::uint16_t lanes8 __attribute__((vector_size(16)));
typedef std::uint16_t lanes16 __attribute__((vector_size(32)));
typedef std::uint16_t lanes32 __attribute__((vector_size(64)));

// Lanes count carriage returns in 16 bits, and every segment ends in a
// join; this bounds a segment.
const std::size_t longest_segment = 16384;
// Below this many bytes per segment the joins cost more than they save.
const std::size_t shortest_segment = 8;
const std::size_t cache_line = 64;

// One step of every lane's register over a zero bit: the register times x.
// (In place: a vector wider than the target's as a value would change how
// it is passed between functions.)
template <typename V>
CRC16_INLINE void times_x(V *reg)
{
	// All ones in a lane whose lowest bit is set, and the generator there.
	*reg = (*reg >> 1) ^ ((V)((*reg & 1) == 1) & generator);
}

// One byte per lane into G vectors of registers; a lane whose byte is a
// carriage return keeps its register and counts the return instead.
template <typename V, int G>
CRC16_INLINE void feed_lanes_byte(V *reg, const V *byte, V *returns)
{
	V work[G];
#pragma GCC unroll 8
	for (int g = 0; g < G; ++g)
		work[g] = reg[g] ^ byte[g];
	// Eight shift-and-test steps. The byte has been XORed into the
	// register, so the test bit is simply its lowest bit: the same test as
	// (byte ^ crc) & 1 taken step by step, and each step is the one over a
	// zero bit.
#pragma GCC unroll 8
	for (int bit = 0; bit < 8; ++bit) {
#pragma GCC unroll 8
		for (int g = 0; g < G; ++g)
			times_x(&work[g]);
	}
#pragma GCC unroll 8
	for (int g = 0; g < G; ++g) {
		V is_return = (V)(byte[g] == '\r');
		reg[g] = work[g] ^ ((work[g] ^ reg[g]) & is_return);
		returns[g] -= is_return;
	}
}

// The register of a whole stretch from the registers of its W * G segments:
// each lane's register carried over the bytes fed after its segment, all
// XORed together. A join per lane would cost a chain of products per lane;
// here every lane is carried at once, a power x^(8 * 2^k) at a time, and
// only the lanes whose count has bit k set keep the product.
template <typename V, int W, int G>
CRC16_INLINE unsigned join_lanes(const V *reg, const V *returns, std::size_t segment,
                                 std::uint64_t *fed)
{
	// The count after each lane, in two 16-bit halves: a stretch can
	// hold more than 65535 bytes.
	V after_low[G], after_high[G], carried[G];
	std::uint32_t after = 0;
	for (int chain = W * G - 1; chain >= 0; --chain) {
		after_low[chain / W][chain % W] = static_cast<std::uint16_t>(after);
		after_high[chain / W][chain % W] = static_cast<std::uint16_t>(after >> 16);
		after += static_cast<std::uint32_t>(segment - returns[chain / W][chain % W]);
	}
	*fed += after;
	for (int g = 0; g < G; ++g)
		carried[g] = reg[g];
	// The first lane's count is the largest.
	std::uint32_t largest = after_low[0][0] | static_cast<std::uint32_t>(after_high[0][0]) << 16;
	for (int k = 0; (largest >> k) != 0; ++k) {
		const unsigned power = powers.byte_power[k];
		V product[G], factor[G];
		for (int g = 0; g < G; ++g) {
			product[g] = V{};
			factor[g] = carried[g];
		}
		// The same terms as multiply(), the power's bits known to all lanes.
		for (int term = 15; term >= 0; --term) {
			if ((power >> term) & 1u) {
#pragma GCC unroll 8
				for (int g = 0; g < G; ++g)
					product[g] ^= factor[g];
			}
#pragma GCC unroll 8
			for (int g = 0; g < G; ++g)
				times_x(&factor[g]);
		}
#pragma GCC unroll 8
		for (int g = 0; g < G; ++g) {
			V count = k < 16 ? after_low[g] >> k : after_high[g] >> (k - 16);
			V keep = (V)((count & 1) == 1);
			carried[g] ^= (carried[g] ^ product[g]) & keep;
		}
	}
	V all = carried[0];
	for (int g = 1; g < G; ++g)
		all ^= carried[g];
	unsigned crc = 0;
	for (int lane = 0; lane < W; ++lane)
		crc ^= all[lane];
	return crc;
}

// W * G chains over W * G equal segments of the block, then the joins; what
// is left over goes through the scalar chains.
template <typename V, int W, int G>
CRC16_INLINE unsigned feed_lanes(unsigned crc, const unsigned char *data, std::size_t length,
                                 std::uint64_t *fed)
{
	const std::size_t lanes = static_cast<std::size_t>(W) * G;
	while (length >= lanes * shortest_segment) {
		std::size_t segment = length / lanes;
		if (segment > longest_segment)
			segment = longest_segment;
		if (segment >= cache_line * 2) {
			// Segments a power-of-two multiple of 64 bytes apart would put
			// the lanes' bytes in few sets of the level-one cache, which
			// then evicts them before they are used up: an odd multiple of
			// the cache line spreads them over all sets.
			segment -= segment % cache_line;
			if ((segment / cache_line) % 2 == 0)
				segment -= cache_line;
		}
		segment &= ~static_cast<std::size_t>(1);
		V reg[G], returns[G];
		for (int g = 0; g < G; ++g) {
			reg[g] = V{};
			returns[g] = V{};
		}
		reg[0][0] = static_cast<std::uint16_t>(crc);
		for (std::size_t i = 0; i < segment; i += 2) {
			// Two bytes of each segment at a time, split into two vectors
			// of one byte per lane.
			V low[G], high[G];
			const unsigned char *at = data + i;
#pragma GCC unroll 8
			for (int g = 0; g < G; ++g) {
				V word = {};
#pragma GCC unroll 64
				for (int lane = 0; lane < W; ++lane) {
					word[lane] = static_cast<std::uint16_t>(at[0] | at[1] << 8);
					at += segment;
				}
				low[g] = word & 0xFF;
				high[g] = word >> 8;
			}
			feed_lanes_byte<V, G>(reg, low, returns);
			feed_lanes_byte<V, G>(reg, high, returns);
		}
		crc = join_lanes<V, W, G>(reg, returns, segment, fed);
		data += lanes * segment;
		length -= lanes * segment;
	}
	return feed_scalar4(crc, data, length, fed);
}

#ifdef CRC16_X86
// The 32-bit Windows build assumes no SSE2, so the 128-bit path is compiled
// for it here and chosen at run time; it also realigns its stack, which
// 32-bit callers keep aligned to only 4 bytes.
#ifdef __i386__
#define CRC16_TARGET_128 __attribute__((target("sse2"), force_align_arg_pointer))
#else
#define CRC16_TARGET_128 __attribute__((target("sse2")))
#endif
// MinGW-w64's GCC cannot align the stack to 32 bytes, which 256- and
// 512-bit locals spilled to it would need: Windows builds stop at SSE2.
#ifndef _WIN32
#define CRC16_WIDE_VECTORS 1
#endif
#else
#define CRC16_TARGET_128
#endif

CRC16_TARGET_128 unsigned feed_vec128(unsigned crc, const unsigned char *data,
                                      std::size_t length, std::uint64_t *fed)
{
	return feed_lanes<lanes8, 8, 4>(crc, data, length, fed);
}

#ifdef CRC16_WIDE_VECTORS
__attribute__((target("avx2"))) unsigned feed_vec256(unsigned crc, const unsigned char *data,
                                                     std::size_t length, std::uint64_t *fed)
{
	return feed_lanes<lanes16, 16, 4>(crc, data, length, fed);
}

__attribute__((target("avx512bw"))) unsigned feed_vec512(unsigned crc,
                                                         const unsigned char *data,
                                                         std::size_t length, std::uint64_t *fed)
{
	return feed_lanes<lanes32, 32, 4>(crc, data, length, fed);
}
#endif

#endif // CRC16_VECTORS

unsigned feed_via(crc16_path path, unsigned crc, const unsigned char *data, std::size_t length,
                  std::uint64_t *fed)
{
	switch (path) {
#ifdef CRC16_VECTORS
	case CRC16_VEC128:
		return feed_vec128(crc, data, length, fed);
#endif
#ifdef CRC16_WIDE_VECTORS
	case CRC16_VEC256:
		return feed_vec256(crc, data, length, fed);
	case CRC16_VEC512:
		return feed_vec512(crc, data, length, fed);
#endif
	case CRC16_SCALAR4:
		return feed_scalar4(crc, data, length, fed);
	default:
		return feed_single(crc, data, length, fed);
	}
}

} // namespace

std::uint16_t crc16_feed(std::uint16_t crc, std::uint8_t byte)
{
	if (byte == '\r')
		return crc;
	return static_cast<std::uint16_t>(feed_byte(crc, byte));
}

bool crc16_path_available(crc16_path path)
{
	switch (path) {
	case CRC16_SINGLE:
	case CRC16_SCALAR4:
		return true;
#ifdef CRC16_VECTORS
	case CRC16_VEC128:
#ifdef CRC16_X86
		__builtin_cpu_init();
		return __builtin_cpu_supports("sse2");
#else
		return true;
#endif
#endif
#ifdef CRC16_WIDE_VECTORS
	case CRC16_VEC256:
		__builtin_cpu_init();
		return __builtin_cpu_supports("avx2");
	case CRC16_VEC512:
		__builtin_cpu_init();
		return __builtin_cpu_supports("avx512bw");
#endif
	default:
		return false;
	}
}

const char *crc16_path_name(crc16_path path)
{
	static const char *const names[CRC16_PATH_COUNT] = {"single", "scalar4", "vec128",
	                                                    "vec256", "vec512"};
	return path < CRC16_PATH_COUNT ? names[path] : "none";
}

crc16_path crc16_best_path()
{
	// Chosen on first use, not by a static initialised from a call: its
	// thread-safe guard alone would link the C++ runtime library, and
	// loading that doubles the tool's resident memory. The first use is
	// the main thread's, before any helper computes a CRC (crc_beside.h).
	//
	// 512-bit lanes come after 256-bit ones: the CPUs measured run the
	// chains no faster in them (some split each 512-bit step in two), and
	// slower where the wide units lower the clock.
	static crc16_path best = CRC16_PATH_COUNT;
	if (best == CRC16_PATH_COUNT) {
		static const crc16_path preferred[] = {CRC16_VEC256, CRC16_VEC512, CRC16_VEC128};
		best = CRC16_SCALAR4;
		for (crc16_path path : preferred) {
			if (crc16_path_available(path)) {
				best = path;
				break;
			}
		}
	}
	return best;
}

std::uint16_t crc16_update_via(crc16_path path, std::uint16_t crc, const unsigned char *data,
                               std::size_t length, std::uint64_t *fed)
{
	std::uint64_t ignored = 0;
	return static_cast<std::uint16_t>(
		feed_via(path, crc, data, length, fed != nullptr ? fed : &ignored));
}

std::uint16_t crc16_update(std::uint16_t crc, const unsigned char *data, std::size_t length,
                           std::uint64_t *fed)
{
	return crc16_update_via(crc16_best_path(), crc, data, length, fed);
}

std::uint16_t crc16_extend_by_zeros(std::uint16_t crc, std::uint64_t length)
{
	return static_cast<std::uint16_t>(extend(crc, length));
}

std::uint16_t crc16_value(std::uint16_t crc)
{
	return static_cast<std::uint16_t>(~crc);
}

std::size_t crc16_format_statement(std::uint16_t value, char *text)
{
	int length = std::snprintf(text, crc16_statement_size, "CRC %04X;\r\n",
	                           static_cast<unsigned>(value));
	return static_cast<std::size_t>(length);
}

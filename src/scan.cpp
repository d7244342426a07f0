// scan.cpp - the byte searches, in vectors of N bytes with GCC and Clang
// vector extensions, which compile to SSE2, AVX2 or NEON where the target
// has them and to plain code elsewhere. See scan.h.
#include "scan.h"

#include <cstring>

namespace {

template <int N>
struct vectors {
	typedef unsigned char bytes __attribute__((vector_size(N)));
	typedef signed char flags __attribute__((vector_size(N)));
};

// Whether any of size bytes of flags is set. It takes the vector's address:
// a vector passed by value would be passed differently with and without
// AVX.
inline bool any(const void *flags, std::size_t size)
{
	unsigned long long all = 0;
	for (std::size_t at = 0; at < size; at += 8) {
		unsigned long long word;
		std::memcpy(&word, static_cast<const unsigned char *>(flags) + at, sizeof word);
		all |= word;
	}
	return all != 0;
}

template <int N>
inline std::size_t statement_stop(const unsigned char *data, std::size_t length)
{
	typedef typename vectors<N>::bytes bytes;
	std::size_t i = 0;
	for (; i + N <= length; i += N) {
		bytes chunk;
		std::memcpy(&chunk, data + i, N);
		typename vectors<N>::flags stops =
			(chunk == ';') | (chunk == '\'') | (chunk == '"') | (chunk == 0);
		if (any(&stops, N))
			break;
	}
	for (; i < length; ++i) {
		unsigned char byte = data[i];
		if (byte == ';' || byte == '\'' || byte == '"' || byte == 0)
			return i;
	}
	return length;
}

template <int N>
inline std::size_t either(const unsigned char *data, std::size_t length, unsigned char a,
                          unsigned char b)
{
	typedef typename vectors<N>::bytes bytes;
	std::size_t i = 0;
	for (; i + N <= length; i += N) {
		bytes chunk;
		std::memcpy(&chunk, data + i, N);
		typename vectors<N>::flags found = (chunk == a) | (chunk == b);
		if (any(&found, N))
			break;
	}
	for (; i < length; ++i) {
		if (data[i] == a || data[i] == b)
			return i;
	}
	return length;
}

template <int N>
inline unsigned long line_feeds(const unsigned char *data, std::size_t length)
{
	typedef typename vectors<N>::bytes bytes;
	unsigned long count = 0;
	std::size_t i = 0;
	while (i + N <= length) {
		// Each lane counts down by one per line feed; 255 rounds at most
		// before the lanes are added up, so none can wrap.
		bytes lanes = {};
		std::size_t rounds = (length - i) / N;
		if (rounds > 255)
			rounds = 255;
		for (std::size_t round = 0; round < rounds; ++round, i += N) {
			bytes chunk;
			std::memcpy(&chunk, data + i, N);
			lanes -= reinterpret_cast<bytes>(chunk == '\n');
		}
		for (int lane = 0; lane < N; ++lane)
			count += lanes[lane];
	}
	for (; i < length; ++i)
		count += data[i] == '\n';
	return count;
}

#if defined(__GNUC__) && defined(__x86_64__) && !defined(_WIN32)
#define SCAN_WIDE 1
// (MinGW-w64's GCC cannot align the stack for 32-byte vectors.)

__attribute__((target("avx2"))) std::size_t statement_stop_wide(const unsigned char *data,
                                                                std::size_t length)
{
	return statement_stop<32>(data, length);
}

__attribute__((target("avx2"))) std::size_t either_wide(const unsigned char *data,
                                                        std::size_t length, unsigned char a,
                                                        unsigned char b)
{
	return either<32>(data, length, a, b);
}

__attribute__((target("avx2"))) unsigned long line_feeds_wide(const unsigned char *data,
                                                              std::size_t length)
{
	return line_feeds<32>(data, length);
}

// Asked on first use, not by a static initialised from a call: its guard
// would link the C++ runtime library. Every thread finds the same answer.
bool wide()
{
	static int answer = -1;
	if (answer < 0) {
		__builtin_cpu_init();
		answer = __builtin_cpu_supports("avx2") ? 1 : 0;
	}
	return answer == 1;
}
#endif

} // namespace

std::size_t find_statement_stop(const unsigned char *data, std::size_t length)
{
#ifdef SCAN_WIDE
	if (wide())
		return statement_stop_wide(data, length);
#endif
	return statement_stop<16>(data, length);
}

std::size_t find_either(const unsigned char *data, std::size_t length, unsigned char a,
                        unsigned char b)
{
#ifdef SCAN_WIDE
	if (wide())
		return either_wide(data, length, a, b);
#endif
	return either<16>(data, length, a, b);
}

unsigned long count_line_feeds(const unsigned char *data, std::size_t length)
{
#ifdef SCAN_WIDE
	if (wide())
		return line_feeds_wide(data, length);
#endif
	return line_feeds<16>(data, length);
}

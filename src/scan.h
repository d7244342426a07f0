// scan.h - the byte searches the copy pass makes over every byte of a file:
// where a statement's text next needs a look (';', a quote, a comment or a
// NUL byte), where a comment or a string ends, and how many line feeds a
// stretch holds. Sixteen bytes at a time, with GCC and Clang vector
// extensions, which compile to SSE2 or NEON where the target has them and
// to plain code elsewhere.
#ifndef MORVET_SCAN_H
#define MORVET_SCAN_H

#include <cstddef>
#include <cstring>

typedef unsigned char scan_bytes __attribute__((vector_size(16)));
typedef signed char scan_flags __attribute__((vector_size(16)));

inline bool scan_any(scan_flags flags)
{
	unsigned long long halves[2];
	std::memcpy(halves, &flags, sizeof halves);
	return (halves[0] | halves[1]) != 0;
}

// The offset of the first of ';', '\'', '"' or NUL in data, or length.
inline std::size_t find_statement_stop(const unsigned char *data, std::size_t length)
{
	std::size_t i = 0;
	for (; i + 16 <= length; i += 16) {
		scan_bytes bytes;
		std::memcpy(&bytes, data + i, 16);
		scan_flags stops = (bytes == ';') | (bytes == '\'') | (bytes == '"') | (bytes == 0);
		if (scan_any(stops))
			break;
	}
	for (; i < length; ++i) {
		unsigned char byte = data[i];
		if (byte == ';' || byte == '\'' || byte == '"' || byte == 0)
			return i;
	}
	return length;
}

// The offset of the first a or b in data, or length.
inline std::size_t find_either(const unsigned char *data, std::size_t length, unsigned char a,
                               unsigned char b)
{
	std::size_t i = 0;
	for (; i + 16 <= length; i += 16) {
		scan_bytes bytes;
		std::memcpy(&bytes, data + i, 16);
		if (scan_any((bytes == a) | (bytes == b)))
			break;
	}
	for (; i < length; ++i) {
		if (data[i] == a || data[i] == b)
			return i;
	}
	return length;
}

// The number of line feeds among length bytes at data.
inline unsigned long count_line_feeds(const unsigned char *data, std::size_t length)
{
	unsigned long count = 0;
	std::size_t i = 0;
	while (i + 16 <= length) {
		// Each lane counts down by one per line feed; 255 rounds at most
		// before the lanes are added up, so none can wrap.
		scan_bytes lanes = {};
		std::size_t rounds = (length - i) / 16;
		if (rounds > 255)
			rounds = 255;
		for (std::size_t round = 0; round < rounds; ++round, i += 16) {
			scan_bytes bytes;
			std::memcpy(&bytes, data + i, 16);
			lanes -= reinterpret_cast<scan_bytes>(bytes == '\n');
		}
		for (int lane = 0; lane < 16; ++lane)
			count += lanes[lane];
	}
	for (; i < length; ++i)
		count += data[i] == '\n';
	return count;
}

#endif

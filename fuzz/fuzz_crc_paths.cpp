// fuzz_crc_paths.cpp - every way of feeding a block must give the register
// that feeding it byte by byte gives.
//
// The first four bytes choose the start register and a length of up to
// 64 KiB; the rest, repeated to that length, is the block. Short inputs thus
// reach the lengths at which the lanes and their joins come into play.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "crc16.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	if (size < 5)
		return 0;
	std::uint16_t start = static_cast<std::uint16_t>(data[0] | data[1] << 8);
	std::size_t length = static_cast<std::size_t>(data[2]) << 8 | data[3];
	const std::uint8_t *pattern = data + 4;
	std::size_t pattern_size = size - 4;
	std::vector<unsigned char> block(length);
	for (std::size_t i = 0; i < length; ++i)
		block[i] = pattern[i % pattern_size];

	std::uint16_t expected = start;
	std::uint64_t visible = 0;
	for (unsigned char byte : block) {
		expected = crc16_feed(expected, byte);
		visible += byte != '\r';
	}
	for (int path = 0; path < CRC16_PATH_COUNT; ++path) {
		if (!crc16_path_available(static_cast<crc16_path>(path)))
			continue;
		std::uint64_t fed = 0;
		std::uint16_t crc = crc16_update_via(static_cast<crc16_path>(path), start, block.data(),
		                                     block.size(), &fed);
		if (crc != expected || fed != visible) {
			std::fprintf(stderr, "%s gives %04X after %llu bytes, byte by byte %04X after %llu\n",
			             crc16_path_name(static_cast<crc16_path>(path)), crc,
			             static_cast<unsigned long long>(fed), expected,
			             static_cast<unsigned long long>(visible));
			std::abort();
		}
	}
	return 0;
}

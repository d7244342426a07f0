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

	crc16_running = start;
	for (unsigned char byte : block)
		crc16_feed(byte);
	std::uint16_t expected = crc16_running;
	for (int path = 0; path < CRC16_PATH_COUNT; ++path) {
		if (!crc16_path_available(static_cast<crc16_path>(path)))
			continue;
		crc16_running = start;
		crc16_feed_block_via(static_cast<crc16_path>(path), block.data(), block.size());
		if (crc16_running != expected) {
			std::fprintf(stderr, "%s gives %04X, byte by byte %04X, %zu bytes\n",
			             crc16_path_name(static_cast<crc16_path>(path)), crc16_running,
			             expected, length);
			std::abort();
		}
	}
	return 0;
}

// ceiling.cpp - the least work that reads, checksums and durably writes a
// file: one pass through a 64 KiB buffer, the tool's own bit-by-bit CRC over
// every byte, each block written to a new file, which is then synced. The
// benchmark compares the tool's time with this one's.
//
// Usage: morvet_ceiling INPUT OUTPUT
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

#include "crc16.h"

namespace {

unsigned char block[65536];

bool write_all(int fd, const unsigned char *data, ssize_t length)
{
	while (length > 0) {
		ssize_t written = write(fd, data, static_cast<std::size_t>(length));
		if (written < 0)
			return false;
		data += written;
		length -= written;
	}
	return true;
}

} // namespace

int main(int argc, char **argv)
{
	if (argc != 3) {
		(void)std::fputs("usage: morvet_ceiling INPUT OUTPUT\n", stderr);
		return 2;
	}
	int in = open(argv[1], O_RDONLY);
	int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
	if (in < 0 || out < 0) {
		std::perror("morvet_ceiling: open");
		return 1;
	}
	ssize_t got;
	while ((got = read(in, block, sizeof block)) > 0) {
		crc16_feed_block(block, static_cast<std::size_t>(got));
		if (!write_all(out, block, got)) {
			std::perror("morvet_ceiling: write");
			return 1;
		}
	}
	if (got < 0 || fsync(out) != 0 || close(out) != 0) {
		std::perror("morvet_ceiling");
		return 1;
	}
	close(in);
	// The CRC lands in the running register of another translation unit,
	// so the loop cannot be optimised away.
	return 0;

}

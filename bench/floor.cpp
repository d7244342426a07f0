// floor.cpp - the least work that the tool's job needs: read the file in
// 256 KiB blocks, write a copy to a new file, sync it and rename it over
// the output path. No CRC, no line rules. The benchmark compares the tool's
// time with this one's.
//
// Usage: morvet_floor INPUT OUTPUT
#include <cstdio>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace {

unsigned char block[256 * 1024];

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
		(void)std::fputs("usage: morvet_floor INPUT OUTPUT\n", stderr);
		return 2;
	}
	std::string temporary = std::string(argv[2]) + ".tmp";
	int in = open(argv[1], O_RDONLY);
	int out = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
	if (in < 0 || out < 0) {
		std::perror("morvet_floor: open");
		return 1;
	}
	ssize_t got;
	while ((got = read(in, block, sizeof block)) > 0) {
		if (!write_all(out, block, got)) {
			std::perror("morvet_floor: write");
			return 1;
		}
	}
	if (got < 0 || fsync(out) != 0 || close(out) != 0 || close(in) != 0 ||
	    std::rename(temporary.c_str(), argv[2]) != 0) {
		std::perror("morvet_floor");
		return 1;
	}
	return 0;
}

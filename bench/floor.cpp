// floor.cpp - the least work that the tool's job needs: read the file in
// 256 KiB blocks, write a copy to a new file, sync it, rename it over the
// output path and sync that directory. No CRC, no line rules. The
// benchmark compares the tool's time with this one's.
//
// Usage: morvet_floor INPUT OUTPUT [INPUT OUTPUT]...
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

// The directory of path, for its sync.
std::string directory_of(const std::string &path)
{
	std::size_t slash = path.rfind('/');
	return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

bool copy_one(const char *input, const char *output)
{
	std::string temporary = std::string(output) + ".tmp";
	int in = open(input, O_RDONLY);
	int out = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
	if (in < 0 || out < 0)
		return false;
	ssize_t got;
	while ((got = read(in, block, sizeof block)) > 0) {
		if (!write_all(out, block, got))
			return false;
	}
	if (got < 0 || fsync(out) != 0 || close(out) != 0 || close(in) != 0 ||
	    std::rename(temporary.c_str(), output) != 0)
		return false;
	int directory = open(directory_of(output).c_str(), O_RDONLY | O_DIRECTORY);
	return directory >= 0 && fsync(directory) == 0 && close(directory) == 0;
}

} // namespace

int main(int argc, char **argv)
{
	if (argc < 3 || argc % 2 == 0) {
		(void)std::fputs("usage: morvet_floor INPUT OUTPUT [INPUT OUTPUT]...\n", stderr);
		return 2;
	}
	for (int i = 1; i + 1 < argc; i += 2) {
		if (!copy_one(argv[i], argv[i + 1])) {
			std::perror("morvet_floor");
			return 1;
		}
	}
	return 0;
}

// fuzz_patch.cpp - random bytes through the tool's own copy and CRC passes.
//
// For any input, the result must end with exactly one CRC statement, on a
// line of its own, whose value matches every byte before it (checked with
// an independent table-driven CRC); no other line may begin a CRC
// statement; and the result patched once more must come out unchanged.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "crc16.h"
#include "morvet.h"
#include "stapl_reference.h"

namespace {

std::string read_all(std::FILE *stream)
{
	std::string text;
	if (std::fseek(stream, 0, SEEK_SET) != 0)
		std::abort();
	char buffer[65536];
	std::size_t got;
	while ((got = std::fread(buffer, 1, sizeof buffer, stream)) > 0)
		text.append(buffer, got);
	if (std::ferror(stream))
		std::abort();
	return text;
}

std::string patch(const std::string &input)
{
	std::FILE *in = std::tmpfile();
	std::FILE *out = std::tmpfile();
	if (in == nullptr || out == nullptr)
		std::abort();
	if (std::fwrite(input.data(), 1, input.size(), in) != input.size() ||
	    std::fseek(in, 0, SEEK_SET) != 0)
		std::abort();
	crc16_running = crc16_preset;
	if (copy_pass(in, out) != PASS_DONE || crc_pass(out) != PASS_DONE)
		std::abort();
	std::string result = read_all(out);
	std::fclose(in);
	std::fclose(out);
	return result;
}

void check(bool condition, const char *what)
{
	if (!condition) {
		std::fprintf(stderr, "invariant broken: %s\n", what);
		std::abort();
	}
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	std::string input(reinterpret_cast<const char *>(data), size);
	std::string result = patch(input);

	check(carries_valid_crc(result), "the result ends with a matching CRC statement");
	std::string text = result.substr(0, result.size() - 11);
	check(text.compare(0, 4, "CRC ") != 0 && text.find("\nCRC ") == std::string::npos,
	      "no other line begins a CRC statement");
	check(text.size() <= input.size() + 2 + (input.size() / 2 + 1) * 22,
	      "the result grows at most by the forced lines");
	check(patch(result) == result, "a second patch leaves the result unchanged");
	return 0;
}

// fuzz_patch.cpp - random bytes through the tool's own copy and CRC passes,
// built with a read block of a few bytes so that every line start, rule and
// declaration falls across block seams.
//
// For any input the tool either refuses it, or its result is accepted by a
// STAPL player (checked with an independent model of a player and a
// table-driven CRC): the first CRC statement a player finds is the one
// appended, on a line of its own, and matches every byte before it. A second
// patch leaves the result unchanged, the comparison finds the result
// patched, and it finds the input patched exactly when patching changes
// nothing.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "crc16.h"
#include "passes.h"
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

std::FILE *holding(const std::string &text)
{
	std::FILE *stream = std::tmpfile();
	if (stream == nullptr || std::fwrite(text.data(), 1, text.size(), stream) != text.size() ||
	    std::fseek(stream, 0, SEEK_SET) != 0)
		std::abort();
	return stream;
}

// The result of patching input, or false when the tool refuses it.
bool patch(const std::string &input, std::string *result)
{
	std::FILE *in = holding(input);
	std::FILE *out = std::tmpfile();
	if (out == nullptr)
		std::abort();
	crc16_running = crc16_preset;
	copy_findings findings;
	reset_findings(&findings);
	pass_result copied = copy_pass(in, out, &findings);
	bool patched = copied == PASS_DONE;
	if (patched) {
		if (crc_pass(out) != PASS_DONE)
			std::abort();
		*result = read_all(out);
	} else if (copied != PASS_REFUSED || findings.refusal == REFUSE_NOTHING) {
		std::abort();
	}
	std::fclose(in);
	std::fclose(out);
	return patched;
}

// What the comparison says: patched, and whether it refused.
bool found_patched(const std::string &input, bool *refused)
{
	std::FILE *in = holding(input);
	crc16_running = crc16_preset;
	copy_findings findings;
	reset_findings(&findings);
	pass_result compared = copy_pass(in, nullptr, &findings);
	std::fclose(in);
	if (compared != PASS_DONE && compared != PASS_REFUSED)
		std::abort();
	*refused = compared == PASS_REFUSED;
	return compared == PASS_DONE && !findings.changed;
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
	std::string result;
	bool refused_in_comparison = false;
	bool input_found_patched = found_patched(input, &refused_in_comparison);
	if (!patch(input, &result)) {
		check(refused_in_comparison, "the comparison refuses what patching refuses");
		return 0;
	}
	check(!refused_in_comparison, "the comparison refuses only what patching refuses");
	check(carries_valid_crc(result), "the result ends with a matching CRC statement");
	check(player_crc_statement(result) == result.size() - 11,
	      "the first CRC statement a player finds is the new one");
	check(player_accepts(result), "a player accepts the result");
	std::string again;
	check(patch(result, &again) && again == result, "a second patch leaves the result unchanged");
	bool refused = false;
	check(found_patched(result, &refused), "the comparison finds the result patched");
	check(input_found_patched == (result == input),
	      "the comparison finds the input patched exactly when patching changes nothing");
	return 0;
}

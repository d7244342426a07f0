// fuzz_patch.cpp - random bytes through the tool's own copy pass, built
// with a read block of a few bytes so that every line start, rule and
// declaration falls across block seams.
//
// For any input the tool either refuses it, or it keeps its promise on the
// text it writes: a STAPL player's CRC check (an independent model, with a
// table-driven CRC) fires nowhere before the appended CRC statement and
// fires on it, matching, the empty text's "CRC 0000;" alone excepted. A
// second patch leaves the result unchanged; the comparison refuses what
// patching refuses, finds the result patched, and finds the input patched
// exactly when patching changes nothing. The CRC is the same with and
// without the helper thread.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "crc16.h"
#include "passes.h"
#include "report.h"
#include "stapl_reference.h"

namespace {

pass_buffers buffers;
std::string scratch;

void check(bool condition, const char *what)
{
	if (!condition) {
		std::fprintf(stderr, "invariant broken: %s\n", what);
		std::abort();
	}
}

std::string read_all(std::FILE *stream)
{
	std::string text;
	check(std::fseek(stream, 0, SEEK_SET) == 0, "the result can be read");
	char buffer[65536];
	std::size_t got;
	while ((got = std::fread(buffer, 1, sizeof buffer, stream)) > 0)
		text.append(buffer, got);
	check(!std::ferror(stream), "the result can be read");
	return text;
}

struct outcome {
	pass_result result;
	bool changed;
	std::string written;
};

// One pass over text into a file output (a scratch stream) or a comparison.
outcome run(const std::string &text, bool to_file, bool helper)
{
	if (scratch.empty())
		scratch = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
		          "/morvet-fuzz-" + std::to_string(getpid()) + ".stp";
	std::FILE *file = std::fopen(scratch.c_str(), "wb");
	check(file != nullptr && std::fwrite(text.data(), 1, text.size(), file) == text.size() &&
	              std::fclose(file) == 0,
	      "the input can be written");
	input_file input{};
	failure why{};
	check(open_input(scratch.c_str(), &input, &why), "the input can be opened");
	std::FILE *written = std::tmpfile();
	check(written != nullptr, "a scratch stream");
	temporary_file temporary{};
	temporary.descriptor = fileno(written);
	crc_beside crc;
	crc_beside_begin(&crc, helper);
	text_output out = to_file ? file_output(&temporary, &crc, &why) : comparison_output(&crc);
	copy_pass pass;
	copy_pass_begin(&pass, &input, &buffers);
	outcome result = {copy_pass_run(&pass, &out, &why), out.changed, ""};
	crc_beside_end(&crc, nullptr, nullptr);
	check(result.result == PASS_DONE ||
	              (result.result == PASS_REFUSED && pass.findings.refusal != REFUSE_NOTHING),
	      "a pass ends done or refused, and a refusal says why");
	result.written = read_all(written);
	std::fclose(written);
	close_input(&input);
	return result;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	std::string input(reinterpret_cast<const char *>(data), size);
	outcome compared = run(input, false, true);
	outcome patched = run(input, true, size % 2 == 0);
	check((compared.result == PASS_REFUSED) == (patched.result == PASS_REFUSED),
	      "the comparison refuses what patching refuses");
	if (patched.result == PASS_REFUSED)
		return 0;
	const std::string &result = patched.written;
	if (result != "CRC 0000;\r\n") {
		player_reading reading = player_check(result);
		check(reading.found && reading.keyword == result.size() - 11,
		      "a player's check fires first on the appended CRC statement");
		check(reading.well_formed && reading.stored == reading.computed,
		      "a player accepts the result");
		check(carries_valid_crc(result), "the result ends with a matching CRC statement");
	}
	outcome again = run(result, true, size % 2 != 0);
	check(again.result == PASS_DONE && again.written == result,
	      "a second patch leaves the result unchanged");
	outcome checked = run(result, false, true);
	check(checked.result == PASS_DONE && !checked.changed, "the comparison finds the result patched");
	check(compared.changed == (result != input),
	      "the comparison finds the input patched exactly when patching changes nothing");
	return 0;
}

// morvet.cpp - the command line and the file pipeline of one run.
//
// The input is copied into "$$out$$.stp" in the working directory through
// the patch rules, the copy is read back to compute its CRC, the CRC
// statement is appended, and the finished copy replaces the input. Until
// that last step the input is never written to, so every failure before it
// leaves the user's file exactly as it was.
#include "morvet.h"

#include <cstring>

#include "crc16.h"
#include "filter.h"
#include "report.h"

#ifndef MORVET_VERSION
#define MORVET_VERSION "unknown"
#endif

namespace {

const char usage_text[] =
	"\nCorvane STAPL file patch utility\nUsage: morvet.exe <filename.stp>\n";

// Blocks of this size are read and written at a time: large enough that
// the per-call cost vanishes beside the CRC, small enough to be no burden.
const std::size_t block_size = 262144;

// The input is read a block at a time and cut into line chunks in place.
// Room for one more chunk holds the part of a line carried over from the
// block before.
unsigned char input_block[block_size + filter_chunk_max];
unsigned char output_buffer[block_size];

struct chunk_reader {
	std::FILE *in;
	std::size_t start; // first byte not yet handed out
	std::size_t end;   // one past the last byte read
	bool at_end;
	bool failed;
};

// Makes sure a whole chunk is buffered if the input still holds one, by
// moving the few bytes left to the front and reading the next block.
void refill(chunk_reader *reader)
{
	if (reader->at_end || reader->end - reader->start >= filter_chunk_max)
		return;
	std::size_t left = reader->end - reader->start;
	std::memmove(input_block, input_block + reader->start, left);
	reader->start = 0;
	reader->end = left;
	// Whole blocks only: a request of an odd size is split by the stream
	// into two system calls.
	std::size_t wanted = block_size;
	std::size_t got = std::fread(input_block + left, 1, wanted, reader->in);
	reader->end += got;
	if (got < wanted) {
		// A short read is the end of the file or an error, and an error
		// must never pass for the end: it would truncate the result.
		reader->at_end = true;
		reader->failed = std::ferror(reader->in) != 0;
	}
}

// The next line chunk: at most filter_chunk_max bytes of one line, up to
// and including its line feed. Returns its length, 0 at the end of input.
std::size_t next_chunk(chunk_reader *reader, const char **chunk)
{
	refill(reader);
	std::size_t available = reader->end - reader->start;
	if (available == 0)
		return 0;
	const unsigned char *begin = input_block + reader->start;
	std::size_t limit = available < filter_chunk_max ? available : filter_chunk_max;
	const void *line_feed = std::memchr(begin, '\n', limit);
	std::size_t length =
		line_feed ? static_cast<std::size_t>(static_cast<const unsigned char *>(line_feed) - begin) + 1
			  : limit;
	reader->start += length;
	*chunk = reinterpret_cast<const char *>(begin);
	return length;
}

int finish(int status)
{
	return finish_output(status);
}

// "Can't create output", with the cause on standard error.
int fail_output(const path_char *path)
{
	say("\nCan't create output");
	report_failure(path);
	return finish(1);
}

bool is_option(const path_char *argument, const char *option)
{
	for (; *option != '\0'; ++argument, ++option) {
		if (*argument != static_cast<path_char>(*option))
			return false;
	}
	return *argument == 0;
}

} // namespace

pass_result copy_pass(std::FILE *in, std::FILE *out)
{
	chunk_reader reader = {in, 0, 0, false, false};
	bool at_line_start = true;
	bool dropping_rest = false;
	const char *chunk = nullptr;
	std::size_t length;
	while ((length = next_chunk(&reader, &chunk)) > 0) {
		if (at_line_start) {
			filter_result result = filter_line(chunk, length, out);
			if (result == FILTER_STOP)
				break;
			dropping_rest = result == FILTER_REPLACED;
		} else if (!dropping_rest) {
			(void)std::fwrite(chunk, 1, length, out);
		}
		at_line_start = chunk[length - 1] == '\n';
		if (std::ferror(out))
			return PASS_WRITE_FAILED;
	}
	if (reader.failed)
		return PASS_READ_FAILED;
	return std::fflush(out) == 0 ? PASS_DONE : PASS_WRITE_FAILED;
}

pass_result crc_pass(std::FILE *text)
{
	if (std::fflush(text) != 0 || std::fseek(text, 0, SEEK_SET) != 0)
		return PASS_WRITE_FAILED;
	bool empty = true;
	unsigned char last = 0;
	for (;;) {
		std::size_t got = std::fread(input_block, 1, block_size, text);
		if (got > 0) {
			crc16_feed_block(input_block, got);
			empty = false;
			last = input_block[got - 1];
		}
		if (got < block_size) {
			if (std::ferror(text))
				return PASS_READ_FAILED;
			break;
		}
	}
	// The stream turns from reading to writing here, which needs a seek.
	if (std::fseek(text, 0, SEEK_END) != 0)
		return PASS_WRITE_FAILED;
	// A STAPL player looks for the CRC statement only where a statement may
	// begin; behind an unfinished comment line it would never be found.
	if (!empty && last != '\n') {
		(void)std::fputs("\r\n", text);
		crc16_feed('\n');
	}
	char statement[crc16_statement_size];
	std::size_t length = crc16_format_statement(crc16_value(), statement);
	(void)std::fwrite(statement, 1, length, text);
	if (std::fflush(text) != 0 || std::ferror(text))
		return PASS_WRITE_FAILED;
	return PASS_DONE;
}

int morvet_main(int argc, path_char **argv)
{
	begin_run();
	if (argc < 2) {
		(void)std::fputs(usage_text, stdout);
		return finish(1);
	}
	const path_char *path = argv[1];
	if (is_option(path, "--help") || is_option(path, "-h")) {
		(void)std::fputs(usage_text, stdout);
		return finish(0);
	}
	if (is_option(path, "--version")) {
		(void)std::fputs("morvet " MORVET_VERSION "\n", stdout);
		return finish(0);
	}

	// The lock comes before the input is opened, so that a run waiting for
	// another one on the same file reads that one's result, not the file
	// it is about to replace.
	bool locked = lock_working_directory();
	platform_failure lock_failure = last_failure;
	input_file input;
	if (!open_input(path, &input)) {
		say_with_path("\nCan't open ", path);
		report_failure(path);
		return finish(1);
	}
	if (!locked) {
		close_input(&input);
		last_failure = lock_failure;
		return fail_output(path);
	}
	if (is_temporary_file(&input)) {
		close_input(&input);
		say("\nCan't create output");
		report_note(path, "is the temporary file itself");
		return finish(1);
	}
	std::FILE *temporary = create_temporary(&input);
	if (temporary == nullptr) {
		close_input(&input);
		return fail_output(path);
	}
	// Without the large buffer the run is only slower, never wrong.
	(void)std::setvbuf(temporary, reinterpret_cast<char *>(output_buffer), _IOFBF,
	                   sizeof output_buffer);

	pass_result copied = copy_pass(input.stream, temporary);
	if (copied == PASS_READ_FAILED)
		record_c_library_failure("can't read", false);
	close_input(&input);
	if (copied == PASS_READ_FAILED) {
		discard_temporary(temporary);
		say_with_path("\nCan't read ", path);
		report_failure(path);
		return finish(1);
	}
	if (copied == PASS_WRITE_FAILED)
		record_c_library_failure("can't write the temporary file", true);
	else if (crc_pass(temporary) != PASS_DONE) {
		record_c_library_failure("can't read back the temporary file", true);
		copied = PASS_WRITE_FAILED;
	}
	if (copied != PASS_DONE) {
		discard_temporary(temporary);
		return fail_output(path);
	}
	if (!commit_temporary(temporary)) {
		discard_temporary(nullptr);
		return fail_output(path);
	}
	switch (replace_input(&input)) {
	case REPLACED:
		return finish(0);
	case REPLACE_FAILED_RESULT_KEPT:
		say("\nCan't create output");
		report_failure(path);
		(void)std::fputs("morvet: the patched result is in ", stderr);
		write_temporary_location(stderr);
		(void)std::fputs("\n", stderr);
		return finish(1);
	case REPLACE_INPUT_CHANGED:
		say_with_path("\nCan't patch ", path);
		say(": it changed while it was being patched");
		return finish(1);
	case REPLACED_NOT_SYNCED:
	case REPLACE_FAILED:
		break;
	}
	return fail_output(path);
}

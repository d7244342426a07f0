// passes.cpp - the copy pass and the CRC pass.
#include "passes.h"

#include <cstring>

#include "crc16.h"
#include "filter.h"
#include "platform.h"
#include "scan.h"

#ifndef MORVET_READ_BLOCK
// Blocks of this size are read and written at a time: large enough that the
// per-call cost vanishes beside the CRC, small enough to be no burden. The
// fuzz target builds with a tiny block so that it crosses block seams.
#define MORVET_READ_BLOCK 262144
#endif

namespace {

const std::size_t block_size = MORVET_READ_BLOCK;

// The rules decide a line from its first bytes, and look at most this many
// into it: a line whose rule cannot be told from them (tens of thousands of
// blanks before or inside its first words) is refused. Only a line start
// that needs more than the block still holds makes the reader keep them.
const std::size_t lookahead_size = block_size < 65536 ? block_size : 65536;

// Blocks read between two requests to start writing the output back.
const unsigned writeback_blocks = (8u << 20) / block_size;

// Room for a whole block behind the bytes kept from the block before.
unsigned char input_block[block_size + lookahead_size];

struct block_reader {
	std::FILE *in;
	std::size_t start; // first byte not yet taken
	std::size_t end;   // one past the last byte read
	bool at_end;
	bool failed;
	bool read_any;
};

// Moves the bytes not yet taken to the front and reads the next block.
void refill(block_reader *reader)
{
	std::size_t left = reader->end - reader->start;
	std::memmove(input_block, input_block + reader->start, left);
	reader->start = 0;
	reader->end = left;
	// Whole blocks only: a request of an odd size is split by the stream
	// into two system calls.
	std::size_t got = std::fread(input_block + left, 1, block_size, reader->in);
	reader->end += got;
	if (got < block_size) {
		// A short read is the end of the file or an error, and an error
		// must never pass for the end: it would truncate the result.
		reader->at_end = true;
		reader->failed = std::ferror(reader->in) != 0;
	}
}

enum copy_state {
	AT_LINE_START,          // the rules may apply here
	IN_LINE,                // copying
	IN_DECLARATION,         // dropping a forced declaration, up to its ';'
	AFTER_DECLARATION,      // dropping white space after that ';'
	IN_DECLARATION_COMMENT, // dropping the comment after it
	AFTER_CRC,              // past the old CRC statement's start: dropped
};

struct copy_run {
	block_reader input;
	std::FILE *out;          // null: compare instead of writing
	copy_findings *findings;
	std::size_t copy_from;   // the first byte taken but not yet written
	unsigned long line;      // of the next byte to take
	copy_state state;
	bool wants_more;         // a line start needs more bytes than are buffered
	unsigned blocks_since_writeback;
	bool at_file_start;      // nothing taken yet
	stapl_lexer written;     // the text as it is written: what will be certified
	stapl_lexer declaration; // the declaration being replaced, as it was
	line_rule forcing;
	unsigned long declaration_line;

	// The comparison of a replaced declaration with what replaces it.
	const char *expected;
	std::size_t expected_at;
	bool expected_equal;
	const char *words;
	std::size_t words_at;
	bool words_equal;
	bool words_in_comment;

	// The comparison of the old CRC statement with the new one, and its
	// reading as a player reads it: keyword, white space, four hex digits
	// (carriage returns skipped), then anything up to its ';'.
	char statement[crc16_statement_size];
	std::size_t statement_length;
	std::size_t statement_at;
	int stored_phase;
	unsigned stored_value;
	int stored_digits;
};

enum stored_phase {
	STORED_KEYWORD,  // the letters CRC
	STORED_SPACE,    // white space before the value
	STORED_DIGITS,   // the value
	STORED_REST,     // up to the statement's ';'
	STORED_AFTER,    // what follows the statement
};

// Writes the bytes taken unchanged since the last write, in one call.
void flush_copy(copy_run *run)
{
	if (run->out != nullptr && run->input.start > run->copy_from)
		(void)std::fwrite(input_block + run->copy_from, 1, run->input.start - run->copy_from,
		                  run->out);
	run->copy_from = run->input.start;
}

// Takes length bytes that go to the output unchanged.
void take_written(copy_run *run, std::size_t length)
{
	const unsigned char *data = input_block + run->input.start;
	run->line += count_line_feeds(data, length);
	if (run->out == nullptr)
		crc16_feed_block(data, length);
	run->input.start += length;
}

void compare_dropped_byte(copy_run *run, unsigned char byte)
{
	if (run->expected[run->expected_at] == static_cast<char>(byte))
		++run->expected_at;
	else
		run->expected_equal = false;
	if (run->words_in_comment) {
		run->words_in_comment = byte != '\n';
		return;
	}
	if (byte == '\'') {
		run->words_in_comment = true;
		return;
	}
	if (is_line_space(byte) || byte == '\n')
		return;
	if (run->words[run->words_at] == static_cast<char>(byte))
		++run->words_at;
	else
		run->words_equal = false;
}

// Takes length bytes of a declaration that is being replaced.
void take_dropped(copy_run *run, std::size_t length)
{
	flush_copy(run);
	const unsigned char *data = input_block + run->input.start;
	run->line += count_line_feeds(data, length);
	if (run->out == nullptr) {
		crc16_feed_block(data, length);
		for (std::size_t i = 0; i < length; ++i)
			compare_dropped_byte(run, data[i]);
	}
	run->input.start += length;
	run->copy_from = run->input.start;
}

void refuse(copy_run *run, refusal_reason reason, unsigned long line)
{
	run->findings->refusal = reason;
	run->findings->refusal_line = line;
}

void begin_declaration(copy_run *run, line_rule rule)
{
	flush_copy(run);
	const char *replacement = forced_declaration(rule);
	if (run->out != nullptr)
		(void)std::fputs(replacement, run->out);
	std::size_t ignored;
	(void)lexer_feed(&run->written, reinterpret_cast<const unsigned char *>(replacement),
	                 std::strlen(replacement), &ignored);
	run->declaration = lexer_in_statement();
	run->forcing = rule;
	run->declaration_line = run->line;
	run->expected = replacement;
	run->expected_at = 0;
	run->expected_equal = true;
	run->words = forced_declaration_words(rule);
	run->words_at = 0;
	run->words_equal = true;
	run->words_in_comment = false;
}

void end_declaration(copy_run *run)
{
	copy_findings *findings = run->findings;
	if (!run->expected_equal || run->expected[run->expected_at] != '\0')
		findings->changed = true;
	if (!run->words_equal || run->words[run->words_at] != '\0') {
		if (run->forcing == RULE_USE_RCK)
			findings->use_rck_not_forced = true;
		else
			findings->freq_not_forced = true;
	}
	run->state = AT_LINE_START;
}

int hex_digit(unsigned char byte)
{
	if (byte >= '0' && byte <= '9')
		return byte - '0';
	if (byte >= 'A' && byte <= 'F')
		return byte - 'A' + 10;
	if (byte >= 'a' && byte <= 'f')
		return byte - 'a' + 10;
	return -1;
}

// Reads one byte of the old CRC statement, and of what follows it, the way
// a player reads them.
void read_stored_byte(copy_run *run, unsigned char byte)
{
	copy_findings *findings = run->findings;
	bool space = is_line_space(byte) || byte == '\n';
	switch (run->stored_phase) {
	case STORED_KEYWORD:
		if (++run->stored_digits == 3) { // "CRC", as the rule matched it
			run->stored_digits = 0;
			run->stored_phase = STORED_SPACE;
		}
		return;
	case STORED_SPACE:
		if (space)
			return;
		run->stored_phase = STORED_DIGITS;
		[[fallthrough]];
	case STORED_DIGITS: {
		if (byte == '\r') // invisible to a player, even between digits
			return;
		int digit = hex_digit(byte);
		if (digit >= 0 && run->stored_digits < 4) {
			run->stored_value = run->stored_value * 16 + static_cast<unsigned>(digit);
			++run->stored_digits;
			return;
		}
		findings->crc_stored_valid = run->stored_digits == 4 && digit < 0;
		findings->crc_stored = static_cast<std::uint16_t>(run->stored_value);
		run->stored_phase = STORED_REST;
		[[fallthrough]];
	}
	case STORED_REST:
		if (byte == ';')
			run->stored_phase = STORED_AFTER;
		return;
	default:
		if (!space)
			findings->text_after_crc = true;
		return;
	}
}

// The old CRC statement starts after indent bytes: nothing from here on
// is written.
void begin_tail(copy_run *run, std::size_t indent)
{
	flush_copy(run);
	copy_findings *findings = run->findings;
	findings->crc_statement_found = true;
	if (run->out == nullptr) {
		// A player checks the text before the statement's C, its indent
		// included.
		crc16_feed_block(input_block + run->input.start, indent);
		findings->crc_computed = crc16_value();
		run->statement_length = crc16_format_statement(findings->crc_computed, run->statement);
		run->statement_at = 0;
		if (indent > 0)
			findings->changed = true;
		run->stored_phase = STORED_KEYWORD;
		run->stored_value = 0;
		run->stored_digits = 0;
	}
	run->input.start += indent;
	run->copy_from = run->input.start;
	run->state = AFTER_CRC;
}

// Looks through what follows the old CRC statement: only for NUL bytes when
// patching, and against the new statement when comparing.
bool take_tail(copy_run *run)
{
	const unsigned char *data = input_block + run->input.start;
	std::size_t length = run->input.end - run->input.start;
	if (std::memchr(data, 0, length) != nullptr) {
		refuse(run, REFUSE_NOT_TEXT, 0);
		return false;
	}
	if (run->out == nullptr) {
		copy_findings *findings = run->findings;
		for (std::size_t i = 0; i < length; ++i) {
			if (run->statement_at < run->statement_length &&
			    data[i] == static_cast<unsigned char>(run->statement[run->statement_at]))
				++run->statement_at;
			else
				findings->changed = true;
			if (run->stored_phase == STORED_AFTER && findings->text_after_crc)
				break; // all that is left to learn
			read_stored_byte(run, data[i]);
		}
	}
	run->input.start = run->input.end;
	run->copy_from = run->input.start;
	return true;
}

// One step of the copy where the rules may apply. False when refused.
bool take_line_start(copy_run *run)
{
	if (!lexer_between_statements(&run->written)) {
		run->state = IN_LINE;
		return true;
	}
	const unsigned char *data = input_block + run->input.start;
	std::size_t buffered = run->input.end - run->input.start;
	// A UTF-8 byte-order mark, as Notepad writes one, counts as the first
	// line's indent: kept, and no hiding place for a declaration.
	std::size_t mark = 0;
	if (run->at_file_start && buffered >= 3 && data[0] == 0xEF && data[1] == 0xBB &&
	    data[2] == 0xBF)
		mark = 3;
	// The same limit wherever the line falls in the block, so that a line
	// is read alike in every file and on every run. An unfinished last
	// line gets CR LF before the new CRC statement: it must still be read
	// alike with those two bytes when the result is patched again.
	std::size_t available = buffered < lookahead_size ? buffered : lookahead_size;
	bool at_end = run->input.at_end && buffered + 2 <= lookahead_size;
	line_match match = filter_line(data + mark, available - mark, at_end);
	match.indent += mark;
	if (match.rule == RULE_UNDECIDED && buffered < lookahead_size && !run->input.at_end) {
		run->wants_more = true; // the rest of the line start is in the next block
		return true;
	}
	run->at_file_start = false;
	std::size_t ignored;
	switch (match.rule) {
	case RULE_UNDECIDED:
		refuse(run, REFUSE_TOO_MUCH_SPACE, run->line);
		return false;
	case RULE_NONE:
		run->state = IN_LINE;
		return true;
	case RULE_CRC:
		begin_tail(run, match.indent);
		return true;
	case RULE_USE_RCK:
	case RULE_FREQ:
		(void)lexer_feed(&run->written, data, match.indent, &ignored);
		take_written(run, match.indent);
		begin_declaration(run, match.rule);
		take_dropped(run, match.matched);
		run->state = IN_DECLARATION;
		return true;
	}
	return true;
}

// One step of copying a line. False when refused.
bool take_line(copy_run *run)
{
	const unsigned char *data = input_block + run->input.start;
	std::size_t available = run->input.end - run->input.start;
	std::size_t length = available;
	const void *line_feed = nullptr;
	// Inside a statement only its end matters, so a whole block of data
	// rows goes in one step; elsewhere the next line start matters.
	bool inside_statement = run->written.in_statement;
	if (!inside_statement) {
		line_feed = std::memchr(data, '\n', available);
		if (line_feed != nullptr)
			length = static_cast<std::size_t>(static_cast<const unsigned char *>(line_feed) -
			                                  data) + 1;
	}
	run->written.stop_at_end = inside_statement;
	std::size_t at;
	lex_event event = lexer_feed(&run->written, data, length, &at);
	run->written.stop_at_end = false;
	take_written(run, at);
	switch (event) {
	case LEX_NUL:
		refuse(run, REFUSE_NOT_TEXT, run->line);
		return false;
	case LEX_CRC_STATEMENT:
		refuse(run, REFUSE_CRC_INSIDE_LINE, run->line);
		return false;
	case LEX_STATEMENT_END:
		return true; // the rest of the line is read as a line
	case LEX_NONE:
		break;
	}
	if (line_feed != nullptr)
		run->state = AT_LINE_START;
	return true;
}

// One step of dropping a forced declaration. False when refused.
bool take_declaration(copy_run *run)
{
	const unsigned char *data = input_block + run->input.start;
	std::size_t available = run->input.end - run->input.start;
	std::size_t at = 0;
	switch (run->state) {
	case IN_DECLARATION: {
		lex_event event = lexer_feed(&run->declaration, data, available, &at);
		take_dropped(run, at);
		if (event == LEX_NUL) {
			refuse(run, REFUSE_NOT_TEXT, run->line);
			return false;
		}
		if (event == LEX_STATEMENT_END)
			run->state = AFTER_DECLARATION;
		return true;
	}
	case AFTER_DECLARATION:
		while (at < available && is_line_space(data[at]))
			++at;
		take_dropped(run, at);
		if (at == available)
			return true;
		if (data[at] == '\n') {
			take_dropped(run, 1);
			end_declaration(run);
			return true;
		}
		if (data[at] == '\'') {
			take_dropped(run, 1);
			run->state = IN_DECLARATION_COMMENT;
			return true;
		}
		if (data[at] == 0) {
			refuse(run, REFUSE_NOT_TEXT, run->line);
			return false;
		}
		// Replacing the line would silently drop another statement.
		refuse(run, REFUSE_MORE_THAN_DECLARATION, run->declaration_line);
		return false;
	default: {
		const void *line_feed = std::memchr(data, '\n', available);
		std::size_t length =
			line_feed ? static_cast<std::size_t>(static_cast<const unsigned char *>(line_feed) -
			                                     data) + 1
				  : available;
		if (std::memchr(data, 0, length) != nullptr) {
			refuse(run, REFUSE_NOT_TEXT, run->line);
			return false;
		}
		take_dropped(run, length);
		if (line_feed != nullptr)
			end_declaration(run);
		return true;
	}
	}
}

bool begins_with_wide_byte_order_mark(const unsigned char *data, std::size_t length)
{
	// UTF-16 and UTF-32 in either byte order; the UTF-32 big-endian mark
	// begins with NUL bytes, which are refused anyway.
	return length >= 2 && ((data[0] == 0xFF && data[1] == 0xFE) ||
	                       (data[0] == 0xFE && data[1] == 0xFF));
}

// The checks at the end of the text that will be certified.
void check_end_of_text(copy_run *run)
{
	if (run->state == IN_DECLARATION) {
		refuse(run, REFUSE_UNFINISHED_DECLARATION, run->declaration_line);
		return;
	}
	if (run->state == AFTER_DECLARATION || run->state == IN_DECLARATION_COMMENT)
		end_declaration(run);
	if (run->written.mode == LEX_STRING)
		refuse(run, REFUSE_UNFINISHED_STRING, run->line);
	else if (run->written.in_statement)
		refuse(run, REFUSE_UNFINISHED_STATEMENT, run->line);
}

} // namespace

void reset_findings(copy_findings *findings)
{
	std::memset(findings, 0, sizeof *findings);
	findings->refusal = REFUSE_NOTHING;
}

pass_result copy_pass(std::FILE *in, std::FILE *out, copy_findings *findings)
{
	copy_run run;
	std::memset(&run, 0, sizeof run);
	run.input = {in, 0, 0, false, false, false};
	run.out = out;
	run.findings = findings;
	run.line = 1;
	run.state = AT_LINE_START;
	run.at_file_start = true;
	run.written = lexer_at_start();

	for (;;) {
		if (out != nullptr && std::ferror(out))
			return PASS_WRITE_FAILED;
		std::size_t available = run.input.end - run.input.start;
		if ((available == 0 || run.wants_more) && !run.input.at_end) {
			run.wants_more = false;
			flush_copy(&run);
			refill(&run.input);
			// Every few megabytes the disk is asked to start on what was
			// written, so that it works while the run goes on reading and
			// the final sync has little left to wait for.
			if (out != nullptr && ++run.blocks_since_writeback == writeback_blocks) {
				run.blocks_since_writeback = 0;
				start_writing_back(out);
			}
			run.copy_from = run.input.start;
			if (run.input.failed)
				return PASS_READ_FAILED;
			if (!run.input.read_any) {
				run.input.read_any = true;
				if (begins_with_wide_byte_order_mark(input_block, run.input.end)) {
					refuse(&run, REFUSE_NOT_TEXT, 1);
					return PASS_REFUSED;
				}
			}
			continue;
		}
		if (available == 0)
			break;
		bool going_on = true;
		switch (run.state) {
		case AT_LINE_START:
			going_on = take_line_start(&run);
			break;
		case IN_LINE:
			going_on = take_line(&run);
			break;
		case AFTER_CRC:
			going_on = take_tail(&run);
			break;
		default:
			going_on = take_declaration(&run);
			break;
		}
		if (!going_on)
			return PASS_REFUSED;
	}
	flush_copy(&run);
	check_end_of_text(&run);
	if (findings->refusal != REFUSE_NOTHING)
		return PASS_REFUSED;
	if (out == nullptr) {
		if (!findings->crc_statement_found || run.statement_at != run.statement_length)
			findings->changed = true;
		if (run.stored_phase == STORED_DIGITS) { // the file ends in the value
			findings->crc_stored_valid = run.stored_digits == 4;
			findings->crc_stored = static_cast<std::uint16_t>(run.stored_value);
		}
		if (findings->text_after_crc)
			findings->changed = true;
		return PASS_DONE;
	}
	return std::fflush(out) == 0 && !std::ferror(out) ? PASS_DONE : PASS_WRITE_FAILED;
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

void describe_refusal(const copy_findings *findings, char *text, std::size_t size)
{
	unsigned long line = findings->refusal_line;
	switch (findings->refusal) {
	case REFUSE_NOTHING:
		(void)std::snprintf(text, size, "%s", "");
		break;
	case REFUSE_NOT_TEXT:
		(void)std::snprintf(text, size, "not a STAPL text file");
		break;
	case REFUSE_MORE_THAN_DECLARATION:
		(void)std::snprintf(text, size, "line %lu holds more than the declaration", line);
		break;
	case REFUSE_UNFINISHED_DECLARATION:
		(void)std::snprintf(text, size, "the declaration on line %lu is never finished", line);
		break;
	case REFUSE_CRC_INSIDE_LINE:
		(void)std::snprintf(text, size,
		                    "line %lu holds a CRC statement that does not begin the line", line);
		break;
	case REFUSE_UNFINISHED_STRING:
		(void)std::snprintf(text, size, "the text ends inside a string");
		break;
	case REFUSE_UNFINISHED_STATEMENT:
		(void)std::snprintf(text, size, "the last statement is not finished");
		break;
	case REFUSE_TOO_MUCH_SPACE:
		(void)std::snprintf(text, size, "line %lu begins with too much white space to read", line);
		break;
	}
}

void describe_check(const copy_findings *findings, char *text, std::size_t size)
{
	if (findings->refusal != REFUSE_NOTHING) {
		int length = std::snprintf(text, size, "not patched: ");
		if (length > 0 && static_cast<std::size_t>(length) < size)
			describe_refusal(findings, text + length, size - static_cast<std::size_t>(length));
		return;
	}
	if (!findings->changed) {
		(void)std::snprintf(text, size, "patched");
		return;
	}
	std::size_t used = 0;
	auto add = [&](const char *reason) {
		int length = std::snprintf(text + used, size - used, "%s%s",
		                           used == 0 ? "not patched: " : ", ", reason);
		if (length > 0)
			used += static_cast<std::size_t>(length);
		if (used >= size)
			used = size - 1;
	};
	if (!findings->crc_statement_found) {
		add("no CRC statement");
	} else if (!findings->crc_stored_valid || findings->crc_stored != findings->crc_computed) {
		char mismatch[96];
		char stored[8];
		if (findings->crc_stored_valid)
			(void)std::snprintf(stored, sizeof stored, "%04X",
			                    static_cast<unsigned>(findings->crc_stored));
		else
			(void)std::snprintf(stored, sizeof stored, "????");
		(void)std::snprintf(mismatch, sizeof mismatch,
		                    "CRC statement %s does not match the text (%04X)", stored,
		                    static_cast<unsigned>(findings->crc_computed));
		add(mismatch);
	}
	if (findings->use_rck_not_forced)
		add("USE_RCK is not forced");
	if (findings->freq_not_forced)
		add("freq is not forced");
	if (findings->text_after_crc)
		add("text follows the CRC statement");
	if (used == 0)
		add("other changes");
}

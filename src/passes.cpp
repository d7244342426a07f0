// passes.cpp - the copy pass. See passes.h.
#include "passes.h"

#include <cstring>

#include "filter.h"
#include "scan.h"

namespace {

// What a step of the pass tells the loop.
enum step_result { STEP_GO, STEP_PAUSED, STEP_STOPPED, STEP_REFUSED };

const char line_end[] = "\r\n";

unsigned char *window(copy_pass *pass)
{
	return pass->buffers->block[pass->current];
}

// A refusal, where the byte at offset tells what is wrong.
step_result refuse(copy_pass *pass, refusal_reason reason, std::uint64_t offset)
{
	pass->findings.refusal = reason;
	pass->refusal_offset = offset;
	return STEP_REFUSED;
}

step_result refuse_here(copy_pass *pass, refusal_reason reason)
{
	return refuse(pass, reason, copy_pass_offset(pass));
}

// The line the byte at offset is on, counted from 1. Lines are only ever
// wanted for a refusal or a warning, so they are counted then, reading the
// input again, and not on the copy's way through every byte.
unsigned long line_at(copy_pass *pass, std::uint64_t offset)
{
	static unsigned char block[65536];
	if (offset < pass->counted_to) {
		pass->counted_to = 0;
		pass->counted_lines = 1;
	}
	while (pass->counted_to < offset) {
		std::uint64_t left = offset - pass->counted_to;
		std::size_t want = left < sizeof block ? static_cast<std::size_t>(left) : sizeof block;
		std::size_t got = 0;
		failure ignored;
		if (!read_input(pass->input, pass->counted_to, block, want, &got, &ignored) || got == 0)
			break;
		pass->counted_lines += count_line_feeds(block, got);
		pass->counted_to += got;
	}
	return pass->counted_lines;
}

// The lines of what the pass found, once it has ended.
void count_lines(copy_pass *pass)
{
	copy_findings &findings = pass->findings;
	if (findings.refusal != REFUSE_NOTHING)
		findings.refusal_line = line_at(pass, pass->refusal_offset);
	if (findings.text_after_crc) {
		findings.dropped_from = line_at(pass, pass->dropped_from_offset);
		// The input's last line: the one its final line feed ends, or the
		// unfinished one after it.
		unsigned long after_end = line_at(pass, copy_pass_offset(pass));
		findings.dropped_to = pass->tail_ends_line ? after_end - 1 : after_end;
	}
}

// Hands over the bytes taken and kept since the last time, in one piece.
bool hand_over_kept(copy_pass *pass, text_output *out)
{
	std::size_t from = pass->kept_from;
	pass->kept_from = pass->start;
	return pass->start == from || output_keep(out, window(pass) + from, pass->start - from);
}

// Takes length bytes at the window's start into the written text.
void take_kept(copy_pass *pass, std::size_t length)
{
	const unsigned char *data = window(pass) + pass->start;
	if (length > 0) {
		pass->written_any = true;
		pass->last_written = data[length - 1];
	}
	pass->start += length;
}

bool insert(copy_pass *pass, text_output *out, const char *text)
{
	std::size_t length = std::strlen(text);
	std::size_t ignored;
	(void)reader_feed(&pass->written, reinterpret_cast<const unsigned char *>(text), length,
	                  &ignored);
	pass->written_any = true;
	pass->last_written = static_cast<unsigned char>(text[length - 1]);
	return output_insert(out, text, length);
}

// Compares a byte of a declaration being replaced with its forced words,
// white space and comments passed over.
void compare_words(copy_pass *pass, unsigned char byte)
{
	if (pass->words_in_comment) {
		pass->words_in_comment = byte != '\n';
		return;
	}
	if (byte == '\'') {
		pass->words_in_comment = true;
		return;
	}
	if (is_player_space(byte))
		return;
	if (pass->words[pass->words_at] == static_cast<char>(byte))
		++pass->words_at;
	else
		pass->words_equal = false;
}

// Takes length bytes at the window's start out of the text.
bool take_dropped(copy_pass *pass, text_output *out, std::size_t length)
{
	const unsigned char *data = window(pass) + pass->start;
	if (pass->state != IN_TAIL) {
		for (std::size_t i = 0; i < length; ++i)
			compare_words(pass, data[i]);
	}
	pass->start += length;
	pass->kept_from = pass->start;
	return length == 0 || output_drop(out, data, length);
}

step_result step_after(bool handed_over)
{
	return handed_over ? STEP_GO : STEP_STOPPED;
}

// Asks the output whether a change may begin at the line starting here.
step_result begin_change(copy_pass *pass, text_output *out)
{
	if (!hand_over_kept(pass, out))
		return STEP_STOPPED;
	switch (output_change(out, copy_pass_offset(pass))) {
	case OUTPUT_GO:
		return STEP_GO;
	case OUTPUT_PAUSE:
		return STEP_PAUSED;
	case OUTPUT_STOP:
		break;
	}
	return STEP_STOPPED;
}

step_result begin_declaration(copy_pass *pass, text_output *out, line_match match)
{
	step_result begun = begin_change(pass, out);
	if (begun != STEP_GO)
		return begun;
	std::size_t ignored;
	(void)reader_feed(&pass->written, window(pass) + pass->start, match.indent, &ignored);
	take_kept(pass, match.indent);
	if (!hand_over_kept(pass, out) || !insert(pass, out, forced_declaration(match.rule)))
		return STEP_STOPPED;
	pass->declaration = reader_in_declaration();
	pass->forcing = match.rule;
	pass->declaration_offset = copy_pass_offset(pass);
	pass->words = forced_declaration_words(match.rule);
	pass->words_at = 0;
	pass->words_equal = true;
	pass->words_in_comment = false;
	if (match.rule == RULE_USE_RCK)
		pass->findings.use_rck_declared = true;
	else
		pass->findings.freq_declared = true;
	pass->state = IN_DECLARATION;
	return step_after(take_dropped(pass, out, match.matched));
}

void end_declaration(copy_pass *pass, text_output *out)
{
	if (!pass->words_equal || pass->words[pass->words_at] != '\0') {
		if (pass->forcing == RULE_USE_RCK)
			pass->findings.use_rck_not_forced = true;
		else
			pass->findings.freq_not_forced = true;
	}
	output_change_done(out);
	pass->state = AT_LINE_START;
}

// The old CRC statement begins this line: it and all after it are dropped,
// its indent included.
step_result begin_tail(copy_pass *pass, text_output *out, line_match match, bool at_text_start)
{
	step_result begun = begin_change(pass, out);
	if (begun != STEP_GO)
		return begun;
	pass->findings.crc_statement_found = true;
	pass->tail = TAIL_VALUE;
	pass->tail_at_text_start = at_text_start;
	pass->value = value_reading_start();
	pass->state = IN_TAIL;
	// A player checks the text before the statement's C, its indent
	// included.
	if (!take_dropped(pass, out, match.indent))
		return STEP_STOPPED;
	output_statement_found(out);
	return step_after(take_dropped(pass, out, match.matched));
}

// Whether a player finds a CRC statement at a line whose first word after
// indent is the keyword, ending at keyword_end: fed to a copy of the
// written text's reader, as the line and what the pass will add after it.
bool player_finds_statement(const copy_pass *pass, const unsigned char *data,
                            std::size_t keyword_end, std::size_t available)
{
	stapl_reader probe = pass->written;
	std::size_t at;
	if (reader_feed(&probe, data, keyword_end, &at) != READ_ALL)
		return false;
	// Up to the byte after the keyword: the test fires there or nowhere.
	std::size_t next = keyword_end;
	while (next < available && data[next] == '\r')
		++next;
	read_event event = next < available
		? reader_feed(&probe, data + keyword_end, next + 1 - keyword_end, &at)
		// The file ends with the keyword: a line end will follow it.
		: reader_feed(&probe, reinterpret_cast<const unsigned char *>(line_end), 2, &at);
	return event == READ_CRC_STATEMENT;
}

// A step where the rules may apply.
step_result take_line_start(copy_pass *pass, text_output *out)
{
	if (!reader_may_find_keyword(&pass->written)) {
		pass->state = IN_LINE;
		return STEP_GO;
	}
	const unsigned char *data = window(pass) + pass->start;
	std::size_t buffered = pass->end - pass->start;
	// A UTF-8 byte-order mark, as Notepad writes one, counts as the first
	// line's indent: kept, and no hiding place for a declaration.
	std::size_t mark = 0;
	if (!pass->written_any && copy_pass_offset(pass) == 0 && buffered >= 3 &&
	    data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF)
		mark = 3;
	// An unfinished last line gets CR LF before the new CRC statement: it
	// must still be read alike with those two bytes when the result is
	// patched again.
	std::size_t available = buffered < pass_lookahead_size ? buffered : pass_lookahead_size;
	bool at_end = pass->at_end && buffered + 2 <= pass_lookahead_size;
	line_match match = filter_line(data + mark, available - mark, at_end);
	match.indent += mark;
	if (match.rule == RULE_UNDECIDED && buffered < pass_lookahead_size && !pass->at_end) {
		pass->wants_more = true; // the rest of the line start is in the next block
		return STEP_GO;
	}
	switch (match.rule) {
	case RULE_UNDECIDED:
		return refuse_here(pass, REFUSE_TOO_MUCH_SPACE);
	case RULE_USE_RCK:
	case RULE_FREQ:
		if (reader_between_statements(&pass->written))
			return begin_declaration(pass, out, match);
		break;
	case RULE_CRC:
		if (player_finds_statement(pass, data, match.indent + match.matched, available))
			return begin_tail(pass, out, match, false);
		// No white space before it: the text's very first word. A player
		// would read on, to the program and its real CRC statement.
		if (pass->written.recent == 0)
			return begin_tail(pass, out, match, true);
		break;
	case RULE_NONE:
		break;
	}
	pass->state = IN_LINE;
	return STEP_GO;
}

// A step of copying a line.
step_result take_line(copy_pass *pass)
{
	const unsigned char *data = window(pass) + pass->start;
	std::size_t available = pass->end - pass->start;
	std::size_t length = available;
	const void *line_feed = nullptr;
	// Inside a statement past its first word only its end matters, so a
	// whole block of data rows goes in one step; elsewhere the next line
	// start matters.
	bool inside_statement = pass->written.in_statement && !pass->written.in_first_word;
	if (!inside_statement) {
		line_feed = std::memchr(data, '\n', available);
		if (line_feed != nullptr)
			length = static_cast<std::size_t>(static_cast<const unsigned char *>(line_feed) -
			                                  data) + 1;
	}
	pass->written.report_end = inside_statement;
	std::size_t at;
	read_event event = reader_feed(&pass->written, data, length, &at);
	pass->written.report_end = false;
	take_kept(pass, at);
	switch (event) {
	case READ_NUL:
		return refuse_here(pass, REFUSE_NOT_TEXT);
	case READ_CRC_STATEMENT:
		return refuse_here(pass, REFUSE_CRC_INSIDE_LINE);
	case READ_STATEMENT_END:
		return STEP_GO; // the rest of the line is read as a line
	case READ_ALL:
		break;
	}
	if (line_feed != nullptr)
		pass->state = AT_LINE_START;
	return STEP_GO;
}

// A step of dropping a forced declaration.
step_result take_declaration(copy_pass *pass, text_output *out)
{
	const unsigned char *data = window(pass) + pass->start;
	std::size_t available = pass->end - pass->start;
	std::size_t at = 0;
	switch (pass->state) {
	case IN_DECLARATION: {
		read_event event = reader_feed(&pass->declaration, data, available, &at);
		if (!take_dropped(pass, out, at))
			return STEP_STOPPED;
		if (event == READ_NUL)
			return refuse_here(pass, REFUSE_NOT_TEXT);
		if (event == READ_STATEMENT_END)
			pass->state = AFTER_DECLARATION;
		return STEP_GO;
	}
	case AFTER_DECLARATION:
		while (at < available && is_line_space(data[at]))
			++at;
		if (!take_dropped(pass, out, at))
			return STEP_STOPPED;
		if (at == available)
			return STEP_GO;
		if (data[at] == '\n' || data[at] == '\'') {
			if (!take_dropped(pass, out, 1))
				return STEP_STOPPED;
			if (data[at] == '\n')
				end_declaration(pass, out);
			else
				pass->state = IN_DECLARATION_COMMENT;
			return STEP_GO;
		}
		if (data[at] == 0)
			return refuse_here(pass, REFUSE_NOT_TEXT);
		// Replacing the line would silently drop another statement.
		return refuse(pass, REFUSE_MORE_THAN_DECLARATION, pass->declaration_offset);
	default: {
		const void *line_feed = std::memchr(data, '\n', available);
		std::size_t length =
			line_feed ? static_cast<std::size_t>(static_cast<const unsigned char *>(line_feed) -
			                                     data) + 1
				  : available;
		if (std::memchr(data, 0, length) != nullptr)
			return refuse_here(pass, REFUSE_NOT_TEXT);
		if (!take_dropped(pass, out, length))
			return STEP_STOPPED;
		if (line_feed != nullptr)
			end_declaration(pass, out);
		return STEP_GO;
	}
	}
}

// A step through the old CRC statement and what follows it, all dropped:
// the statement read as a player checks it, then only whether text
// follows, and NUL bytes, which mark a file that is not text.
step_result take_tail(copy_pass *pass, text_output *out)
{
	const unsigned char *data = window(pass) + pass->start;
	std::size_t available = pass->end - pass->start;
	if (std::memchr(data, 0, available) != nullptr)
		return refuse_here(pass, REFUSE_NOT_TEXT);
	copy_findings &findings = pass->findings;
	std::size_t at = 0;
	if (pass->tail == TAIL_VALUE) {
		at = read_crc_value(&pass->value, data, available);
		if (pass->value.phase == VALUE_WELL_FORMED) {
			findings.crc_stored_valid = true;
			findings.crc_stored = static_cast<std::uint16_t>(pass->value.value);
			pass->tail = TAIL_AFTER;
		} else if (pass->value.phase == VALUE_BROKEN) {
			pass->tail = TAIL_REST;
		}
	}
	if (pass->tail == TAIL_REST) {
		const void *semicolon = std::memchr(data + at, ';', available - at);
		at = semicolon ? static_cast<std::size_t>(static_cast<const unsigned char *>(semicolon) -
		                                          data) + 1
			       : available;
		if (semicolon != nullptr)
			pass->tail = TAIL_AFTER;
	}
	if (pass->tail == TAIL_AFTER) {
		while (at < available && is_player_space(data[at]))
			++at;
		if (at < available) {
			findings.text_after_crc = true;
			pass->dropped_from_offset = copy_pass_offset(pass) + at;
			pass->tail = TAIL_DONE;
		}
	}
	pass->tail_ends_line = data[available - 1] == '\n';
	return step_after(take_dropped(pass, out, available));
}

bool begins_with_wide_byte_order_mark(const unsigned char *data, std::size_t length)
{
	// UTF-16 and UTF-32 in either byte order; the UTF-32 big-endian mark
	// begins with NUL bytes, which are refused anyway.
	return length >= 2 && ((data[0] == 0xFF && data[1] == 0xFE) ||
	                       (data[0] == 0xFE && data[1] == 0xFF));
}

// Moves the bytes not yet taken to the front of the other buffer and reads
// the next block behind them.
bool refill(copy_pass *pass, text_output *out, failure *why)
{
	output_next_block(out);
	int next = 1 - pass->current;
	std::size_t left = pass->end - pass->start;
	std::memcpy(pass->buffers->block[next], window(pass) + pass->start, left);
	pass->window_offset += pass->start;
	pass->current = next;
	pass->start = 0;
	pass->kept_from = 0;
	pass->end = left;
	// Whole blocks, so that a line start is decided the same way
	// whatever the system hands over per call.
	while (pass->end < left + pass_block_size) {
		std::size_t got = 0;
		if (!read_input(pass->input, pass->window_offset + pass->end, window(pass) + pass->end,
		                left + pass_block_size - pass->end, &got, why))
			return false;
		if (got == 0) {
			pass->at_end = true;
			break;
		}
		pass->end += got;
	}
	return true;
}

// The checks at the end of the text: what is written must leave a player
// nothing to misread before the new CRC statement.
step_result check_end_of_text(copy_pass *pass, text_output *out)
{
	switch (pass->state) {
	case IN_DECLARATION:
		return refuse(pass, REFUSE_UNFINISHED_DECLARATION, pass->declaration_offset);
	case AFTER_DECLARATION:
	case IN_DECLARATION_COMMENT:
		end_declaration(pass, out);
		break;
	case IN_TAIL:
		// Only the text the tool itself makes of an empty one may begin
		// with its CRC statement.
		if (pass->tail_at_text_start &&
		    (pass->value.phase != VALUE_WELL_FORMED || pass->value.value != 0 ||
		     pass->findings.text_after_crc))
			return refuse(pass, REFUSE_BEGINS_WITH_CRC, 0);
		break;
	default:
		break;
	}
	if (pass->written.mode == READ_STRING)
		return refuse_here(pass, REFUSE_UNFINISHED_STRING);
	if (pass->written.in_statement)
		return refuse_here(pass, REFUSE_UNFINISHED_STATEMENT);
	// And the promise itself: a player reading on finds the new statement
	// (any value will do) right where it will stand. Only the text made of
	// an empty one holds nothing before it for a player to stop at.
	if (pass->written.recent != 0) {
		static const char any_statement[] = "\r\nCRC 0000;\r\n";
		stapl_reader probe = pass->written;
		bool add_line_end = pass->last_written != '\n';
		const unsigned char *text = reinterpret_cast<const unsigned char *>(any_statement);
		std::size_t skip = add_line_end ? 0 : 2, at;
		if (reader_feed(&probe, text + skip, sizeof any_statement - 1 - skip, &at) !=
		    READ_CRC_STATEMENT)
			return refuse_here(pass, REFUSE_UNFINISHED_STATEMENT);
	}
	return STEP_GO;
}

} // namespace

void copy_pass_begin(copy_pass *pass, input_file *input, pass_buffers *buffers)
{
	std::memset(pass, 0, sizeof *pass);
	pass->input = input;
	pass->buffers = buffers;
	pass->counted_lines = 1;
	pass->state = AT_LINE_START;
	pass->written = reader_at_start();
	pass->findings.refusal = REFUSE_NOTHING;
}

std::uint64_t copy_pass_offset(const copy_pass *pass)
{
	return pass->window_offset + pass->start;
}

void copy_pass_restart(copy_pass *pass, pass_buffers *buffers)
{
	pass->window_offset += pass->start;
	pass->buffers = buffers;
	pass->current = 0;
	pass->start = 0;
	pass->end = 0;
	pass->kept_from = 0;
	pass->at_end = false;
	pass->wants_more = false;
}

pass_result copy_pass_run(copy_pass *pass, text_output *out, failure *why)
{
	for (;;) {
		std::size_t available = pass->end - pass->start;
		if ((available == 0 || pass->wants_more) && !pass->at_end) {
			pass->wants_more = false;
			if (!hand_over_kept(pass, out))
				return PASS_STOPPED;
			if (!refill(pass, out, why))
				return PASS_READ_FAILED;
			if (!pass->read_any) {
				pass->read_any = true;
				if (begins_with_wide_byte_order_mark(window(pass), pass->end)) {
					refuse(pass, REFUSE_NOT_TEXT, 0);
					count_lines(pass);
					return PASS_REFUSED;
				}
			}
			continue;
		}
		if (available == 0)
			break;
		step_result step = STEP_GO;
		switch (pass->state) {
		case AT_LINE_START:
			step = take_line_start(pass, out);
			break;
		case IN_LINE:
			step = take_line(pass);
			break;
		case IN_TAIL:
			step = take_tail(pass, out);
			break;
		default:
			step = take_declaration(pass, out);
			break;
		}
		switch (step) {
		case STEP_GO:
			break;
		case STEP_PAUSED:
			return PASS_PAUSED;
		case STEP_STOPPED:
			return PASS_STOPPED;
		case STEP_REFUSED:
			count_lines(pass);
			return PASS_REFUSED;
		}
	}
	if (!hand_over_kept(pass, out))
		return PASS_STOPPED;
	bool refused = check_end_of_text(pass, out) == STEP_REFUSED;
	count_lines(pass);
	if (refused)
		return PASS_REFUSED;
	// A STAPL player looks for the CRC statement only where a statement
	// may begin; behind an unfinished comment line it would never find it.
	bool add_line_end = pass->written_any && pass->last_written != '\n';
	return output_finish(out, add_line_end) ? PASS_DONE : PASS_STOPPED;
}

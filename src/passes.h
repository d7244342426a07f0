// passes.h - the copy pass: the input read through the statement rules,
// as a player will read what is written, into an output (output.h).
//
// Calling sequence for one file: copy_pass_begin, then copy_pass_run until
// it returns anything but PASS_PAUSED. A pass is a plain value: a copy of
// one paused at a change is a bookmark there, which copy_pass_restart makes
// ready to run again from that point with buffers of its own (--diff
// prints each hunk that way). Constant memory: fixed buffers only.
#ifndef MORVET_PASSES_H
#define MORVET_PASSES_H

#include <cstddef>
#include <cstdint>

#include "filter.h"
#include "output.h"
#include "platform.h"
#include "reader.h"

#ifndef MORVET_READ_BLOCK
// Blocks of this size are read at a time: large enough that the per-call
// cost vanishes beside the CRC, small enough to be no burden. The fuzz
// target builds with a tiny block so that it crosses block seams.
#define MORVET_READ_BLOCK 262144
#endif

const std::size_t pass_block_size = MORVET_READ_BLOCK;

// The rules decide a line from its first bytes, and look at most this many
// into it: a line whose rule cannot be told from them (tens of thousands of
// blanks before or inside its first words) is refused. The limit is the
// same wherever the line falls in a block, so that a line is read alike in
// every file and on every run.
const std::size_t pass_lookahead_size = pass_block_size < 65536 ? pass_block_size : 65536;

// Two buffers, each room for a block behind the bytes kept from the one
// before: the pass reads into one while the CRC helper may still be
// reading the other.
struct pass_buffers {
	unsigned char block[2][pass_block_size + pass_lookahead_size];
};

enum refusal_reason {
	REFUSE_NOTHING,
	REFUSE_NOT_TEXT,               // a byte-order mark of UTF-16/32 or a NUL byte
	REFUSE_MORE_THAN_DECLARATION,  // a forced declaration shares its line
	REFUSE_UNFINISHED_DECLARATION, // a forced declaration's ';' never comes
	REFUSE_CRC_INSIDE_LINE,        // a CRC statement that does not begin its line
	REFUSE_UNFINISHED_STRING,      // the text ends inside a string
	REFUSE_UNFINISHED_STATEMENT,   // the text ends inside a statement
	REFUSE_TOO_MUCH_SPACE,         // a line's rule cannot be decided in bounded memory
	REFUSE_BEGINS_WITH_CRC,        // a CRC statement no player finds, before the program
};

// What one pass found out about the input.
struct copy_findings {
	refusal_reason refusal;
	unsigned long refusal_line;   // counted from 1, lines ending at line feeds
	bool use_rck_declared;        // a declaration the rules force was there
	bool freq_declared;
	bool use_rck_not_forced;      // and it did not already read as forced
	bool freq_not_forced;
	bool crc_statement_found;
	bool crc_stored_valid;        // well formed: four hex digits, then ';'
	std::uint16_t crc_stored;
	bool text_after_crc;          // more than white space after its ';'
	unsigned long dropped_from;   // the lines that text stands on
	unsigned long dropped_to;
};

enum pass_result {
	PASS_DONE,
	PASS_PAUSED,      // the output asked for a pause at a change
	PASS_STOPPED,     // the output ended the pass (a write failed, a hunk is printed)
	PASS_REFUSED,     // the text must not be certified: findings.refusal says why
	PASS_READ_FAILED, // *why says why
};

enum copy_state : unsigned char {
	AT_LINE_START,          // the rules may apply here
	IN_LINE,                // copying
	IN_DECLARATION,         // dropping a forced declaration, up to its ';'
	AFTER_DECLARATION,      // dropping white space after that ';'
	IN_DECLARATION_COMMENT, // dropping the comment after it
	IN_TAIL,                // from the old CRC statement on: dropped
};

enum tail_phase : unsigned char {
	TAIL_VALUE, // the statement as a player checks it
	TAIL_REST,  // a broken statement, up to its ';'
	TAIL_AFTER, // looking for text after the statement
	TAIL_DONE,  // only NUL bytes matter now
};

struct copy_pass {
	input_file *input;
	pass_buffers *buffers;
	int current;                 // the buffer that holds the window
	std::size_t start;           // the window: bytes taken up to start,
	std::size_t end;             // read up to end
	std::size_t kept_from;       // taken and kept, not yet handed over
	std::uint64_t window_offset; // input offset of the buffer's first byte
	bool at_end;
	bool read_any;
	bool wants_more;             // a line start needs more bytes than are buffered

	copy_state state;
	bool written_any;
	unsigned char last_written;
	stapl_reader written;        // the text as it is written: what will be certified

	stapl_reader declaration;    // the declaration being replaced, as it was
	line_rule forcing;
	std::uint64_t declaration_offset;
	const char *words;           // its words when forced, to tell if it already is
	std::size_t words_at;
	bool words_equal;
	bool words_in_comment;

	tail_phase tail;
	bool tail_at_text_start;
	bool tail_ends_line;         // the last byte of the tail so far is a line feed
	crc_value_reading value;

	copy_findings findings;
	std::uint64_t refusal_offset;      // where the refusal's line is
	std::uint64_t dropped_from_offset; // the first text after the old statement
	std::uint64_t counted_to;          // lines are counted up to here
	unsigned long counted_lines;
};

// A pass over input from its start, reading into buffers.
void copy_pass_begin(copy_pass *pass, input_file *input, pass_buffers *buffers);

// Runs the pass on; see pass_result.
pass_result copy_pass_run(copy_pass *pass, text_output *out, failure *why);

// Makes a copy of a paused pass ready to run from where it paused, reading
// anew into buffers.
void copy_pass_restart(copy_pass *pass, pass_buffers *buffers);

// The input offset of the next byte the pass takes.
std::uint64_t copy_pass_offset(const copy_pass *pass);

#endif

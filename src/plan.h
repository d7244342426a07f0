// plan.h - one read of a STAPL text, as a player reads it, made into a
// plan of what patching changes. A player's CRC check (carriage returns
// skipped) alone says where the old CRC statement is; its interpreter
// (comments end at CR or LF, letter case ignored, CR parts words) says
// what is a declaration; where they disagree the text is refused. The
// rules in full: doc/design.md.
//
// Calling sequence: plan_begin, plan_feed with every byte in order (pieces
// of any size), plan_finish. Then the plan holds the refusal, or the edits
// in order, what was found and both CRCs. It keeps state, never text.
#ifndef MORVET_PLAN_H
#define MORVET_PLAN_H

#include <cstddef>
#include <cstdint>

#include "crc16.h"

// Why a text is refused, as report.cpp words them.
enum refusal_reason {
	REFUSE_NOTHING, REFUSE_NOT_TEXT, REFUSE_MORE_THAN_DECLARATION, REFUSE_UNFINISHED_DECLARATION,
	REFUSE_CRC_INSIDE_LINE, REFUSE_UNFINISHED_STRING, REFUSE_UNFINISHED_STATEMENT,
	REFUSE_BEGINS_WITH_CRC, REFUSE_LABEL, REFUSE_LONE_CR_COMMENT, REFUSE_READINGS_DISAGREE,
	REFUSE_TOO_MANY_DECLARATIONS,
};

// The CRC check's reading: where a statement and its first word are.
enum reading_mode : unsigned char { IN_CODE, IN_COMMENT, IN_STRING };
struct check_reading {
	reading_mode mode;
	bool in_statement, in_first_word;
	std::uint32_t recent; // the last four bytes read, the newest lowest
};

// The interpreter's reading, with what it has seen of a statement's words
// (WORDS_NAME: the second word of a BOOLEAN or INTEGER statement).
enum word_phase : unsigned char { WORDS_NONE, WORDS_KEYWORD, WORDS_AFTER_KEYWORD, WORDS_NAME, WORDS_BODY };
struct interpreter_reading {
	reading_mode mode;
	bool in_statement;
	word_phase phase;
	// The keyword the first word may be (rule_keyword), whether the word so
	// far still spells it, its letters; a label stands before the statement.
	unsigned char keyword, length;
	bool alive, labelled;
	bool line_has_text, line_cr_comment; // since the last LF, more than blanks; a comment a CR ended
	bool text_before, cr_comment_before; // the two, as the statement began
	std::uint64_t word_at, word_line, name_at; // where its first word began, and its second
};

// The rules at a line's start, on the CRC check's reading (LINE_OFF: none
// applies); and where the reading is: in the text, dropping a forced
// declaration (up to its ';', then its line), in the old CRC statement
// and all after it, or done with a refusal.
enum line_phase : unsigned char { LINE_OFF, LINE_INDENT, LINE_KEYWORD, LINE_GAP, LINE_NAME };
enum plan_stage : unsigned char {
	STAGE_TEXT, STAGE_DECLARATION, STAGE_AFTER_DECLARATION, STAGE_TAIL, STAGE_DONE,
};
enum tail_phase : unsigned char { TAIL_VALUE, TAIL_REST, TAIL_AFTER };

// Declarations a plan forces at most; its edits are one for each, and one
// for the CRC statement.
const unsigned plan_max_declarations = 16384, plan_max_edits = plan_max_declarations + 1;

struct plan_edit { // input bytes from..to give way to text (length bytes)
	std::uint64_t from, to;
	const char *text;
	std::size_t length;
	std::uint64_t line, lines; // the first old line it is on (from 1); the old lines it takes
};

enum forced_variable : unsigned char { FORCE_USE_RCK, FORCE_FREQ, FORCE_COUNT };

struct patch_plan {
	// ---- The outcome, once plan_finish has run
	// Bytes and line feeds read; the lines, from 1, the refusal is about and
	// where text after the old statement begins.
	std::uint64_t size, line_feeds, refusal_line, dropped_line;
	std::size_t statement_length;   // the new CRC statement's, at appended + 2
	refusal_reason refusal;
	unsigned edit_count;            // none: patching would change nothing
	// The old statement's value when well formed; a player's CRC of the
	// text before it; the CRC the new statement carries.
	std::uint16_t crc_stored, input_crc, output_crc;
	bool declared[FORCE_COUNT];     // a declaration the rules force was there
	bool not_forced[FORCE_COUNT];   // and one did not already read as forced
	bool rewritten[FORCE_COUNT];    // or one is not in the replacement's form
	bool crc_statement_found, crc_stored_valid;
	// The old statement as the new one is written (any value in its
	// digits): up to its ';', and whole; more than white space after it.
	bool crc_form_equal, crc_shape_equal, text_after_crc;
	char appended[2 + crc16_statement_size]; // a line end, then the new statement

	// ---- The reading, while it goes on
	std::uint64_t line_start, keyword_at, name_at; // the line's, its first word's and second's
	std::uint64_t keyword_line, interpreter_refusal_line;
	std::uint64_t replaced_matched; // bytes dropped so far that equal what replaces them
	// The CRCs: the input's register, fed up to crc_at; the output's is the
	// input's XOR difference carried over the bytes fed since, also as the
	// line and its first word began.
	std::uint64_t crc_at, fed_since, line_fed_since, keyword_fed_since;
	std::uint16_t crc_input, difference, line_crc_input, keyword_crc_input;
	const unsigned char *block;     // the piece being read, from offset size
	interpreter_reading interpreter;
	refusal_reason interpreter_refusal; // told only when nothing else refuses
	unsigned words_at;              // of the forced declaration without blanks
	unsigned value_digits, value;
	check_reading check, check_at_line;
	plan_stage stage;
	line_phase line;
	unsigned char rule, matched;    // the rule the line may still match; letters of it
	forced_variable forcing;
	tail_phase tail;
	// The line's words so far are as the forced line spells them; the gap
	// after the type began with a space; the interpreter found a
	// declaration or a CRC statement at keyword_at.
	bool words_equal, case_equal, gap_is_space, declaration_pending, crc_pending;
	bool tail_at_text_start, replaced_equal;
	bool marking;                   // the text so far begins a UTF-8 byte-order mark
	unsigned char last_byte;
	plan_edit edits[plan_max_edits]; // last: only the ones used are touched
};

void plan_begin(patch_plan *plan);
void plan_feed(patch_plan *plan, const unsigned char *data, std::size_t length);
void plan_finish(patch_plan *plan);

inline bool plan_accepted(const patch_plan *plan) { return plan->refusal == REFUSE_NOTHING; }

#endif

// plan.cpp - the player's two readings of a text, the rules on them, and the
// plan they make. See plan.h.
#include "plan.h"

#include <cstddef>
#include <cstring>

namespace {

enum rule_keyword : unsigned char { KEYWORD_NONE, KEYWORD_BOOLEAN, KEYWORD_INTEGER, KEYWORD_CRC };

// The type and the variable; what its lines become, and that without blanks.
struct declaration_rule { const char *keyword, *name, *replacement, *words; };

const declaration_rule rules[FORCE_COUNT] = {
	{"BOOLEAN", "USE_RCK", "BOOLEAN USE_RCK = 1;\r\n", "BOOLEANUSE_RCK=1;"},
	{"INTEGER", "freq", "INTEGER freq = 3;\r\n", "INTEGERfreq=3;"},
};

const char *word_of(unsigned char keyword, bool name = false) // or the variable after it
{
	const char *const keywords[] = {"", rules[0].keyword, rules[1].keyword, "CRC"};
	return name ? rules[keyword - KEYWORD_BOOLEAN].name : keywords[keyword];
}

// Byte classes, not <cctype>'s, which depend on the locale. White space to
// the CRC check is space, tab, LF, CR (never seen), FF and VT; to the
// interpreter FF and VT are not. STOP ends a statement body's quiet run.
enum : unsigned char { SPACE = 1, LINE_SPACE = 2, INTERPRETER_SPACE = 4, NAME = 8, STOP = 16 };

constexpr struct byte_classes {
	unsigned char of[256];
	constexpr byte_classes() : of()
	{
		for (int byte = 0; byte < 256; ++byte) {
			bool space = byte == ' ' || (byte >= '\t' && byte <= '\r');
			bool letter = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z');
			of[byte] = static_cast<unsigned char>(
				(space ? SPACE : 0) | (space && byte != '\n' ? LINE_SPACE : 0) |
				(space && byte != '\f' && byte != '\v' ? INTERPRETER_SPACE : 0) |
				(letter || (byte >= '0' && byte <= '9') || byte == '_' ? NAME : 0) |
				(byte == 0 || byte == 0xFF || byte == ';' || byte == '\'' || byte == '"' ? STOP : 0));
		}
	}
} classes;

bool is(unsigned char byte, unsigned char kind) { return (classes.of[byte] & kind) != 0; }
unsigned char upper(unsigned char byte)
{
	return byte >= 'a' && byte <= 'z' ? static_cast<unsigned char>(byte - 'a' + 'A') : byte;
}

// The keyword a word's first letter may begin: CRC in capitals only.
unsigned char keyword_for(unsigned char first)
{
	return upper(first) == 'B' ? KEYWORD_BOOLEAN : upper(first) == 'I' ? KEYWORD_INTEGER
	       : first == 'C' ? KEYWORD_CRC : KEYWORD_NONE;
}

// Whether byte goes on word after at letters: without regard to case, but for CRC.
bool spells(const char *word, unsigned at, unsigned char byte, bool any_case)
{
	auto letter = static_cast<unsigned char>(at < std::strlen(word) ? word[at] : 0);
	return letter != 0 && (any_case ? upper(byte) == upper(letter) : byte == letter);
}

// Whether the check fires on this visible byte: in code, in a statement's
// first word, the last four bytes white space, C, R, C, and this one white.
bool check_fires(const check_reading *r, unsigned char byte)
{
	return is(byte, SPACE) && r->mode == IN_CODE && r->in_first_word &&
	       (r->recent & 0xFFFFFF) == ('C' << 16 | 'R' << 8 | 'C') &&
	       is(static_cast<unsigned char>(r->recent >> 24), SPACE);
}

// Takes one visible byte. A comment or string right after a first word
// keeps the word open, as players read it.
void check_take(check_reading *r, unsigned char byte)
{
	r->recent = r->recent << 8 | byte;
	if (r->mode != IN_CODE) {
		if (byte == static_cast<unsigned char>(r->mode == IN_COMMENT ? '\n' : '"'))
			r->mode = IN_CODE;
	} else if (byte == '\'' || byte == '"') {
		r->mode = byte == '\'' ? IN_COMMENT : IN_STRING;
	} else if (is(byte, NAME)) {
		r->in_first_word |= !r->in_statement;
		r->in_statement = true;
	} else {
		r->in_first_word = false;
		r->in_statement &= byte != ';';
	}
}

void refuse(patch_plan *plan, refusal_reason reason, std::uint64_t line)
{
	plan->refusal = reason;
	plan->refusal_line = line;
	plan->stage = STAGE_DONE;
}

// A refusal only the interpreter's reading makes waits for all the others.
void disagree(patch_plan *plan, refusal_reason reason, std::uint64_t line)
{
	if (plan->interpreter_refusal == REFUSE_NOTHING) {
		plan->interpreter_refusal = reason;
		plan->interpreter_refusal_line = line;
	}
}

// Feeds the input's register up to offset in the piece read, until the old statement.
void crc_to(patch_plan *plan, std::uint64_t offset)
{
	if (plan->crc_statement_found || offset <= plan->crc_at)
		return;
	plan->crc_input = crc16_update(plan->crc_input, plan->block + (plan->crc_at - plan->size),
	                               static_cast<std::size_t>(offset - plan->crc_at),
	                               &plan->fed_since);
	plan->crc_at = offset;
}

// The output's register where the input's was input, fed bytes after the difference.
std::uint16_t output_register(const patch_plan *plan, std::uint16_t input, std::uint64_t fed)
{
	return static_cast<std::uint16_t>(input ^ crc16_extend_by_zeros(plan->difference, fed));
}

std::uint16_t fed(std::uint16_t crc, const char *text, std::size_t length, std::uint64_t count = 0)
{
	return crc16_update(crc, reinterpret_cast<const unsigned char *>(text), length, &count);
}

// A word of the statement ended: at a blank or a comment, or another byte no name's.
void word_ends(patch_plan *plan, bool at_blank)
{
	interpreter_reading *in = &plan->interpreter;
	bool whole = in->alive && in->keyword != KEYWORD_NONE &&
	             in->length == std::strlen(word_of(in->keyword, in->phase == WORDS_NAME));
	if (in->phase == WORDS_KEYWORD) {
		bool crc = whole && in->keyword == KEYWORD_CRC;
		plan->crc_pending = crc && at_blank && !in->labelled;
		in->alive = whole && !crc; // a name may follow, or ':' make the word a label
		in->phase = at_blank && !crc ? WORDS_AFTER_KEYWORD : WORDS_BODY;
	} else if (in->phase == WORDS_NAME) {
		// A BOOLEAN USE_RCK or INTEGER freq statement: the rules must read the
		// same two words at the same bytes, or it is refused for what is before it.
		plan->declaration_pending = whole && plan->stage == STAGE_TEXT &&
		                            plan->keyword_at == in->word_at && plan->line == LINE_NAME &&
		                            plan->name_at == in->name_at && plan->rule == in->keyword &&
		                            !in->labelled && !in->text_before;
		if (whole && !plan->declaration_pending)
			disagree(plan,
			         in->labelled            ? REFUSE_LABEL
			         : in->cr_comment_before ? REFUSE_LONE_CR_COMMENT
			         : in->text_before       ? REFUSE_MORE_THAN_DECLARATION
			                                 : REFUSE_READINGS_DISAGREE,
			         in->word_line);
		in->phase = WORDS_BODY;
	} else if (in->phase == WORDS_AFTER_KEYWORD && !at_blank) {
		in->phase = WORDS_BODY;
	}
}

// A visible byte of a statement that is no blank, quote, comment or ';'.
void word_byte(patch_plan *plan, unsigned char byte, std::uint64_t offset)
{
	interpreter_reading *in = &plan->interpreter;
	if (!is(byte, NAME)) {
		if (byte == ':' && (in->phase == WORDS_AFTER_KEYWORD ||
		                    (in->phase == WORDS_KEYWORD && in->length > 0))) {
			// A label: the statement proper begins after it.
			in->labelled = true;
			in->in_statement = false;
			in->phase = WORDS_NONE;
		} else {
			word_ends(plan, false);
		}
		return;
	}
	if (in->phase == WORDS_AFTER_KEYWORD) {
		in->phase = in->alive ? WORDS_NAME : WORDS_BODY;
		in->length = 0;
		in->name_at = offset;
	}
	if (in->phase == WORDS_KEYWORD && in->length == 0)
		in->keyword = keyword_for(byte);
	if (in->phase == WORDS_KEYWORD || in->phase == WORDS_NAME) {
		in->alive = in->alive && spells(word_of(in->keyword, in->phase == WORDS_NAME), in->length,
		                                byte, in->keyword != KEYWORD_CRC);
		in->length += in->length < 255 ? 1 : 0; // a longer word is no keyword, but may be a label
	}
}

// One byte as the interpreter reads it: comments end at CR or LF, and CR
// parts words as any blank does.
void interpreter_step(patch_plan *plan, unsigned char byte, std::uint64_t offset)
{
	interpreter_reading *in = &plan->interpreter;
	if (in->mode == IN_COMMENT && (byte == '\r' || byte == '\n')) {
		in->mode = IN_CODE;
		in->line_cr_comment = byte == '\r';
	} else if (in->mode == IN_STRING && byte == '"') {
		in->mode = IN_CODE;
	} else if (in->mode == IN_CODE && is(byte, INTERPRETER_SPACE)) {
		word_ends(plan, true);
	} else if (in->mode == IN_CODE) {
		if (!in->in_statement && byte != '\'') {
			in->in_statement = in->alive = true;
			in->phase = WORDS_KEYWORD;
			in->keyword = KEYWORD_NONE;
			in->length = 0;
			in->word_at = offset;
			in->word_line = plan->line_feeds + 1;
			in->text_before = in->line_has_text;
			in->cr_comment_before = in->line_cr_comment;
		}
		in->line_has_text = true;
		if (byte == '\'' || byte == '"') {
			word_ends(plan, byte == '\'');
			in->mode = byte == '\'' ? IN_COMMENT : IN_STRING;
		} else if (byte == ';') {
			word_ends(plan, false);
			in->in_statement = in->labelled = false;
			in->phase = WORDS_NONE;
		} else {
			word_byte(plan, byte, offset);
		}
	}
	if (byte == '\n')
		in->line_has_text = in->line_cr_comment = false;
}

void begin_line(patch_plan *plan, std::uint64_t offset)
{
	plan->line_start = offset;
	plan->check_at_line = plan->check;
	plan->line = LINE_OFF;
	if (plan->check.mode != IN_CODE || (plan->check.in_statement && !plan->check.in_first_word))
		return; // no statement can begin here, nor a CRC keyword be found
	plan->line = LINE_INDENT;
	crc_to(plan, offset);
	plan->line_crc_input = plan->crc_input;
	plan->line_fed_since = plan->fed_since;
}

// The rules are done with the line: a declaration they replace, or text.
// The interpreter must have found a declaration there just when it is one.
void line_decided(patch_plan *plan, bool declaration)
{
	if (plan->declaration_pending != declaration)
		disagree(plan, REFUSE_READINGS_DISAGREE, plan->keyword_line);
	plan->declaration_pending = false;
	plan->line = LINE_OFF;
}

void begin_declaration(patch_plan *plan, std::uint64_t offset)
{
	auto variable = static_cast<forced_variable>(plan->rule - KEYWORD_BOOLEAN);
	line_decided(plan, true);
	plan->stage = STAGE_DECLARATION;
	plan->forcing = variable;
	plan->declared[variable] = true;
	// The keyword and name are read: the comparisons with the forced line go on.
	std::size_t read = std::strlen(rules[variable].keyword) + std::strlen(rules[variable].name);
	plan->words_at = static_cast<unsigned>(read);
	plan->words_equal = true; // the value's; letter case alone forces nothing less
	plan->replaced_equal = plan->case_equal && plan->gap_is_space &&
	                       offset - plan->keyword_at == read + 1;
	plan->replaced_matched = read + 1;
}

void begin_tail(patch_plan *plan, std::uint64_t offset, bool at_text_start)
{
	// The interpreter must find the same statement there.
	if (!plan->crc_pending || plan->keyword_at != plan->interpreter.word_at)
		disagree(plan, REFUSE_READINGS_DISAGREE, plan->keyword_line);
	plan->crc_pending = false;
	plan->line = LINE_OFF;
	plan->stage = STAGE_TAIL;
	plan->crc_statement_found = true;
	plan->tail = TAIL_VALUE;
	plan->tail_at_text_start = at_text_start;
	// A player checks the text before the statement's C; the new one
	// certifies the text before its line.
	plan->input_crc = crc16_value(plan->keyword_crc_input);
	plan->output_crc =
		crc16_value(output_register(plan, plan->line_crc_input, plan->line_fed_since));
	plan->statement_length = crc16_format_statement(plan->output_crc, plan->appended + 2);
	plan->replaced_equal = plan->keyword_at == plan->line_start && offset == plan->keyword_at + 3;
	plan->crc_shape_equal = plan->replaced_equal;
	plan->replaced_matched = 3;
}

// Whether byte goes on the gap between a declaration's type and name:
// blanks, line ends and comments (to LF, as the check reads them), as they
// part words for the interpreter, which must find the name at that byte.
bool in_gap(const patch_plan *plan, unsigned char byte)
{
	return is(byte, SPACE) || byte == '\'' || plan->check.mode == IN_COMMENT;
}

// A visible byte at a line's start, before the CRC check takes it: the
// rules may begin a declaration or the tail on it.
void rule_step(patch_plan *plan, unsigned char byte, std::uint64_t offset)
{
	if (plan->line == LINE_INDENT && !is(byte, LINE_SPACE)) {
		plan->line = LINE_KEYWORD;
		plan->keyword_at = offset;
		plan->keyword_line = plan->line_feeds + 1;
		crc_to(plan, offset);
		plan->keyword_crc_input = plan->crc_input;
		plan->keyword_fed_since = plan->fed_since;
		plan->rule = keyword_for(byte);
		plan->matched = 0;
		plan->case_equal = true;
	} else if (plan->line == LINE_GAP && !in_gap(plan, byte)) {
		plan->line = LINE_NAME;
		plan->name_at = offset;
		plan->matched = 0;
	} else if (plan->line != LINE_KEYWORD && plan->line != LINE_NAME) {
		return; // off, or inside an indent or a gap
	}
	const char *word = word_of(plan->rule, plan->line == LINE_NAME);
	if (plan->matched < std::strlen(word)) {
		if (!spells(word, plan->matched, byte, plan->rule != KEYWORD_CRC)) {
			line_decided(plan, false);
			return;
		}
		plan->case_equal &= byte == static_cast<unsigned char>(word[plan->matched++]);
	} else if (plan->line == LINE_NAME) {
		if (is(byte, NAME)) // USE_RCK2, frequency: other variables
			line_decided(plan, false);
		else
			begin_declaration(plan, offset);
	} else if (plan->rule == KEYWORD_CRC) {
		// The check did not fire on the keyword: only at the text's very
		// first byte is it the old statement all the same.
		if (is(byte, SPACE) && plan->check_at_line.recent == 0)
			begin_tail(plan, offset, true);
		else
			line_decided(plan, false);
	} else if (plan->rule != KEYWORD_NONE && in_gap(plan, byte) &&
	           !plan->check_at_line.in_statement) {
		plan->line = LINE_GAP;
		plan->gap_is_space = byte == ' ';
	} else {
		line_decided(plan, false);
	}
}

void end_declaration(patch_plan *plan, std::uint64_t end)
{
	crc_to(plan, end);
	const char *replacement = rules[plan->forcing].replacement;
	std::size_t length = std::strlen(replacement);
	// The output's register where the declaration began, the replacement fed.
	std::uint16_t output = output_register(plan, plan->keyword_crc_input, plan->keyword_fed_since);
	plan->difference = static_cast<std::uint16_t>(fed(output, replacement, length) ^ plan->crc_input);
	plan->fed_since = 0;
	if (!plan->words_equal || rules[plan->forcing].words[plan->words_at] != '\0')
		plan->not_forced[plan->forcing] = true;
	bool rewritten = !plan->replaced_equal || plan->replaced_matched != length;
	plan->rewritten[plan->forcing] |= rewritten;
	if (rewritten && plan->edit_count == plan_max_declarations)
		refuse(plan, REFUSE_TOO_MANY_DECLARATIONS, plan->keyword_line);
	else if (rewritten)
		plan->edits[plan->edit_count++] = {plan->keyword_at, end, replacement, length,
		                                   plan->keyword_line, plan->line_feeds + 2 - plan->keyword_line};
	if (plan->stage == STAGE_DONE)
		return;
	// The text goes on as it would after the forced line itself.
	plan->check = {IN_CODE, false, false, ';' << 8 | '\n'};
	plan->stage = STAGE_TEXT;
	begin_line(plan, end);
}

// A visible byte of a declaration being dropped, compared with its forced
// words (blanks, comments passed over). After its ';' only blanks and a comment.
void declaration_step(patch_plan *plan, unsigned char byte, std::uint64_t offset)
{
	bool word = plan->check.mode == IN_CODE && byte != '\'' && !is(byte, SPACE);
	if (word) {
		plan->words_equal &= rules[plan->forcing].words[plan->words_at] == static_cast<char>(byte);
		plan->words_at += plan->words_equal ? 1 : 0;
	}
	check_take(&plan->check, byte);
	const interpreter_reading *in = &plan->interpreter;
	if (plan->stage == STAGE_DECLARATION) {
		if (in->in_statement != plan->check.in_statement)
			disagree(plan, REFUSE_READINGS_DISAGREE, plan->keyword_line);
		if (!plan->check.in_statement)
			plan->stage = STAGE_AFTER_DECLARATION;
	} else if (word) {
		// Replacing the line would silently drop another statement.
		refuse(plan, REFUSE_MORE_THAN_DECLARATION, plan->line_feeds + 1);
	} else {
		// (An empty statement, a ';' alone, is one too.)
		if (in->in_statement || (byte == ';' && in->mode == IN_CODE))
			disagree(plan, REFUSE_MORE_THAN_DECLARATION, plan->line_feeds + 1);
		if (byte == '\n')
			end_declaration(plan, offset + 1);
	}
}

// A visible byte of the old CRC statement, as a player checks it: white
// space, four hex digits, white space, ';'; then whether any text follows.
void tail_step(patch_plan *plan, unsigned char byte)
{
	if (plan->tail == TAIL_VALUE) {
		if (is(byte, SPACE) && plan->value_digits % 4 == 0)
			return;
		const char *digits = "0123456789ABCDEF";
		const char *digit = std::strchr(digits, upper(byte)); // a NUL was refused
		if (digit != nullptr && plan->value_digits < 4) {
			plan->value = plan->value * 16 + static_cast<unsigned>(digit - digits);
			++plan->value_digits;
			return;
		}
		plan->crc_stored_valid = byte == ';' && plan->value_digits == 4;
		plan->crc_stored = static_cast<std::uint16_t>(plan->value);
		plan->tail = TAIL_REST; // up to the ';' that ends the statement
	}
	if (plan->tail == TAIL_REST) {
		plan->crc_form_equal = plan->crc_shape_equal;
		if (byte == ';')
			plan->tail = TAIL_AFTER;
	} else if (plan->tail == TAIL_AFTER && !plan->text_after_crc && !is(byte, SPACE)) {
		plan->text_after_crc = true;
		plan->dropped_line = plan->line_feeds + 1;
	}
}

// Drops and tails: whether the bytes so far equal what replaces them; for
// the CRC statement, also with any value in its digits.
void compare_replaced(patch_plan *plan, unsigned char byte, const char *text)
{
	std::uint64_t at = plan->replaced_matched++;
	bool same = at < std::strlen(text) && static_cast<unsigned char>(text[at]) == byte;
	plan->replaced_equal &= same;
	bool digit = (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'F');
	plan->crc_shape_equal &= same || (at >= 4 && at < 8 && digit);
}

// One byte of the text, where no quicker way applies.
void step(patch_plan *plan, unsigned char byte, std::uint64_t offset)
{
	if (byte == 0 || byte == 0xFF) {
		// Not text; a player reading signed characters takes 0xFF for the end.
		refuse(plan, REFUSE_NOT_TEXT, plan->line_feeds + 1);
		return;
	}
	if (plan->marking) {
		// A UTF-8 byte-order mark, as Notepad writes one, counts as the
		// first line's indent; bytes that only begin one are text.
		bool goes_on = byte == static_cast<unsigned char>("\xEF\xBB\xBF"[offset]);
		plan->marking = goes_on && offset < 2;
		if (goes_on) {
			check_take(&plan->check, byte);
			return;
		}
		if (offset > 0) {
			plan->interpreter.in_statement = plan->interpreter.line_has_text = true;
			plan->interpreter.phase = WORDS_BODY;
			line_decided(plan, false);
		}
	}
	if (plan->stage != STAGE_TAIL)
		interpreter_step(plan, byte, offset);
	// Carriage returns are invisible to the check: a blank in an indent or a
	// gap, skipped inside a word; right after a type, the blank beginning the gap.
	bool visible = byte != '\r';
	if (!visible && plan->stage == STAGE_TEXT && plan->line == LINE_KEYWORD &&
	    plan->rule != KEYWORD_CRC && plan->matched == std::strlen(word_of(plan->rule)))
		rule_step(plan, byte, offset);
	if (plan->stage == STAGE_TEXT && visible) {
		if (!check_fires(&plan->check, byte))
			rule_step(plan, byte, offset);
		else if (plan->line == LINE_KEYWORD && plan->rule == KEYWORD_CRC && plan->matched == 3)
			begin_tail(plan, offset, false);
		else
			refuse(plan, REFUSE_CRC_INSIDE_LINE, plan->line_feeds + 1);
	}
	if (plan->stage == STAGE_TEXT && visible) {
		check_take(&plan->check, byte);
		if (byte == '\n' && plan->line != LINE_GAP) // a gap's lines are its declaration's
			begin_line(plan, offset + 1);
	} else if (plan->stage != STAGE_TEXT && plan->stage != STAGE_DONE) {
		bool tail = plan->stage == STAGE_TAIL;
		compare_replaced(plan, byte, tail ? plan->appended + 2 : rules[plan->forcing].replacement);
		if (visible && tail)
			tail_step(plan, byte);
		else if (visible)
			declaration_step(plan, byte, offset);
	}
	if (plan->crc_pending && visible) {
		// The interpreter found a CRC statement the check does not.
		plan->crc_pending = false;
		disagree(plan, REFUSE_READINGS_DISAGREE, plan->interpreter.word_line);
	}
}

// How many bytes at data change nothing in either reading: past a
// statement's first words both wait for the byte ending it (or NUL, 0xFF).
std::size_t quiet_run(const patch_plan *plan, const unsigned char *data, std::size_t length,
                      std::uint64_t *lines)
{
	const check_reading &check = plan->check;
	const interpreter_reading &in = plan->interpreter;
	if (plan->stage != STAGE_TEXT || plan->line != LINE_OFF || plan->crc_pending ||
	    check.mode != IN_CODE || !check.in_statement || check.in_first_word ||
	    in.mode != IN_CODE || !in.in_statement || in.phase != WORDS_BODY)
		return 0;
	// Sixteen bytes a step, their line feeds counted down in lanes, added up
	// at the end: a run of at most 4,080 bytes, so that none can wrap.
	typedef unsigned char bytes __attribute__((vector_size(16)));
	bytes feeds = {};
	std::size_t i = 0;
	for (std::size_t end = length < 4080 ? length : 4080; i + 16 <= end; i += 16) {
		bytes v, stop;
		std::uint64_t halves[2];
		std::memcpy(&v, data + i, sizeof v);
		stop = (bytes)((v == ';') | (v == '\'') | (v == '"') | (v == 0) | (v == 0xFF));
		std::memcpy(halves, &stop, sizeof halves);
		if ((halves[0] | halves[1]) != 0)
			break;
		feeds -= (bytes)(v == '\n');
	}
	for (int lane = 0; lane < 16; ++lane)
		*lines += feeds[lane];
	for (std::size_t end = length < 4080 ? length : 4080; i < end && !is(data[i], STOP); ++i)
		*lines += data[i] == '\n';
	return i;
}

} // namespace

void plan_begin(patch_plan *plan)
{
	std::memset(plan, 0, offsetof(patch_plan, edits));
	plan->crc_input = crc16_preset;
	plan->marking = true;
	begin_line(plan, 0);
}

void plan_feed(patch_plan *plan, const unsigned char *data, std::size_t length)
{
	plan->block = data;
	for (std::size_t i = 0; i < length && plan->stage != STAGE_DONE; ++i) {
		i += quiet_run(plan, data + i, length - i, &plan->line_feeds);
		if (i < length) {
			step(plan, data[i], plan->size + i);
			plan->line_feeds += data[i] == '\n';
		}
	}
	crc_to(plan, plan->size + length);
	plan->size += length;
	if (length > 0)
		plan->last_byte = data[length - 1];
}

void plan_finish(patch_plan *plan)
{
	std::uint64_t end = plan->size;
	if (plan->stage != STAGE_TAIL && plan->stage != STAGE_DONE)
		word_ends(plan, true);
	if (plan->stage == STAGE_TEXT) {
		// The rules decide as they would before a line end.
		bool whole = plan->matched == std::strlen(word_of(plan->rule, plan->line == LINE_NAME));
		if (plan->line == LINE_KEYWORD && plan->rule == KEYWORD_CRC && whole &&
		    (check_fires(&plan->check, '\n') || plan->check_at_line.recent == 0))
			begin_tail(plan, end, plan->check_at_line.recent == 0);
		else if (plan->line == LINE_NAME && whole)
			begin_declaration(plan, end);
		else
			line_decided(plan, false);
	}
	if (plan->crc_pending)
		disagree(plan, REFUSE_READINGS_DISAGREE, plan->interpreter.word_line);
	// The interpreter too must read the new statement as one of its own,
	// without a label; the start of a byte-order mark alone is text.
	if (plan->stage != STAGE_TAIL &&
	    (plan->interpreter.in_statement || plan->interpreter.labelled ||
	     plan->interpreter.mode == IN_STRING || (plan->marking && end > 0)))
		disagree(plan, REFUSE_READINGS_DISAGREE, plan->line_feeds + 1);
	if (plan->stage == STAGE_DECLARATION)
		refuse(plan, REFUSE_UNFINISHED_DECLARATION, plan->keyword_line);
	else if (plan->stage == STAGE_AFTER_DECLARATION)
		end_declaration(plan, end);
	// A result that begins with its CRC statement is one a player finds no
	// statement in (indented, the old one was found): only what the tool
	// makes of an empty text may be that.
	if (plan->stage == STAGE_TAIL && plan->line_start == 0 &&
	    (!plan->tail_at_text_start || !plan->crc_stored_valid || plan->crc_stored != 0 ||
	     plan->text_after_crc))
		refuse(plan, REFUSE_BEGINS_WITH_CRC, 1);
	// What a player reads before the new statement must leave nothing open.
	const check_reading &written = plan->stage == STAGE_TAIL ? plan->check_at_line : plan->check;
	refusal_reason last = written.mode == IN_STRING ? REFUSE_UNFINISHED_STRING
	                      : written.in_statement    ? REFUSE_UNFINISHED_STATEMENT
	                                                : plan->interpreter_refusal;
	if (plan->stage != STAGE_DONE && last != REFUSE_NOTHING)
		refuse(plan, last, last == plan->interpreter_refusal ? plan->interpreter_refusal_line
		                                                     : plan->line_feeds + 1);
	if (plan->stage == STAGE_DONE)
		return;
	std::memcpy(plan->appended, "\r\n", 2);
	std::uint64_t lines = plan->line_feeds + (end > 0 && plan->last_byte != '\n' ? 1 : 0);
	if (plan->stage == STAGE_TAIL) {
		plan->crc_shape_equal &= plan->replaced_matched == plan->statement_length;
		if (!plan->replaced_equal || plan->replaced_matched != plan->statement_length)
			plan->edits[plan->edit_count++] = {plan->line_start, end, plan->appended + 2,
			                                   plan->statement_length, plan->keyword_line,
			                                   lines + 1 - plan->keyword_line};
		return;
	}
	// No old statement: the new one is appended, after a line end when the
	// last line has bytes but none.
	plan->input_crc = crc16_value(plan->crc_input);
	std::uint16_t output = output_register(plan, plan->crc_input, plan->fed_since);
	bool add_line_end = plan->line_start != end && plan->last_byte != '\n';
	plan->output_crc = crc16_value(add_line_end ? fed(output, "\n", 1) : output);
	plan->statement_length = crc16_format_statement(plan->output_crc, plan->appended + 2);
	// (Where it ends the last line, that line is the one it changes.)
	plan->edits[plan->edit_count++] = {end, end, plan->appended + (add_line_end ? 0 : 2),
	                                   plan->statement_length + (add_line_end ? 2u : 0u),
	                                   lines + (add_line_end ? 0 : 1), add_line_end ? 1u : 0u};
}

// plan.cpp - the player's two readings of a text, the rules on them, and the
// plan they make. See plan.h.
#include "plan.h"

#include <cstddef>
#include <cstring>

namespace {

// ---- What the rules know of STAPL

enum rule_keyword : unsigned char { KEYWORD_NONE, KEYWORD_BOOLEAN, KEYWORD_INTEGER, KEYWORD_CRC };

struct declaration_rule {
	const char *keyword;     // the type
	const char *name;        // the variable
	const char *replacement; // what its lines become
	const char *words;       // the replacement without blanks
};

const declaration_rule rules[FORCE_COUNT] = {
	{"BOOLEAN", "USE_RCK", "BOOLEAN USE_RCK = 1;\r\n", "BOOLEANUSE_RCK=1;"},
	{"INTEGER", "freq", "INTEGER freq = 3;\r\n", "INTEGERfreq=3;"},
};

const char *keyword_text(unsigned char keyword)
{
	if (keyword == KEYWORD_NONE)
		return "";
	return keyword == KEYWORD_CRC ? "CRC" : rules[keyword - KEYWORD_BOOLEAN].keyword;
}

const std::uint32_t crc_letters = 'C' << 16 | 'R' << 8 | 'C';

// White space to the CRC check: space, tab, LF, CR (never seen), FF, VT.
bool is_check_space(unsigned char byte)
{
	return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\r' || byte == '\f' ||
	       byte == '\v';
}

bool is_line_space(unsigned char byte)
{
	return byte != '\n' && is_check_space(byte);
}

// White space to the interpreter: form feed and vertical tab are not.
bool is_interpreter_space(unsigned char byte)
{
	return byte == ' ' || byte == '\t' || byte == '\r' || byte == '\n';
}

// Spelled out rather than taken from <cctype>, whose answer depends on the
// locale.
bool is_name_byte(unsigned char byte)
{
	return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
	       (byte >= '0' && byte <= '9') || byte == '_';
}

unsigned char upper(unsigned char byte)
{
	return byte >= 'a' && byte <= 'z' ? static_cast<unsigned char>(byte - 'a' + 'A') : byte;
}

// The keyword a word's first letter may begin: CRC in capitals only.
unsigned char keyword_for(unsigned char first)
{
	if (upper(first) == 'B')
		return KEYWORD_BOOLEAN;
	if (upper(first) == 'I')
		return KEYWORD_INTEGER;
	return first == 'C' ? KEYWORD_CRC : KEYWORD_NONE;
}

// Whether byte is letter at of word: without regard to case, but for CRC.
bool spells(unsigned char keyword, const char *word, unsigned at, unsigned char byte)
{
	unsigned char letter = static_cast<unsigned char>(word[at]);
	return keyword == KEYWORD_CRC ? byte == letter : upper(byte) == upper(letter);
}

// ---- The CRC check's reading

// Whether the check fires on this visible byte: outside a comment and a
// string, inside a statement's first word, the last four bytes white space,
// C, R, C and this one white space.
bool check_fires(const check_reading *r, unsigned char byte)
{
	return r->mode == IN_CODE && r->in_first_word && is_check_space(byte) &&
	       (r->recent & 0xFFFFFF) == crc_letters &&
	       is_check_space(static_cast<unsigned char>(r->recent >> 24));
}

// Takes one visible byte. A comment or string right after a first word
// keeps the word open, as players read it.
void check_take(check_reading *r, unsigned char byte)
{
	r->recent = r->recent << 8 | byte;
	if (r->mode == IN_CODE) {
		if (byte == '\'' || byte == '"') {
			r->mode = byte == '\'' ? IN_COMMENT : IN_STRING;
		} else if (is_name_byte(byte)) {
			if (!r->in_statement)
				r->in_statement = r->in_first_word = true;
		} else {
			r->in_first_word = false;
			if (byte == ';')
				r->in_statement = false;
		}
	} else if (byte == static_cast<unsigned char>(r->mode == IN_COMMENT ? '\n' : '"')) {
		r->mode = IN_CODE;
	}
}

// Whether the check would fire on a line end that follows.
bool fires_on_line_end(const check_reading *r)
{
	return r->mode == IN_CODE && r->in_first_word && (r->recent & 0xFFFFFF) == crc_letters &&
	       is_check_space(static_cast<unsigned char>(r->recent >> 24));
}

bool may_find_keyword(const check_reading *r)
{
	return r->mode == IN_CODE && (!r->in_statement || r->in_first_word);
}

// ---- Refusals, and the CRCs

void refuse(patch_plan *plan, refusal_reason reason, std::uint64_t offset)
{
	plan->refusal = reason;
	plan->refusal_offset = offset;
	plan->stage = STAGE_DONE;
}

// What only the interpreter's reading objects to is told when nothing
// else refuses the text, so that every other text is refused as it always
// was.
void disagree(patch_plan *plan, refusal_reason reason, std::uint64_t offset)
{
	if (plan->interpreter_refusal == REFUSE_NOTHING) {
		plan->interpreter_refusal = reason;
		plan->interpreter_refusal_offset = offset;
	}
}

// Feeds the input's register up to offset, within the piece being read.
void crc_to(patch_plan *plan, std::uint64_t offset)
{
	if (plan->crc_stopped || offset <= plan->crc_at)
		return;
	const unsigned char *from = plan->block + (plan->crc_at - plan->block_base);
	plan->crc_input = crc16_update(plan->crc_input, from,
	                               static_cast<std::size_t>(offset - plan->crc_at),
	                               &plan->fed_since);
	plan->crc_at = offset;
}

// The output's register, where the input's was input with fed bytes since
// the difference was last known.
std::uint16_t output_register(const patch_plan *plan, std::uint16_t input, std::uint64_t fed)
{
	return static_cast<std::uint16_t>(input ^ crc16_extend_by_zeros(plan->difference, fed));
}

bool add_edit(patch_plan *plan, std::uint64_t from, std::uint64_t to, const char *text,
              std::size_t length)
{
	if (plan->edit_count == plan_max_edits) {
		refuse(plan, REFUSE_TOO_MANY_DECLARATIONS, from);
		return false;
	}
	plan->edits[plan->edit_count++] = {from, to, text, length};
	return true;
}

// Drops or tails: whether the bytes so far equal what replaces them.
void compare_replaced(patch_plan *plan, unsigned char byte, const char *text, std::size_t length)
{
	if (plan->replaced_equal && plan->replaced_matched < length &&
	    static_cast<unsigned char>(text[plan->replaced_matched]) == byte)
		++plan->replaced_matched;
	else
		plan->replaced_equal = false;
}

// ---- The interpreter's reading

// The interpreter found a BOOLEAN USE_RCK or INTEGER freq statement. The
// rules must be reading the same words on the same line, or the text is
// refused for what stands before it.
void interpreter_declaration(patch_plan *plan, const interpreter_reading *in)
{
	bool rules_read_it = plan->stage == STAGE_TEXT && plan->keyword_at == in->word_at &&
	                     (plan->line == LINE_KEYWORD || plan->line == LINE_GAP ||
	                      plan->line == LINE_NAME) &&
	                     plan->rule == in->keyword;
	if (rules_read_it && !in->labelled && !in->text_before) {
		plan->declaration_pending = true;
		return;
	}
	refusal_reason reason = in->labelled          ? REFUSE_LABEL
	                        : in->cr_comment_before ? REFUSE_LONE_CR_COMMENT
	                        : in->text_before       ? REFUSE_MORE_THAN_DECLARATION
	                                                : REFUSE_READINGS_DISAGREE;
	disagree(plan, reason, in->word_at);
}

// A word of the statement ended, at a blank, a comment, a string or ';'.
void word_ends(patch_plan *plan, std::uint64_t offset, bool at_blank)
{
	interpreter_reading *in = &plan->interpreter;
	switch (in->phase) {
	case WORDS_KEYWORD: {
		bool whole = in->alive && in->keyword != KEYWORD_NONE &&
		             in->length == std::strlen(keyword_text(in->keyword));
		if (whole && in->keyword == KEYWORD_CRC) {
			if (at_blank && !in->labelled) {
				plan->crc_pending = true;
				plan->crc_pending_after = offset;
			}
			in->phase = WORDS_BODY;
		} else {
			in->phase = whole && at_blank ? WORDS_AFTER_KEYWORD : WORDS_BODY;
		}
		break;
	}
	case WORDS_NAME:
		if (in->alive &&
		    in->length == std::strlen(rules[in->keyword - KEYWORD_BOOLEAN].name))
			interpreter_declaration(plan, in);
		in->phase = WORDS_BODY;
		break;
	case WORDS_AFTER_KEYWORD:
		if (!at_blank)
			in->phase = WORDS_BODY;
		break;
	default:
		break;
	}
}

// A byte of a word, or one that ends it without being a blank.
void word_byte(patch_plan *plan, unsigned char byte, std::uint64_t offset)
{
	interpreter_reading *in = &plan->interpreter;
	bool name = is_name_byte(byte);
	switch (in->phase) {
	case WORDS_KEYWORD:
		if (!name) {
			if (byte == ':' && in->length > 0) {
				// A label: the statement proper begins after it.
				in->labelled = true;
				in->in_statement = false;
				in->phase = WORDS_NONE;
			} else {
				word_ends(plan, offset, false);
			}
			return;
		}
		if (in->length == 0)
			in->keyword = keyword_for(byte);
		in->alive = in->alive && in->keyword != KEYWORD_NONE &&
		            in->length < std::strlen(keyword_text(in->keyword)) &&
		            spells(in->keyword, keyword_text(in->keyword), in->length, byte);
		++in->length;
		return;
	case WORDS_AFTER_KEYWORD:
		if (!name) {
			in->phase = WORDS_BODY;
			return;
		}
		in->phase = WORDS_NAME;
		in->length = 0;
		in->alive = true;
		[[fallthrough]];
	case WORDS_NAME: {
		if (!name) {
			word_ends(plan, offset, false);
			return;
		}
		const char *variable = rules[in->keyword - KEYWORD_BOOLEAN].name;
		in->alive = in->alive && in->length < std::strlen(variable) &&
		            spells(KEYWORD_BOOLEAN, variable, in->length, byte);
		++in->length;
		return;
	}
	default:
		return;
	}
}

// One byte as the interpreter reads it: comments end at CR or LF, and CR
// parts words as any blank does.
void interpreter_step(patch_plan *plan, unsigned char byte, std::uint64_t offset)
{
	interpreter_reading *in = &plan->interpreter;
	if (plan->mark && offset < 3)
		return; // the byte-order mark is no text
	switch (in->mode) {
	case IN_COMMENT:
		if (byte == '\r' || byte == '\n') {
			in->mode = IN_CODE;
			in->line_cr_comment = byte == '\r';
		}
		break;
	case IN_STRING:
		if (byte == '"')
			in->mode = IN_CODE;
		break;
	case IN_CODE:
		if (is_interpreter_space(byte)) {
			word_ends(plan, offset, true);
			break;
		}
		if (!in->in_statement && byte != '\'') {
			in->in_statement = true;
			in->phase = WORDS_KEYWORD;
			in->keyword = KEYWORD_NONE;
			in->alive = true;
			in->length = 0;
			in->word_at = offset;
			in->text_before = in->line_has_text;
			in->cr_comment_before = in->line_cr_comment;
		}
		in->line_has_text = true;
		if (byte == '\'' || byte == '"' || byte == ';') {
			word_ends(plan, offset, byte == '\'');
			if (byte == ';') {
				in->in_statement = false;
				in->labelled = false;
				in->phase = WORDS_NONE;
			} else {
				in->mode = byte == '\'' ? IN_COMMENT : IN_STRING;
			}
		} else {
			word_byte(plan, byte, offset);
		}
		break;
	}
	if (byte == '\n') {
		in->line_has_text = false;
		in->line_cr_comment = false;
	}
}

// ---- The rules, on the CRC check's reading

void begin_line(patch_plan *plan, std::uint64_t offset)
{
	plan->line_start = offset;
	plan->check_at_line = plan->check;
	plan->line = LINE_OFF;
	if (!may_find_keyword(&plan->check))
		return;
	plan->line = plan->mark && offset == 0 ? LINE_MARK : LINE_INDENT;
	plan->line_between = !plan->check.in_statement;
	crc_to(plan, offset);
	plan->line_crc_input = plan->crc_input;
	plan->line_fed_since = plan->fed_since;
}

// The line is none of the rules'. A declaration the interpreter found there
// is then one the rules cannot replace.
void line_is_text(patch_plan *plan)
{
	if (plan->declaration_pending) {
		plan->declaration_pending = false;
		disagree(plan, REFUSE_READINGS_DISAGREE, plan->keyword_at);
	}
	plan->line = LINE_OFF;
}

void begin_declaration(patch_plan *plan, std::uint64_t offset)
{
	forced_variable variable = static_cast<forced_variable>(plan->rule - KEYWORD_BOOLEAN);
	if (!plan->declaration_pending)
		disagree(plan, REFUSE_READINGS_DISAGREE, plan->keyword_at);
	plan->declaration_pending = false;
	plan->line = LINE_OFF;
	plan->stage = STAGE_DECLARATION;
	plan->forcing = variable;
	plan->declared[variable] = true;
	plan->declaration_from = plan->keyword_at;
	plan->output_at_edit =
		output_register(plan, plan->keyword_crc_input, plan->keyword_fed_since);
	// The keyword and name are read: what is compared with the forced
	// line starts after them.
	const declaration_rule &rule = rules[variable];
	std::size_t keyword = std::strlen(rule.keyword), name = std::strlen(rule.name);
	plan->words = rule.words;
	plan->words_at = static_cast<unsigned>(keyword + name);
	plan->words_equal = plan->exact_case;
	plan->words_in_comment = false;
	plan->replaced_equal = plan->exact_case && plan->gap_is_space &&
	                       offset - plan->keyword_at == keyword + 1 + name;
	plan->replaced_matched = keyword + 1 + name;
}

void begin_tail(patch_plan *plan, std::uint64_t offset, bool at_text_start)
{
	// The interpreter must find the same statement there.
	if (plan->crc_pending && plan->keyword_at == plan->interpreter.word_at)
		plan->crc_pending = false;
	else
		disagree(plan, REFUSE_READINGS_DISAGREE, plan->keyword_at);
	plan->line = LINE_OFF;
	plan->stage = STAGE_TAIL;
	plan->crc_statement_found = true;
	plan->tail = TAIL_VALUE;
	plan->tail_at_text_start = at_text_start;
	plan->tail_from = plan->line_start;
	plan->value_phase = 0;
	plan->value_digits = 0;
	plan->value = 0;
	// A player checks the text before the statement's C; the new one
	// certifies the text before its line.
	plan->input_crc = crc16_value(plan->keyword_crc_input);
	plan->crc_stopped = true;
	plan->output_crc =
		crc16_value(output_register(plan, plan->line_crc_input, plan->line_fed_since));
	plan->statement_length = crc16_format_statement(plan->output_crc, plan->appended + 2);
	plan->statement = plan->appended + 2;
	plan->replaced_equal = plan->keyword_at == plan->line_start &&
	                       offset == plan->keyword_at + 3;
	plan->replaced_matched = 3;
}

// A visible byte at a line's start, before the CRC check reads it: the rules
// may begin a declaration or the tail on it.
void rule_step(patch_plan *plan, unsigned char byte, std::uint64_t offset)
{
	switch (plan->line) {
	case LINE_MARK:
		if (offset < 3)
			return;
		plan->line = LINE_INDENT;
		[[fallthrough]];
	case LINE_INDENT:
		if (is_line_space(byte))
			return;
		if (byte == '\n') {
			plan->line = LINE_OFF;
			return;
		}
		plan->line = LINE_KEYWORD;
		plan->keyword_at = offset;
		crc_to(plan, offset);
		plan->keyword_crc_input = plan->crc_input;
		plan->keyword_fed_since = plan->fed_since;
		plan->rule = keyword_for(byte);
		plan->matched = 0;
		plan->exact_case = true;
		if (plan->rule == KEYWORD_NONE) {
			line_is_text(plan);
			return;
		}
		[[fallthrough]];
	case LINE_KEYWORD: {
		const char *keyword = keyword_text(plan->rule);
		if (plan->matched < std::strlen(keyword)) {
			if (!spells(plan->rule, keyword, plan->matched, byte)) {
				line_is_text(plan);
				return;
			}
			plan->exact_case &= byte == static_cast<unsigned char>(keyword[plan->matched]);
			++plan->matched;
			return;
		}
		if (plan->rule == KEYWORD_CRC) {
			// The check did not fire on the keyword: only at the text's
			// very first byte is it the old statement all the same.
			if (is_check_space(byte) && plan->check_at_line.recent == 0)
				begin_tail(plan, offset, true);
			else
				line_is_text(plan);
			return;
		}
		if (byte == '\n' || !is_line_space(byte) || !plan->line_between) {
			line_is_text(plan);
			return;
		}
		plan->line = LINE_GAP;
		plan->gap_is_space = byte == ' ';
		return;
	}
	case LINE_GAP:
		if (is_line_space(byte))
			return;
		if (byte == '\n') {
			line_is_text(plan);
			return;
		}
		plan->line = LINE_NAME;
		plan->matched = 0;
		[[fallthrough]];
	case LINE_NAME: {
		const char *name = rules[plan->rule - KEYWORD_BOOLEAN].name;
		if (plan->matched < std::strlen(name)) {
			if (!spells(KEYWORD_BOOLEAN, name, plan->matched, byte)) {
				line_is_text(plan);
				return;
			}
			plan->exact_case &= byte == static_cast<unsigned char>(name[plan->matched]);
			++plan->matched;
			return;
		}
		if (is_name_byte(byte)) // USE_RCK2, frequency: other variables
			line_is_text(plan);
		else
			begin_declaration(plan, offset);
		return;
	}
	case LINE_OFF:
		return;
	}
}

// ---- The stages

void end_declaration(patch_plan *plan, std::uint64_t end)
{
	crc_to(plan, end);
	const char *replacement = rules[plan->forcing].replacement;
	std::size_t length = std::strlen(replacement);
	std::uint64_t ignored = 0;
	std::uint16_t output = crc16_update(plan->output_at_edit,
	                                    reinterpret_cast<const unsigned char *>(replacement),
	                                    length, &ignored);
	plan->difference = static_cast<std::uint16_t>(output ^ plan->crc_input);
	plan->fed_since = 0;
	if (!plan->words_equal || plan->words[plan->words_at] != '\0')
		plan->not_forced[plan->forcing] = true;
	bool same = plan->replaced_equal && plan->replaced_matched == length;
	if (!same && !add_edit(plan, plan->declaration_from, end, replacement, length))
		return;
	plan->declaration_end = end;
	// The text goes on as it would after the forced line itself.
	plan->check = {IN_CODE, false, false, ';' << 8 | '\n'};
	plan->stage = STAGE_TEXT;
	begin_line(plan, end);
}

// A byte of a declaration being dropped, compared with its forced words,
// blanks and comments passed over.
void compare_words(patch_plan *plan, unsigned char byte)
{
	if (plan->words_in_comment) {
		plan->words_in_comment = byte != '\n';
	} else if (byte == '\'') {
		plan->words_in_comment = true;
	} else if (!is_check_space(byte)) {
		if (plan->words[plan->words_at] == static_cast<char>(byte))
			++plan->words_at;
		else
			plan->words_equal = false;
	}
}

void declaration_step(patch_plan *plan, unsigned char byte, std::uint64_t offset)
{
	const interpreter_reading *in = &plan->interpreter;
	compare_words(plan, byte);
	switch (plan->stage) {
	case STAGE_DECLARATION:
		check_take(&plan->check, byte);
		if (in->in_statement != plan->check.in_statement)
			disagree(plan, REFUSE_READINGS_DISAGREE, plan->declaration_from);
		if (!plan->check.in_statement)
			plan->stage = STAGE_AFTER_DECLARATION;
		return;
	case STAGE_AFTER_DECLARATION:
		if (is_line_space(byte))
			break;
		if (byte != '\n' && byte != '\'') {
			// Replacing the line would silently drop another statement.
			refuse(plan, REFUSE_MORE_THAN_DECLARATION, plan->declaration_from);
			return;
		}
		check_take(&plan->check, byte);
		if (byte == '\'')
			plan->stage = STAGE_DECLARATION_COMMENT;
		break;
	default:
		check_take(&plan->check, byte);
		break;
	}
	if (in->in_statement)
		disagree(plan, REFUSE_MORE_THAN_DECLARATION, plan->declaration_from);
	if (byte == '\n')
		end_declaration(plan, offset + 1);
}

// The old CRC statement, read as a player checks it: white space, four hex
// digits, white space, ';'; then whether any text follows.
void tail_step(patch_plan *plan, unsigned char byte, std::uint64_t offset)
{
	enum { SPACE, DIGITS, SPACE_AFTER };
	if (byte == '\r')
		return;
	if (plan->tail == TAIL_VALUE) {
		bool space = is_check_space(byte);
		int digit = byte >= '0' && byte <= '9'   ? byte - '0'
		            : byte >= 'A' && byte <= 'F' ? byte - 'A' + 10
		            : byte >= 'a' && byte <= 'f' ? byte - 'a' + 10
		                                         : -1;
		if (plan->value_phase == SPACE && !space)
			plan->value_phase = DIGITS;
		if (plan->value_phase == DIGITS) {
			if (digit >= 0 && plan->value_digits < 4) {
				plan->value = plan->value * 16 + static_cast<unsigned>(digit);
				++plan->value_digits;
				return;
			}
			plan->value_phase = SPACE_AFTER;
			if (plan->value_digits < 4 || digit >= 0)
				plan->tail = TAIL_REST; // a byte no player accepts there
		}
		if (plan->tail == TAIL_VALUE && plan->value_phase == SPACE_AFTER && !space) {
			if (byte == ';') {
				plan->crc_stored_valid = true;
				plan->crc_stored = static_cast<std::uint16_t>(plan->value);
				plan->tail = TAIL_AFTER;
				return;
			}
			plan->tail = TAIL_REST;
		}
		if (plan->tail == TAIL_VALUE)
			return;
	}
	if (plan->tail == TAIL_REST) {
		if (byte == ';')
			plan->tail = TAIL_AFTER;
		return;
	}
	if (plan->tail == TAIL_AFTER && !is_check_space(byte)) {
		plan->text_after_crc = true;
		plan->dropped_from = offset;
		plan->tail = TAIL_TEXT;
	}
}

// One byte of the text, where no quicker way applies.
void step(patch_plan *plan, unsigned char byte, std::uint64_t offset)
{
	if (byte == 0 || byte == 0xFF) {
		// Not text; a player reading signed characters also takes 0xFF for
		// the end of the file.
		refuse(plan, REFUSE_NOT_TEXT, offset);
		return;
	}
	if (plan->stage != STAGE_TAIL)
		interpreter_step(plan, byte, offset);
	// Carriage returns are invisible to the check: a blank in an indent or
	// a gap, skipped inside a word.
	bool visible = byte != '\r';
	if (plan->stage == STAGE_TEXT && visible) {
		if (!check_fires(&plan->check, byte))
			rule_step(plan, byte, offset);
		else if (plan->line == LINE_KEYWORD && plan->rule == KEYWORD_CRC && plan->matched == 3)
			begin_tail(plan, offset, false);
		else
			refuse(plan, REFUSE_CRC_INSIDE_LINE, offset);
	}
	switch (plan->stage) {
	case STAGE_TEXT:
		if (visible) {
			check_take(&plan->check, byte);
			if (byte == '\n')
				begin_line(plan, offset + 1);
		}
		break;
	case STAGE_TAIL:
		compare_replaced(plan, byte, plan->statement, plan->statement_length);
		if (visible)
			tail_step(plan, byte, offset);
		break;
	case STAGE_DONE:
		return;
	default:
		compare_replaced(plan, byte, rules[plan->forcing].replacement,
		                 std::strlen(rules[plan->forcing].replacement));
		if (visible)
			declaration_step(plan, byte, offset);
		break;
	}
	if (plan->crc_pending && visible && offset >= plan->crc_pending_after) {
		// The interpreter found a CRC statement the check does not.
		plan->crc_pending = false;
		disagree(plan, REFUSE_READINGS_DISAGREE, plan->interpreter.word_at);
	}
}

// Bytes to stop at, where a run of bytes that change nothing ends.
struct stop_table {
	bool stop[256];
};

constexpr stop_table stops_at(const char *bytes)
{
	stop_table table{};
	table.stop[0] = table.stop[0xFF] = true;
	for (; *bytes != '\0'; ++bytes)
		table.stop[static_cast<unsigned char>(*bytes)] = true;
	return table;
}

constexpr stop_table comment_stops = stops_at("\r\n");
constexpr stop_table string_stops = stops_at("\"");
constexpr stop_table statement_stops = stops_at(";'\"");
constexpr stop_table nothing_but_nul = stops_at("");

// How many bytes at data change nothing in either reading: inside a
// comment, a string, or a statement past its first words, both readings
// only wait for the byte that ends it; after the old statement's text,
// only a NUL matters. That is most of a STAPL file's bytes.
std::size_t quiet_run(const patch_plan *plan, const unsigned char *data, std::size_t length)
{
	const stop_table *table = nullptr;
	const check_reading &check = plan->check;
	const interpreter_reading &in = plan->interpreter;
	if (plan->stage == STAGE_TAIL) {
		if (plan->tail == TAIL_TEXT)
			table = &nothing_but_nul;
	} else if (plan->stage == STAGE_TEXT && plan->line == LINE_OFF && !plan->crc_pending) {
		if (check.mode == IN_COMMENT && in.mode == IN_COMMENT)
			table = &comment_stops;
		else if (check.mode == IN_STRING && in.mode == IN_STRING)
			table = &string_stops;
		else if (check.mode == IN_CODE && check.in_statement && !check.in_first_word &&
		         in.mode == IN_CODE && in.in_statement && in.phase == WORDS_BODY)
			table = &statement_stops;
	}
	if (table == nullptr)
		return 0;
	std::size_t i = 0;
	while (i < length && !table->stop[data[i]])
		++i;
	return i;
}

void feed_block(patch_plan *plan, const unsigned char *data, std::size_t length)
{
	plan->block = data;
	plan->block_base = plan->size;
	for (std::size_t i = 0; i < length && plan->stage != STAGE_DONE; ++i) {
		i += quiet_run(plan, data + i, length - i);
		if (i < length)
			step(plan, data[i], plan->block_base + i);
	}
	plan->size += length;
	crc_to(plan, plan->size);
	if (length > 0)
		plan->last_byte = data[length - 1];
}

// The rules at the text's end decide as they would before a line end: an
// unfinished last line gets one.
void rule_at_end(patch_plan *plan)
{
	std::uint64_t end = plan->size;
	if (plan->line == LINE_KEYWORD && plan->rule == KEYWORD_CRC && plan->matched == 3) {
		if (fires_on_line_end(&plan->check))
			begin_tail(plan, end, false);
		else if (plan->check_at_line.recent == 0)
			begin_tail(plan, end, true);
		else
			line_is_text(plan);
	} else if (plan->line == LINE_NAME &&
	           plan->matched == std::strlen(rules[plan->rule - KEYWORD_BOOLEAN].name)) {
		begin_declaration(plan, end);
	} else {
		line_is_text(plan);
	}
}

} // namespace

void plan_begin(patch_plan *plan)
{
	std::memset(plan, 0, offsetof(patch_plan, edits));
	plan->crc_input = crc16_preset;
	plan->difference = 0;
	plan->stage = STAGE_TEXT;
	begin_line(plan, 0);
}

void plan_feed(patch_plan *plan, const unsigned char *data, std::size_t length)
{
	// A UTF-8 byte-order mark, as Notepad writes one, counts as the first
	// line's indent: the first three bytes wait until they are all here.
	if (!plan->head_done) {
		while (length > 0 && plan->head_length < 3) {
			plan->head[plan->head_length++] = *data++;
			--length;
		}
		if (plan->head_length < 3)
			return;
		plan->head_done = true;
		plan->mark = std::memcmp(plan->head, "\xEF\xBB\xBF", 3) == 0;
		begin_line(plan, 0);
		feed_block(plan, plan->head, 3);
	}
	if (length > 0)
		feed_block(plan, data, length);
}

void plan_finish(patch_plan *plan)
{
	if (!plan->head_done) {
		plan->head_done = true;
		feed_block(plan, plan->head, plan->head_length);
	}
	std::uint64_t end = plan->size;
	if (plan->stage == STAGE_DONE)
		return;
	if (plan->stage != STAGE_TAIL)
		word_ends(plan, end, true);
	if (plan->stage == STAGE_TEXT)
		rule_at_end(plan);
	if (plan->crc_pending)
		disagree(plan, REFUSE_READINGS_DISAGREE, plan->interpreter.word_at);
	switch (plan->stage) {
	case STAGE_DECLARATION:
		refuse(plan, REFUSE_UNFINISHED_DECLARATION, plan->declaration_from);
		return;
	case STAGE_AFTER_DECLARATION:
	case STAGE_DECLARATION_COMMENT:
		end_declaration(plan, end);
		break;
	case STAGE_TAIL:
		// Only the text the tool itself makes of an empty one may begin
		// with its CRC statement.
		if (plan->tail_at_text_start &&
		    (!plan->crc_stored_valid || plan->crc_stored != 0 || plan->text_after_crc)) {
			refuse(plan, REFUSE_BEGINS_WITH_CRC, 0);
			return;
		}
		break;
	default:
		break;
	}
	if (plan->stage == STAGE_DONE)
		return;
	// What a player reads before the new statement must leave nothing open.
	const check_reading &written = plan->stage == STAGE_TAIL ? plan->check_at_line : plan->check;
	if (written.mode == IN_STRING) {
		refuse(plan, REFUSE_UNFINISHED_STRING, end);
		return;
	}
	if (written.in_statement) {
		refuse(plan, REFUSE_UNFINISHED_STATEMENT, end);
		return;
	}
	if (plan->interpreter_refusal != REFUSE_NOTHING) {
		refuse(plan, plan->interpreter_refusal, plan->interpreter_refusal_offset);
		return;
	}
	plan->appended[0] = '\r';
	plan->appended[1] = '\n';
	if (plan->stage == STAGE_TAIL) {
		if (!plan->replaced_equal || plan->replaced_matched != plan->statement_length)
			(void)add_edit(plan, plan->tail_from, end, plan->statement, plan->statement_length);
		return;
	}
	// No old statement: the new one is appended, after a line end when the
	// last line has none.
	plan->input_crc = crc16_value(plan->crc_input);
	std::uint16_t output = output_register(plan, plan->crc_input, plan->fed_since);
	bool add_line_end = end > 0 && plan->declaration_end != end && plan->last_byte != '\n';
	std::uint64_t ignored = 0;
	if (add_line_end)
		output = crc16_update(output, reinterpret_cast<const unsigned char *>("\n"), 1, &ignored);
	plan->output_crc = crc16_value(output);
	plan->statement_length = crc16_format_statement(plan->output_crc, plan->appended + 2);
	plan->statement = plan->appended + 2;
	(void)add_edit(plan, end, end, add_line_end ? plan->appended : plan->statement,
	               plan->statement_length + (add_line_end ? 2 : 0));
}

const char *forced_declaration(forced_variable variable)
{
	return rules[variable].replacement;
}

// diff.cpp - the hunks of --diff, from the plan and the file read again
// around its edits. See diff.h.
#include "diff.h"

#include <cstdio>
#include <cstring>

namespace {

// Lines of context around each change, as diff -u gives them.
const std::uint64_t context = 3;

std::uint64_t starts[plan_max_edits]; // where each edit's first old line begins
char held[1 << 20];
std::size_t held_length;

void out(const char *data, std::size_t length)
{
	if (length > sizeof held - held_length) {
		// Too long to hold back: it goes out as it is made.
		write_text(stdout, held, held_length);
		held_length = 0;
	}
	if (length > sizeof held) {
		write_text(stdout, data, length);
		return;
	}
	std::memcpy(held + held_length, data, length);
	held_length += length;
}

void out(const char *text) { out(text, std::strlen(text)); }

// Writes length bytes as diff lines: prefix before each line's first byte.
void out_lines(char prefix, const char *data, std::size_t length, bool *at_line_start)
{
	while (length > 0) {
		if (*at_line_start)
			out(&prefix, 1);
		const char *line_feed = static_cast<const char *>(std::memchr(data, '\n', length));
		std::size_t line = line_feed ? static_cast<std::size_t>(line_feed - data) + 1 : length;
		out(data, line);
		*at_line_start = line_feed != nullptr;
		data += line;
		length -= line;
	}
}

struct reading {
	input_file *input;
	unsigned char *buffer;
	std::size_t size;
	failure *why;
	diff_result result;
};

// Reads want bytes at offset, at most the buffer's size: all of them, or
// the file is shorter than it was planned from.
bool read_at(reading *r, std::uint64_t offset, std::uint64_t want, std::size_t *got)
{
	std::size_t asked = want < r->size ? want : r->size;
	if (!read_input(r->input, offset, r->buffer, asked, got, r->why))
		r->result = DIFF_FAILED;
	else if (*got != asked)
		r->result = DIFF_CHANGED;
	return r->result == DIFF_MADE;
}

// The input's bytes from..to as diff lines, read again; up to lines lines.
bool out_input(reading *r, std::uint64_t from, std::uint64_t to, char prefix,
               bool *at_line_start, std::uint64_t lines = ~std::uint64_t{0})
{
	while (from < to && lines > 0) {
		std::size_t got, take = 0;
		if (!read_at(r, from, to - from, &got))
			return false;
		while (take < got && lines > 0)
			lines -= r->buffer[take++] == '\n' ? 1 : 0;
		out_lines(prefix, reinterpret_cast<const char *>(r->buffer), take, at_line_start);
		from += take;
	}
	return true;
}

// Where the line holding offset begins, or the one lines_back lines
// before it: read backward, a page at a time.
bool line_start(reading *r, std::uint64_t offset, std::uint64_t lines_back, std::uint64_t *start)
{
	for (std::uint64_t to = offset; to > 0;) {
		std::uint64_t from = to > 4096 ? to - 4096 : 0;
		std::size_t got = 0;
		if (!read_at(r, from, to - from, &got))
			return false;
		for (std::size_t i = got; i-- > 0;) {
			if (r->buffer[i] == '\n' && lines_back-- == 0) {
				*start = from + i + 1;
				return true;
			}
		}
		to = from;
	}
	*start = 0;
	return true;
}

// What hunk headers say of a range: its first line and its length, the
// length left out when it is 1, and the line before it when it is empty.
void out_range(const char *sign, std::uint64_t start, std::uint64_t count)
{
	char text[64];
	(void)std::snprintf(text, sizeof text, count == 1 ? "%s%llu" : "%s%llu,%llu", sign,
	                    static_cast<unsigned long long>(count == 0 ? start - 1 : start),
	                    static_cast<unsigned long long>(count));
	out(text);
}

// The lines changes first..last add on the new side.
std::int64_t growth(const patch_plan *plan, unsigned first, unsigned last)
{
	std::int64_t grows = 0;
	for (unsigned i = first; i <= last; ++i) {
		const plan_edit &edit = plan->edits[i];
		grows -= static_cast<std::int64_t>(edit.lines);
		for (std::size_t k = 0; k < edit.length; ++k)
			grows += edit.text[k] == '\n' ? 1 : 0;
	}
	return grows;
}

// The hunk of changes first..last, the lines before it having added
// shift lines on the new side.
bool out_hunk(reading *r, const patch_plan *plan, unsigned first, unsigned last,
              std::int64_t shift, std::uint64_t total_lines)
{
	const plan_edit &a = plan->edits[first], &b = plan->edits[last];
	std::uint64_t before = a.line - 1 < context ? a.line - 1 : context, context_from = 0;
	std::uint64_t after = b.line + b.lines; // the first old line past the changes
	std::uint64_t trailing = total_lines + 1 - after < context ? total_lines + 1 - after : context;
	std::uint64_t old_count = after + trailing - (a.line - before);
	out_range("@@ -", a.line - before, old_count);
	out_range(" +", a.line - before + static_cast<std::uint64_t>(shift),
	          old_count + static_cast<std::uint64_t>(growth(plan, first, last)));
	out(" @@\n");
	bool at_line_start = true;
	if (!line_start(r, starts[first], before, &context_from) ||
	    !out_input(r, context_from, starts[first], ' ', &at_line_start))
		return false;
	for (unsigned i = first; i <= last;) {
		// A run of adjacent changes: all it removes, then all it adds.
		unsigned end = i;
		while (end < last && plan->edits[end].to == starts[end + 1])
			++end;
		for (unsigned k = i; k <= end; ++k) {
			at_line_start = true;
			if (!out_input(r, starts[k], plan->edits[k].to, '-', &at_line_start))
				return false;
			if (!at_line_start && plan->edits[k].to > starts[k])
				out("\n\\ No newline at end of file\n");
		}
		for (unsigned k = i; k <= end; ++k) {
			at_line_start = true;
			if (!out_input(r, starts[k], plan->edits[k].from, '+', &at_line_start))
				return false;
			out_lines('+', plan->edits[k].text, plan->edits[k].length, &at_line_start);
		}
		at_line_start = true;
		if (end < last && !out_input(r, plan->edits[end].to, starts[end + 1], ' ',
		                             &at_line_start))
			return false;
		i = end + 1;
	}
	at_line_start = true;
	return out_input(r, plan->edits[last].to, plan->size, ' ', &at_line_start, trailing);
}

// The whole diff, held back; false when reading failed (r->result says why).
bool out_diff(reading *r, const char *path, const patch_plan *plan)
{
	std::uint64_t total_lines = plan->line_feeds + (plan->size > 0 && plan->last_byte != '\n' ? 1 : 0);
	for (unsigned k = 0; k < plan->edit_count; ++k) {
		const plan_edit &edit = plan->edits[k];
		if (!line_start(r, edit.from, 0, &starts[k]))
			return false;
		// Where the edit before took the unfinished last line and ended
		// it, this one adds a line after it.
		if (k > 0 && plan->edits[k - 1].to == edit.from && edit.from > starts[k])
			starts[k] = edit.from;
	}
	// The name comes quoted where a blank would end it for patch.
	static const char *const signs[] = {"--- ", "+++ "};
	for (const char *sign : signs) {
		out(sign);
		out(path);
		out("\n");
	}
	std::int64_t shift = 0;
	for (unsigned first = 0, last = 0; first < plan->edit_count; first = ++last) {
		// Changes whose context touches or overlaps make one hunk.
		while (last + 1 < plan->edit_count &&
		       plan->edits[last + 1].line <= plan->edits[last].line + plan->edits[last].lines + 2 * context)
			++last;
		if (!out_hunk(r, plan, first, last, shift, total_lines))
			return false;
		shift += growth(plan, first, last);
	}
	return true;
}

} // namespace

diff_result make_diff(input_file *input, const char *path, const patch_plan *plan,
                      unsigned char *buffer, std::size_t size, failure *why)
{
	held_length = 0;
	reading r = {input, buffer, size, why, DIFF_MADE};
	failure looked = {FAILED_NOTHING, {0, false}};
	if (out_diff(&r, path, plan) && !input_unchanged(input, &looked)) {
		r.result = looked.step == FAILED_NOTHING ? DIFF_CHANGED : DIFF_FAILED;
		*why = looked;
	}
	if (r.result == DIFF_MADE)
		write_text(stdout, held, held_length);
	return r.result;
}

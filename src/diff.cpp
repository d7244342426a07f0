// diff.cpp - the hunks of --diff, from the plan and the file read again.
// See diff.h.
#include "diff.h"

#include <cstdio>
#include <cstring>

namespace {

// Lines of context around each change, as diff -u gives them.
const std::uint64_t context = 3;

// One edit of the plan, in lines of the old text.
struct change {
	std::uint64_t line_start;   // where its first old line begins
	std::uint64_t first_line;   // and its number, from 1
	std::uint64_t old_lines;    // the lines it removes
	std::uint64_t new_lines;    // and adds
	std::uint64_t context_from; // where the line up to three before it begins
};

change changes[plan_max_edits];
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

// Reads up to want bytes at offset, at most the buffer's size; 0 at the end.
bool read_at(reading *r, std::uint64_t offset, std::uint64_t want, std::size_t *got)
{
	bool read = read_input(r->input, offset, r->buffer, want < r->size ? want : r->size, got, r->why);
	r->result = read ? r->result : DIFF_FAILED;
	return read;
}

// The input's bytes from..to as diff lines, read again; up to lines lines.
bool out_input(reading *r, std::uint64_t from, std::uint64_t to, char prefix,
               bool *at_line_start, std::uint64_t lines = ~std::uint64_t{0})
{
	while (from < to && lines > 0) {
		std::size_t got, take = 0;
		if (!read_at(r, from, to - from, &got))
			return false;
		if (got == 0) {
			r->result = DIFF_CHANGED; // shorter than it was
			return false;
		}
		while (take < got && lines > 0)
			lines -= r->buffer[take++] == '\n' ? 1 : 0;
		out_lines(prefix, reinterpret_cast<const char *>(r->buffer), take, at_line_start);
		from += take;
	}
	return true;
}

// Reads the file once through: where each edit's lines begin, how many
// it removes, and how many lines the file has.
bool locate(reading *r, const patch_plan *plan, std::uint64_t *total_lines)
{
	std::uint64_t starts[context + 1] = {0}; // of the last lines, by number modulo 4
	std::uint64_t line = 1, offset = 0, line_start = 0;
	unsigned next_from = 0, next_to = 0;
	unsigned char last = '\n';
	for (std::size_t got = 1; got > 0;) {
		if (!read_at(r, offset, r->size, &got))
			return false;
		for (std::size_t i = 0; i <= got; ++i, ++offset) {
			for (; next_from < plan->edit_count && plan->edits[next_from].from == offset; ++next_from) {
				change &c = changes[next_from];
				c = {line_start, line, 0, 0, starts[(line - (line - 1 < context ? line - 1 : context)) % 4]};
				if (next_from > 0 && plan->edits[next_from - 1].to == offset && offset > line_start) {
					// The edit before took the unfinished last line and
					// ended it: this one adds a line after it.
					c.line_start = offset;
					++c.first_line;
				}
			}
			for (; next_to < next_from && plan->edits[next_to].to == offset; ++next_to) {
				change &c = changes[next_to];
				c.old_lines = offset == c.line_start ? 0 : line - c.first_line;
			}
			if (i == got)
				break;
			if (r->buffer[i] == '\n') {
				line_start = offset + 1;
				starts[++line % 4] = line_start;
			}
		}
		last = got > 0 ? r->buffer[got - 1] : last;
	}
	if (offset != plan->size || next_to != plan->edit_count) {
		r->result = DIFF_CHANGED;
		return false;
	}
	bool open_last_line = plan->size > 0 && last != '\n';
	*total_lines = line - 1 + (open_last_line ? 1 : 0);
	for (unsigned i = 0; i < plan->edit_count; ++i) {
		const plan_edit &edit = plan->edits[i];
		if (edit.to == plan->size && open_last_line && edit.to > changes[i].line_start)
			++changes[i].old_lines; // the unfinished last line
		for (std::size_t k = 0; k < edit.length; ++k)
			changes[i].new_lines += edit.text[k] == '\n';
	}
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

std::int64_t growth(unsigned first, unsigned last)
{
	std::int64_t grows = 0;
	for (unsigned i = first; i <= last; ++i)
		grows += static_cast<std::int64_t>(changes[i].new_lines - changes[i].old_lines);
	return grows;
}

// The hunk of changes first..last, the lines before it having added
// shift lines on the new side.
bool out_hunk(reading *r, const patch_plan *plan, unsigned first, unsigned last,
              std::int64_t shift, std::uint64_t total_lines)
{
	const change &a = changes[first], &b = changes[last];
	std::uint64_t old_start = a.first_line - (a.first_line - 1 < context ? a.first_line - 1 : context);
	std::uint64_t after = b.first_line + b.old_lines; // the first old line past the changes
	std::uint64_t trailing = total_lines + 1 - after < context ? total_lines + 1 - after : context;
	std::uint64_t old_count = after + trailing - old_start;
	out_range("@@ -", old_start, old_count);
	out_range(" +", old_start + static_cast<std::uint64_t>(shift),
	          old_count + static_cast<std::uint64_t>(growth(first, last)));
	out(" @@\n");
	bool at_line_start = true;
	if (!out_input(r, a.context_from, a.line_start, ' ', &at_line_start))
		return false;
	for (unsigned i = first; i <= last;) {
		// A run of adjacent changes: all it removes, then all it adds.
		unsigned end = i;
		while (end < last && plan->edits[end].to == changes[end + 1].line_start)
			++end;
		for (unsigned k = i; k <= end; ++k) {
			at_line_start = true;
			if (!out_input(r, changes[k].line_start, plan->edits[k].to, '-', &at_line_start))
				return false;
			if (!at_line_start && plan->edits[k].to > changes[k].line_start)
				out("\n\\ No newline at end of file\n");
		}
		for (unsigned k = i; k <= end; ++k) {
			at_line_start = true;
			if (!out_input(r, changes[k].line_start, plan->edits[k].from, '+', &at_line_start))
				return false;
			out_lines('+', plan->edits[k].text, plan->edits[k].length, &at_line_start);
		}
		at_line_start = true;
		if (end < last && !out_input(r, plan->edits[end].to, changes[end + 1].line_start, ' ',
		                             &at_line_start))
			return false;
		i = end + 1;
	}
	at_line_start = true;
	return out_input(r, plan->edits[last].to, plan->size, ' ', &at_line_start, trailing);
}

} // namespace

diff_result make_diff(input_file *input, const char *path, const patch_plan *plan,
                      unsigned char *buffer, std::size_t size, failure *why)
{
	held_length = 0;
	reading r = {input, buffer, size, why, DIFF_MADE};
	std::uint64_t total_lines = 0;
	if (!locate(&r, plan, &total_lines))
		return r.result;
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
		       changes[last + 1].first_line <=
		               changes[last].first_line + changes[last].old_lines + 2 * context)
			++last;
		if (!out_hunk(&r, plan, first, last, shift, total_lines))
			return r.result;
		shift += growth(first, last);
	}
	return DIFF_MADE;
}

void release_diff(bool write)
{
	if (write)
		write_text(stdout, held, held_length);
	held_length = 0;
}

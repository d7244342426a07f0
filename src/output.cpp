// output.cpp - the file and the comparison a copy pass writes into; the
// hunks and the diff are diff.cpp's. See output.h.
#include "output.h"

#include <cstring>

#include "diff.h"

namespace {

const char line_end[] = "\r\n";

void remember(unsigned char *kept, std::uint64_t *length, const unsigned char *data,
              std::size_t size)
{
	for (std::size_t i = 0; i < size && *length + i < sizeof(change_comparison::dropped); ++i)
		kept[*length + i] = data[i];
	*length += size;
}

// The comparison of a change that ends.
void compare_change(text_output *out)
{
	if (change_differs(&out->compared))
		out->changed = true;
	out->compared = change_comparison{};
}

} // namespace

void note_dropped(change_comparison *change, const unsigned char *data, std::size_t length)
{
	remember(change->dropped, &change->dropped_length, data, length);
}

void note_inserted(change_comparison *change, const unsigned char *data, std::size_t length)
{
	remember(change->inserted, &change->inserted_length, data, length);
}

bool change_differs(const change_comparison *change)
{
	return change->dropped_length != change->inserted_length ||
	       change->dropped_length > sizeof change->dropped ||
	       std::memcmp(change->dropped, change->inserted, change->dropped_length) != 0;
}

namespace {

text_output output_of(output_kind kind)
{
	text_output out{};
	out.kind = kind;
	return out;
}

// The new CRC statement, over everything handed over for the output.
void make_statement(text_output *out)
{
	std::uint16_t output = crc16_preset;
	crc_beside_end(out->crc, &output, nullptr);
	out->statement_length = crc16_format_statement(crc16_value(output), out->statement);
}

} // namespace

text_output file_output(temporary_file *temporary, crc_beside *crc, failure *why)
{
	text_output out = output_of(OUTPUT_FILE);
	out.temporary = temporary;
	out.crc = crc;
	out.why = why;
	return out;
}

text_output comparison_output(crc_beside *crc)
{
	text_output out = output_of(OUTPUT_COMPARISON);
	out.crc = crc;
	return out;
}

text_output hunks_output(hunk_finder *hunks)
{
	text_output out = output_of(OUTPUT_HUNKS);
	out.hunks = hunks;
	return out;
}

text_output diff_output(hunk_printer *printer)
{
	text_output out = output_of(OUTPUT_DIFF);
	out.printer = printer;
	return out;
}

bool output_keep(text_output *out, const unsigned char *data, std::size_t length)
{
	if (out->crc != nullptr)
		crc_beside_add(out->crc, SPAN_KEEP, data, length);
	switch (out->kind) {
	case OUTPUT_FILE:
		return write_temporary(out->temporary, data, length, out->why);
	case OUTPUT_COMPARISON:
		return true;
	case OUTPUT_HUNKS:
		return hunks_take(out->hunks, HUNK_KEEP, data, length);
	case OUTPUT_DIFF:
		return printer_take(out->printer, HUNK_KEEP, data, length);
	}
	return false;
}

bool output_drop(text_output *out, const unsigned char *data, std::size_t length)
{
	if (out->crc != nullptr)
		crc_beside_add(out->crc, SPAN_DROP, data, length);
	switch (out->kind) {
	case OUTPUT_FILE:
		return true;
	case OUTPUT_COMPARISON:
		note_dropped(&out->compared, data, length);
		return true;
	case OUTPUT_HUNKS:
		return hunks_take(out->hunks, HUNK_DROP, data, length);
	case OUTPUT_DIFF:
		return printer_take(out->printer, HUNK_DROP, data, length);
	}
	return false;
}

bool output_insert(text_output *out, const char *text, std::size_t length)
{
	const unsigned char *data = reinterpret_cast<const unsigned char *>(text);
	if (out->crc != nullptr)
		crc_beside_add(out->crc, SPAN_INSERT, data, length);
	switch (out->kind) {
	case OUTPUT_FILE:
		return write_temporary(out->temporary, data, length, out->why);
	case OUTPUT_COMPARISON:
		if (!out->in_change)
			out->changed = true;
		note_inserted(&out->compared, data, length);
		return true;
	case OUTPUT_HUNKS:
		return hunks_take(out->hunks, HUNK_INSERT, data, length);
	case OUTPUT_DIFF:
		return printer_take(out->printer, HUNK_INSERT, data, length);
	}
	return false;
}

output_answer output_change(text_output *out, std::uint64_t offset)
{
	output_answer answer = OUTPUT_GO;
	if (out->kind == OUTPUT_HUNKS)
		answer = hunks_change(out->hunks, offset);
	else if (out->kind == OUTPUT_DIFF)
		answer = printer_change(out->printer);
	out->in_change = answer == OUTPUT_GO;
	return answer;
}

void output_change_done(text_output *out)
{
	out->in_change = false;
	if (out->kind == OUTPUT_COMPARISON)
		compare_change(out);
	else if (out->kind == OUTPUT_HUNKS)
		hunks_change_done(out->hunks);
	else if (out->kind == OUTPUT_DIFF)
		printer_change_done(out->printer);
}

void output_statement_found(text_output *out)
{
	if (out->crc != nullptr)
		crc_beside_add(out->crc, SPAN_CLOSE_INPUT, nullptr, 0);
}

void output_next_block(text_output *out)
{
	if (out->crc != nullptr)
		crc_beside_next_block(out->crc);
}

bool output_finish(text_output *out, bool add_line_end)
{
	if (add_line_end && !output_insert(out, line_end, 2))
		return false;
	switch (out->kind) {
	case OUTPUT_FILE:
		make_statement(out);
		return write_temporary(out->temporary,
		                       reinterpret_cast<const unsigned char *>(out->statement),
		                       out->statement_length, out->why);
	case OUTPUT_COMPARISON:
		make_statement(out);
		if (!out->in_change)
			out->changed = true; // the input holds no statement where it goes
		note_inserted(&out->compared, reinterpret_cast<const unsigned char *>(out->statement),
		              out->statement_length);
		compare_change(out);
		out->in_change = false;
		return true;
	case OUTPUT_HUNKS:
		return hunks_finish(out->hunks, add_line_end);
	case OUTPUT_DIFF:
		return printer_finish(out->printer, add_line_end);
	}
	return false;
}

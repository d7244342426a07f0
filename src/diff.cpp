// diff.cpp - --diff: the hunk finder, the hunk printer, and the diff of one
// file. See diff.h.
#include "diff.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "scan.h"

namespace {

// Lines of context around each change, as diff -u gives them.
const std::uint64_t context = 3;

const char no_line_end[] = "\n\\ No newline at end of file\n";

unsigned char reread_block[65536];

// Moves a position over bytes of one side or both.
void advance(line_position *at, hunk_piece piece, const unsigned char *data, std::size_t length)
{
	if (length == 0)
		return;
	unsigned long line_feeds = count_line_feeds(data, length);
	bool open = data[length - 1] != '\n';
	if (piece != HUNK_INSERT) {
		at->old_line += line_feeds;
		at->old_open = open;
		if (line_feeds > 0) {
			std::size_t last = length - 1;
			while (data[last] != '\n')
				--last;
			at->line_start = at->offset + last + 1;
		}
		at->offset += length;
	}
	if (piece != HUNK_DROP) {
		at->new_line += line_feeds;
		at->new_open = open;
	}
}

void write_out(const void *data, std::size_t length)
{
	write_text(stdout, static_cast<const char *>(data), length);
}

// Writes length bytes as diff lines: prefix before each line's first byte.
void write_lines(char prefix, const unsigned char *data, std::size_t length, bool *at_line_start)
{
	while (length > 0) {
		if (*at_line_start)
			write_out(&prefix, 1);
		const void *line_feed = std::memchr(data, '\n', length);
		std::size_t line = line_feed ? static_cast<std::size_t>(
						       static_cast<const unsigned char *>(line_feed) - data) + 1
					     : length;
		write_out(data, line);
		*at_line_start = line_feed != nullptr;
		data += line;
		length -= line;
	}
}

// Writes the input's bytes from..to as diff lines, read again.
bool write_input_lines(input_file *input, std::uint64_t from, std::uint64_t to, char prefix,
                       bool *at_line_start, failure *why)
{
	while (from < to) {
		std::size_t want = to - from < sizeof reread_block ? static_cast<std::size_t>(to - from)
		                                                   : sizeof reread_block;
		std::size_t got = 0;
		if (!read_input(input, from, reread_block, want, &got, why))
			return false;
		if (got == 0) {
			// Shorter than it was: changed meanwhile.
			why->step = FAILED_READ;
			why->error = {EIO, true};
			return false;
		}
		write_lines(prefix, reread_block, got, at_line_start);
		from += got;
	}
	return true;
}

// The offset where the line lines before the one at offset begins, found
// by reading back.
bool start_of_lines_before(input_file *input, std::uint64_t offset, std::uint64_t lines,
                           std::uint64_t *start, failure *why)
{
	*start = offset;
	if (lines == 0)
		return true;
	std::uint64_t line_feeds = 0;
	while (offset > 0) {
		std::size_t want = offset < sizeof reread_block ? static_cast<std::size_t>(offset)
		                                                : sizeof reread_block;
		std::size_t got = 0;
		if (!read_input(input, offset - want, reread_block, want, &got, why))
			return false;
		if (got < want) {
			// Shorter than it was: changed meanwhile.
			why->step = FAILED_READ;
			why->error = {EIO, true};
			return false;
		}
		for (std::size_t i = want; i > 0; --i) {
			// The first line feed back is the end of the line before.
			if (reread_block[i - 1] == '\n' && ++line_feeds > lines) {
				*start = offset - want + i;
				return true;
			}
		}
		offset -= want;
	}
	*start = 0;
	return true;
}

void open_hunk(hunk_finder *hunks, std::uint64_t offset, std::uint64_t old_line,
               std::uint64_t new_line, bool bookmarked)
{
	std::uint64_t before = old_line - 1 < context ? old_line - 1 : context;
	hunks->open = true;
	hunks->changes = 0;
	hunks->gathering = hunk_bounds{};
	hunks->gathering.old_start = old_line - before;
	hunks->gathering.new_start = new_line - before;
	hunks->gathering.first_change_line = old_line;
	hunks->gathering.first_change_offset = offset;
	hunks->gathering.bookmarked = bookmarked;
}

void close_hunk(hunk_finder *hunks, std::uint64_t after, hunk_bounds *into, bool *ready)
{
	hunks->gathering.old_count = hunks->old_end + after - hunks->gathering.old_start;
	hunks->gathering.new_count = hunks->new_end + after - hunks->gathering.new_start;
	*into = hunks->gathering;
	*ready = true;
	hunks->open = false;
}

// A change that begins at old_line begins a hunk of its own: none is
// gathered yet (or only changes that change nothing), or the last change
// lies more than twice the context before it.
bool begins_hunk(const hunk_finder *hunks, std::uint64_t old_line)
{
	return !hunks->open || hunks->changes == 0 || old_line > hunks->old_end + 2 * context;
}

// A change ends; one that changes something extends the hunk.
void end_change(hunk_finder *hunks, bool changes_something, std::uint64_t new_end)
{
	hunks->in_change = false;
	if (!changes_something)
		return;
	++hunks->changes;
	hunks->old_end = hunks->at.old_line + (hunks->at.old_open ? 1 : 0);
	hunks->new_end = new_end;
}

void write_added(hunk_printer *printer, const added_lines &lines)
{
	bool at_line_start = true;
	if (!write_input_lines(printer->input, lines.kept_from, lines.kept_from + lines.kept_length,
	                       '+', &at_line_start, printer->why))
		printer->failed = true;
	for (int i = 0; i < lines.inserts; ++i)
		write_lines('+', reinterpret_cast<const unsigned char *>(lines.inserted[i]),
		            lines.inserted_length[i], &at_line_start);
}

// The lines a run of adjacent changes adds, once the run has ended.
void write_pending(hunk_printer *printer)
{
	for (int i = 0; i < printer->pending_count; ++i)
		write_added(printer, printer->pending[i]);
	printer->pending_count = 0;
}

// The change's old lines so far, now that it is known to change them:
// the part it keeps (read again), then what it dropped.
void start_removing(hunk_printer *printer)
{
	bool at_line_start = true;
	const added_lines &adding = printer->adding;
	if (!write_input_lines(printer->input, adding.kept_from,
	                       adding.kept_from + adding.kept_length, '-', &at_line_start,
	                       printer->why))
		printer->failed = true;
	std::size_t dropped = static_cast<std::size_t>(printer->compared.dropped_length);
	write_lines('-', printer->compared.dropped, dropped, &at_line_start);
	printer->removing = true;
	// Whether its last removed line is unfinished: the input's last.
	if (dropped > 0)
		printer->removed_open = printer->compared.dropped[dropped - 1] != '\n';
	else if (adding.kept_length > 0)
		printer->removed_open = printer->at.old_open;
}

void begin_printed_change(hunk_printer *printer)
{
	printer->in_change = true;
	printer->removing = false;
	printer->removed_open = false;
	printer->compared = change_comparison{};
	printer->adding = added_lines{};
	printer->adding.kept_from = printer->at.offset;
}

} // namespace

bool hunks_take(hunk_finder *hunks, hunk_piece piece, const unsigned char *data,
                std::size_t length)
{
	if (piece == HUNK_DROP)
		note_dropped(&hunks->compared, data, length);
	else if (piece == HUNK_INSERT)
		note_inserted(&hunks->compared, data, length);
	advance(&hunks->at, piece, data, length);
	return true;
}

output_answer hunks_change(hunk_finder *hunks, std::uint64_t offset)
{
	hunks->compared = change_comparison{};
	if ((hunks->paused && hunks->pause_offset == offset) ||
	    !begins_hunk(hunks, hunks->at.old_line)) {
		hunks->paused = false;
		hunks->in_change = true;
		return OUTPUT_GO;
	}
	if (hunks->open && hunks->changes > 0)
		close_hunk(hunks, context, &hunks->complete, &hunks->ready);
	open_hunk(hunks, offset, hunks->at.old_line, hunks->at.new_line, true);
	hunks->paused = true;
	hunks->pause_offset = offset;
	return OUTPUT_PAUSE;
}

void hunks_change_done(hunk_finder *hunks)
{
	end_change(hunks, change_differs(&hunks->compared),
	           hunks->at.new_line + (hunks->at.new_open ? 1 : 0));
}

bool hunks_finish(hunk_finder *hunks, bool add_line_end)
{
	if (!hunks->in_change) {
		// A change of its own: the unfinished last line, now ended, and
		// the statement after it; or the statement alone, after the last
		// line (which a change may have taken, unfinished).
		std::uint64_t old_line = hunks->at.old_line;
		if (hunks->at.old_open && !add_line_end)
			++old_line;
		std::uint64_t new_line = hunks->at.new_line - (add_line_end ? 1 : 0);
		if (begins_hunk(hunks, old_line)) {
			if (hunks->open && hunks->changes > 0)
				close_hunk(hunks, context, &hunks->complete, &hunks->ready);
			open_hunk(hunks, add_line_end ? hunks->at.line_start : hunks->at.offset, old_line,
			          new_line, false);
		}
		hunks->gathering.open_last_line = add_line_end ? hunks->at.old_line : 0;
		end_change(hunks, true, hunks->at.new_line + 1);
	} else {
		// The old CRC statement and what followed it give way to the new.
		note_inserted(&hunks->compared,
		              reinterpret_cast<const unsigned char *>(hunks->statement),
		              std::strlen(hunks->statement));
		end_change(hunks, change_differs(&hunks->compared), hunks->at.new_line + 1);
	}
	if (hunks->changes > 0)
		close_hunk(hunks, 0, &hunks->final_hunk, &hunks->final_ready);
	return true;
}

bool printer_take(hunk_printer *printer, hunk_piece piece, const unsigned char *data,
                  std::size_t length)
{
	added_lines &adding = printer->adding;
	if (piece == HUNK_INSERT) {
		note_inserted(&printer->compared, data, length);
		if (adding.inserts < 3) {
			adding.inserted[adding.inserts] = reinterpret_cast<const char *>(data);
			adding.inserted_length[adding.inserts++] = length;
		}
		return true;
	}
	while (length > 0) {
		line_position &at = printer->at;
		if (!printer->in_change && !at.old_open) {
			write_pending(printer);
			if (at.old_line >= printer->stop_line)
				return false; // the hunk is printed
			if (at.old_line == printer->open_last_line)
				begin_printed_change(printer); // the final change takes this line
		}
		const void *line_feed = std::memchr(data, '\n', length);
		std::size_t line = line_feed ? static_cast<std::size_t>(
						       static_cast<const unsigned char *>(line_feed) - data) + 1
					     : length;
		bool at_line_start = !at.old_open;
		if (!printer->in_change) {
			write_lines(' ', data, line, &at_line_start);
		} else if (printer->removing) {
			write_lines('-', data, line, &at_line_start);
			printer->removed_open = data[line - 1] != '\n';
		} else if (piece == HUNK_DROP) {
			// Held back while the change may yet drop just what it inserts.
			note_dropped(&printer->compared, data, line);
			if (printer->compared.dropped_length > sizeof printer->compared.dropped) {
				printer->compared.dropped_length -= line;
				start_removing(printer);
				at_line_start = !at.old_open;
				write_lines('-', data, line, &at_line_start);
				printer->removed_open = data[line - 1] != '\n';
			}
		}
		if (printer->in_change && piece == HUNK_KEEP)
			adding.kept_length += line;
		advance(&at, piece, data, line);
		data += line;
		length -= line;
	}
	return true;
}

output_answer printer_change(hunk_printer *printer)
{
	if (printer->at.old_line >= printer->stop_line) {
		write_pending(printer);
		return OUTPUT_STOP;
	}
	begin_printed_change(printer);
	return OUTPUT_GO;
}

void printer_change_done(hunk_printer *printer)
{
	printer->in_change = false;
	if (!printer->removing && !change_differs(&printer->compared)) {
		// It changes nothing: its line is context.
		write_pending(printer);
		bool at_line_start = true;
		const added_lines &kept = printer->adding;
		if (!write_input_lines(printer->input, kept.kept_from, kept.kept_from + kept.kept_length,
		                       ' ', &at_line_start, printer->why))
			printer->failed = true;
		write_lines(' ', printer->compared.dropped,
		            static_cast<std::size_t>(printer->compared.dropped_length), &at_line_start);
		return;
	}
	if (!printer->removing)
		start_removing(printer);
	if (printer->removed_open)
		write_out(no_line_end, sizeof no_line_end - 1);
	if (printer->pending_count == static_cast<int>(sizeof printer->pending /
	                                                sizeof printer->pending[0]))
		write_pending(printer);
	printer->pending[printer->pending_count++] = printer->adding;
}

bool printer_finish(hunk_printer *printer, bool)
{
	if (!printer->in_change)
		begin_printed_change(printer);
	(void)printer_take(printer, HUNK_INSERT,
	                   reinterpret_cast<const unsigned char *>(printer->statement),
	                   printer->statement_length);
	printer_change_done(printer);
	write_pending(printer);
	return !printer->failed;
}

namespace {

// What hunk headers say of a range: its first line and its length, the
// length left out when it is 1, and the line before it when it is empty.
void write_range(char sign, std::uint64_t start, std::uint64_t count)
{
	char text[64];
	int length;
	if (count == 1)
		length = std::snprintf(text, sizeof text, "%c%llu", sign,
		                       static_cast<unsigned long long>(start));
	else
		length = std::snprintf(text, sizeof text, "%c%llu,%llu", sign,
		                       static_cast<unsigned long long>(count == 0 ? start - 1 : start),
		                       static_cast<unsigned long long>(count));
	write_out(text, static_cast<std::size_t>(length));
}

bool print_hunk(input_file *input, const hunk_bounds &hunk, const copy_pass *bookmark,
                const char *statement, failure *why)
{
	static pass_buffers printer_buffers;
	write_out("@@ ", 3);
	write_range('-', hunk.old_start, hunk.old_count);
	write_out(" ", 1);
	write_range('+', hunk.new_start, hunk.new_count);
	write_out(" @@\n", 4);
	std::uint64_t from = 0;
	bool at_line_start = true;
	if (!start_of_lines_before(input, hunk.first_change_offset,
	                           hunk.first_change_line - hunk.old_start, &from, why) ||
	    !write_input_lines(input, from, hunk.first_change_offset, ' ', &at_line_start, why))
		return false;

	hunk_printer printer{};
	printer.input = input;
	printer.why = why;
	printer.at = {hunk.first_change_line, 0, false, false, hunk.first_change_offset,
	              hunk.first_change_offset};
	printer.stop_line = hunk.old_start + hunk.old_count;
	printer.open_last_line = hunk.open_last_line;
	printer.statement = statement;
	printer.statement_length = std::strlen(statement);
	if (!hunk.bookmarked) {
		// The final change alone: no pass needed to tell its lines.
		if (hunk.open_last_line != 0) {
			begin_printed_change(&printer);
			printer.adding.kept_length = input->size - hunk.first_change_offset;
			printer.at.old_open = true;
			start_removing(&printer);
			static const char line_end[] = "\r\n";
			(void)printer_take(&printer, HUNK_INSERT,
			                   reinterpret_cast<const unsigned char *>(line_end), 2);
		}
		return printer_finish(&printer, hunk.open_last_line != 0);
	}
	copy_pass pass = *bookmark;
	copy_pass_restart(&pass, &printer_buffers);
	text_output out = diff_output(&printer);
	pass_result result = copy_pass_run(&pass, &out, why);
	return (result == PASS_DONE || result == PASS_STOPPED) && !printer.failed;
}

} // namespace

bool print_diff(input_file *input, const char *path, const char *statement,
                pass_buffers *buffers, failure *why)
{
	// patch reads a name up to its first blank unless a tab ends it, as
	// diff -u writes one before the time; a name without blanks ends at
	// the line's end.
	std::size_t length = std::strlen(path);
	const char *end = std::strpbrk(path, " \t") != nullptr ? "\t\n" : "\n";
	static const char *const signs[] = {"--- ", "+++ "};
	for (const char *sign : signs) {
		write_out(sign, 4);
		write_out(path, length);
		write_out(end, std::strlen(end));
	}

	hunk_finder hunks{};
	hunks.at = {1, 1, false, false, 0, 0};
	hunks.statement = statement;
	text_output out = hunks_output(&hunks);
	copy_pass finder;
	copy_pass_begin(&finder, input, buffers);
	copy_pass bookmark = finder;
	for (;;) {
		pass_result result = copy_pass_run(&finder, &out, why);
		if (result == PASS_READ_FAILED)
			return false;
		if (hunks.ready) {
			hunks.ready = false;
			if (!print_hunk(input, hunks.complete, &bookmark, statement, why))
				return false;
		}
		if (result != PASS_PAUSED)
			break;
		bookmark = finder;
	}
	return !hunks.final_ready || print_hunk(input, hunks.final_hunk, &bookmark, statement, why);
}

// diff.h - --diff: what patching would change, as a unified diff.
//
// Patching changes whole lines: a forced declaration's lines become one
// line, the old CRC statement's line and all after it become the new
// statement. The copy pass runs over the file with a hunk finder as its
// output, which counts lines and pauses the pass at the first change of
// each hunk, so that the caller can keep a copy of the pass there (a
// bookmark). Once a hunk is complete (the next change lies more than six
// lines on, or the file ends), its header is known: a copy of the pass
// resumed from the bookmark prints it through a hunk printer, and the
// finder goes on. A change that drops what it inserts (a declaration
// already forced) changes nothing and counts as context. As diff -u does,
// the lines a run of adjacent changes removes come before those it adds.
// Memory stays bounded whatever the file: a hunk is kept as its bounds, and
// the context lines before a bookmark, or the part of a line a change
// keeps, are read again from the input.
#ifndef MORVET_DIFF_H
#define MORVET_DIFF_H

#include <cstddef>
#include <cstdint>

#include "output.h"
#include "passes.h"
#include "platform.h"

enum hunk_piece { HUNK_KEEP, HUNK_DROP, HUNK_INSERT };

// Lines counted from 1 on each side; offsets into the input.
struct line_position {
	std::uint64_t old_line;   // the old line the next input byte is on
	std::uint64_t new_line;   // the new line the next output byte is on
	bool old_open;            // that line has begun
	bool new_open;
	std::uint64_t offset;     // of the next input byte
	std::uint64_t line_start; // where the old line began
};

struct hunk_bounds {
	std::uint64_t old_start, old_count;
	std::uint64_t new_start, new_count;
	std::uint64_t first_change_line;   // the old line the first change begins
	std::uint64_t first_change_offset; // where it begins
	bool bookmarked;                   // the pass was paused there
	std::uint64_t open_last_line;      // the input's unfinished last line,
	                                   // which the final change takes, or 0
};

struct hunk_finder {
	const char *statement;    // the new CRC statement
	line_position at;
	change_comparison compared; // the change under way
	hunk_bounds gathering;    // the hunk being gathered, while open
	unsigned long changes;    // changes in it that change something
	std::uint64_t old_end;    // one past its last changed line, each side
	std::uint64_t new_end;
	std::uint64_t pause_offset;
	hunk_bounds complete;     // when ready: print it from the last bookmark
	hunk_bounds final_hunk;   // when final_ready: the last, maybe with no bookmark
	bool in_change;
	bool open;
	bool paused;              // at pause_offset, for the caller's bookmark
	bool ready;
	bool final_ready;
};

// The lines a change adds: the part of its first line it keeps, then what
// it inserts.
struct added_lines {
	std::uint64_t kept_from;
	std::uint64_t kept_length;
	const char *inserted[3];
	std::size_t inserted_length[3];
	int inserts;
};

struct hunk_printer {
	input_file *input;
	failure *why;
	bool failed;
	line_position at;
	std::uint64_t stop_line;      // the first old line past the hunk
	std::uint64_t open_last_line;
	bool in_change;
	bool removing;                // the change's old lines are being printed
	bool removed_open;            // and the last of them has no line feed
	change_comparison compared;   // until then, what it drops and inserts
	added_lines adding;           // what the change adds
	added_lines pending[64];      // the lines a run of adjacent changes adds
	int pending_count;
	const char *statement;
	std::size_t statement_length;
};

bool hunks_take(hunk_finder *hunks, hunk_piece piece, const unsigned char *data,
                std::size_t length);
output_answer hunks_change(hunk_finder *hunks, std::uint64_t offset);
void hunks_change_done(hunk_finder *hunks);
bool hunks_finish(hunk_finder *hunks, bool add_line_end);

bool printer_take(hunk_printer *printer, hunk_piece piece, const unsigned char *data,
                  std::size_t length);
output_answer printer_change(hunk_printer *printer);
void printer_change_done(hunk_printer *printer);
bool printer_finish(hunk_printer *printer, bool add_line_end);

// Prints the diff of the open input (named path in the headers) against
// what patching it gives, whose new CRC statement is statement. False
// with *why recorded when the input cannot be read.
bool print_diff(input_file *input, const char *path, const char *statement,
                pass_buffers *buffers, failure *why);

#endif

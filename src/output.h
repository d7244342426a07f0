// output.h - where the copy pass's text goes.
//
// The copy pass reads the input and tells an output, in order, which bytes
// it keeps, which it drops and what it inserts, and where a change begins
// and ends (a line the rules rewrite, or the tail from the old CRC
// statement on). The output is, and the pass knows nothing of which:
//   a file        when patching: the kept and inserted bytes go to the
//                 temporary file, and the CRCs are computed beside
//   a comparison  for --check: would patching change the input?
//   hunks         for --diff: where the changes lie, for the hunk headers
//   a diff        for --diff: one hunk's lines printed
// Every call that can fail or end the pass early says so in its result; a
// file output records the failure in its *why.
#ifndef MORVET_OUTPUT_H
#define MORVET_OUTPUT_H

#include <cstddef>
#include <cstdint>

#include "crc16.h"
#include "crc_beside.h"
#include "platform.h"

struct hunk_finder;
struct hunk_printer;

enum output_kind {
	OUTPUT_FILE,
	OUTPUT_COMPARISON,
	OUTPUT_HUNKS,
	OUTPUT_DIFF,
};

enum output_answer {
	OUTPUT_GO,
	OUTPUT_PAUSE, // return to the caller with nothing of this line taken
	OUTPUT_STOP,  // end the pass now
};

// What a comparison has seen of one change: patching keeps a change's
// kept bytes, so it changes nothing when what it drops is what it inserts.
// Inserts are short (a declaration, a CRC statement), so the first bytes
// of each side tell.
struct change_comparison {
	unsigned char dropped[32];
	unsigned char inserted[32];
	std::uint64_t dropped_length;
	std::uint64_t inserted_length;
};

void note_dropped(change_comparison *change, const unsigned char *data, std::size_t length);
void note_inserted(change_comparison *change, const unsigned char *data, std::size_t length);

// True unless the change drops exactly what it inserts.
bool change_differs(const change_comparison *change);

struct text_output {
	output_kind kind;
	crc_beside *crc;             // the CRCs, for a file and a comparison
	bool in_change;
	char statement[crc16_statement_size]; // the new CRC statement, once known
	std::size_t statement_length;

	temporary_file *temporary;   // OUTPUT_FILE
	failure *why;

	bool changed;                // OUTPUT_COMPARISON: patching would change the input
	change_comparison compared;

	hunk_finder *hunks;          // OUTPUT_HUNKS
	hunk_printer *printer;       // OUTPUT_DIFF
};

// Outputs of each kind, ready for a pass.
text_output file_output(temporary_file *temporary, crc_beside *crc, failure *why);
text_output comparison_output(crc_beside *crc);
text_output hunks_output(hunk_finder *hunks);
text_output diff_output(hunk_printer *printer);

// Input bytes that go to the output unchanged.
bool output_keep(text_output *out, const unsigned char *data, std::size_t length);

// Input bytes left out.
bool output_drop(text_output *out, const unsigned char *data, std::size_t length);

// Bytes of the output's own, which stay where they are until the pass
// ends (the tool's constant texts).
bool output_insert(text_output *out, const char *text, std::size_t length);

// A change begins at this input offset, a line's start, before any of its
// bytes was handed over.
output_answer output_change(text_output *out, std::uint64_t offset);

// The change ends.
void output_change_done(text_output *out);

// The old CRC statement begins here: the input's own CRC is the one of the
// bytes before.
void output_statement_found(text_output *out);

// The pass moves on to another block of its input (see crc_beside.h).
void output_next_block(text_output *out);

// The input has ended: a line end is added first when add_line_end, then
// the new CRC statement, and a change still open ends.
bool output_finish(text_output *out, bool add_line_end);

#endif

// filter.h - what the tool knows of STAPL statements.
//
// Three rules decide what becomes of each line, tested in this order:
//   1. the Boolean declaration of USE_RCK  -> "BOOLEAN USE_RCK = 1;\r\n"
//   2. the integer declaration of freq     -> "INTEGER freq = 3;\r\n"
//   3. the CRC statement ("CRC ")          -> nothing, and the copy ends
// Any other line is copied byte for byte.
//
// A rule only ever looks at the first bytes of a line, compared exactly
// (no leading blanks skipped, letter case significant). Rules 1 and 2 also
// need the variable's name to end where the prefix ends, so a declaration
// of USE_RCK2 or frequency is left alone.
//
// Write errors are not returned: they stay recorded on the stream, and the
// caller checks ferror(out) before trusting anything written.
#ifndef MORVET_FILTER_H
#define MORVET_FILTER_H

#include <cstddef>
#include <cstdio>

enum filter_result {
	FILTER_STOP = 0,     // the old CRC statement: nothing written, copy ends
	FILTER_COPIED = 1,   // the chunk was written unchanged
	FILTER_REPLACED = 2, // a forced declaration was written in its place
};

// Longest chunk the copy pass hands over: a line longer than this arrives
// as several chunks.
const std::size_t filter_chunk_max = 254;

// Applies the rules to chunk, the first length bytes of a line (up to and
// including its line feed if the line fits in filter_chunk_max bytes), and
// writes the chunk or its replacement to out. NUL bytes in the chunk are
// data like any other. The caller copies the rest of a long line itself,
// dropping it when this chunk was replaced.
filter_result filter_line(const char *chunk, std::size_t length, std::FILE *out);

#endif

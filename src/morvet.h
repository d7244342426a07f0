// morvet.h - the run of the tool, and its two passes for those that drive
// them on streams of their own (the fuzz target).
#ifndef MORVET_MORVET_H
#define MORVET_MORVET_H

#include <cstdio>

#include "platform.h"

enum pass_result {
	PASS_DONE,
	PASS_READ_FAILED,
	PASS_WRITE_FAILED,
};

// Copies in to out line by line through the patch rules, up to the old CRC
// statement or the end of in. Rules apply only where a line begins: the
// rest of a line longer than one chunk is copied unchanged, or dropped when
// the line's first chunk was replaced. Nothing is held but fixed buffers.
pass_result copy_pass(std::FILE *in, std::FILE *out);

// Reads back everything the copy pass wrote to text (a stream open for
// update), feeds it to the running CRC and appends the CRC statement on a
// line of its own, first ending an unfinished last line with CR LF.
pass_result crc_pass(std::FILE *text);

// The whole run: argv[1] is the STAPL file to patch in place. Returns the
// exit status, 0 on success and 1 on any failure.
int morvet_main(int argc, path_char **argv);

#endif

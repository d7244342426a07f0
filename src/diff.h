// diff.h - --diff: what a plan changes, as diff -u prints it.
//
// Patching changes whole lines: a forced declaration's lines become one
// line (its indent kept), the old CRC statement's line and all after it
// become the new statement, or the statement is added at the end. The
// file is read once more to count its lines; each hunk's lines are then
// read again by offset, so memory stays bounded whatever the lines hold.
// As diff -u does, the lines a run of adjacent changes removes come
// before those it adds.
//
// The diff is held back (up to a mebibyte) until the caller knows that the
// file did not change while it was read: a diff of a file that changed
// meanwhile shows nothing that ever was.
#ifndef MORVET_DIFF_H
#define MORVET_DIFF_H

#include <cstddef>

#include "plan.h"
#include "platform.h"

enum diff_result {
	DIFF_MADE,
	DIFF_CHANGED, // the file is no longer what was planned from
	DIFF_FAILED,  // *why says why
};

// Makes the diff of the open input (named path in the headers) against
// what the plan makes of it, reading through buffer (size bytes).
diff_result make_diff(input_file *input, const char *path, const patch_plan *plan,
                      unsigned char *buffer, std::size_t size, failure *why);

// Writes the diff held back to standard output, or drops it.
void release_diff(bool write);

#endif

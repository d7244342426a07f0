// diff.h - --diff: what a plan changes, as diff -u prints it.
//
// The plan places each edit on its lines; the file is read again only
// around the edits, by offset, so memory stays bounded whatever the lines
// hold. The diff is
// held back (up to a mebibyte) until the caller knows that the file did
// not change meanwhile: such a diff would show nothing that ever was.
#ifndef MORVET_DIFF_H
#define MORVET_DIFF_H

#include "plan.h"
#include "platform.h"

// DIFF_CHANGED: the file is no longer what was planned from.
enum diff_result { DIFF_MADE, DIFF_CHANGED, DIFF_FAILED };

// Makes the diff of the open input (named path in the headers) against
// what the plan makes of it, reading through buffer (size bytes).
diff_result make_diff(input_file *input, const char *path, const patch_plan *plan,
                      unsigned char *buffer, std::size_t size, failure *why);

// Writes the diff held back to standard output, or drops it.
void release_diff(bool write);

#endif

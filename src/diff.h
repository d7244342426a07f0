// diff.h - --diff: what a plan changes, as diff -u prints it.
//
// The plan places each edit on its lines; the file is read again only
// around the edits, by offset, so memory stays bounded whatever the lines
// hold. The diff is held back (up to a mebibyte) until the file is known
// not to have changed meanwhile: such a diff would show nothing that was.
// A longer one goes out as it is made, but never its last mebibyte, which
// ends with the new CRC statement, unless the file is unchanged.
#ifndef MORVET_DIFF_H
#define MORVET_DIFF_H

#include "plan.h"
#include "platform.h"

// DIFF_CHANGED: the file is no longer what was planned from; DIFF_FAILED:
// reading it or checking it failed (*why).
enum diff_result { DIFF_MADE, DIFF_CHANGED, DIFF_FAILED };

// Writes to standard output the diff of the open input (named path in the
// headers) against what the plan makes of it, reading through buffer
// (size bytes); nothing unless it is DIFF_MADE.
diff_result make_diff(input_file *input, const char *path, const patch_plan *plan,
                      unsigned char *buffer, std::size_t size, failure *why);

#endif

// morvet.h - the run of the tool.
#ifndef MORVET_MORVET_H
#define MORVET_MORVET_H

#include "platform.h"

// The whole run: options, then the STAPL files to patch in place (or, with
// --check or --diff, to compare). Returns the exit status: 0 when every
// file was patched (or found patched), 1 otherwise; with --check and
// --diff, 2 when a file could not be opened or read.
int morvet_main(int argc, path_char **argv);

#endif

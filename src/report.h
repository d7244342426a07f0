// report.h - every message the tool gives, in one place.
//
// Standard output carries the tool's own fixed messages ("\nCan't open ...",
// "\nCan't create output", ...), byte for byte as scripts expect them.
// Standard error carries, one line each, why something failed and notes a
// user should see ("morvet: <path>: <what failed>: <the system's reason>").
// Nothing is buffered past the end of a run: finish_output flushes both.
#ifndef MORVET_REPORT_H
#define MORVET_REPORT_H

#include "platform.h"

// Writes text to standard output as it stands.
void say(const char *text);

// Writes text and then path, as the user gave it, to standard output.
void say_with_path(const char *text, const path_char *path);

// Writes "morvet: <path>: <what>: <reason>\n" to standard error, the reason
// being the system's description of error. A null path leaves out "<path>: ".
void report_cause(const path_char *path, const char *what, system_error error);

// Writes "morvet: <path>: <what>: <text>\n" to standard error, for a
// failure that is the tool's own finding rather than the system's.
void report_cause_text(const path_char *path, const char *what, const char *text);

// Writes "morvet: the patched result is in <absolute path>\n" for a
// complete result left in the temporary file.
void report_result_location();

// Writes the cause recorded by the last platform function that failed,
// naming the temporary file instead of path when the failure was its.
void report_failure(const path_char *path);

// Writes "morvet: <path>: <text>\n" (or "morvet: <text>\n" for a null path)
// to standard error.
void report_note(const path_char *path, const char *text);

// Flushes both streams; returns status, or 1 when either could not be
// written, since a message that was lost is a failure of the run.
int finish_output(int status);

#endif

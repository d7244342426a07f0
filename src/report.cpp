// report.cpp - the tool's messages on standard output and standard error.
#include "report.h"

namespace {

const char temporary_display_name[] = "$$out$$.stp";

// The reason text of one failure; a system's longest messages fit.
char reason_text[512];

void write_error_prefix(const path_char *path)
{
	(void)std::fputs("morvet: ", stderr);
	if (path != nullptr) {
		write_path(path, stderr);
		(void)std::fputs(": ", stderr);
	}
}

} // namespace

void say(const char *text)
{
	(void)std::fputs(text, stdout);
}

void say_with_path(const char *text, const path_char *path)
{
	(void)std::fputs(text, stdout);
	write_path(path, stdout);
}

void report_cause(const path_char *path, const char *what, system_error error)
{
	describe_error(error, reason_text, sizeof reason_text);
	write_error_prefix(path);
	(void)std::fprintf(stderr, "%s: %s\n", what, reason_text);
}

void report_cause_text(const path_char *path, const char *what, const char *text)
{
	write_error_prefix(path);
	(void)std::fprintf(stderr, "%s: %s\n", what, text);
}

void report_result_location()
{
	(void)std::fputs("morvet: the patched result is in ", stderr);
	write_temporary_location(stderr);
	(void)std::fputs("\n", stderr);
}

void report_failure(const path_char *path)
{
	const char *what = last_failure.what != nullptr ? last_failure.what : "failed";
	if (!last_failure.about_temporary) {
		report_cause(path, what, last_failure.error);
		return;
	}
	describe_error(last_failure.error, reason_text, sizeof reason_text);
	(void)std::fprintf(stderr, "morvet: %s: %s: %s\n", temporary_display_name, what,
	                   reason_text);
}

void report_note(const path_char *path, const char *text)
{
	write_error_prefix(path);
	(void)std::fprintf(stderr, "%s\n", text);
}

int finish_output(int status)
{
	// Scripts read standard output: a message lost there fails the run.
	// Standard error only explains, and a script that closed it (2>&-)
	// must not see a patched file reported as a failure.
	if (std::fflush(stdout) != 0 || std::ferror(stdout))
		status = 1;
	(void)std::fflush(stderr);
	return status;
}

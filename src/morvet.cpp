// morvet.cpp - the command line and the story of a run.
//
// Each file is copied into "$$out$$.stp" in the working directory through
// the statement rules, the copy is read back to compute its CRC, the CRC
// statement is appended, and the finished copy replaces the file. Until
// that last step the file is never written to, so every failure before it
// leaves the user's file exactly as it was. With --check the copy goes into
// a comparison instead, and nothing on disk changes.
#include "morvet.h"

#include "crc16.h"
#include "passes.h"
#include "report.h"

#ifndef MORVET_VERSION
#define MORVET_VERSION "unknown"
#endif

namespace {

const char usage_text[] =
	"\nCorvane STAPL file patch utility\nUsage: morvet.exe <filename.stp>\n";

// Longest verdict or refusal text: every reason at once, with room over.
char verdict[512];

// Without the large buffer the run is only slower, never wrong.
char output_buffer[262144];

struct run_state {
	bool checking;      // --check: compare, change nothing
	bool lock_tried;    // the working directory's lock, taken once per run
	bool locked;
	platform_failure lock_failure;
	int status;         // 0 while every file so far was patched
};

bool is_option(const path_char *argument, const char *option)
{
	for (; *option != '\0'; ++argument, ++option) {
		if (*argument != static_cast<path_char>(*option))
			return false;
	}
	return *argument == 0;
}

// "Can't create output", with the cause on standard error.
void fail_output(const path_char *path)
{
	say("\nCan't create output");
	report_failure(path);
}

void refuse(const path_char *path, const copy_findings *findings)
{
	describe_refusal(findings, verdict, sizeof verdict);
	say_with_path("\nCan't patch ", path);
	say(": ");
	say(verdict);
	report_cause_text(path, "can't patch", verdict);
}

// Runs the copy pass from the open input into out (a comparison when out is
// null), for one file with a CRC of its own, and closes the input's stream.
pass_result copy_file(input_file *input, std::FILE *out, copy_findings *findings)
{
	crc16_running = crc16_preset;
	reset_findings(findings);
	pass_result result = copy_pass(input->stream, out, findings);
	if (result == PASS_READ_FAILED)
		record_c_library_failure("can't read", false);
	close_input(input);
	return result;
}

bool patch_opened_file(run_state *run, const path_char *path, input_file *input);

// Patches one file in place. Returns true when it was patched.
bool patch_file(run_state *run, const path_char *path)
{
	// The lock comes before the input is opened, so that a run waiting for
	// another one on the same file reads that one's result, not the file
	// it is about to replace.
	if (!run->lock_tried) {
		run->lock_tried = true;
		run->locked = lock_working_directory();
		run->lock_failure = last_failure;
	}
	input_file input;
	if (!open_input(path, &input)) {
		say_with_path("\nCan't open ", path);
		report_failure(path);
		return false;
	}
	bool patched = patch_opened_file(run, path, &input);
	release_input(&input);
	return patched;
}

bool patch_opened_file(run_state *run, const path_char *path, input_file *opened)
{
	input_file &input = *opened;
	if (!run->locked) {
		close_input(&input);
		last_failure = run->lock_failure;
		fail_output(path);
		return false;
	}
	if (is_temporary_file(&input)) {
		close_input(&input);
		say("\nCan't create output");
		report_cause_text(path, "can't patch", "it is the temporary file $$out$$.stp itself");
		return false;
	}
	std::FILE *temporary = create_temporary(&input);
	if (temporary == nullptr) {
		close_input(&input);
		fail_output(path);
		return false;
	}
	(void)std::setvbuf(temporary, output_buffer, _IOFBF, sizeof output_buffer);

	copy_findings findings;
	pass_result result = copy_file(&input, temporary, &findings);
	switch (result) {
	case PASS_DONE:
		break;
	case PASS_READ_FAILED:
		discard_temporary(temporary);
		say_with_path("\nCan't read ", path);
		report_failure(path);
		return false;
	case PASS_REFUSED:
		discard_temporary(temporary);
		refuse(path, &findings);
		return false;
	case PASS_WRITE_FAILED:
		record_c_library_failure("can't write the temporary file", true);
		discard_temporary(temporary);
		fail_output(path);
		return false;
	}
	start_writing_back(temporary);
	if (crc_pass(temporary) != PASS_DONE) {
		record_c_library_failure("can't read back the temporary file", true);
		discard_temporary(temporary);
		fail_output(path);
		return false;
	}
	if (!commit_temporary(temporary)) {
		discard_temporary(nullptr);
		fail_output(path);
		return false;
	}
	switch (replace_input(&input)) {
	case REPLACED:
		return true;
	case REPLACE_FAILED_RESULT_KEPT:
		fail_output(path);
		report_result_location();
		return false;
	case REPLACE_INPUT_CHANGED:
		say_with_path("\nCan't patch ", path);
		say(": it changed while it was being patched");
		report_cause_text(path, "can't patch", "it changed while it was being patched");
		return false;
	case REPLACED_NOT_SYNCED:
	case REPLACE_FAILED:
		break;
	}
	fail_output(path);
	return false;
}

// Compares one file with what patching would make of it, and prints the
// verdict on a line of its own. Returns true when it is patched.
bool check_file(const path_char *path)
{
	input_file input;
	if (!open_input(path, &input)) {
		write_path(path, stdout);
		say(": can't open\n");
		report_failure(path);
		return false;
	}
	copy_findings findings;
	pass_result result = copy_file(&input, nullptr, &findings);
	release_input(&input);
	write_path(path, stdout);
	if (result == PASS_READ_FAILED) {
		say(": can't read\n");
		report_failure(path);
		return false;
	}
	describe_check(&findings, verdict, sizeof verdict);
	say(": ");
	say(verdict);
	say("\n");
	return result == PASS_DONE && !findings.changed;
}

void visit_file(const path_char *path, void *context)
{
	run_state *run = static_cast<run_state *>(context);
	bool patched = run->checking ? check_file(path) : patch_file(run, path);
	if (!patched)
		run->status = 1;
}

} // namespace

int morvet_main(int argc, path_char **argv)
{
	begin_run();
	run_state run = {false, false, false, {nullptr, false, {0, false}}, 0};

	// Options come first; "--" ends them, and so does the first file.
	int first_file = 1;
	for (; first_file < argc; ++first_file) {
		const path_char *argument = argv[first_file];
		if (is_option(argument, "--")) {
			++first_file;
			break;
		}
		if (is_option(argument, "--help") || is_option(argument, "-h") ||
		    is_help_option(argument)) {
			say(usage_text);
			return finish_output(0);
		}
		if (is_option(argument, "--version")) {
			say("morvet " MORVET_VERSION "\n");
			return finish_output(0);
		}
		if (!is_option(argument, "--check"))
			break;
		run.checking = true;
	}
	if (first_file >= argc) {
		say(usage_text);
		return finish_output(1);
	}

	// Every file is patched on its own: one failure stops no other.
	for (int i = first_file; i < argc; ++i) {
		if (!expand_argument(argv[i], visit_file, &run)) {
			// A pattern that matches nothing names no file to open.
			if (run.checking) {
				write_path(argv[i], stdout);
				say(": can't open\n");
			} else {
				say_with_path("\nCan't open ", argv[i]);
			}
			report_failure(argv[i]);
			run.status = 1;
		}
	}
	return finish_output(run.status);
}

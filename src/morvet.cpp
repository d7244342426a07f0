// morvet.cpp - the command line and the story of a run.
//
// Every argument is read before any file is touched. Then each file is
// copied into the temporary file through the statement rules, with its CRC
// computed beside the copy, the CRC statement is appended, and the
// finished result replaces the file. Until that last step the file is
// never written to, so every failure before it leaves the user's file
// exactly as it was. --check and --diff copy into a comparison instead,
// and change nothing on disk.
#include "morvet.h"

#include "crc_beside.h"
#include "diff.h"
#include "output.h"
#include "passes.h"
#include "report.h"

namespace {

enum run_mode { PATCH, CHECK, DIFF };

// What the command line asks for.
enum command {
	RUN_FILES,
	SHOW_USAGE,     // no file named
	SHOW_HELP,
	SHOW_VERSION,
	UNKNOWN_OPTION,
	CHECK_AND_DIFF,
};

struct command_line {
	command what;
	run_mode mode;
	int double_dash;            // the index of "--", or argc
	const path_char *unknown;   // the unknown option
};

// The exit statuses: patching gives 0 or 1; --check and --diff tell a
// file they could not read (2) from one that is not patched (1).
const int status_patched = 0;
const int status_not_patched = 1;
const int status_trouble = 2;

struct run_state {
	run_mode mode;
	lock_result lock;
	failure lock_failure;
	const path_char *result_kept_for; // the file whose result "$$out$$.stp" holds
	int status;
};

// Room for the copy pass's blocks: one file at a time.
pass_buffers buffers;

bool is_option(const path_char *argument, const char *option)
{
	for (; *option != '\0'; ++argument, ++option) {
		if (*argument != static_cast<path_char>(*option))
			return false;
	}
	return *argument == 0;
}

// Before "--", an argument that begins with '-' and is longer than "-" is
// an option wherever it stands; any other is a file.
bool is_file_argument(const command_line *command, int index, const path_char *argument)
{
	if (index > command->double_dash)
		return true;
	if (index == command->double_dash)
		return false;
	return !(argument[0] == '-' && argument[1] != 0) && !is_help_option(argument);
}

command_line read_command_line(int argc, path_char **argv)
{
	command_line command = {RUN_FILES, PATCH, argc, nullptr};
	bool check = false, diff = false, help = false, version = false, any_file = false;
	for (int i = 1; i < argc; ++i) {
		if (is_option(argv[i], "--")) {
			command.double_dash = i;
			break;
		}
	}
	for (int i = 1; i < argc; ++i) {
		const path_char *argument = argv[i];
		if (is_file_argument(&command, i, argument)) {
			any_file = true;
		} else if (i == command.double_dash) {
			continue;
		} else if (is_option(argument, "--check")) {
			check = true;
		} else if (is_option(argument, "--diff")) {
			diff = true;
		} else if (is_option(argument, "--help") || is_option(argument, "-h") ||
		           is_help_option(argument)) {
			help = true;
		} else if (is_option(argument, "--version")) {
			version = true;
		} else if (command.unknown == nullptr) {
			command.unknown = argument;
		}
	}
	command.mode = check ? CHECK : diff ? DIFF : PATCH;
	if (command.unknown != nullptr)
		command.what = UNKNOWN_OPTION;
	else if (help)
		command.what = SHOW_HELP;
	else if (version)
		command.what = SHOW_VERSION;
	else if (check && diff)
		command.what = CHECK_AND_DIFF;
	else if (!any_file)
		command.what = SHOW_USAGE;
	return command;
}

// How patching one file ended.
enum file_outcome {
	PATCHED,
	NOT_SYNCED,        // in place, its directory not synced
	CANT_OPEN,
	CANT_READ,
	REFUSED,           // by the rules: findings say why
	CHANGED,           // another program changed it meanwhile
	BEING_WRITTEN,     // another program has it open for writing
	IS_ENCRYPTED,
	IS_TEMPORARY,
	CANT_CREATE,       // the temporary file or the replacement failed
	CANT_CREATE_KEPT,  // and the complete result stays in "$$out$$.stp"
	RESULT_HELD,       // "$$out$$.stp" holds an earlier file's result
	LOCK_NOT_TAKEN,
};

// The work on one file: everything it opens is let go of by the caller,
// whatever happened.
struct file_work {
	input_file input;
	temporary_file temporary;
	crc_beside crc;
	copy_pass pass;
	failure why;
};

// Patches one file: the story of a run. Every failure returns at once;
// the caller cleans up and reports.
file_outcome patch(run_state *run, const path_char *path, file_work *work)
{
	if (run->result_kept_for != nullptr)
		return RESULT_HELD;
	if (run->lock == LOCK_FAILED) {
		work->why = run->lock_failure;
		return LOCK_NOT_TAKEN;
	}
	if (!open_input(path, &work->input, &work->why))
		return CANT_OPEN;
	switch (guard_input(&work->input)) {
	case GUARD_WRITER:
		return BEING_WRITTEN;
	case GUARD_ENCRYPTED:
		return IS_ENCRYPTED;
	case GUARD_HELD:
	case GUARD_UNAVAILABLE:
		break;
	}
	if (is_temporary_file(&work->input))
		return IS_TEMPORARY;
	if (!hold_temporary(&work->temporary, &work->input, &work->why))
		return CANT_CREATE;

	crc_beside_begin(&work->crc, processor_count() > 1);
	text_output out = file_output(&work->temporary, &work->crc, &work->why);
	copy_pass_begin(&work->pass, &work->input, &buffers);
	switch (copy_pass_run(&work->pass, &out, &work->why)) {
	case PASS_DONE:
		break;
	case PASS_READ_FAILED:
		return CANT_READ;
	case PASS_REFUSED:
		return REFUSED;
	case PASS_PAUSED:
	case PASS_STOPPED:
		return CANT_CREATE; // a write failed
	}

	switch (commit_temporary(&work->temporary, &work->input, &work->why)) {
	case REPLACED:
		return PATCHED;
	case REPLACED_NOT_SYNCED:
		return NOT_SYNCED;
	case REPLACE_FAILED:
		return CANT_CREATE;
	case REPLACE_FAILED_RESULT_KEPT:
		run->result_kept_for = path;
		return CANT_CREATE_KEPT;
	case REPLACE_INPUT_CHANGED:
		return CHANGED;
	case REPLACE_INPUT_WRITTEN:
		return BEING_WRITTEN;
	}
	return CANT_CREATE;
}

// Says how patching a file ended: a fixed message on standard output, the
// cause on standard error; warnings when the file was patched.
void tell(const path_char *path, file_outcome outcome, file_work *work, const run_state *run)
{
	const char *reason = nullptr;
	switch (outcome) {
	case PATCHED:
	case NOT_SYNCED: {
		std::uint16_t input_crc = crc16_preset;
		crc_beside_end(&work->crc, nullptr, &input_crc);
		if (outcome == NOT_SYNCED) {
			say(SAY_CANT_SYNC, path);
			report_not_synced(path, &work->why);
		}
		if (work->input.links > 1)
			report_other_links(path, work->input.links - 1);
		report_warnings(path, &work->pass.findings, crc16_value(input_crc));
		return;
	}
	case CANT_OPEN:
		say(SAY_CANT_OPEN, path);
		report_failure(path, &work->why);
		return;
	case CANT_READ:
		say(SAY_CANT_READ, path);
		report_failure(path, &work->why);
		return;
	case REFUSED:
		reason = refusal_text(&work->pass.findings);
		break;
	case CHANGED:
		reason = reason_changed;
		break;
	case BEING_WRITTEN:
		reason = reason_open_for_writing;
		break;
	case IS_ENCRYPTED:
		reason = reason_encrypted;
		break;
	case IS_TEMPORARY:
		say(SAY_CANT_CREATE_OUTPUT, path);
		report_is_temporary_file(path);
		return;
	case RESULT_HELD:
		say(SAY_CANT_CREATE_OUTPUT, path);
		report_result_held_for(path, run->result_kept_for);
		return;
	case CANT_CREATE:
	case CANT_CREATE_KEPT:
	case LOCK_NOT_TAKEN:
		say(SAY_CANT_CREATE_OUTPUT, path);
		report_failure(path, &work->why);
		if (outcome == CANT_CREATE_KEPT)
			report_result_kept(path);
		return;
	}
	say(SAY_CANT_PATCH, path, reason);
	report_refusal(path, reason);
}

file_work work;

void patch_file(run_state *run, const path_char *path)
{
	work = file_work{};
	file_outcome outcome = patch(run, path, &work);
	// One way out, whatever happened: the helper stopped before the
	// buffers it reads are reused, nothing incomplete left, the input let go.
	crc_beside_end(&work.crc, nullptr, nullptr);
	rollback_temporary(&work.temporary);
	close_input(&work.input);
	tell(path, outcome, &work, run);
	if (outcome != PATCHED)
		run->status = status_not_patched;
}

// Compares one file with what patching would make of it: --check prints
// the verdict, --diff the lines patching would change. Returns the file's
// exit status.
int compare_file(run_mode mode, const path_char *path)
{
	work = file_work{};
	file_work *w = &work;
	int status = status_trouble;
	if (!open_input(path, &w->input, &w->why)) {
		close_input(&w->input);
		if (mode == CHECK)
			say_verdict(path, verdict_cant_open);
		report_failure(path, &w->why);
		return status;
	}
	crc_beside_begin(&w->crc, processor_count() > 1);
	text_output out = comparison_output(&w->crc);
	copy_pass_begin(&w->pass, &w->input, &buffers);
	pass_result result = copy_pass_run(&w->pass, &out, &w->why);
	std::uint16_t input_crc = crc16_preset;
	crc_beside_end(&w->crc, nullptr, &input_crc);
	const copy_findings *findings = &w->pass.findings;
	if (result == PASS_READ_FAILED) {
		if (mode == CHECK)
			say_verdict(path, verdict_cant_read);
		report_failure(path, &w->why);
	} else if (mode == CHECK) {
		say_verdict(path, check_verdict(findings, out.changed, crc16_value(input_crc)));
		status = result == PASS_DONE && !out.changed ? status_patched : status_not_patched;
	} else if (result == PASS_REFUSED) {
		report_refusal(path, refusal_text(findings));
		status = status_not_patched;
	} else if (!out.changed) {
		status = status_patched;
	} else {
		// A file that changes while it is read again shows a diff of
		// nothing that ever was: said so, whatever the reading met.
		bool escaped;
		bool shown = print_diff(&w->input, shown_path(path, &escaped), out.statement, &buffers,
		                        &w->why);
		failure looked = {FAILED_NOTHING, {0, false}};
		bool unchanged = input_unchanged(&w->input, &looked);
		if (!unchanged && looked.step == FAILED_NOTHING)
			report_changed_while_read(path);
		else if (!unchanged)
			report_failure(path, &looked);
		else if (!shown)
			report_failure(path, &w->why);
		else
			status = status_not_patched;
	}
	if (result == PASS_DONE)
		report_warnings(path, findings, crc16_value(input_crc));
	close_input(&w->input);
	return status;
}

void visit_file(const path_char *path, void *context)
{
	run_state *run = static_cast<run_state *>(context);
	if (run->mode == PATCH) {
		patch_file(run, path);
		return;
	}
	int status = compare_file(run->mode, path);
	if (status > run->status)
		run->status = status;
}

// A pattern that matched nothing names no file to open.
void no_file_matched(run_state *run, const path_char *pattern, const failure *why)
{
	if (run->mode == CHECK)
		say_verdict(pattern, verdict_cant_open);
	else if (run->mode == PATCH)
		say(SAY_CANT_OPEN, pattern);
	report_failure(pattern, why);
	int status = run->mode == PATCH ? status_not_patched : status_trouble;
	if (status > run->status)
		run->status = status;
}

} // namespace

int morvet_main(int argc, path_char **argv)
{
	begin_run();
	command_line command = read_command_line(argc, argv);
	switch (command.what) {
	case SHOW_USAGE:
		say_usage();
		return finish_output(1, 1);
	case SHOW_HELP:
		say_help();
		return finish_output(0, 1);
	case SHOW_VERSION:
		say_version();
		return finish_output(0, 1);
	case UNKNOWN_OPTION:
		say_usage();
		report_unknown_option(command.unknown);
		return finish_output(1, 1);
	case CHECK_AND_DIFF:
		say_usage();
		report_check_and_diff();
		return finish_output(1, 1);
	case RUN_FILES:
		break;
	}

	run_state run = {command.mode, LOCK_HELD, {FAILED_NOTHING, {0, false}}, nullptr,
	                 status_patched};
	if (run.mode == PATCH) {
		// The temporary file named as a file to patch would be destroyed
		// by the run itself: nothing is touched.
		for (int i = 1; i < argc; ++i) {
			if (is_file_argument(&command, i, argv[i]) && names_temporary_file(argv[i])) {
				say(SAY_CANT_CREATE_OUTPUT, argv[i]);
				report_is_temporary_file(argv[i]);
				return finish_output(1, 1);
			}
		}
		// Taken once, before the first file is opened, so that a run
		// waiting for another one reads that one's result.
		run.lock = lock_working_directory(&run.lock_failure);
		if (run.lock == LOCK_UNAVAILABLE)
			report_lock_unavailable();
	}

	// Every file is done on its own: one failure stops no other.
	for (int i = 1; i < argc; ++i) {
		if (!is_file_argument(&command, i, argv[i]))
			continue;
		failure why = {FAILED_NOTHING, {0, false}};
		if (!expand_argument(argv[i], visit_file, &run, &why))
			no_file_matched(&run, argv[i], &why);
	}
	return finish_output(run.status, run.mode == PATCH ? 1 : status_trouble);
}

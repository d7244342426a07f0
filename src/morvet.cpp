// morvet.cpp - the command line and the story of a run.
//
// Every argument is read before any file is touched. Then each file is
// read once into a plan (plan.h); a file the plan changes is written anew
// into the temporary file, the plan's edits and the kept bytes between
// them, and the finished result replaces the file. Until that last step
// the file is never written to, so every failure before it leaves the
// user's file exactly as it was; a file with nothing to change is never
// touched. --check and --diff answer from the plan and change nothing.
#include "morvet.h"

#include <cstdio>

#include "diff.h"
#include "plan.h"
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
	UNCHANGED,         // already patched: not written
	NOT_SYNCED,        // in place, its directory not synced
	CANT_OPEN,
	CANT_READ,
	REFUSED,           // by the rules: the plan says why
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
	failure why;
};

// One file at a time: the blocks it is read in, and its plan.
unsigned char block[262144];
patch_plan plan;

// Reads the whole input into the plan.
bool read_plan(input_file *input, failure *why)
{
	plan_begin(&plan);
	std::uint64_t offset = 0;
	for (;;) {
		std::size_t got = 0;
		if (!read_input(input, offset, block, sizeof block, &got, why))
			return false;
		if (got == 0 || plan.stage == STAGE_DONE)
			break;
		plan_feed(&plan, block, got);
		offset += got;
	}
	plan_finish(&plan);
	return true;
}

// The line the byte at offset is on, counted from 1. Lines are wanted only
// for a refusal or a warning, so they are counted then, reading the input
// again, and not on the plan's way through every byte.
std::uint64_t line_at(input_file *input, std::uint64_t offset)
{
	std::uint64_t line = 1, at = 0;
	while (at < offset) {
		std::uint64_t left = offset - at;
		std::size_t want = left < sizeof block ? static_cast<std::size_t>(left) : sizeof block;
		std::size_t got = 0;
		failure ignored;
		if (!read_input(input, at, block, want, &got, &ignored) || got == 0)
			break;
		for (std::size_t i = 0; i < got; ++i)
			line += block[i] == '\n';
		at += got;
	}
	return line;
}

// What the messages about a plan say: its refusal, or the lines dropped
// after the old CRC statement.
struct plan_words {
	const char *refusal;
	std::uint64_t dropped_from;
	std::uint64_t dropped_to;
};

plan_words words_of_plan(input_file *input)
{
	plan_words words = {nullptr, 0, 0};
	if (!plan_accepted(&plan))
		words.refusal = refusal_text(plan.refusal, line_at(input, plan.refusal_offset));
	if (plan.text_after_crc) {
		words.dropped_from = line_at(input, plan.dropped_from);
		// The input's last line: the one its final line feed ends, or the
		// unfinished one after it.
		words.dropped_to = line_at(input, plan.size) - (plan.last_byte == '\n' ? 1 : 0);
	}
	return words;
}

enum write_result { WRITTEN, WRITE_FAILED, READ_FAILED, INPUT_SHORTER };

// The kept bytes from offset, length of them, into the temporary file: in
// the kernel where it can, else through the block.
write_result copy_kept(file_work *work, std::uint64_t offset, std::uint64_t length, bool *kernel)
{
	while (length > 0) {
		std::uint64_t copied = 0;
		if (*kernel &&
		    !copy_in_kernel(&work->temporary, &work->input, offset, length, &copied, &work->why))
			return WRITE_FAILED;
		if (copied == 0) {
			*kernel = false;
			std::size_t want = length < sizeof block ? static_cast<std::size_t>(length)
			                                         : sizeof block;
			std::size_t got = 0;
			if (!read_input(&work->input, offset, block, want, &got, &work->why))
				return READ_FAILED;
			if (got == 0)
				return INPUT_SHORTER;
			if (!write_temporary(&work->temporary, block, got, &work->why))
				return WRITE_FAILED;
			copied = got;
		}
		offset += copied;
		length -= copied;
	}
	return WRITTEN;
}

// The plan applied: the kept ranges and the replacements, in order.
write_result write_plan(file_work *work)
{
	bool kernel = true;
	std::uint64_t kept = 0;
	for (unsigned i = 0; i <= plan.edit_count; ++i) {
		std::uint64_t until = i < plan.edit_count ? plan.edits[i].from : plan.size;
		write_result copied = copy_kept(work, kept, until - kept, &kernel);
		if (copied != WRITTEN)
			return copied;
		if (i == plan.edit_count)
			break;
		const plan_edit &edit = plan.edits[i];
		if (!write_temporary(&work->temporary, reinterpret_cast<const unsigned char *>(edit.text),
		                     edit.length, &work->why))
			return WRITE_FAILED;
		kept = edit.to;
	}
	return WRITTEN;
}

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
	if (!read_plan(&work->input, &work->why))
		return CANT_READ;
	if (!plan_accepted(&plan))
		return REFUSED;
	if (plan.edit_count == 0)
		return UNCHANGED; // not written, renamed or touched
	if (!hold_temporary(&work->temporary, &work->input, &work->why))
		return CANT_CREATE;
	switch (write_plan(work)) {
	case WRITTEN:
		break;
	case READ_FAILED:
		return CANT_READ;
	case INPUT_SHORTER:
		return CHANGED;
	case WRITE_FAILED:
		return CANT_CREATE;
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
void tell(const path_char *path, file_outcome outcome, const file_work *work,
          const plan_words *words, const run_state *run)
{
	const char *reason = nullptr;
	switch (outcome) {
	case UNCHANGED:
		return;
	case PATCHED:
	case NOT_SYNCED:
		if (outcome == NOT_SYNCED) {
			say(SAY_CANT_SYNC, path);
			report_failure(path, &work->why, true);
		}
		if (work->input.links == 2) {
			report_note(path, NOTE_ONE_OTHER_LINK);
		} else if (work->input.links > 2) {
			char others[24];
			(void)std::snprintf(others, sizeof others, "%lu", work->input.links - 1);
			report_note(path, NOTE_OTHER_LINKS, others);
		}
		report_warnings(path, &plan, words->dropped_from, words->dropped_to);
		return;
	case CANT_OPEN:
		say(SAY_CANT_OPEN, path);
		report_failure(path, &work->why);
		return;
	case CANT_READ:
		say(SAY_CANT_READ, path);
		report_failure(path, &work->why);
		return;
	case REFUSED:
		reason = words->refusal;
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
		report_note(path, NOTE_IS_TEMPORARY);
		return;
	case RESULT_HELD:
		say(SAY_CANT_CREATE_OUTPUT, path);
		report_note(path, NOTE_RESULT_HELD, temporary_location(), path_text(run->result_kept_for));
		return;
	case CANT_CREATE:
	case CANT_CREATE_KEPT:
	case LOCK_NOT_TAKEN:
		say(SAY_CANT_CREATE_OUTPUT, path);
		report_failure(path, &work->why);
		if (outcome == CANT_CREATE_KEPT)
			report_note(path, NOTE_RESULT_KEPT, temporary_location());
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
	plan_words words = {nullptr, 0, 0};
	if (outcome == REFUSED || outcome == PATCHED || outcome == NOT_SYNCED)
		words = words_of_plan(&work.input);
	// One way out, whatever happened: nothing incomplete left, the input
	// let go.
	rollback_temporary(&work.temporary);
	close_input(&work.input);
	tell(path, outcome, &work, &words, run);
	if (outcome != PATCHED && outcome != UNCHANGED)
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
	if (!read_plan(&w->input, &w->why)) {
		if (mode == CHECK)
			say_verdict(path, verdict_cant_read);
		report_failure(path, &w->why);
		close_input(&w->input);
		return status;
	}
	plan_words words = words_of_plan(&w->input);
	bool accepted = plan_accepted(&plan);
	if (mode == CHECK) {
		if (accepted) {
			say_verdict(path, check_verdict(&plan));
		} else {
			static char verdict[600];
			(void)std::snprintf(verdict, sizeof verdict, "not patched: %s", words.refusal);
			say_verdict(path, verdict);
		}
		status = accepted && plan.edit_count == 0 ? status_patched : status_not_patched;
	} else if (!accepted) {
		report_refusal(path, words.refusal);
		status = status_not_patched;
	} else if (plan.edit_count == 0) {
		status = status_patched;
	} else {
		// A file that changes while it is read again shows a diff of
		// nothing that ever was: it is held back, and dropped then.
		diff_result made = make_diff(&w->input, shown_path(path), &plan, block,
		                             sizeof block, &w->why);
		failure looked = {FAILED_NOTHING, {0, false}};
		bool unchanged = made != DIFF_FAILED && input_unchanged(&w->input, &looked);
		release_diff(made == DIFF_MADE && unchanged);
		if (made == DIFF_FAILED)
			report_failure(path, &w->why);
		else if (made == DIFF_CHANGED || (!unchanged && looked.step == FAILED_NOTHING))
			report_note(path, NOTE_CHANGED_WHILE_READ);
		else if (!unchanged)
			report_failure(path, &looked);
		else
			status = status_not_patched;
	}
	if (accepted)
		report_warnings(path, &plan, words.dropped_from, words.dropped_to);
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
		report_note(nullptr, NOTE_UNKNOWN_OPTION, path_text(command.unknown),
		            path_text(command.unknown));
		return finish_output(1, 1);
	case CHECK_AND_DIFF:
		say_usage();
		report_note(nullptr, NOTE_CHECK_AND_DIFF);
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
				report_note(argv[i], NOTE_IS_TEMPORARY);
				return finish_output(1, 1);
			}
		}
		// Taken once, before the first file is opened, so that a run
		// waiting for another one reads that one's result.
		run.lock = lock_working_directory(&run.lock_failure);
		if (run.lock == LOCK_UNAVAILABLE)
			report_note(nullptr, NOTE_LOCK_UNAVAILABLE);
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

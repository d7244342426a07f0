// morvet.cpp - the process entry: the command line and the story of a run.
//
// Every argument is read before any file is touched. Each file is read
// once into a plan; a file it changes is written anew into the temporary
// file, which then replaces it: until then every failure leaves the file
// exactly as it was. --check and --diff answer from the plan alone.
#include <cstdio>
#include <cstring>

#include "diff.h"
#include "plan.h"
#include "report.h"

namespace {

enum run_mode { PATCH, CHECK, DIFF };

// --check and --diff tell a file they could not read (2) from one not patched (1).
const int status_patched = 0, status_not_patched = 1, status_trouble = 2;

struct run_state {
	run_mode mode;
	int double_dash;                  // the index of "--", or argc
	lock_result lock;
	failure lock_failure;
	const path_char *result_kept_for; // the file whose result "$$out$$.stp" holds
	bool earlier_result;              // "$$out$$.stp" holds one an earlier run kept
	failure earlier_failure;          // or could not be read to tell
	int status;
};

bool is_option(const path_char *argument, const char *option)
{
	for (argument = option_spelling(argument); *option != '\0'; ++argument, ++option) {
		if (*argument != static_cast<path_char>(*option))
			return false;
	}
	return *argument == 0;
}

// Before "--", an argument "-..." longer than "-" is an option wherever it stands.
bool is_file_argument(const run_state *run, int index, const path_char *argument)
{
	const path_char *spelled = option_spelling(argument);
	return index > run->double_dash ||
	       (index < run->double_dash && !(spelled[0] == '-' && spelled[1] != 0));
}

// The options and what each sets: -h and --help, -q and --quiet mean one.
enum option_meaning { OPTION_CHECK, OPTION_DIFF, OPTION_HELP, OPTION_VERSION, OPTION_QUIET, OPTIONS };
const struct { const char *name; option_meaning meaning; } options[] = {
	{"--check", OPTION_CHECK}, {"--diff", OPTION_DIFF}, {"--quiet", OPTION_QUIET}, {"-q", OPTION_QUIET},
	{"--help", OPTION_HELP}, {"-h", OPTION_HELP}, {"--version", OPTION_VERSION}};

// True when a and b differ by a letter added, left out or changed, or two swapped.
bool one_edit_apart(const char *a, const char *b)
{
	std::size_t i = 0, m = std::strlen(a), n = std::strlen(b);
	while (i < m && i < n && a[i] == b[i])
		++i;
	if (m == n && i < m)
		return std::strcmp(a + i + 1, b + i + 1) == 0 ||
		       (a[i] == b[i + 1] && a[i + 1] == b[i] && std::strcmp(a + i + 2, b + i + 2) == 0);
	return (m == n + 1 && std::strcmp(a + i + 1, b + i) == 0) ||
	       (n == m + 1 && std::strcmp(a + i, b + i + 1) == 0);
}

// The option an unknown one is a slip for: one edit away, or the start of
// its long name; none when options meant differently are near.
const char *suggested_option(const char *unknown)
{
	const char *found = nullptr;
	option_meaning meaning = OPTIONS;
	std::size_t length = std::strlen(unknown);
	for (const auto &option : options) {
		if (one_edit_apart(unknown, option.name) ||
		    (length >= 3 && length < std::strlen(option.name) &&
		     std::strncmp(unknown, option.name, length) == 0)) {
			if (found != nullptr && meaning != option.meaning)
				return nullptr;
			found = found != nullptr ? found : option.name;
			meaning = option.meaning;
		}
	}
	return found;
}

// Reads the options; returns the exit status when the run ends there, or
// -1 when there are files to go through.
int read_command_line(int argc, path_char **argv, run_state *run)
{
	bool set[OPTIONS] = {}, any_file = false;
	const path_char *unknown = nullptr;
	run->double_dash = argc;
	for (int i = argc - 1; i >= 1; --i)
		run->double_dash = is_option(argv[i], "--") ? i : run->double_dash;
	for (int i = 1; i < argc; ++i) {
		bool file = is_file_argument(run, i, argv[i]), known = file || i == run->double_dash;
		for (const auto &option : options) {
			if (!file && is_option(argv[i], option.name))
				known = set[option.meaning] = true;
		}
		any_file |= file;
		unknown = known || unknown != nullptr ? unknown : argv[i];
	}
	bool check = set[OPTION_CHECK], diff = set[OPTION_DIFF], help = set[OPTION_HELP],
	     version = set[OPTION_VERSION];
	run->mode = check ? CHECK : diff ? DIFF : PATCH;
	report_begin(look_at_output(), set[OPTION_QUIET]);
	if (unknown != nullptr || (!help && !version && ((check && diff) || !any_file))) {
		say_usage();
		const char *meant = nullptr;
		if (unknown != nullptr) {
			// (Options in "/" and letters are Windows' own: "\x" names a file.)
			const char *text = path_text(unknown);
			meant = suggested_option(text);
			bool slash = *unknown == '/';
			report_note(nullptr, meant ? NOTE_SUGGESTED_OPTION : slash ? NOTE_UNKNOWN_SLASH_OPTION
			                                                           : NOTE_UNKNOWN_OPTION,
			            text, meant ? meant : text + (slash ? 1 : 0));
		} else if (check && diff)
			report_note(nullptr, NOTE_CHECK_AND_DIFF);
		if (argc > 1)
			say_try_help();
		// A script asking for a verdict must not take a mistyped command
		// for "not patched", also where the mistyped option is the mode.
		bool verdict = meant != nullptr && (std::strcmp(meant, "--check") == 0 ||
		                                    std::strcmp(meant, "--diff") == 0);
		return check || diff || verdict ? status_trouble : 1;
	}
	if (help)
		say_usage(true);
	else if (version)
		say_version();
	return help || version ? 0 : -1;
}

// How patching one file ended. UNCHANGED: already patched, not written;
// NOT_SYNCED: its directory not synced; CHANGED: another program changed
// it meanwhile; BEING_WRITTEN: one has it open for writing; CANT_CREATE:
// the temporary file or the replacement failed (_KEPT: the result stays in
// "$$out$$.stp"; RESULT_HELD: it holds an earlier file's; EARLIER_RESULT:
// one an earlier run kept).
enum file_outcome {
	PATCHED, UNCHANGED, NOT_SYNCED, CANT_OPEN, CANT_READ, REFUSED, CHANGED, BEING_WRITTEN,
	IS_ENCRYPTED, IS_TEMPORARY, CANT_CREATE, CANT_CREATE_KEPT, RESULT_HELD, EARLIER_RESULT,
	OWNER_LOST,
};

struct file_work { // what one file holds open: the caller lets go of it all
	input_file input;
	temporary_file temporary;
	failure why;
};

file_work work; // one file at a time, read in blocks into its plan
unsigned char block[262144];
patch_plan plan;

// Reads the whole input into the plan; a refusal ends the reading.
bool read_plan(input_file *input, failure *why)
{
	plan_begin(&plan);
	std::size_t got = 1;
	for (std::uint64_t offset = 0; got > 0 && plan.stage != STAGE_DONE; offset += got) {
		if (!read_input(input, offset, block, sizeof block, &got, why))
			return false;
		plan_feed(&plan, block, got);
	}
	plan_finish(&plan);
	return true;
}

// True when "$$out$$.stp" itself (no link, no file with other names) holds
// a text patching would leave as it is: a result an earlier run kept and
// pointed the user to, maybe its only copy, never cleared to make room.
// Anything else is a stale leftover; one that cannot be read for a reason
// that may pass may be a kept result all the same (*why says why).
// Asked before any file of the run is read, as it uses the one plan.
bool holds_earlier_result(failure *why)
{
	input_file found = {};
	bool opened = open_input(temporary_name, &found, why);
	if (!opened && found_nothing_to_read(why))
		*why = failure{FAILED_NOTHING, {0, false}};
	bool kept = opened && !found.linked && found.links == 1 && read_plan(&found, why) &&
	            plan_accepted(&plan) && plan.edit_count == 0;
	if (why->step != FAILED_NOTHING)
		why->step = FAILED_REMOVE_OLD_TEMPORARY;
	close_input(&found);
	return kept;
}

// The plan applied to the temporary file: the kept ranges (in the kernel
// where it can, else through the block) and the replacements, in order.
file_outcome write_plan(file_work *w)
{
	bool kernel = true;
	for (unsigned i = 0; i <= plan.edit_count; ++i) {
		std::uint64_t kept = i > 0 ? plan.edits[i - 1].to : 0;
		std::uint64_t until = i < plan.edit_count ? plan.edits[i].from : plan.size;
		while (kept < until) {
			std::uint64_t copied = 0;
			std::size_t got = 0;
			if (kernel && !copy_in_kernel(&w->temporary, &w->input, kept, until - kept, &copied,
			                              &w->why))
				return w->why.step == FAILED_READ ? CANT_READ : CANT_CREATE;
			kernel = copied > 0;
			if (!kernel) {
				std::uint64_t left = until - kept;
				if (!read_input(&w->input, kept, block, left < sizeof block ? left : sizeof block,
				                &got, &w->why))
					return CANT_READ;
				if (got == 0)
					return CHANGED; // shorter than it was read
				if (!write_temporary(&w->temporary, block, got, &w->why))
					return CANT_CREATE;
			}
			kept += copied + got;
		}
		if (i < plan.edit_count &&
		    !write_temporary(&w->temporary, reinterpret_cast<const unsigned char *>(plan.edits[i].text),
		                     plan.edits[i].length, &w->why))
			return CANT_CREATE;
	}
	return PATCHED;
}

// Without a lease nothing tells of a write through a shared mapping, which
// can leave the times as they were: once the result is written the input
// must plan the same again, so that the CRC covers the text copied.
file_outcome planned_again(file_work *w)
{
	std::uint64_t size = plan.size, lines = plan.line_feeds;
	std::uint16_t input_crc = plan.input_crc, output_crc = plan.output_crc;
	unsigned edits = plan.edit_count;
	if (!read_plan(&w->input, &w->why))
		return CANT_READ;
	bool same = plan_accepted(&plan) && plan.size == size && plan.line_feeds == lines &&
	            plan.input_crc == input_crc && plan.output_crc == output_crc &&
	            plan.edit_count == edits;
	return same ? PATCHED : CHANGED;
}

// Patches one file. Every failure returns at once; the caller cleans up.
file_outcome patch(run_state *run, const path_char *path, file_work *w)
{
	if (run->result_kept_for != nullptr)
		return RESULT_HELD;
	if (run->lock == LOCK_FAILED) {
		w->why = run->lock_failure;
		return CANT_CREATE;
	}
	if (!open_input(path, &w->input, &w->why))
		return CANT_OPEN;
	guard_result guard = guard_input(&w->input);
	if (guard == GUARD_WRITER || guard == GUARD_ENCRYPTED)
		return guard == GUARD_WRITER ? BEING_WRITTEN : IS_ENCRYPTED;
	if (is_temporary_file(&w->input))
		return IS_TEMPORARY;
	if (!read_plan(&w->input, &w->why))
		return CANT_READ;
	if (!plan_accepted(&plan) || plan.edit_count == 0)
		return plan_accepted(&plan) ? UNCHANGED : REFUSED; // neither is written or touched
	if (run->earlier_result)
		return EARLIER_RESULT;
	if (run->earlier_failure.step != FAILED_NOTHING) {
		w->why = run->earlier_failure;
		return CANT_CREATE;
	}
	if (!hold_temporary(&w->temporary, &w->input, &w->why))
		return CANT_CREATE;
	file_outcome written = write_plan(w);
	if (written == PATCHED && guard == GUARD_UNAVAILABLE)
		written = planned_again(w);
	if (written != PATCHED)
		return written;
	static const file_outcome replaced[] = {PATCHED, NOT_SYNCED, CANT_CREATE, CANT_CREATE_KEPT, // by
	                                        CHANGED, BEING_WRITTEN, OWNER_LOST}; // replace_result
	static_assert(sizeof replaced / sizeof replaced[0] == REPLACE_OWNER_NOT_KEPT + 1);
	file_outcome outcome = replaced[commit_temporary(&w->temporary, &w->input, &w->why)];
	if (outcome == CANT_CREATE_KEPT)
		run->result_kept_for = path;
	return outcome;
}

// Says how patching a file ended: a fixed message on standard output, the
// cause on standard error; warnings when the file was patched.
void tell(const path_char *path, file_outcome outcome, const run_state *run)
{
	if (outcome == PATCHED || outcome == NOT_SYNCED) {
		say(outcome == PATCHED ? SAY_PATCHED : SAY_CANT_SYNC, path);
		if (outcome == NOT_SYNCED)
			report_failure(path, &work.why, true);
		char others[24];
		(void)std::snprintf(others, sizeof others, "%lu", work.input.links - 1);
		if (work.input.links > 1)
			report_note(path, work.input.links == 2 ? NOTE_ONE_OTHER_LINK : NOTE_OTHER_LINKS,
			            others);
		report_warnings(path, &plan);
		return;
	}
	const char *reason = outcome == REFUSED         ? refusal_text(&plan)
	                     : outcome == CHANGED       ? reason_changed
	                     : outcome == BEING_WRITTEN ? reason_open_for_writing
	                     : outcome == IS_ENCRYPTED  ? reason_encrypted
	                     : outcome == OWNER_LOST    ? reason_owner_not_kept
	                                                : nullptr;
	if (reason != nullptr) {
		say_refusal(path, reason);
	} else if (outcome == UNCHANGED) {
		say(SAY_UNCHANGED, path);
	} else {
		say(outcome == CANT_OPEN ? SAY_CANT_OPEN
		    : outcome == CANT_READ ? SAY_CANT_READ : SAY_CANT_CREATE_OUTPUT, path);
		if (outcome == IS_TEMPORARY)
			report_note(path, NOTE_IS_TEMPORARY, temporary_location());
		else if (outcome == RESULT_HELD)
			report_note(path, NOTE_RESULT_HELD, temporary_location(),
			            path_text(run->result_kept_for));
		else if (outcome == EARLIER_RESULT)
			report_note(path, NOTE_EARLIER_RESULT, temporary_location());
		else
			report_failure(path, &work.why);
		if (outcome == CANT_CREATE_KEPT)
			report_note(path, NOTE_RESULT_KEPT, temporary_location());
	}
}

void patch_file(run_state *run, const path_char *path)
{
	work = file_work{};
	file_outcome outcome = patch(run, path, &work);
	// One way out, whatever happened: nothing incomplete left, the input let go.
	rollback_temporary(&work.temporary);
	close_input(&work.input);
	tell(path, outcome, run);
	if (outcome != PATCHED && outcome != UNCHANGED)
		run->status = status_not_patched;
}

// Compares one file with what patching would make of it (--check: the
// verdict; --diff: the lines that would change); returns its exit status.
int compare_file(run_mode mode, const path_char *path)
{
	work = file_work{};
	bool opened = open_input(path, &work.input, &work.why);
	if (!opened || !read_plan(&work.input, &work.why)) {
		if (mode == CHECK)
			say_verdict(path, opened ? verdict_cant_read : verdict_cant_open);
		report_failure(path, &work.why);
		close_input(&work.input);
		return status_trouble;
	}
	bool accepted = plan_accepted(&plan);
	int status = accepted && plan.edit_count == 0 ? status_patched : status_not_patched;
	if (mode == CHECK)
		say_verdict(path, check_verdict(&plan));
	else if (!accepted)
		report_refusal(path, refusal_text(&plan));
	else if (status == status_not_patched) {
		diff_result made =
			make_diff(&work.input, escaped_path(path, true), &plan, block, sizeof block, &work.why);
		status = made == DIFF_MADE ? status : status_trouble;
		if (made == DIFF_FAILED)
			report_failure(path, &work.why);
		else if (made == DIFF_CHANGED)
			report_note(path, NOTE_CHANGED_WHILE_READ);
	}
	if (accepted && status != status_trouble) // nothing of a file that changed meanwhile
		report_warnings(path, &plan);
	close_input(&work.input);
	return status;
}

void visit_file(const path_char *path, void *context)
{
	auto *run = static_cast<run_state *>(context);
	if (run->mode == PATCH)
		patch_file(run, path);
	else if (int status = compare_file(run->mode, path); status > run->status)
		run->status = status;
}

} // namespace

// The whole run: options, then the STAPL files to patch in place (or, with
// --check or --diff, to compare).
#ifdef _WIN32
int wmain(int argc, wchar_t **argv)
#else
int main(int argc, char **argv)
#endif
{
	begin_run();
	run_state run = {}; // patching, the directory's lock held, nothing failed
	int ended = read_command_line(argc, argv, &run);
	if (ended >= 0)
		return finish_output(ended, 1);
	if (run.mode == PATCH) {
		// The temporary file named as a file to patch: nothing is touched.
		for (int i = 1; i < argc; ++i) {
			if (is_file_argument(&run, i, argv[i]) && names_temporary_file(argv[i])) {
				say(SAY_CANT_CREATE_OUTPUT, argv[i]);
				report_note(argv[i], NOTE_IS_TEMPORARY, temporary_location());
				return finish_output(1, 1);
			}
		}
		// Before the first file is opened: a run waiting for another reads its result.
		run.lock = lock_working_directory(&run.lock_failure);
		if (run.lock == LOCK_UNAVAILABLE)
			report_note(nullptr, NOTE_LOCK_UNAVAILABLE);
		run.earlier_result = run.lock != LOCK_FAILED && holds_earlier_result(&run.earlier_failure);
	}
	// Each file on its own: one failure stops no other. A pattern that
	// matched nothing names no file to open.
	for (int i = 1; i < argc; ++i) {
		failure why = {FAILED_NOTHING, {0, false}};
		if (!is_file_argument(&run, i, argv[i]) || expand_argument(argv[i], visit_file, &run, &why))
			continue;
		if (run.mode == CHECK)
			say_verdict(argv[i], verdict_cant_open);
		else if (run.mode == PATCH)
			say(SAY_CANT_OPEN, argv[i]);
		report_failure(argv[i], &why);
		int status = run.mode == PATCH ? status_not_patched : status_trouble;
		run.status = status > run.status ? status : run.status;
	}
	return finish_output(run.status, run.mode == PATCH ? 1 : status_trouble);
}

// report.cpp - the tool's messages on standard output and standard error.
#include "report.h"

#include <cstdio>
#include <cstring>

#ifndef MORVET_VERSION
#define MORVET_VERSION "unknown"
#endif

const char verdict_cant_open[] = "can't open";
const char verdict_cant_read[] = "can't read";
const char reason_changed[] = "it changed while it was being patched";
const char reason_open_for_writing[] = "another program has it open for writing";
const char reason_encrypted[] = "it is encrypted";

namespace {

const char usage_text[] =
	"\nCorvane STAPL file patch utility\nUsage: morvet.exe <filename.stp>\n";

#ifdef _WIN32
const char manual_text[] = "The manual is README.txt, beside morvet.exe.\n";
const char help_option_text[] = "  --help, -h, /?  show this help\n";
#else
const char manual_text[] = "The manual: man morvet\n";
const char help_option_text[] = "  --help, -h   show this help\n";
#endif

const char options_text[] =
	"\nmorvet [--check | --diff] [--] FILE...\n"
	"Patches each STAPL file in place: USE_RCK and freq forced, a new CRC statement.\n"
	"Options may stand anywhere before --; every argument after -- is a file\n"
	"(a file named -x.stp is also ./-x.stp).\n"
	"  --check      change nothing; say for each file whether it is patched\n"
	"  --diff       change nothing; show what patching would change, as diff -u\n";

const char other_options_text[] =
	"  --version    show the version\n"
	"  --           end the options\n"
	"Exit status: 0 every file patched; 1 a file not patched or refused;\n"
	"with --check and --diff, 2 when a file could not be opened or read.\n";

// The step each failure names, and whether it was the temporary file's.
struct step_text {
	const char *text;
	failed_step step;
	bool temporary;
};

const step_text step_texts[] = {
	{"failed", FAILED_NOTHING, false},
	{"can't open", FAILED_OPEN, false},
	{"can't resolve the link", FAILED_RESOLVE_LINK, false},
	{"not a regular file", FAILED_NOT_REGULAR, false},
	{"can't read", FAILED_READ, false},
	{"can't check the file after reading it", FAILED_CHECK_STILL_SAME, false},
	{"can't lock the working directory", FAILED_LOCK, false},
	{"can't remove the old temporary file", FAILED_REMOVE_OLD_TEMPORARY, true},
	{"can't create the temporary file", FAILED_CREATE_TEMPORARY, true},
	{"can't write the temporary file", FAILED_WRITE_TEMPORARY, true},
	{"can't sync the temporary file", FAILED_SYNC_TEMPORARY, true},
	{"can't read the file's attributes", FAILED_READ_ATTRIBUTES, false},
	{"can't copy the file's attributes, which are too large", FAILED_ATTRIBUTES_TOO_LARGE,
	 false},
	{"can't give the result the file's attributes", FAILED_SET_ATTRIBUTES, false},
	{"can't read the file's permissions", FAILED_READ_PERMISSIONS, false},
	{"can't give the result the file's permissions", FAILED_SET_PERMISSIONS, false},
	{"can't give the result the file's owner", FAILED_SET_OWNER, false},
	{"can't give the result the file's group", FAILED_SET_GROUP, false},
	{"can't check the file before replacing it", FAILED_CHECK_INPUT, false},
	{"can't name the result beside the file", FAILED_NAME_BESIDE, false},
	{"can't make a copy beside the file", FAILED_CREATE_BESIDE, false},
	{"can't write the copy beside the file", FAILED_WRITE_BESIDE, false},
	{"can't read the result back", FAILED_READ_RESULT, true},
	{"can't replace the file", FAILED_REPLACE, false},
	{"can't open the file's directory to sync it", FAILED_OPEN_DIRECTORY, false},
	{"can't sync the file's directory", FAILED_SYNC_DIRECTORY, false},
	{"can't copy the file's named streams", FAILED_COPY_STREAMS, false},
};

// One line of a message is made here, then written whole.
char line[3 * 32768 * 2 + 1024];
std::size_t line_length;
char shown[2 * 3 * 32768 + 4];
char text[512];

void begin_line()
{
	line_length = 0;
}

void add(const char *piece, std::size_t length)
{
	if (length > sizeof line - line_length)
		length = sizeof line - line_length;
	std::memcpy(line + line_length, piece, length);
	line_length += length;
}

void add(const char *piece)
{
	add(piece, std::strlen(piece));
}

void add_path(const path_char *path)
{
	add(path_text(path));
}

void add_error(system_error error)
{
	describe_error(error, text, sizeof text);
	add(text);
}

void say_line()
{
	write_text(stdout, line, line_length);
}

// Standard error, after what standard output holds: in a log of both, a
// cause follows the verdict it explains.
void report_line()
{
	(void)std::fflush(stdout);
	add("\n");
	write_text(stderr, line, line_length);
}

// "morvet: <path>: "
void begin_report(const path_char *path)
{
	begin_line();
	add("morvet: ");
	if (path != nullptr) {
		add_path(path);
		add(": ");
	}
}

const step_text &text_of(failed_step step)
{
	for (const step_text &entry : step_texts) {
		if (entry.step == step)
			return entry;
	}
	return step_texts[0];
}

void add_failure(const failure *why)
{
	const step_text &step = text_of(why->step);
	add(step.text);
	if (step.temporary) {
		add(" ");
		add(temporary_location());
	}
	add(": ");
	add_error(why->error);
}

// The reasons --check gives, in their order, joined by ", ".
char verdict[512];

void add_reason(std::size_t *used, const char *reason)
{
	int length = std::snprintf(verdict + *used, sizeof verdict - *used, "%s%s",
	                           *used == 0 ? "not patched: " : ", ", reason);
	if (length > 0)
		*used += static_cast<std::size_t>(length);
	if (*used >= sizeof verdict)
		*used = sizeof verdict - 1;
}

void format_stored(const patch_plan *plan, char *stored, std::size_t size)
{
	if (plan->crc_stored_valid)
		(void)std::snprintf(stored, size, "%04X", static_cast<unsigned>(plan->crc_stored));
	else
		(void)std::snprintf(stored, size, "????");
}

bool crc_matched(const patch_plan *plan)
{
	return plan->crc_stored_valid && plan->crc_stored == plan->input_crc;
}

} // namespace

void say_usage()
{
	write_text(stdout, usage_text, sizeof usage_text - 1);
}

void say_help()
{
	say_usage();
	write_text(stdout, options_text, sizeof options_text - 1);
	write_text(stdout, help_option_text, sizeof help_option_text - 1);
	write_text(stdout, other_options_text, sizeof other_options_text - 1);
	write_text(stdout, manual_text, sizeof manual_text - 1);
}

void say_version()
{
	static const char version[] = "morvet " MORVET_VERSION "\n";
	write_text(stdout, version, sizeof version - 1);
}

void say(file_message message, const path_char *path, const char *reason)
{
	begin_line();
	switch (message) {
	case SAY_CANT_OPEN:
		add("\nCan't open ");
		add_path(path);
		break;
	case SAY_CANT_READ:
		add("\nCan't read ");
		add_path(path);
		break;
	case SAY_CANT_CREATE_OUTPUT:
		add("\nCan't create output");
		break;
	case SAY_CANT_PATCH:
		add("\nCan't patch ");
		add_path(path);
		add(": ");
		add(reason);
		break;
	case SAY_CANT_SYNC:
		add("\nCan't sync ");
		add_path(path);
		break;
	}
	say_line();
}

const char *shown_path(const path_char *path, bool *escaped)
{
	const char *plain = path_text(path);
	std::size_t length = 0;
	*escaped = false;
	shown[length++] = '\\';
#ifdef _WIN32
	const char *escaped_bytes = "\n"; // a backslash separates names there
#else
	const char *escaped_bytes = "\n\\";
#endif
	for (const char *c = plain; *c != '\0' && length + 2 < sizeof shown; ++c) {
		if (std::strchr(escaped_bytes, *c) != nullptr) {
			*escaped = true;
			shown[length++] = '\\';
			shown[length++] = *c == '\n' ? 'n' : '\\';
		} else {
			shown[length++] = *c;
		}
	}
	shown[length] = '\0';
	return *escaped ? shown : plain;
}

void say_verdict(const path_char *path, const char *verdict_text)
{
	bool escaped;
	const char *name = shown_path(path, &escaped);
	begin_line();
	add(name);
	add(": ");
	add(verdict_text);
	add("\n");
	say_line();
}

const char *refusal_text(refusal_reason reason, std::uint64_t line)
{
	const char *format = "";
	switch (reason) {
	case REFUSE_NOTHING:
		break;
	case REFUSE_NOT_TEXT:
		return "not a STAPL text file";
	case REFUSE_MORE_THAN_DECLARATION:
		format = "line %llu holds more than the declaration";
		break;
	case REFUSE_UNFINISHED_DECLARATION:
		format = "the declaration on line %llu is never finished";
		break;
	case REFUSE_CRC_INSIDE_LINE:
		format = "line %llu holds a CRC statement that does not begin the line";
		break;
	case REFUSE_UNFINISHED_STRING:
		return "the text ends inside a string";
	case REFUSE_UNFINISHED_STATEMENT:
		return "the last statement is not finished";
	case REFUSE_BEGINS_WITH_CRC:
		return "the text begins with a CRC statement";
	case REFUSE_LABEL:
		format = "line %llu puts a label before the declaration";
		break;
	case REFUSE_LONE_CR_COMMENT:
		format = "line %llu holds a comment that a lone carriage return ends before the "
		         "declaration";
		break;
	case REFUSE_READINGS_DISAGREE:
		format = "a player's CRC check and its interpreter read line %llu differently";
		break;
	case REFUSE_TOO_MANY_DECLARATIONS:
		(void)std::snprintf(text, sizeof text, "it holds more than %u declarations to force",
		                    plan_max_edits);
		return text;
	}
	(void)std::snprintf(text, sizeof text, format, static_cast<unsigned long long>(line));
	return text;
}

const char *check_verdict(const patch_plan *plan)
{
	if (plan->edit_count == 0)
		return "patched";
	std::size_t used = 0;
	if (!plan->crc_statement_found) {
		add_reason(&used, "no CRC statement");
	} else if (!crc_matched(plan)) {
		char stored[8], mismatch[96];
		format_stored(plan, stored, sizeof stored);
		(void)std::snprintf(mismatch, sizeof mismatch,
		                    "CRC statement %s does not match the text (%04X)", stored,
		                    static_cast<unsigned>(plan->input_crc));
		add_reason(&used, mismatch);
	}
	if (plan->not_forced[FORCE_USE_RCK])
		add_reason(&used, "USE_RCK is not forced");
	if (plan->not_forced[FORCE_FREQ])
		add_reason(&used, "freq is not forced");
	if (plan->text_after_crc)
		add_reason(&used, "text follows the CRC statement");
	if (used == 0)
		add_reason(&used, "other changes");
	return verdict;
}

void report_failure(const path_char *path, const failure *why)
{
	begin_report(path);
	add_failure(why);
	report_line();
}

void report_refusal(const path_char *path, const char *reason)
{
	begin_report(path);
	add("can't patch: ");
	add(reason);
	report_line();
}

void report_not_synced(const path_char *path, const failure *why)
{
	begin_report(path);
	add_failure(why);
	add(" (the file is patched, but the change may not survive a power loss)");
	report_line();
}

void report_result_kept(const path_char *path)
{
	begin_report(path);
	add("the patched result is in ");
	add(temporary_location());
	report_line();
}

void report_result_held_for(const path_char *path, const path_char *owner)
{
	begin_report(path);
	add(text_of(FAILED_CREATE_TEMPORARY).text);
	add(" ");
	add(temporary_location());
	add(": it holds the patched result of ");
	add_path(owner);
	report_line();
}

void report_is_temporary_file(const path_char *path)
{
	begin_report(path);
	add("can't patch: it is the temporary file $$out$$.stp itself");
	report_line();
}

void report_changed_while_read(const path_char *path)
{
	begin_report(path);
	add("can't show the changes: it changed while it was being read");
	report_line();
}

void report_unknown_option(const path_char *argument)
{
	begin_report(nullptr);
	add("unknown option ");
	add_path(argument);
	add(" (a file whose name begins with - is named after --, or as ./");
	add_path(argument);
	add(")");
	report_line();
}

void report_check_and_diff()
{
	begin_report(nullptr);
	add("--check and --diff cannot be used together");
	report_line();
}

void report_warnings(const path_char *path, const patch_plan *plan, std::uint64_t dropped_from,
                     std::uint64_t dropped_to)
{
	char warning[128];
	if (plan->crc_statement_found && !crc_matched(plan)) {
		char stored[8];
		format_stored(plan, stored, sizeof stored);
		(void)std::snprintf(warning, sizeof warning,
		                    "warning: the old CRC statement %s did not match the text before "
		                    "it (%04X)",
		                    stored, static_cast<unsigned>(plan->input_crc));
		begin_report(path);
		add(warning);
		report_line();
	}
	const char *const missing[FORCE_COUNT] = {"warning: no USE_RCK declaration to force",
	                                          "warning: no freq declaration to force"};
	for (int variable = 0; variable < FORCE_COUNT; ++variable) {
		if (!plan->declared[variable]) {
			begin_report(path);
			add(missing[variable]);
			report_line();
		}
	}
	if (plan->text_after_crc) {
		unsigned long long from = dropped_from, to = dropped_to;
		if (to > from)
			(void)std::snprintf(warning, sizeof warning,
			                    "warning: lines %llu-%llu after the old CRC statement were dropped",
			                    from, to);
		else
			(void)std::snprintf(warning, sizeof warning,
			                    "warning: line %llu after the old CRC statement was dropped", from);
		begin_report(path);
		add(warning);
		report_line();
	}
}

void report_lock_unavailable()
{
	begin_report(nullptr);
	add("warning: the working directory cannot be locked, so runs started in it at the "
	    "same time are not kept apart");
	report_line();
}

void report_waiting_for_lock()
{
	begin_report(nullptr);
	add("waiting for another run in this directory to finish");
	report_line();
}

void report_other_links(const path_char *path, unsigned long others)
{
	char note[128];
	(void)std::snprintf(note, sizeof note,
	                    "patched through this name only; its %lu other hard link%s keep%s the "
	                    "old content",
	                    others, others == 1 ? "" : "s", others == 1 ? "s" : "");
	begin_report(path);
	add(note);
	report_line();
}

void report_directory_not_opened(const path_char *path)
{
	begin_report(path);
	add("patched, but its directory could not be opened to sync it (permission denied)");
	report_line();
}

void report_swapped_out(const path_char *path, const char *location)
{
	begin_report(path);
	add("another program changed it while it was being patched, and its version could not "
	    "be put back: it is in ");
	add(location);
	report_line();
}

void make_left_behind_line(const char *location, char *made, std::size_t size)
{
	(void)std::snprintf(made, size, "morvet: could not remove %s\n", location);
}

void report_left_behind(const char *location)
{
	begin_report(nullptr);
	add("could not remove ");
	add(location);
	report_line();
}

int finish_output(int status, int failed_status)
{
	// Scripts read standard output: a message lost there fails the run.
	// Standard error only explains, and a script that closed it (2>&-)
	// must not see a patched file reported as a failure.
	if (std::fflush(stdout) != 0 || std::ferror(stdout))
		status = status > failed_status ? status : failed_status;
	(void)std::fflush(stderr);
	return status;
}

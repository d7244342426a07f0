// report.cpp - the tool's messages on standard output and standard error.
#include "report.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

const char verdict_cant_open[] = "can't open", verdict_cant_read[] = "can't read";
const char reason_changed[] = "it changed while it was being patched";
const char reason_open_for_writing[] = "another program has it open for writing";
const char reason_encrypted[] = "it is encrypted";
const char reason_owner_not_kept[] = "its owner or group cannot be kept";

namespace {

const char usage_text[] =
	"\nCorvane STAPL file patch utility\nUsage: morvet.exe <filename.stp>\n";

#ifdef _WIN32
const bool backslash_in_names = false; // it separates them
const char manual_text[] = "The manual is README.txt, beside morvet.exe.\n";
const char help_option_text[] = "  --help, -h, /?  show this help\n";
#else
const bool backslash_in_names = true;
const char manual_text[] = "The manual: man morvet\n";
const char help_option_text[] = "  --help, -h   show this help\n";
#endif

const char options_text[] =
	"\nmorvet [--check | --diff] [-q] [--] FILE...\n"
	"Patches each STAPL file in place: USE_RCK and freq forced, a new CRC statement.\n"
	"Options may stand anywhere before --; every argument after -- is a file\n"
	"(a file named -x.stp is also ./-x.stp).\n"
	"  --check      change nothing; say for each file whether it is patched\n"
	"  --diff       change nothing; show what patching would change, as diff -u\n"
	"  -q, --quiet  no warnings\n";

const char other_options_text[] =
	"  --version    show the version\n"
	"  --           end the options\n"
	"Exit status: 0 every file patched; 1 a file not patched or refused;\n"
	"with --check and --diff, 2 when a file could not be opened or read.\n";

// Each failed step's words, in the order of failed_step; %s: the temporary file.
const char *const step_texts[] = {
	"failed",
	"can't open",
	"can't resolve the link",
	"not a regular file",
	"can't read",
	"can't check the file after reading it",
	"can't lock the working directory for %s",
	"can't remove the old temporary file %s",
	"won't remove another user's %s (its owner may remove it, or run morvet elsewhere)",
	"can't create the temporary file %s",
	"can't write the temporary file %s",
	"can't sync the temporary file %s",
	"can't read the file's attributes",
	"can't copy the file's attributes, which are too large",
	"can't give the result the file's attributes",
	"can't read the file's permissions",
	"can't give the result the file's permissions",
	"can't give the result the file's owner",
	"can't check the file before replacing it",
	"can't name the result beside the file",
	"can't make a copy beside the file",
	"can't write the copy beside the file",
	"can't read the result back %s",
	"can't replace the file",
	"can't open the file's directory to sync it",
	"can't sync the file's directory",
	"can't copy the file's named streams",
};
static_assert(sizeof step_texts / sizeof step_texts[0] == FAILED_COPY_STREAMS + 1);

// The notes, in the order of note.
const char *const note_texts[] = {
	"the patched result is in %s",
	"can't create the temporary file %s: it holds the patched result of %s",
	"can't create the temporary file %s: it holds a complete patched result, which a run kept " // NOLINT
	"or left behind (move it where it belongs, or remove it)",
	"can't patch: it is the temporary file %s itself",
	"can't show the changes: it changed while it was being read",
	"unknown option %s (a file whose name begins with - is named after --, or as ./%s)",
	"unknown option %s (a file at the top of the drive is named \\%s)",
	"unknown option %s: did you mean %s?",
	"--check and --diff cannot be used together",
	"warning: the working directory cannot be locked, so runs started in it at the same " // NOLINT
	"time are not kept apart",
	"waiting for another run in this directory to finish",
	"patched through this name only; its 1 other hard link keeps the old content",
	"patched through this name only; its %s other hard links keep the old content",
	"patched, but its directory could not be opened to sync it (permission denied)",
	"another program changed it while it was being patched, and its version could not be " // NOLINT
	"put back: it is in %s",
	"could not remove %s",
	"can't write standard output: some of this run's messages are lost",
};
static_assert(sizeof note_texts / sizeof note_texts[0] == NOTE_OUTPUT_LOST + 1);

// Why a file is refused, in the order of refusal_reason; N is its line.
const char *const refusal_texts[] = {
	"",
	"not a STAPL text file",
	"line %llu holds more than the declaration",
	"the declaration on line %llu is never finished",
	"line %llu holds a CRC statement that does not begin the line",
	"the text ends inside a string",
	"the last statement is not finished",
	"the text begins with a CRC statement",
	"line %llu puts a label before the declaration",
	"line %llu holds a comment that a lone carriage return ends before the declaration",
	"a player's CRC check and its interpreter read line %llu differently",
	"it holds more than 16384 declarations to force",
};
static_assert(sizeof refusal_texts / sizeof refusal_texts[0] == REFUSE_TOO_MANY_DECLARATIONS + 1);
static_assert(plan_max_declarations == 16384);

// Where the output goes, whether warnings are wanted, whether standard
// output's last message left its line open, and what a console of the
// program's own is told as the run ends.
struct output_state {
	output_streams streams;
	bool quiet, line_open;
	char story[32768];
} output;

// One line of a message is made here, then written whole.
char line[3 * 32768 * 2 + 1024];
char shown[4 * 3 * 32768 + 4];
char pasted_texts[2][2 * 4 * 32768 + 4];
char text[3 * 32768 * 2 + 512], what[sizeof text];
char verdict[512];

void say_text(const char *text, std::size_t length)
{
	write_text(stdout, text, length);
	output.line_open = length > 0 ? text[length - 1] != '\n' : output.line_open;
}

void say_text(const char *text) { say_text(text, std::strlen(text)); }

// text as a shell reads it back, so a path can be pasted: in single
// quotes (on Windows, double) unless no byte is one a shell acts on.
const char *pasted(const char *text, int which)
{
#ifdef _WIN32
	const char *active = " $&()[]{}^=;!'+,`~%", quote = '"', *inner = "\"\\\"\"";
#else
	const char *active = " $&()[]{}^=;!'\"`~*?<>|#\\", quote = '\'', *inner = "'\\''";
#endif
	bool plain = text[0] != '\0';
	for (const char *c = text; *c != '\0'; ++c)
		plain &= static_cast<unsigned char>(*c) >= 0x20 && std::strchr(active, *c) == nullptr;
	if (plain)
		return text;
	char *into = pasted_texts[which];
	std::size_t length = 0;
	into[length++] = quote;
	for (; *text != '\0' && length + 6 < sizeof pasted_texts[0]; ++text) {
		bool closed = *text == quote; // closed, written escaped, opened again
		std::memcpy(into + length, closed ? inner : text, closed ? 4 : 1);
		length += closed ? 4 : 1;
	}
	into[length++] = quote;
	into[length] = '\0';
	return into;
}

// "morvet: <path>: <what format makes>" on standard error, after what
// standard output holds: in a log of both a cause follows its verdict, on
// a line of its own.
__attribute__((format(printf, 2, 3))) void report(const path_char *path, const char *format, ...)
{
	va_list details;
	va_start(details, format);
	// (clang-tidy's analyzer loses sight of the va_start above in every file
	// it reads after its first one.)
	(void)std::vsnprintf(what, sizeof what, format, details); // NOLINT(clang-analyzer-valist.Uninitialized)
	va_end(details);
	(void)std::snprintf(line, sizeof line, "%smorvet: %s%s%s\n",
	                    output.line_open && output.streams.same ? "\n" : "",
	                    path ? pasted(path_text(path), 0) : "", path ? ": " : "", what);
	(void)std::fflush(stdout);
	output.line_open = output.line_open && !output.streams.same;
	write_text(stderr, line, std::strlen(line)); // what snprintf wrote, not what it would have
}

// The reasons --check gives, in their order, joined by ", ".
void add_reason(const char *reason)
{
	std::size_t used = std::strlen(verdict);
	(void)std::snprintf(verdict + used, sizeof verdict - used, "%s%.200s",
	                    used == 0 ? "not patched: " : ", ", reason);
}

// The old statement's value, or ???? when it is not four digits and ';'.
const char *stored_crc(const patch_plan *plan)
{
	static char stored[8];
	(void)std::snprintf(stored, sizeof stored, plan->crc_stored_valid ? "%04X" : "????",
	                    static_cast<unsigned>(plan->crc_stored));
	return stored;
}

bool crc_matched(const patch_plan *p) { return p->crc_stored_valid && p->crc_stored == p->input_crc; }

} // namespace

void report_begin(output_streams streams, bool quiet)
{
	output.streams = streams;
	output.quiet = quiet;
}

void say_usage(bool help)
{
	// A double-click shows it in a window of its own, to a user with no command line.
	const char *const texts[] = {usage_text, options_text, help_option_text, other_options_text,
	                             manual_text};
	const char explorer_text[] = "To patch files, drop them on morvet.exe, or run it from a "
	                             "command prompt: morvet board.stp\n";
	for (int i = 0; i < (help ? 5 : 1); ++i)
		say_text(texts[i]);
	if (!help && output.streams.alone)
		say_text(explorer_text);
}

void say_try_help()
{
	static const char try_help[] = "Try 'morvet --help'.\n";
	(void)std::fflush(stdout);
	write_text(stderr, try_help, sizeof try_help - 1);
}

void say_version() { say_text("morvet " MORVET_VERSION "\n"); }

void say(file_message message, const path_char *path, const char *reason)
{
	const char *const formats[] = {"\nCan't open %s", "\nCan't read %s", "\nCan't create output",
	                               "\nCan't patch %s: %s", "\nCan't sync %s", "", ""};
	const char *const words[] = {
		"not patched: it could not be opened", "not patched: it could not be read",
		"not patched: the result could not be written", "not patched: ",
		"patched, but the change may not survive a power loss", "patched", "already patched"};
	static_assert(sizeof words / sizeof words[0] == SAY_UNCHANGED + 1);
	std::size_t told = std::strlen(output.story);
	if (output.streams.alone)
		(void)std::snprintf(output.story + told, sizeof output.story - told, "%s: %s%s\n",
		                    path_text(path), words[message], message == SAY_CANT_PATCH ? reason : "");
	(void)std::snprintf(line, sizeof line, formats[message], path_text(path), reason);
	say_text(line);
}

void say_refusal(const path_char *path, const char *reason)
{
	say(SAY_CANT_PATCH, path, reason);
	// One terminal shows both streams: the message has said it all.
	if (!output.streams.same || !output.streams.terminal)
		report_refusal(path, reason);
}

const char *escaped_path(const path_char *path, bool diff)
{
	const char *plain = path_text(path), named[] = "\a\b\t\n\v\f\r\"\\", letters[] = "abtnvfr\"\\";
	auto escapes = [diff](unsigned char c) { // written escaped once the path is
		return c == '\n' || (c == '\\' && (diff || backslash_in_names)) ||
		       (diff && (c == '"' || c < 0x20 || c >= 0x7F));
	};
	bool any = false;
	for (const char *c = plain; *c != '\0'; ++c)
		any |= (escapes(*c) && (*c != '\\' || backslash_in_names)) || (diff && *c == ' ');
	if (!any)
		return plain;
	std::size_t length = 0;
	shown[length++] = diff ? '"' : '\\';
	for (const char *c = plain; *c != '\0' && length + 6 < sizeof shown; ++c) {
		auto byte = static_cast<unsigned char>(*c);
		const char *name = std::strchr(named, byte);
		if (escapes(byte))
			shown[length++] = '\\';
		if (escapes(byte) && name != nullptr)
			shown[length++] = letters[name - named];
		else if (escapes(byte))
			length += static_cast<std::size_t>(std::snprintf(shown + length, 4, "%03o", byte));
		else
			shown[length++] = *c;
	}
	if (diff)
		shown[length++] = '"';
	shown[length] = '\0';
	return shown;
}

void say_verdict(const path_char *path, const char *verdict_text)
{
	(void)std::snprintf(line, sizeof line, "%s: %s\n", escaped_path(path, false), verdict_text);
	say_text(line);
}

const char *refusal_text(const patch_plan *plan)
{
	(void)std::snprintf(text, sizeof text, refusal_texts[plan->refusal],
	                    static_cast<unsigned long long>(plan->refusal_line));
	return text;
}

const char *check_verdict(const patch_plan *plan)
{
	verdict[0] = '\0';
	if (!plan_accepted(plan)) {
		add_reason(refusal_text(plan));
		return verdict;
	}
	if (plan->edit_count == 0)
		return "patched";
	if (!plan->crc_statement_found) {
		add_reason("no CRC statement");
	} else if (!crc_matched(plan)) {
		char mismatch[96];
		(void)std::snprintf(mismatch, sizeof mismatch, "CRC statement %s does not match the text (%04X)",
		                    stored_crc(plan), static_cast<unsigned>(plan->input_crc));
		add_reason(mismatch);
	}
	const char *const forced[][2] = {
		{"USE_RCK is not forced",
		 "USE_RCK is forced, but not written BOOLEAN USE_RCK = 1; alone on a line ending in CR LF"},
		{"freq is not forced",
		 "freq is forced, but not written INTEGER freq = 3; alone on a line ending in CR LF"}};
	for (int v = FORCE_USE_RCK; v < FORCE_COUNT; ++v) {
		if (plan->not_forced[v] || plan->rewritten[v])
			add_reason(forced[v][plan->not_forced[v] ? 0 : 1]);
	}
	if (plan->text_after_crc)
		add_reason("text follows the CRC statement");
	else if (plan->crc_statement_found && !plan->crc_shape_equal) // a new value alone is not named
		add_reason(plan->crc_form_equal
		                      ? "the CRC statement's line does not end with just CR LF"
		                      : "the CRC statement is not written CRC XXXX; at its line's start");
	return verdict;
}

void report_failure(const path_char *path, const failure *why, bool not_synced)
{
	char reason[512];
	describe_error(why->error, reason, sizeof reason);
	(void)std::snprintf(text, sizeof text, step_texts[why->step], pasted(temporary_location(), 1));
	report(path, "%s: %s%s", text, reason,
	       not_synced ? " (the file is patched, but the change may not survive a power loss)" : "");
}

void report_refusal(const path_char *path, const char *reason) { report(path, "can't patch: %s", reason); }

void report_note(const path_char *path, note which, const char *first, const char *second)
{
	if (output.quiet && std::strncmp(note_texts[which], "warning:", 8) == 0)
		return;
	// Made first: the path's own text may reuse the details' storage.
	(void)std::snprintf(text, sizeof text, note_texts[which], first ? pasted(first, 0) : "",
	                    second ? pasted(second, 1) : "");
	report(path, "%s", text);
}

void report_warnings(const path_char *path, const patch_plan *plan)
{
	if (output.quiet)
		return;
	if (plan->crc_statement_found && !crc_matched(plan))
		report(path, "warning: the old CRC statement %s did not match the text before it (%04X)",
		       stored_crc(plan), static_cast<unsigned>(plan->input_crc));
	if (!plan->declared[FORCE_USE_RCK])
		report(path, "warning: no USE_RCK declaration to force");
	if (!plan->declared[FORCE_FREQ])
		report(path, "warning: no freq declaration to force");
	// Up to the last line: the one the final line feed ends, or the unfinished one after it.
	unsigned long long from = plan->dropped_line,
	                   to = plan->line_feeds + (plan->last_byte == '\n' ? 0 : 1);
	if (plan->text_after_crc)
		report(path, to > from ? "warning: lines %llu-%llu after the old CRC statement were dropped"
		                       : "warning: line %llu after the old CRC statement was dropped",
		       from, to);
}

void make_left_behind_line(const char *location, char *made, std::size_t size)
{
	(void)std::snprintf(made, size, "morvet: could not remove %s\n", pasted(location, 0));
}

int finish_output(int status, int failed_status)
{
	if (output.line_open && output.streams.terminal)
		say_text("\n", 1);
	if (output.streams.alone) {
		say_text(output.story);
		say_text("\nPress any key to close this window.\n");
		(void)std::fflush(stdout);
		wait_for_key();
	}
	// A message lost on standard output fails the run. Standard error only
	// explains: a script that closed it (2>&-) must not see a failure.
	if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
		status = status > failed_status ? status : failed_status;
		report_note(nullptr, NOTE_OUTPUT_LOST);
	}
	(void)std::fflush(stderr);
	return status;
}

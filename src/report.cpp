// report.cpp - the tool's messages on standard output and standard error.
#include "report.h"

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
	"can't patch: it is the temporary file $$out$$.stp itself",
	"can't show the changes: it changed while it was being read",
	"unknown option %s (a file whose name begins with - is named after --, or as ./%s)",
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
};
static_assert(sizeof note_texts / sizeof note_texts[0] == NOTE_LEFT_BEHIND + 1);

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
static_assert(plan_max_edits == 16384);

// One line of a message is made here, then written whole.
char line[3 * 32768 * 2 + 1024];
char shown[2 * 3 * 32768 + 4];
char text[3 * 32768 * 2 + 512];
char verdict[512];

// The length snprintf made into line: what it wrote, not what it would have.
std::size_t made(int length)
{
	return length < 0 ? 0 : length < static_cast<int>(sizeof line) ? length : sizeof line - 1;
}

// "morvet: <path>: <what>" on standard error, after what standard output
// holds: in a log of both, a cause follows the verdict it explains.
void report(const path_char *path, const char *what)
{
	int length = std::snprintf(line, sizeof line, "morvet: %s%s%s\n", path ? path_text(path) : "",
	                           path ? ": " : "", what);
	(void)std::fflush(stdout);
	write_text(stderr, line, made(length));
}

// The reasons --check gives, in their order, joined by ", ".
void add_reason(std::size_t *used, const char *reason)
{
	int length = std::snprintf(verdict + *used, sizeof verdict - *used, "%s%.200s",
	                           *used == 0 ? "not patched: " : ", ", reason);
	if (length > 0)
		*used += static_cast<std::size_t>(length);
	if (*used >= sizeof verdict)
		*used = sizeof verdict - 1;
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

void say_usage(bool help)
{
	const char *const texts[] = {usage_text, options_text, help_option_text, other_options_text,
	                             manual_text};
	for (int i = 0; i < (help ? 5 : 1); ++i)
		write_text(stdout, texts[i], std::strlen(texts[i]));
}

void say_version()
{
	static const char version[] = "morvet " MORVET_VERSION "\n";
	write_text(stdout, version, sizeof version - 1);
}

void say(file_message message, const path_char *path, const char *reason)
{
	const char *const formats[] = {"\nCan't open %s", "\nCan't read %s", "\nCan't create output",
	                               "\nCan't patch %s: %s", "\nCan't sync %s"};
	int length = std::snprintf(line, sizeof line, formats[message], path_text(path), reason);
	write_text(stdout, line, made(length));
}

const char *shown_path(const path_char *path)
{
	const char *plain = path_text(path);
#ifdef _WIN32
	const char *escaped_bytes = "\n"; // a backslash separates names there
#else
	const char *escaped_bytes = "\n\\";
#endif
	if (std::strpbrk(plain, escaped_bytes) == nullptr)
		return plain;
	std::size_t length = 0;
	shown[length++] = '\\';
	for (const char *c = plain; *c != '\0' && length + 2 < sizeof shown; ++c) {
		if (std::strchr(escaped_bytes, *c) != nullptr) {
			shown[length++] = '\\';
			shown[length++] = *c == '\n' ? 'n' : '\\';
		} else {
			shown[length++] = *c;
		}
	}
	shown[length] = '\0';
	return shown;
}

void say_verdict(const path_char *path, const char *verdict_text)
{
	int length = std::snprintf(line, sizeof line, "%s: %s\n", shown_path(path), verdict_text);
	write_text(stdout, line, made(length));
}

const char *refusal_text(const patch_plan *plan)
{
	(void)std::snprintf(text, sizeof text, refusal_texts[plan->refusal],
	                    static_cast<unsigned long long>(plan->refusal_line));
	return text;
}

const char *check_verdict(const patch_plan *plan)
{
	std::size_t used = 0;
	if (!plan_accepted(plan)) {
		add_reason(&used, refusal_text(plan));
		return verdict;
	}
	if (plan->edit_count == 0)
		return "patched";
	if (!plan->crc_statement_found) {
		add_reason(&used, "no CRC statement");
	} else if (!crc_matched(plan)) {
		char mismatch[96];
		(void)std::snprintf(mismatch, sizeof mismatch,
		                    "CRC statement %s does not match the text (%04X)", stored_crc(plan),
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

void report_failure(const path_char *path, const failure *why, bool not_synced)
{
	char reason[512];
	describe_error(why->error, reason, sizeof reason);
	int length = std::snprintf(text, sizeof text, step_texts[why->step], temporary_location());
	(void)std::snprintf(text + length, sizeof text - static_cast<std::size_t>(length), ": %s%s",
	                    reason,
	                    not_synced ? " (the file is patched, but the change may not survive "
	                                 "a power loss)"
	                               : "");
	report(path, text);
}

void report_refusal(const path_char *path, const char *reason)
{
	char refusal[640]; // the reason may be refusal_text's
	(void)std::snprintf(refusal, sizeof refusal, "can't patch: %s", reason);
	report(path, refusal);
}

void report_note(const path_char *path, note which, const char *first, const char *second)
{
	// Made first: the path's own text may reuse the details' storage.
	(void)std::snprintf(text, sizeof text, note_texts[which], first, second);
	report(path, text);
}

void report_warnings(const path_char *path, const patch_plan *plan)
{
	char warning[128];
	if (plan->crc_statement_found && !crc_matched(plan)) {
		(void)std::snprintf(warning, sizeof warning,
		                    "warning: the old CRC statement %s did not match the text before "
		                    "it (%04X)",
		                    stored_crc(plan), static_cast<unsigned>(plan->input_crc));
		report(path, warning);
	}
	if (!plan->declared[FORCE_USE_RCK])
		report(path, "warning: no USE_RCK declaration to force");
	if (!plan->declared[FORCE_FREQ])
		report(path, "warning: no freq declaration to force");
	// Up to the input's last line: the one its final line feed ends, or
	// the unfinished one after it.
	unsigned long long from = plan->dropped_line,
	                   to = plan->line_feeds + (plan->last_byte == '\n' ? 0 : 1);
	(void)std::snprintf(warning, sizeof warning,
	                    to > from ? "warning: lines %llu-%llu after the old CRC statement were dropped"
	                              : "warning: line %llu after the old CRC statement was dropped",
	                    from, to);
	if (plan->text_after_crc)
		report(path, warning);
}

void make_left_behind_line(const char *location, char *made, std::size_t size)
{
	(void)std::snprintf(made, size, "morvet: could not remove %s\n", location);
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

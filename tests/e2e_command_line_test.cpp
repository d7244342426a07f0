// End-to-end: the command line as scripts and users drive it: several
// files, options before them, --check, and the cause of every failure.
#include "e2e_support.h"

using namespace e2e;

namespace {

// The same scratch working directory as every end-to-end case.
class CommandLine : public Morvet {};

// Every file in a directory with its contents, to show nothing changed.
std::vector<std::pair<std::string, std::string>> snapshot(const fs::path &directory)
{
	std::vector<std::pair<std::string, std::string>> files;
	for (const std::string &name : names_in(directory))
		files.emplace_back(name, read_file(directory / name));
	return files;
}

TEST_F(CommandLine, EveryFileIsPatchedAndOneFailureStopsNoOther)
{
	write_file(work / "a.stp", typical_input);
	write_file(work / "b.stp", "A = 1\n"); // refused: never finished
	write_file(work / "d.stp", typical_input);
	finished run = run_morvet(work, {"a.stp", "b.stp", "missing.stp", "d.stp"});
	EXPECT_EQ(run.status, 1);
	EXPECT_EQ(run.output, "\nCan't patch b.stp: the last statement is not finished"
	                      "\nCan't open missing.stp");
	EXPECT_EQ(read_file(work / "a.stp"), typical_result);
	EXPECT_EQ(read_file(work / "b.stp"), "A = 1\n");
	EXPECT_EQ(read_file(work / "d.stp"), typical_result);
	EXPECT_EQ(names_in(work), (std::vector<std::string>{"a.stp", "b.stp", "d.stp"}));

	write_file(work / "a.stp", typical_input);
	run = run_morvet(work, {"a.stp", "d.stp"});
	EXPECT_EQ(run.status, 0) << run.output;
	EXPECT_EQ(run.output, "");
}

TEST_F(CommandLine, ManyFilesInOneRunDoNotExhaustDescriptors)
{
	SKIP_THROUGH_RUNNER();
	if (std::system("prlimit --version >/dev/null 2>&1") != 0)
		GTEST_SKIP() << "no prlimit to lower the descriptor limit with";
	std::vector<std::string> names;
	for (int n = 0; n < 120; ++n) {
		names.push_back("f" + std::to_string(n) + ".stp");
		write_file(work / names.back(), typical_input);
	}
	ASSERT_EQ(setenv("MORVET_RUNNER", "prlimit --nofile=24", 1), 0);
	finished patched = run_morvet(work, names);
	names.insert(names.begin(), "--check");
	finished checked = run_morvet(work, names);
	unsetenv("MORVET_RUNNER");
	EXPECT_EQ(patched.status, 0) << patched.output << patched.errors;
	EXPECT_EQ(checked.status, 0) << checked.errors;
	EXPECT_EQ(read_file(work / "f119.stp"), typical_result);
}

TEST_F(CommandLine, EveryArgumentIsReadBeforeAnyFileIsTouched)
{
	for (const char *name : {"board.stp", "-x.stp", "-", "--check"})
		write_file(work / name, typical_input);
	const char *nothing = "";
	struct {
		std::vector<std::string> arguments;
		int status;
		const char *output;   // what standard output begins with
		const char *patched;  // the one file the run changes, if any
	} cases[] = {
		// A mistyped or unknown option, before or after the files.
		{{"--chek", "board.stp"}, 2, usage_text, nothing}, // the option meant asks for a verdict
		{{"-c", "board.stp"}, 1, usage_text, nothing},
		{{"--dry-run", "board.stp"}, 1, usage_text, nothing},
		{{"board.stp", "--bogus"}, 1, usage_text, nothing},
		{{"--check", "--diff", "board.stp"}, 2, usage_text, nothing},
		{{"--check", "--chek", "board.stp"}, 2, usage_text, nothing},
		// Known options anywhere before "--".
		{{"board.stp", "--check"}, 1, "board.stp: not patched: ", nothing},
		{{"board.stp", "--diff"}, 1, "--- board.stp\n", nothing},
		{{"board.stp", "--help"}, 0, usage_text, nothing},
		{{"--check", "--"}, 2, usage_text, nothing},
		{{"--"}, 1, usage_text, nothing},
		// After "--" everything is a file; "-" alone always is one.
		{{"--", "-x.stp"}, 0, nothing, "-x.stp"},
		{{"./-x.stp"}, 0, nothing, "-x.stp"},
		{{"-"}, 0, nothing, "-"},
		{{"--", "--check"}, 0, nothing, "--check"},
	};
	for (const auto &c : cases) {
		std::string label = c.arguments[0] + " " + c.arguments.back();
		auto before = snapshot(work);
		finished run = run_morvet(work, c.arguments);
		EXPECT_EQ(run.status, c.status) << label << run.errors;
		EXPECT_EQ(run.output.rfind(c.output, 0), 0u) << label << run.output;
		for (const auto &file : before) {
			bool patched = file.first == c.patched;
			EXPECT_EQ(read_file(work / file.first), patched ? typical_result : file.second)
				<< label << ": " << file.first;
			if (patched)
				write_file(work / file.first, typical_input);
		}
	}
}

TEST_F(CommandLine, AUsageErrorSuggestsTheOptionMeantAndPointsToHelp)
{
	write_file(work / "board.stp", typical_input);
	const std::string try_help = "Try 'morvet --help'.\n";
	const struct {
		const char *argument;
		const char *said; // the first line on standard error
		int status;       // 2 where the option meant asks for a verdict
	} cases[] = {
		{"--chek", "morvet: unknown option --chek: did you mean --check?", 2},
		{"--checkk", "morvet: unknown option --checkk: did you mean --check?", 2},
		{"--hcek", "morvet: unknown option --hcek (a file whose name begins with - is named after --, or as ./--hcek)", 1},
		{"--dfif", "morvet: unknown option --dfif: did you mean --diff?", 2},
		{"-check", "morvet: unknown option -check: did you mean --check?", 2},
		{"--ver", "morvet: unknown option --ver: did you mean --version?", 1},
		{"--quite", "morvet: unknown option --quite: did you mean --quiet?", 1},
		{"-qq", "morvet: unknown option -qq: did you mean -q?", 1},
		{"--h", "morvet: unknown option --h: did you mean --help?", 1},
		{"--q", "morvet: unknown option --q: did you mean --quiet?", 1},
		// Near two options, or none: no guess.
		{"-x", "morvet: unknown option -x (a file whose name begins with - is named after --, or as ./-x)", 1},
		{"---", "morvet: unknown option --- (a file whose name begins with - is named after --, or as ./---)", 1},
		{"--dry-run", "morvet: unknown option --dry-run (a file whose name begins with - is named after --, or as ./--dry-run)", 1},
	};
	for (const auto &c : cases) {
		std::string argument = c.argument;
		finished run = run_morvet(work, {"board.stp", argument});
		EXPECT_EQ(run.status, c.status) << argument;
		EXPECT_EQ(run.output, usage_text) << argument;
		EXPECT_EQ(run.errors, std::string(c.said) + "\n" + try_help) << argument;
	}
	EXPECT_EQ(read_file(work / "board.stp"), typical_input);
	// No file at all is no mistake to explain: the usage alone.
	finished bare = run_morvet(work, {});
	EXPECT_EQ(bare.status, 1);
	EXPECT_EQ(bare.output, usage_text);
	EXPECT_EQ(bare.errors, "");
	finished both = run_morvet(work, {"--diff", "--check", "board.stp"});
	EXPECT_EQ(both.status, 2);
	EXPECT_EQ(both.errors, "morvet: --check and --diff cannot be used together\n" + try_help);
}

TEST_F(CommandLine, CheckSaysWhatPatchingWouldDoAndChangesNothing)
{
	write_file(work / "patched.stp", typical_result);
	write_file(work / "stale.stp", typical_input);
	write_file(work / "bare.stp", typical_header + "ENDDATA;\r\n");
	write_file(work / "binary.stp", std::string("\x7F" "ELF\0\0\0", 7));
	write_file(work / "shared.stp", typical_header + "INTEGER freq = 1; A = 2;\r\n");
	write_file(work / temporary_name, "someone's temporary file");
	auto before = snapshot(work);

	finished run = run_morvet(work, {"--check", "patched.stp", "stale.stp", "bare.stp",
	                                 "binary.stp", "shared.stp", "gone.stp"});
	EXPECT_EQ(run.status, 2); // a file that could not be opened
	std::string stale_crc = typical_result.substr(typical_result.size() - 7, 4);
	EXPECT_EQ(run.output,
	          "patched.stp: patched\n"
	          "stale.stp: not patched: CRC statement 1A2B does not match the text (" +
	                  [] {
				  char value[5];
				  std::snprintf(value, sizeof value, "%04X",
				                reference_crc(typical_input.substr(
							0, typical_input.size() - 11)));
				  return std::string(value);
			  }() +
	                  "), USE_RCK is not forced, freq is not forced\n"
	                  "bare.stp: not patched: no CRC statement\n"
	                  "binary.stp: not patched: not a STAPL text file\n"
	                  "shared.stp: not patched: line 5 holds more than the declaration\n"
	                  "gone.stp: can't open\n");
	EXPECT_NE(run.errors.find("morvet: gone.stp: can't open: "), std::string::npos) << run.errors;
	EXPECT_EQ(snapshot(work), before);

	run = run_morvet(work, {"--check", "patched.stp", "patched.stp"});
	EXPECT_EQ(run.status, 0);
	EXPECT_EQ(run.output, "patched.stp: patched\npatched.stp: patched\n");
	EXPECT_EQ(run.errors, "");
}

TEST_F(CommandLine, EveryFailureExplainsItselfOnStandardError)
{
	write_file(work / "board.stp", typical_signed_input);
	write_file(work / "odd.stp", "NOTE \"open");
	finished run = run_morvet(work, {"missing.stp", "odd.stp", "board.stp"});
	EXPECT_EQ(run.status, 1);
	// Standard output keeps its exact messages; standard error says why.
	EXPECT_EQ(run.output, "\nCan't open missing.stp\nCan't patch odd.stp: the text ends inside a string");
	std::istringstream lines(run.errors);
	std::string open_line, patch_line, extra;
	std::getline(lines, open_line);
	std::getline(lines, patch_line);
	EXPECT_EQ(open_line.rfind("morvet: missing.stp: can't open: ", 0), 0u) << run.errors;
	EXPECT_GT(open_line.size(), std::string("morvet: missing.stp: can't open: ").size());
	EXPECT_EQ(patch_line, "morvet: odd.stp: can't patch: the text ends inside a string");
	EXPECT_FALSE(std::getline(lines, extra)) << run.errors;
	EXPECT_EQ(read_file(work / "board.stp"), typical_result);

	// A success says nothing anywhere.
	write_file(work / "board.stp", typical_signed_input);
	run = run_morvet(work, {"board.stp"});
	EXPECT_EQ(run.status, 0);
	EXPECT_EQ(run.output + run.errors, "");
}

TEST_F(CommandLine, ARunKeptWaitingByAnotherSaysSoOnce)
{
	SKIP_THROUGH_RUNNER();
	if (std::system("strace -qq -o /dev/null true >/dev/null 2>&1") != 0)
		GTEST_SKIP() << "no strace to hold another run with";
	without_leak_checks();
	write_file(work / "board.stp", typical_signed_input);
	write_file(work / "other.stp", typical_signed_input);
	// Another run here, held for a second and a half as it syncs.
	setenv("MORVET_RUNNER", "strace -f -qq -o /dev/null -e inject=fsync:delay_enter=1500000:when=1", 1);
	started other = start_morvet(work, {"other.stp"});
	unsetenv("MORVET_RUNNER");
	usleep(200000);
	finished run = run_morvet(work, {"board.stp"});
	EXPECT_EQ(run.status, 0);
	EXPECT_EQ(run.errors, "morvet: waiting for another run in this directory to finish\n");
	EXPECT_EQ(read_file(work / "board.stp"), typical_result);
	EXPECT_EQ(wait_for(other).status, 0);
}

TEST_F(CommandLine, AResultThatCannotReplaceTheFileIsLeftWhereStandardErrorSays)
{
	SKIP_THROUGH_RUNNER();
	// Root may write any directory: run the tool as nobody instead.
	if (geteuid() == 0) {
		if (std::system("setpriv --version >/dev/null 2>&1") != 0)
			GTEST_SKIP() << "running as root without setpriv";
		ASSERT_EQ(setenv("MORVET_RUNNER", "setpriv --reuid=65534 --regid=65534 --clear-groups", 1), 0);
		ASSERT_EQ(chmod(work.c_str(), 0777), 0);
	}
	fs::create_directories(work / "locked");
	write_file(work / "locked" / "board.stp", typical_input);
	write_file(work / "next.stp", typical_input);
	ASSERT_EQ(chmod((work / "locked").c_str(), 0555), 0);
	ASSERT_EQ(chmod((work / "next.stp").c_str(), 0666), 0);
	finished run = run_morvet(work, {"locked/board.stp", "next.stp"});
	unsetenv("MORVET_RUNNER");
	ASSERT_EQ(chmod((work / "locked").c_str(), 0755), 0);
	EXPECT_EQ(run.status, 1);
	EXPECT_EQ(run.output, "\nCan't create output\nCan't create output");
	EXPECT_EQ(read_file(work / "locked" / "board.stp"), typical_input);
	EXPECT_EQ(read_file(work / temporary_name), typical_result);
	std::string where = "morvet: locked/board.stp: the patched result is in " +
	                    pasted(work / temporary_name) + "\n";
	EXPECT_NE(run.errors.find(where), std::string::npos) << run.errors;
	// The next file does not destroy that result: it is not patched.
	EXPECT_NE(run.errors.find("morvet: next.stp: can't create the temporary file " +
	                          pasted(work / temporary_name) +
	                          ": it holds the patched result of locked/board.stp\n"),
	          std::string::npos) << run.errors;
	EXPECT_EQ(read_file(work / "next.stp"), typical_input);
}

TEST_F(CommandLine, WindowsHelpAndWildcards)
{
	if (!through_runner())
		GTEST_SKIP() << "a POSIX shell expands wildcards itself";
	finished run = run_morvet(work, {"/?"});
	EXPECT_EQ(run.status, 0);
	EXPECT_EQ(run.output.rfind(usage_text, 0), 0u) << run.output;

	fs::create_directories(work / "sub" / "dir.stp");
	// Another directory's "$$out$$.stp" is a file like any other.
	for (const char *name : {"b.stp", "A.stp", "c.STP", "note.txt", "$$OUT$$.stp"})
		write_file(work / "sub" / name, typical_input);
	run = run_morvet(work, {"--check", "sub\\*.stp"});
	std::vector<std::string> checked;
	std::istringstream lines(run.output);
	for (std::string line; std::getline(lines, line);)
		checked.push_back(line.substr(0, line.find(": ")));
	// Files only, hidden ones too, sorted without regard to case.
	EXPECT_EQ(checked, (std::vector<std::string>{"sub\\$$OUT$$.stp", "sub\\A.stp", "sub\\b.stp",
	                                             "sub\\c.STP"}))
		<< run.output;
	run = run_morvet(work, {"sub/*.stp"});
	EXPECT_EQ(run.status, 0) << run.output;
	for (const char *name : {"b.stp", "A.stp", "c.STP", "$$OUT$$.stp"})
		EXPECT_EQ(read_file(work / "sub" / name), typical_result) << name;
	EXPECT_EQ(read_file(work / "sub" / "note.txt"), typical_input);

	run = run_morvet(work, {"nothing*.stp"});
	EXPECT_EQ(run.status, 1);
	EXPECT_EQ(run.output, "\nCan't open nothing*.stp");
}

} // namespace

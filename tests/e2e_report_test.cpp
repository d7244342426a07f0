// End-to-end: what a run tells its user and its scripts: warnings, the
// diff --diff prints (applied with GNU patch), and the messages of failures
// that leave a file patched or a result kept.
#include "e2e_support.h"

#include <random>

#include <pty.h>
#include <termios.h>

using namespace e2e;

namespace {

// A runner script in the scratch directory's parent, for commands that a
// word list cannot say.
fs::path runner_script(const fs::path &work, const std::string &body)
{
	fs::path script = work.parent_path() / (work.filename().string() + "-runner");
	write_file(script, "#!/bin/sh\n" + body + "\n");
	EXPECT_EQ(chmod(script.c_str(), 0755), 0);
	return script;
}

TEST_F(Morvet, WarningsTellWhatTheCertificateCoversUp)
{
	std::string body = typical_header + "BOOLEAN USE_RCK = 0;\r\nINTEGER freq = 1;\r\n" + typical_tail;
	char stale[5];
	std::snprintf(stale, sizeof stale, "%04X", reference_crc(body));
	// A file patching leaves alone is not written, and gets no warnings
	// but from --check.
	const struct {
		std::string input;
		std::string warnings;
		bool left_alone;
	} cases[] = {
		{typical_signed_input, "", false},
		{body + "CRC 1A2B;\r\n", std::string("warning: the old CRC statement 1A2B did not match "
		                                     "the text before it (") + stale + ")\n", false},
		{with_crc(typical_header + typical_tail), "warning: no USE_RCK declaration to force\n"
		                                          "warning: no freq declaration to force\n", true},
		{with_crc(body) + "' QA: signed off\r\n", "warning: line 16 after the old CRC statement "
		                                          "was dropped\n", false},
		{with_crc(body) + "\r\nPROCEDURE X;\r\nENDPROC;", "warning: lines 17-18 after the old "
		                                                  "CRC statement were dropped\n", false},
	};
	for (const auto &c : cases) {
		for (bool checking : {false, true}) {
			write_file(work / "board.stp", c.input);
			finished run = checking ? run_morvet(work, {"--check", "board.stp"})
			                        : run_morvet(work, {"board.stp"});
			std::string expected;
			std::istringstream lines(!checking && c.left_alone ? "" : c.warnings);
			for (std::string line; std::getline(lines, line);)
				expected += "morvet: board.stp: " + line + "\n";
			EXPECT_EQ(run.errors, expected) << c.input << (checking ? " checked" : " patched");
		}
	}
}

// STAPL programs of every shape the rules meet, from a seed: declarations
// forced or already forced, over several lines, indented; old CRC
// statements with text after them or none at all; both line ends; a last
// line without one; some large enough to cross the tool's read blocks.
std::string generated_program(std::mt19937 &random)
{
	const char *pieces[] = {
		"NOTE \"DEVICE\" \"CX2064\";", "BOOLEAN USE_RCK = 0;", "INTEGER freq = 1;",
		"INTEGER freq = 3;", "BOOLEAN USE_RCK = 1;", "  INTEGER freq =", " 7; ' later",
		"\tBOOLEAN  USE_RCK[2] = $3; ' comment", "INTEGER frequency = 5;", "' a comment",
		"PROCEDURE P USES D;", "\tDRSCAN 32, $DEADBEEF;", "ENDPROC;", "", "DATA D;", "ENDDATA;",
	};
	std::string line_end = random() % 3 == 0 ? "\n" : "\r\n";
	std::string text = "NOTE \"CREATOR\" \"generator\";" + line_end;
	unsigned lines = random() % 4 == 0 ? 3000 + random() % 9000 : random() % 40;
	for (unsigned n = 0; n < lines; ++n) {
		std::string piece = pieces[random() % (sizeof pieces / sizeof pieces[0])];
		if (piece == "  INTEGER freq =")
			piece += line_end + " 7; ' later";
		else if (piece == " 7; ' later")
			piece = "A = 1;";
		text += piece + line_end;
		if (random() % 500 == 0)
			text += std::string(70000 + random() % 20000, 'x') + ";" + line_end;
	}
	switch (random() % 6) {
	case 0:
		text += "CRC 1234;" + line_end;
		break;
	case 1:
		text += "CRC 1234;" + line_end + "' signed" + line_end + "A;" + line_end;
		break;
	case 2: // the last lines without a line end
		text += "ENDPROC;";
		break;
	case 3:
		text += "INTEGER freq = 1;";
		break;
	case 4:
		text += "BOOLEAN USE_RCK =" + line_end + "CRC 1234;";
		break;
	default:
		break;
	}
	return text;
}

TEST_F(Morvet, DiffAppliedWithPatchGivesWhatPatchingWrites)
{
	SKIP_THROUGH_RUNNER();
	if (!usable("patch --version"))
		GTEST_SKIP() << "GNU patch is not installed";
	std::mt19937 random(20261208);
	// Names that diff headers must carry quoted, so that patch finds them.
	const char *names[] = {"p 1.stp", "tab\tx.stp", "back\\slash.stp", "new\nline.stp",
	                       "quo\"te.stp", "\xC3\xA9t\xC3\xA9.stp", "cr\rx.stp"};
	for (int n = 0; n < 63; ++n) {
		const std::string name = names[n % 7];
		std::string program = generated_program(random);
		write_file(work / name, program);
		finished shown = run_morvet(work, {"--diff", name});
		finished patching = run_morvet(work, {name});
		ASSERT_EQ(patching.status, 0) << n << patching.output << patching.errors;
		std::string patched = read_file(work / name);
		EXPECT_EQ(shown.status, patched == program ? 0 : 1) << n << shown.errors;
		if (patched == program) {
			EXPECT_EQ(shown.output, "") << n;
			continue;
		}
		write_file(work / name, program);
		write_file(work / "p.diff", shown.output);
		std::string apply = "cd '" + work.string() + "' && patch -s -p0 < p.diff";
		ASSERT_EQ(std::system(apply.c_str()), 0) << n << "\n" << shown.output.substr(0, 2000);
		EXPECT_TRUE(read_file(work / name) == patched) << n;
		fs::remove(work / "p.diff");
		fs::remove(work / name);
	}
}

TEST_F(Morvet, DiffPrintsOnlyDiffsAndExitsTwoForTrouble)
{
	write_file(work / "patched.stp", typical_result);
	write_file(work / "refused.stp", "A = 1");
	write_file(work / "empty.stp", "");
	finished run = run_morvet(work, {"--diff", "patched.stp", "refused.stp", "empty.stp"});
	EXPECT_EQ(run.status, 1);
	EXPECT_EQ(run.output, "--- empty.stp\n+++ empty.stp\n@@ -0,0 +1 @@\n+CRC 0000;\r\n");
	EXPECT_EQ(run.errors.rfind("morvet: refused.stp: can't patch: the last statement is not "
	                           "finished\n", 0), 0u) << run.errors;
	run = run_morvet(work, {"--diff", "missing.stp", "patched.stp"});
	EXPECT_EQ(run.status, 2);
	EXPECT_EQ(run.output, "");
	EXPECT_EQ(read_file(work / "empty.stp"), "");
}

TEST_F(Morvet, OutputThatCannotBeWrittenFailsTheRunAndSaysSo)
{
	SKIP_THROUGH_RUNNER();
	write_file(work / "patched.stp", typical_result);
	write_file(work / "stale.stp", typical_input);
	const struct {
		std::vector<std::string> arguments;
		int status;
	} cases[] = {
		{{"-q", "--check", "patched.stp"}, 2},
		{{"--version", "stale.stp"}, 1},
	};
	fs::path full = runner_script(work, "exec \"$@\" >/dev/full");
	setenv("MORVET_RUNNER", full.c_str(), 1);
	for (const auto &c : cases) {
		finished run = run_morvet(work, c.arguments);
		EXPECT_EQ(run.status, c.status) << c.arguments[1];
		EXPECT_NE(run.errors.find("morvet: can't write standard output: some of this run's "
		                          "messages are lost\n"),
		          std::string::npos) << run.errors;
	}
	unsetenv("MORVET_RUNNER");
	EXPECT_EQ(read_file(work / "stale.stp"), typical_input);
}

TEST_F(Morvet, TheTemporaryFileNamedAsAnArgumentEndsTheRunBeforeAnyFile)
{
	write_file(work / "a.stp", typical_input);
	write_file(work / temporary_name, typical_result);
	finished run = run_morvet(work, {"a.stp", temporary_name});
	EXPECT_EQ(run.status, 1);
	EXPECT_EQ(run.output, "\nCan't create output");
	// Quoted as the system's shell would read the names back.
	std::string q = through_runner() ? "\"" : "'";
	EXPECT_NE(run.errors.find("morvet: " + q + temporary_name + q +
	                          ": can't patch: it is the temporary file " + q),
	          std::string::npos) << run.errors;
	EXPECT_NE(run.errors.find(temporary_name + q + " itself\n"), std::string::npos) << run.errors;
	EXPECT_EQ(read_file(work / "a.stp"), typical_input);
	EXPECT_EQ(read_file(work / temporary_name), typical_result);
}

TEST_F(Morvet, ChecksPrintOneLinePerFileWithStreamsInOrder)
{
	SKIP_THROUGH_RUNNER();
	// Names holding a line feed or a backslash, escaped as sha256sum does.
	write_file(work / "a\nb.stp", typical_result);
	write_file(work / "c\\d.stp", typical_result);
	finished run = run_morvet(work, {"--check", "a\nb.stp", "c\\d.stp"});
	EXPECT_EQ(run.output, "\\a\\nb.stp: patched\n\\c\\\\d.stp: patched\n");
	// In one log, a cause follows the verdict it explains.
	fs::path merged = runner_script(work, "exec \"$@\" 2>&1");
	setenv("MORVET_RUNNER", merged.c_str(), 1);
	run = run_morvet(work, {"--check", "gone.stp", "c\\d.stp"});
	unsetenv("MORVET_RUNNER");
	EXPECT_EQ(run.output.rfind("gone.stp: can't open\nmorvet: gone.stp: can't open: ", 0), 0u)
		<< run.output;
	EXPECT_EQ(run.status, 2);
}

// Runs the tool with standard output and error on one destination: a
// pseudo-terminal (output processing off, so bytes arrive as written), or
// one pipe, as "> log 2>&1" makes it.
finished run_joined(const fs::path &directory, const std::vector<std::string> &arguments,
                    bool terminal)
{
	std::vector<std::string> command = words(std::getenv("MORVET_RUNNER"));
	command.push_back(fs::absolute(std::getenv("MORVET_EXE")).string());
	command.insert(command.end(), arguments.begin(), arguments.end());
	int fds[2] = {-1, -1};
	struct termios raw = {};
	raw.c_cflag = CS8 | CREAD;
	if (!terminal) {
		EXPECT_EQ(pipe(fds), 0);
	}
	pid_t pid = terminal ? forkpty(&fds[0], nullptr, &raw, nullptr) : fork();
	if (pid == 0) {
		if (!terminal && (dup2(fds[1], STDOUT_FILENO) < 0 || dup2(fds[1], STDERR_FILENO) < 0))
			_exit(125);
		exec_in(directory, command);
	}
	if (!terminal)
		close(fds[1]);
	finished result{-1, read_all(fds[0]), {}}; // a terminal's end reads as an error
	int status = 0;
	EXPECT_EQ(waitpid(pid, &status, 0), pid);
	result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
	return result;
}

TEST_F(Morvet, EachMessageHasALineOfItsOwnAndARefusalIsSaidOnceOnATerminal)
{
	SKIP_THROUGH_RUNNER();
	write_file(work / "refused.stp", "A = 1; BOOLEAN USE_RCK = 0;\r\n");
	write_file(work / "board.stp", typical_input);
	const std::string refused = "\nCan't patch refused.stp: line 1 holds more than the declaration";
	const std::string cause = "morvet: refused.stp: can't patch: line 1 holds more than the declaration\n";
	const std::string missing = "\nCan't open gone.stp";
	const std::string gone = "morvet: gone.stp: can't open: No such file or directory\n";
	const struct {
		bool terminal;
		std::vector<std::string> arguments;
		std::string shown;
	} cases[] = {
		// In a log the cause follows on a line of its own.
		{false, {"refused.stp"}, refused + "\n" + cause},
		{false, {"gone.stp", "refused.stp"}, missing + "\n" + gone + refused + "\n" + cause},
		// A terminal is not told a refusal twice, and gets its last line ended.
		{true, {"refused.stp"}, refused + "\n"},
		{true, {"refused.stp", "gone.stp"}, refused + missing + "\n" + gone},
		{true, {"gone.stp", "refused.stp"}, missing + "\n" + gone + refused + "\n"},
		// Quiet: no warnings, the rest as it was.
		{true, {"-q", "board.stp", "refused.stp"}, refused + "\n"},
		{false, {"--quiet", "board.stp", "gone.stp"}, missing + "\n" + gone},
	};
	for (const auto &c : cases) {
		write_file(work / "board.stp", typical_input); // whose CRC is stale: a warning
		finished run = run_joined(work, c.arguments, c.terminal);
		EXPECT_EQ(run.output, c.shown) << c.terminal << " " << c.arguments[0];
		EXPECT_EQ(run.status, 1) << c.arguments[0];
	}
	EXPECT_EQ(read_file(work / "board.stp"), typical_result);
	// Apart, standard output keeps its fixed texts byte for byte.
	finished apart = run_morvet(work, {"refused.stp"});
	EXPECT_EQ(apart.output, refused);
	EXPECT_EQ(apart.errors, cause);
}

TEST_F(Morvet, ARunFromATerminalNeverWaitsForAKey)
{
	// On Windows only a console Explorer made for the program waits at
	// the end; a terminal, also one no Windows process shares, never does.
	write_file(work / "board.stp", typical_input);
	const char *runner = std::getenv("MORVET_RUNNER");
	const std::string given = runner != nullptr ? runner : "";
	setenv("MORVET_RUNNER", ("timeout 60 " + given).c_str(), 1);
	finished run = run_joined(work, {"-q", "board.stp"}, true);
	if (runner != nullptr)
		setenv("MORVET_RUNNER", given.c_str(), 1);
	else
		unsetenv("MORVET_RUNNER");
	EXPECT_EQ(run.status, 0) << run.output;
	EXPECT_EQ(run.output.find("Press any key"), std::string::npos) << run.output;
	EXPECT_EQ(read_file(work / "board.stp"), typical_result);
}

TEST_F(Morvet, FailuresAfterTheCopyAreNamedForWhatTheyAre)
{
	SKIP_THROUGH_RUNNER();
	if (!usable("strace -qq -o /dev/null true") || !usable("prlimit --version"))
		GTEST_SKIP() << "needs strace and prlimit";
	without_leak_checks();
	// The disk fills as the CRC statement is written: a write failure.
	write_file(work / "board.stp", typical_input);
	setenv("MORVET_RUNNER", ("prlimit --fsize=" + std::to_string(typical_result.size() - 5)).c_str(), 1);
	finished run = run_morvet(work, {"board.stp"});
	EXPECT_EQ(run.output, "\nCan't create output");
	EXPECT_NE(run.errors.find("board.stp: can't write the temporary file " +
	                          pasted(work / temporary_name) + ": File too large"),
	          std::string::npos) << run.errors;
	EXPECT_EQ(read_file(work / "board.stp"), typical_input);
	EXPECT_EQ(names_in(work), std::vector<std::string>{"board.stp"});
	// The kernel's copy of the input fails on a read error: the input
	// could not be read, as when the copy goes through the buffer.
	setenv("MORVET_RUNNER", "strace -f -qq -o /dev/null -e inject=copy_file_range:error=EIO", 1);
	run = run_morvet(work, {"board.stp"});
	EXPECT_EQ(run.output, "\nCan't read board.stp");
	EXPECT_EQ(read_file(work / "board.stp"), typical_input);
	EXPECT_EQ(names_in(work), std::vector<std::string>{"board.stp"});
	// The file is in place, but its directory cannot be synced.
	setenv("MORVET_RUNNER", "strace -f -qq -o /dev/null -e inject=fsync:error=EIO:when=2", 1);
	run = run_morvet(work, {"board.stp"});
	EXPECT_EQ(run.status, 1);
	EXPECT_EQ(run.output, "\nCan't sync board.stp");
	EXPECT_NE(run.errors.find("board.stp: can't sync the file's directory: Input/output error "
	                          "(the file is patched, but the change may not survive a power loss)"),
	          std::string::npos) << run.errors;
	EXPECT_EQ(read_file(work / "board.stp"), typical_result);
	// Attribute names too many for the tool's buffers: no result without them.
	write_file(work / "board.stp", typical_input);
	setenv("MORVET_RUNNER", "strace -f -qq -o /dev/null -e inject=flistxattr:error=ERANGE", 1);
	run = run_morvet(work, {"board.stp"});
	unsetenv("MORVET_RUNNER");
	EXPECT_EQ(run.output, "\nCan't create output");
	EXPECT_NE(run.errors.find("can't copy the file's attributes, which are too large"),
	          std::string::npos) << run.errors;
	EXPECT_EQ(read_file(work / "board.stp"), typical_input);
}

} // namespace

// End-to-end: the built tool run as a user runs it, on STAPL files the
// tests write, in scratch working directories.
#include "e2e_support.h"

#include <csignal>
#include <cstring>

using namespace e2e;

namespace {
TEST_F(Morvet, WithoutAnArgumentPrintsUsageAndCreatesNothing)
{
	finished run = run_morvet(work, {});
	EXPECT_EQ(run.status, 1);
	EXPECT_EQ(run.output, usage_text);
	EXPECT_TRUE(names_in(work).empty());
}

TEST_F(Morvet, HelpAndVersionSucceed)
{
	// The usage text, then every option and where the manual is.
	for (const char *option : {"--help", "-h"}) {
		finished run = run_morvet(work, {option});
		EXPECT_EQ(run.status, 0) << option;
		EXPECT_EQ(run.output.rfind(usage_text, 0), 0u) << option;
		for (const char *shown : {"--check", "--diff", "--version", "--help",
		                          through_runner() ? "README.txt" : "man morvet"})
			EXPECT_NE(run.output.find(shown), std::string::npos) << shown;
	}
	finished run = run_morvet(work, {"--version"});
	EXPECT_EQ(run.status, 0);
	EXPECT_EQ(run.output, "morvet " MORVET_EXPECTED_VERSION "\n");
	EXPECT_TRUE(names_in(work).empty());
}

TEST_F(Morvet, AMissingFileIsReportedAndNothingIsTouched)
{
	write_file(work / temporary_name, "someone's old temporary file");
	finished run = run_morvet(work, {"no such file.stp"});
	EXPECT_EQ(run.status, 1);
	EXPECT_EQ(run.output, "\nCan't open no such file.stp");
	EXPECT_EQ(read_file(work / temporary_name), "someone's old temporary file");
	EXPECT_EQ(names_in(work), std::vector<std::string>{temporary_name});
}

TEST_F(Morvet, PatchesATypicalFileInPlaceAndSilently)
{
	write_file(work / "board.stp", typical_input);
	finished run = run_morvet(work, {"board.stp"});
	EXPECT_EQ(run.status, 0);
	EXPECT_EQ(run.output, "");
	EXPECT_EQ(read_file(work / "board.stp"), typical_result);
	EXPECT_EQ(names_in(work), std::vector<std::string>{"board.stp"});
}

TEST_F(Morvet, KeepsLineFeedLinesDropsWhatFollowsTheCrcAndEndsTheLastLine)
{
	const std::string body = "NOTE \"X\" \"Y\";\nDATA D;\n";
	write_file(work / "a.stp", body + "INTEGER freq = 7;\nENDDATA;\nCRC 0001;\njunk after\n");
	write_file(work / "b.stp", body + "BOOLEAN USE_RCK = 0;\nENDDATA; ' last line, no end");
	EXPECT_EQ(run_morvet(work, {"a.stp"}).status, 0);
	EXPECT_EQ(run_morvet(work, {"b.stp"}).status, 0);
	EXPECT_EQ(read_file(work / "a.stp"), with_crc(body + "INTEGER freq = 3;\r\nENDDATA;\n"));
	EXPECT_EQ(read_file(work / "b.stp"),
	          with_crc(body + "BOOLEAN USE_RCK = 1;\r\nENDDATA; ' last line, no end\r\n"));
}

TEST_F(Morvet, EmptyFileGetsTheEmptyTextsStatement)
{
	write_file(work / "empty.stp", "");
	EXPECT_EQ(run_morvet(work, {"empty.stp"}).status, 0);
	EXPECT_EQ(read_file(work / "empty.stp"), "CRC 0000;\r\n");
}

TEST_F(Morvet, ASecondRunLeavesTheResultUnchanged)
{
	std::string long_line = "' " + std::string(600, '=') + " CRC 1234; inside a comment\n";
	write_file(work / "p.stp", long_line + typical_input);
	ASSERT_EQ(run_morvet(work, {"p.stp"}).status, 0);
	std::string first = read_file(work / "p.stp");
	EXPECT_TRUE(carries_valid_crc(first));
	EXPECT_EQ(first.compare(0, long_line.size(), long_line), 0);
	ASSERT_EQ(run_morvet(work, {"p.stp"}).status, 0);
	EXPECT_EQ(read_file(work / "p.stp"), first);
}

TEST_F(Morvet, TheBundledExampleComesOutWithAValidCrc)
{
	fs::copy_file(MORVET_EXAMPLE, work / "example.stp");
	ASSERT_EQ(run_morvet(work, {"example.stp"}).status, 0);
	std::string result = read_file(work / "example.stp");
	EXPECT_TRUE(carries_valid_crc(result));
	EXPECT_NE(result.find("\r\nBOOLEAN USE_RCK = 1;\r\n"), std::string::npos);
	EXPECT_NE(result.find("\r\nINTEGER freq = 3;\r\n"), std::string::npos);
	EXPECT_NE(result.find("\r\nINTEGER frequency_divider = 4;\r\n"), std::string::npos);
}

TEST_F(Morvet, AnInputInAnotherDirectoryIsPatchedThere)
{
	fs::create_directories(work / "run");
	fs::create_directories(work / "files");
	write_file(work / "files" / "rel.stp", typical_input);
	write_file(work / "files" / "abs.stp", typical_input);
	EXPECT_EQ(run_morvet(work / "run", {"../files/rel.stp"}).status, 0);
	EXPECT_EQ(run_morvet(work / "run", {(work / "files" / "abs.stp").string()}).status, 0);
	EXPECT_EQ(read_file(work / "files" / "rel.stp"), typical_result);
	EXPECT_EQ(read_file(work / "files" / "abs.stp"), typical_result);
	EXPECT_TRUE(names_in(work / "run").empty());
	EXPECT_EQ(names_in(work / "files"), (std::vector<std::string>{"abs.stp", "rel.stp"}));
	if (through_runner()) {
		// Windows users type backslashes.
		write_file(work / "files" / "back.stp", typical_input);
		EXPECT_EQ(run_morvet(work / "run", {"..\\files\\back.stp"}).status, 0);
		EXPECT_EQ(read_file(work / "files" / "back.stp"), typical_result);
		EXPECT_TRUE(names_in(work / "run").empty());
	}
}

// What a killed run left in "$$out$$.stp" is cleared; a complete patched
// text, as a run keeps it when its result cannot replace the file, is the
// user's and stays, and no file that needs writing is patched meanwhile.
// Links there are no result of a run's: they go, what they name stays, and
// a file patched through a link of its own is the one replaced.
TEST_F(Morvet, AStaleTemporaryFileIsClearedAndAKeptResultIsLeftAlone)
{
	// READ_FAILS: a complete result whose reading fails part way; LEASED:
	// one another program holds a write lease on, as Samba's oplocks do,
	// so that it cannot be opened for now.
	enum { NO_LINK, HARD_LINK, SYMBOLIC_LINK, READ_FAILS, LEASED };
	const struct {
		const char *what;
		std::string held;
		int link;
		bool kept;
	} cases[] = {
		{"not a STAPL text", std::string(100000, 'x'), NO_LINK, false},
		{"a result cut short", typical_result.substr(0, typical_result.size() - 3), NO_LINK, false},
		{"a result with a byte changed", "'" + typical_result.substr(1), NO_LINK, false},
		{"a hard link to a patched file", "", HARD_LINK, false},
		{"a link to another file", "", SYMBOLIC_LINK, false},
		{"a complete result", typical_result, NO_LINK, true},
		{"a complete result that fails to read", typical_result, READ_FAILS, true},
		{"a complete result that cannot be opened for now", typical_result, LEASED, true},
	};
	write_file(work / "elsewhere.stp", typical_result);
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		if (c.link != NO_LINK && through_runner())
			continue; // POSIX links and strace are not seen through the runner
		if (c.link == READ_FAILS && !usable("strace -qq -o /dev/null true"))
			continue;
		fs::remove(work / temporary_name);
		write_file(work / "board.stp", typical_input);
		write_file(work / "done.stp", typical_result);
		if (c.link == HARD_LINK)
			fs::create_hard_link(work / "elsewhere.stp", work / temporary_name);
		else if (c.link == SYMBOLIC_LINK)
			fs::create_symlink(work / "elsewhere.stp", work / temporary_name);
		else
			write_file(work / temporary_name, c.held);
		if (c.link == SYMBOLIC_LINK && !fs::exists(work / "link.stp"))
			fs::create_symlink(work / "board.stp", work / "link.stp");
		if (c.link == READ_FAILS) {
			without_leak_checks(); // LeakSanitizer cannot work under strace
			setenv("MORVET_RUNNER", ("strace -f -qq -o /dev/null -P " + (work / temporary_name).string() +
			                         " -e trace=pread64 -e inject=pread64:error=EIO:when=1").c_str(), 1);
		}
		int leased = c.link == LEASED ? open((work / temporary_name).c_str(), O_RDONLY) : -1;
		// The lease's holder is sent SIGIO when the run asks for the file.
		void (*was)(int) = signal(SIGIO, SIG_IGN);
		if (c.link == LEASED && fcntl(leased, F_SETLEASE, F_WRLCK) != 0) {
			close(leased);
			signal(SIGIO, was);
			continue; // no leases here
		}
		finished run = run_morvet(work, {"done.stp", c.link == SYMBOLIC_LINK ? "link.stp" : "board.stp"});
		if (c.link == READ_FAILS)
			unsetenv("MORVET_RUNNER");
		if (leased >= 0)
			close(leased);
		signal(SIGIO, was);
		EXPECT_EQ(read_file(work / "done.stp"), typical_result);
		EXPECT_EQ(read_file(work / "elsewhere.stp"), typical_result);
		if (!c.kept) {
			EXPECT_EQ(run.status, 0) << run.errors;
			EXPECT_EQ(read_file(work / "board.stp"), typical_result);
			EXPECT_FALSE(fs::exists(fs::symlink_status(work / temporary_name)));
			continue;
		}
		EXPECT_EQ(run.status, 1);
		EXPECT_EQ(run.output, "\nCan't create output");
		// Wine shows the path in a form of its own, in double quotes.
		std::string where = through_runner() ? "\"Z:" + work.string() + "\\$$out$$.stp\""
		                                     : pasted(work / temporary_name);
		std::replace(where.begin(), where.end(), through_runner() ? '/' : '\0', '\\');
		EXPECT_EQ(run.errors,
		          c.link >= READ_FAILS
		              ? "morvet: board.stp: can't remove the old temporary file " + where + ": " +
		                    (c.link == READ_FAILS ? "Input/output error" : std::strerror(EWOULDBLOCK)) +
		                    "\n"
		              : "morvet: board.stp: can't create the temporary file " + where +
		                    ": it holds a complete patched result, which a run kept or left "
		                    "behind (move it where it belongs, or remove it)\n");
		EXPECT_EQ(read_file(work / "board.stp"), typical_input);
		EXPECT_EQ(read_file(work / temporary_name), c.held);
	}
}

TEST_F(Morvet, TheTemporaryFileItselfIsRefusedAsInput)
{
	write_file(work / temporary_name, typical_input);
	finished run = run_morvet(work, {temporary_name});
	EXPECT_EQ(run.status, 1);
	EXPECT_EQ(run.output, "\nCan't create output");
	EXPECT_EQ(read_file(work / temporary_name), typical_input);
}

TEST_F(Morvet, TheTemporaryFileUnderAnotherNameIsRefusedAsInput)
{
	SKIP_THROUGH_RUNNER();
	write_file(work / temporary_name, typical_input);
	fs::create_directories(work / "elsewhere");
	fs::create_hard_link(work / temporary_name, work / "elsewhere" / "hard.stp");
	fs::create_symlink(work / temporary_name, work / "elsewhere" / "soft.stp");
	for (const char *name : {"elsewhere/hard.stp", "elsewhere/soft.stp"}) {
		finished run = run_morvet(work, {name});
		EXPECT_EQ(run.status, 1) << name;
		EXPECT_EQ(run.output, "\nCan't create output") << name;
		EXPECT_EQ(read_file(work / temporary_name), typical_input) << name;
	}
}

TEST_F(Morvet, OnlyRegularFilesAreOpened)
{
	fs::create_directories(work / "dir.stp");
	finished run = run_morvet(work, {"dir.stp"});
	EXPECT_EQ(run.status, 1);
	EXPECT_EQ(run.output, "\nCan't open dir.stp");
	EXPECT_TRUE(fs::is_directory(work / "dir.stp"));
	EXPECT_EQ(names_in(work), std::vector<std::string>{"dir.stp"});
	if (through_runner())
		return;
	ASSERT_EQ(mkfifo((work / "fifo.stp").c_str(), 0600), 0);
	run = run_morvet(work, {"fifo.stp"});
	EXPECT_EQ(run.status, 1);
	EXPECT_EQ(run.output, "\nCan't open fifo.stp");
	EXPECT_TRUE(fs::is_fifo(work / "fifo.stp"));
	run = run_morvet(work, {"/dev/null"});
	EXPECT_EQ(run.output, "\nCan't open /dev/null");
	EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

TEST_F(Morvet, ALinkPlantedAtTheTemporaryNameRedirectsNothing)
{
	SKIP_THROUGH_RUNNER();
	write_file(work / "victim", "precious");
	write_file(work / "board.stp", typical_input);
	fs::create_symlink(work / "victim", work / temporary_name);
	EXPECT_EQ(run_morvet(work, {"board.stp"}).status, 0);
	EXPECT_EQ(read_file(work / "victim"), "precious");
	EXPECT_EQ(read_file(work / "board.stp"), typical_result);

	fs::create_hard_link(work / "victim", work / temporary_name);
	write_file(work / "board.stp", typical_input);
	EXPECT_EQ(run_morvet(work, {"board.stp"}).status, 0);
	EXPECT_EQ(read_file(work / "victim"), "precious");
	EXPECT_EQ(read_file(work / "board.stp"), typical_result);
}

TEST_F(Morvet, PermissionBitsAreKept)
{
	SKIP_THROUGH_RUNNER();
	for (mode_t mode : {0600, 0755, 0640}) {
		write_file(work / "m.stp", typical_input);
		ASSERT_EQ(chmod((work / "m.stp").c_str(), mode), 0);
		EXPECT_EQ(run_morvet(work, {"m.stp"}).status, 0);
		struct stat status;
		ASSERT_EQ(stat((work / "m.stp").c_str(), &status), 0);
		EXPECT_EQ(status.st_mode & 07777, mode);
		EXPECT_EQ(read_file(work / "m.stp"), typical_result);
	}
}

TEST_F(Morvet, ThroughASymbolicLinkTheFileItNamesIsPatched)
{
	SKIP_THROUGH_RUNNER();
	fs::create_directories(work / "real");
	write_file(work / "real" / "board.stp", typical_input);
	fs::create_symlink("real/board.stp", work / "link.stp");
	EXPECT_EQ(run_morvet(work, {"link.stp"}).status, 0);
	EXPECT_TRUE(fs::is_symlink(work / "link.stp"));
	EXPECT_EQ(read_file(work / "real" / "board.stp"), typical_result);
}

TEST_F(Morvet, AWorkingDirectoryOnAnotherFilesystemStillReplacesTheInput)
{
	struct stat shm, here;
	if (stat("/dev/shm", &shm) != 0 || stat(work.c_str(), &here) != 0 ||
	    shm.st_dev == here.st_dev)
		GTEST_SKIP() << "no second filesystem at /dev/shm to work from";
	std::string pattern = "/dev/shm/morvet-e2e-XXXXXX";
	ASSERT_NE(mkdtemp(pattern.data()), nullptr);
	fs::path elsewhere = pattern;
	write_file(work / "board.stp", typical_input);
	ASSERT_EQ(chmod((work / "board.stp").c_str(), 0640), 0);
	finished run = run_morvet(elsewhere, {(work / "board.stp").string()});
	EXPECT_EQ(run.status, 0) << run.output;
	EXPECT_EQ(read_file(work / "board.stp"), typical_result);
	struct stat status;
	ASSERT_EQ(stat((work / "board.stp").c_str(), &status), 0);
	if (!through_runner()) {
		EXPECT_EQ(status.st_mode & 07777, 0640u);
	}
	EXPECT_TRUE(names_in(elsewhere).empty());
	EXPECT_EQ(names_in(work), std::vector<std::string>{"board.stp"});
	fs::remove_all(elsewhere);
}

TEST_F(Morvet, EightRunsStartedAtOnceInOneDirectoryAllSucceed)
{
	std::vector<std::string> inputs, expected;
	for (int n = 0; n < 8; ++n) {
		// Different sizes and texts, so a mix-up shows; big enough that
		// unserialized runs would overlap.
		std::string rows;
		for (int row = 0; row < 2000 * (n + 1); ++row)
			rows += "\tDRSCAN 32, $" + std::to_string(1000000 + row * (n + 3)) + ";\r\n";
		inputs.push_back(typical_header + "INTEGER freq = " + std::to_string(n) + ";\r\n" + rows +
		                 "CRC 0000;\r\n");
		expected.push_back(with_crc(typical_header + "INTEGER freq = 3;\r\n" + rows));
		write_file(work / ("f" + std::to_string(n) + ".stp"), inputs.back());
	}
	std::vector<started> runs;
	for (int n = 0; n < 8; ++n)
		runs.push_back(start_morvet(work, {"f" + std::to_string(n) + ".stp"}));
	for (int n = 0; n < 8; ++n) {
		finished run = wait_for(runs[static_cast<std::size_t>(n)]);
		EXPECT_EQ(run.status, 0) << n << run.output;
	}
	for (int n = 0; n < 8; ++n)
		EXPECT_TRUE(read_file(work / ("f" + std::to_string(n) + ".stp")) ==
		            expected[static_cast<std::size_t>(n)])
			<< "file " << n << " is not its own correct result";
	EXPECT_FALSE(fs::exists(work / temporary_name));
}

TEST_F(Morvet, NamesOutsideAsciiAreOpenedPatchedAndShownAsTyped)
{
	const std::string name = "Pr\xC3\xBC" "fung \xE2\x82\xAC \xE6\xB8\xAC\xE8\xA9\xA6.stp";
	fs::create_directories(work / "d\xC3\xA9j\xC3\xA0");
	write_file(work / "d\xC3\xA9j\xC3\xA0" / name, typical_input);
	finished run = run_morvet(work, {"d\xC3\xA9j\xC3\xA0/" + name});
	EXPECT_EQ(run.status, 0) << run.output;
	EXPECT_EQ(read_file(work / "d\xC3\xA9j\xC3\xA0" / name), typical_result);
	run = run_morvet(work, {"missing " + name});
	EXPECT_EQ(run.status, 1);
	EXPECT_EQ(run.output, "\nCan't open missing " + name);
}

TEST_F(Morvet, AReadOnlyInputOnWindowsIsAFailureAndStaysUnchanged)
{
	if (!through_runner())
		GTEST_SKIP() << "on POSIX a read-only file in a writable directory is replaced, "
		                "as any in-place editor does";
	write_file(work / "locked.stp", typical_input);
	ASSERT_EQ(chmod((work / "locked.stp").c_str(), 0444), 0);
	// Wine shows a file without write bits as read-only, also to root.
	finished run = run_morvet(work, {"locked.stp"});
	EXPECT_EQ(run.status, 1);
	EXPECT_EQ(run.output, "\nCan't create output");
	EXPECT_EQ(read_file(work / "locked.stp"), typical_input);
	// Refused before anything was written.
	EXPECT_EQ(names_in(work), std::vector<std::string>{"locked.stp"});
}

} // namespace

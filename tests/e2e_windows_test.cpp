// End-to-end cases that only a Windows build shows: file attributes and
// permissions, files another program holds, drive letters and long paths.
// They run through MORVET_RUNNER (Wine) with MORVET_WINDOWS_HELPER naming
// windows_helper.exe, and WINEPREFIX the prefix whose drives they map.
#include "e2e_support.h"

#include <chrono>
#include <thread>

using namespace e2e;

namespace {

class WindowsMorvet : public Morvet {
protected:
	void SetUp() override
	{
		const char *helper_path = std::getenv("MORVET_WINDOWS_HELPER");
		if (!through_runner() || helper_path == nullptr)
			GTEST_SKIP() << "needs a Windows build run through MORVET_RUNNER and "
			                "MORVET_WINDOWS_HELPER";
		helper = fs::absolute(helper_path).string();
		Morvet::SetUp();
	}

	// The helper run like the tool, through the runner, in directory.
	finished run_helper(const fs::path &directory, const std::vector<std::string> &arguments)
	{
		return wait_for(start_helper(directory, arguments));
	}

	started start_helper(const fs::path &directory, const std::vector<std::string> &arguments)
	{
		std::string saved = std::getenv("MORVET_EXE");
		setenv("MORVET_EXE", helper.c_str(), 1);
		started process = start_morvet(directory, arguments);
		setenv("MORVET_EXE", saved.c_str(), 1);
		return process;
	}

	std::string shown(const std::string &name)
	{
		finished run = run_helper(work, {"show", name});
		EXPECT_EQ(run.status, 0) << run.errors;
		return run.output;
	}

	// A second filesystem to work from, so that no rename reaches the input.
	fs::path other_filesystem()
	{
		struct stat shm, here;
		if (stat("/dev/shm", &shm) != 0 || stat(work.c_str(), &here) != 0 ||
		    shm.st_dev == here.st_dev)
			return {};
		std::string pattern = "/dev/shm/morvet-e2e-XXXXXX";
		if (mkdtemp(pattern.data()) == nullptr)
			return {};
		elsewhere = pattern;
		return elsewhere;
	}

	void TearDown() override
	{
		std::error_code ignored;
		if (!elsewhere.empty())
			fs::remove_all(elsewhere, ignored);
		Morvet::TearDown();
	}

	std::string helper;
	fs::path elsewhere;
};

// Attributes, as windows_helper sets them, in hexadecimal.
const char hidden[] = "2";
const char hidden_system[] = "6";
const char system_only[] = "4";

TEST_F(WindowsMorvet, AttributesAndPermissionsAreKept)
{
	fs::path other = other_filesystem();
	struct {
		const char *attributes;
		const char *dacl; // Wine keeps what the mode bits can say
		bool across_volumes;
	} cases[] = {
		{hidden, "D:P(A;;FA;;;WD)", false},
		{hidden_system, "D:P(A;;FA;;;OW)(A;;FR;;;WD)", false},
		{system_only, "D:P(A;;FA;;;OW)", false},
		{hidden_system, "D:P(A;;FA;;;WD)", true},
		{system_only, "D:P(A;;FA;;;OW)", true},
	};
	for (const auto &c : cases) {
		if (c.across_volumes && other.empty())
			continue;
		write_file(work / "board.stp", typical_input);
		finished set = run_helper(work, {"set", "board.stp", c.attributes,
		                                 "125000000000000000", c.dacl});
		ASSERT_EQ(set.status, 0) << set.errors;
		std::string before = shown("board.stp");
		// (Wine adds the archive attribute to whatever it is given.)
		unsigned long wanted = std::stoul(c.attributes, nullptr, 16);
		ASSERT_EQ(before.rfind("attributes=", 0), 0u) << before;
		ASSERT_EQ(std::stoul(before.substr(11), nullptr, 16) & wanted, wanted) << before;
		// Creation times cannot be set on Wine's file systems, so only the
		// attributes and the security descriptor are compared.
		before.erase(before.find(" created="), before.find(" sd=") - before.find(" created="));
		finished run = c.across_volumes
			? run_morvet(other, {(work / "board.stp").string()})
			: run_morvet(work, {"board.stp"});
		EXPECT_EQ(run.status, 0) << c.attributes << c.dacl << run.errors;
		std::string after = shown("board.stp");
		after.erase(after.find(" created="), after.find(" sd=") - after.find(" created="));
		EXPECT_EQ(after, before) << c.dacl << (c.across_volumes ? " across volumes" : "");
		EXPECT_EQ(read_file(work / "board.stp"), typical_result);
		EXPECT_EQ(names_in(work), std::vector<std::string>{"board.stp"});
		if (!other.empty()) {
			EXPECT_TRUE(names_in(other).empty());
		}
		// Plain again, so the next case's helper can rewrite it.
		ASSERT_EQ(run_helper(work, {"set", "board.stp", "80", "125000000000000000",
		                            "D:P(A;;FA;;;WD)"})
		                  .status,
		          0);
	}
}

// A program that holds the input open: briefly, the way scanners and
// indexers do, and for longer than the tool waits; or only for its
// attributes, which keeps nothing from the file. The same for a stale
// temporary file, which must go before the result can be written.
TEST_F(WindowsMorvet, AFileHeldByAnotherProgramIsWaitedForAWhile)
{
	struct {
		const char *held;      // the file the helper holds
		const char *mode;      // how it holds it
		const char *held_for;  // milliseconds
		bool succeeds;
		const char *output;
		const char *cause;
	} cases[] = {
		// Opening the input waits. A hold meant to outlast the wait of
		// about 5 s also outlasts a slow start of the program.
		{"board.stp", "exclusive", "1500", true, "", ""},
		{"board.stp", "exclusive", "12000", false, "\nCan't open board.stp",
		 "morvet: board.stp: can't open: "},
		// The input can be read, but not replaced while it is open.
		{"board.stp", "reading", "1500", true, "", ""},
		{"board.stp", "reading", "12000", false, "\nCan't create output",
		 "morvet: board.stp: can't replace the file: "},
		// Explorer's look at its attributes does not stand in the way.
		{"board.stp", "attributes", "9000", true, "", ""},
		{temporary_name, "attributes", "3000", true, "", ""},
		{temporary_name, "reading", "1500", true, "", ""},
	};
	for (const auto &c : cases) {
		write_file(work / "board.stp", typical_input);
		if (c.held == std::string(temporary_name))
			write_file(work / temporary_name, "left by a run that was killed");
		started holder = start_helper(work, {"hold", c.held, c.held_for, c.mode});
		// The helper says when it holds the file.
		char said[5] = {};
		ASSERT_EQ(read(holder.output, said, 4), 4);
		ASSERT_STREQ(said, "held");
		finished run = run_morvet(work, {"board.stp"});
		finished held = wait_for(holder);
		EXPECT_EQ(held.status, 0) << held.errors;
		EXPECT_EQ(run.status, c.succeeds ? 0 : 1) << c.mode << c.held_for << run.errors;
		EXPECT_EQ(run.output, c.output) << c.mode << c.held_for;
		EXPECT_EQ(run.errors.rfind(c.cause, 0), 0u) << run.errors;
		EXPECT_EQ(read_file(work / "board.stp"), c.succeeds ? typical_result : typical_input)
			<< c.mode << c.held_for;
		if (!c.succeeds && std::string(c.mode) == "reading") {
			// The finished result waits to be recovered.
			EXPECT_NE(run.errors.find("the patched result is in "), std::string::npos);
			EXPECT_EQ(read_file(work / temporary_name), typical_result);
			fs::remove(work / temporary_name);
		}
		EXPECT_EQ(names_in(work), std::vector<std::string>{"board.stp"});
	}
}

// Two drives of their own, M: and N:, on the scratch directory (one
// filesystem); the tool runs from M:\run, which leads to another
// filesystem, so the result has to be copied beside the input.
TEST_F(WindowsMorvet, RootedAndDriveRelativePathsWorkFromAnotherVolume)
{
	const char *prefix = std::getenv("WINEPREFIX");
	fs::path other = other_filesystem();
	if (prefix == nullptr || other.empty())
		GTEST_SKIP() << "needs WINEPREFIX and a second filesystem at /dev/shm";
	fs::path drives = fs::path(prefix) / "dosdevices";
	fs::path drive = work / "drive";
	fs::create_directories(drive / "sub");
	fs::create_directory_symlink(other, drive / "run");
	std::error_code ignored;
	fs::remove(drives / "m:", ignored);
	fs::remove(drives / "n:", ignored);
	fs::create_directory_symlink(drive, drives / "m:");
	fs::create_directory_symlink(drive, drives / "n:");
	struct {
		const char *argument;
		const char *drive_directory; // N:'s current directory, if set
		const char *file;            // where the argument leads, in drive
	} cases[] = {
		{"\\board.stp", nullptr, "board.stp"},
		{"N:board.stp", nullptr, "board.stp"},
		{"N:board.stp", "N:\\sub", "sub/board.stp"},
		{"..\\sub\\board.stp", nullptr, "sub/board.stp"},
	};
	for (const auto &c : cases) {
		write_file(drive / c.file, typical_input);
		std::vector<std::string> arguments = {"in", "M:\\run"};
		if (c.drive_directory != nullptr)
			arguments.push_back(std::string("=N:=") + c.drive_directory);
		arguments.push_back(fs::absolute(std::getenv("MORVET_EXE")).string());
		arguments.push_back(c.argument);
		finished run = run_helper(work, arguments);
		EXPECT_EQ(run.status, 0) << c.argument << run.output << run.errors;
		EXPECT_EQ(read_file(drive / c.file), typical_result) << c.argument;
		EXPECT_TRUE(names_in(other).empty()) << c.argument;
		EXPECT_EQ(names_in(drive / "sub").size(), std::string(c.file) == "board.stp" ? 0u : 1u);
		fs::remove(drive / c.file);
	}
	EXPECT_EQ(names_in(drive), (std::vector<std::string>{"run", "sub"}));
	// At the top of a drive, a stale temporary file is the run's to clear.
	write_file(drive / temporary_name, "left by a run killed outright");
	write_file(drive / "board.stp", typical_input);
	finished run = run_helper(work, {"in", "N:\\", fs::absolute(std::getenv("MORVET_EXE")).string(),
	                                 "board.stp"});
	EXPECT_EQ(run.status, 0) << run.output << run.errors;
	EXPECT_EQ(read_file(drive / "board.stp"), typical_result);
	EXPECT_EQ(names_in(drive), (std::vector<std::string>{"board.stp", "run", "sub"}));
	fs::remove(drives / "m:");
	fs::remove(drives / "n:");
}

// Another program changes the input while the tool waits to replace it
// (a reader holds it meanwhile): the other program's file stays as it is,
// also when it was rewritten at the same size with its last-write time put
// back, as copy and unzip tools do.
TEST_F(WindowsMorvet, AnInputChangedMeanwhileIsLeftToTheOtherWriter)
{
	const std::string appended = "' added by another program\r\n";
	std::string rewritten = typical_input;
	rewritten.replace(rewritten.find("freq = 1"), 8, "freq = 2");
	enum change { APPENDED, REPLACED_BY_ANOTHER_FILE, REWRITTEN_WITH_ITS_TIME_PUT_BACK };
	const struct {
		change how;
		std::string left;
	} cases[] = {
		{APPENDED, typical_input + appended},
		{REPLACED_BY_ANOTHER_FILE, "another file\r\n"},
		{REWRITTEN_WITH_ITS_TIME_PUT_BACK, rewritten},
	};
	for (const auto &c : cases) {
		write_file(work / "board.stp", typical_input);
		started holder = start_helper(work, {"hold", "board.stp", "4000", "reading"});
		char said[5] = {};
		ASSERT_EQ(read(holder.output, said, 4), 4);
		started run = start_morvet(work, {"board.stp"});
		// The change comes once the run has read the input and written its
		// whole result, while it waits for the reader: not after a guess at
		// how long a start takes, which a slow machine outlasts.
		auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(3);
		std::error_code absent;
		while (fs::file_size(work / temporary_name, absent) != typical_result.size() &&
		       std::chrono::steady_clock::now() < give_up)
			std::this_thread::sleep_for(std::chrono::milliseconds(5));
		if (c.how == REPLACED_BY_ANOTHER_FILE) {
			write_file(work / "new.stp", c.left);
			fs::rename(work / "new.stp", work / "board.stp");
		} else if (c.how == APPENDED) {
			std::ofstream(work / "board.stp", std::ios::binary | std::ios::app) << appended;
		} else {
			fs::file_time_type written = fs::last_write_time(work / "board.stp");
			write_file(work / "board.stp", c.left);
			fs::last_write_time(work / "board.stp", written);
		}
		finished result = wait_for(run);
		EXPECT_EQ(wait_for(holder).status, 0);
		EXPECT_EQ(result.status, 1) << c.how << result.errors;
		EXPECT_EQ(result.output,
		          "\nCan't patch board.stp: it changed while it was being patched");
		EXPECT_EQ(read_file(work / "board.stp"), c.left) << c.how;
		EXPECT_EQ(names_in(work), std::vector<std::string>{"board.stp"});
	}
}

// A wildcard matches long names only, in any letter case: never a file
// whose 8.3 short name matches ("board.stp_old" is BOAR~xxx.STP), nor a
// directory or the temporary file. "/?" anywhere asks for help, and is
// never a pattern.
TEST_F(WindowsMorvet, WildcardsMatchTheLongNamesOnly)
{
	fs::create_directories(work / "sub");
	fs::create_directories(work / "dir.stp");
	for (const char *name : {"board.stp", "board.stp_old", "board.stpx", "OTHER.STP",
	                         "sub/inner.stp", "sub/inner.stp_old"})
		write_file(work / name, typical_result);
	write_file(work / temporary_name, typical_input); // a leftover, cleared when patching
	finished short_name = run_helper(work, {"short", "board.stp_old"});
	ASSERT_EQ(short_name.status, 0) << short_name.errors;
	// Else this case shows nothing.
	ASSERT_EQ(short_name.output.substr(short_name.output.size() - 4), ".STP") << short_name.output;
	const char *help = "Usage: morvet.exe <filename.stp>\n\nmorvet [--check | --diff]";
	const struct {
		std::vector<std::string> arguments;
		int status;
		std::string output;
	} cases[] = {
		{{"--check", "*.stp"}, 0, "board.stp: patched\nOTHER.STP: patched\n"},
		{{"--check", "sub\\*.STP"}, 0, "sub\\inner.stp: patched\n"},
		{{"--check", "?oard.stp?"}, 0, "board.stpx: patched\n"},
		{{"--check", "*.none"}, 2, "*.none: can't open\n"},
		{{"board.stp", "/?"}, 0, help},
		{{"*.stp", "/?", "board.stp_old"}, 0, help},
	};
	for (const auto &c : cases) {
		finished run = run_morvet(work, c.arguments);
		EXPECT_EQ(run.status, c.status) << c.arguments[1] << run.errors;
		if (c.output == help) {
			EXPECT_NE(run.output.find(help), std::string::npos) << run.output;
		} else {
			EXPECT_EQ(run.output, c.output) << c.arguments[1];
		}
	}
	write_file(work / "board.stp", typical_input);
	write_file(work / "board.stp_old", typical_input);
	finished run = run_morvet(work, {"*.stp"});
	EXPECT_EQ(run.status, 0) << run.errors;
	EXPECT_EQ(read_file(work / "board.stp"), typical_result);
	EXPECT_EQ(read_file(work / "board.stp_old"), typical_input);
}

// The system's reason, in the user's language, goes to a pipe as UTF-8 with
// the rest of its line (a console gets it through the wide-character call).
TEST_F(WindowsMorvet, TheSystemsReasonComesInTheUsersLanguage)
{
	write_file(work / "board.stp", typical_input);
	// Without its write bits Wine shows the file read-only, which is refused
	// before anything is written.
	ASSERT_EQ(chmod((work / "board.stp").c_str(), 0444), 0);
	std::string saved = std::getenv("LC_ALL") ? std::getenv("LC_ALL") : "";
	setenv("LC_ALL", "fr_FR.UTF-8", 1);
	finished run = run_morvet(work, {"board.stp"});
	setenv("LC_ALL", saved.c_str(), 1);
	EXPECT_EQ(run.status, 1);
	EXPECT_EQ(run.output, "\nCan't create output");
	EXPECT_EQ(run.errors, "morvet: board.stp: can't replace the file: Acc\xc3\xa8s refus\xc3\xa9\n");
	EXPECT_EQ(read_file(work / "board.stp"), typical_input);
}

// The directory is read once per pattern: --check over 2,000 files by a
// wildcard is not much slower than over the same files named one by one
// (reading it once per file took fifteen times as long).
TEST_F(WindowsMorvet, AWildcardOverThousandsOfFilesReadsTheDirectoryOnce)
{
	std::vector<std::string> listed = {"--check"};
	for (int n = 0; n < 2000; ++n) {
		char name[16];
		std::snprintf(name, sizeof name, "f%04d.stp", n);
		write_file(work / name, typical_result);
		listed.push_back(name);
	}
	auto timed = [&](const std::vector<std::string> &arguments, finished *run) {
		auto start = std::chrono::steady_clock::now();
		*run = run_morvet(work, arguments);
		return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
	};
	finished by_name, by_wildcard;
	double named_seconds = timed(listed, &by_name);
	double wildcard_seconds = timed({"--check", "*.stp"}, &by_wildcard);
	std::printf("2,000 files: --check named one by one %.2f s, by *.stp %.2f s\n", named_seconds,
	            wildcard_seconds);
	EXPECT_EQ(by_wildcard.status, 0) << by_wildcard.errors;
	EXPECT_EQ(by_wildcard.output, by_name.output);
	EXPECT_LT(wildcard_seconds, 3 * named_seconds + 1);
}

// Windows 7 is the oldest system whose functions the program imports, and
// what its header declares, so that an older one refuses to start it.
TEST_F(WindowsMorvet, TheProgramDeclaresWindows7AsItsMinimum)
{
	std::string image = read_file(std::getenv("MORVET_EXE"));
	auto word = [&](std::size_t at) {
		return at + 1 < image.size() ? static_cast<unsigned char>(image[at]) |
		                                       static_cast<unsigned char>(image[at + 1]) << 8
		                             : -1;
	};
	std::size_t header = static_cast<std::size_t>(word(0x3c)) | static_cast<std::size_t>(word(0x3e)) << 16;
	ASSERT_EQ(image.compare(header, 4, std::string("PE\0\0", 4)), 0);
	std::size_t optional = header + 24;
	// Operating system and subsystem versions, major then minor.
	EXPECT_EQ((std::vector<int>{word(optional + 40), word(optional + 42), word(optional + 48),
	                            word(optional + 50)}),
	          (std::vector<int>{6, 1, 6, 1}));
}

TEST_F(WindowsMorvet, PathsPastMaxPathWork)
{
	fs::path deep = work;
	for (int level = 0; level < 6; ++level)
		deep /= std::string(60, static_cast<char>('a' + level));
	fs::create_directories(deep);
	ASSERT_GT(deep.string().size(), 300u);
	write_file(deep / "board.stp", typical_input);
	finished run = run_morvet(work, {(deep / "board.stp").string()});
	EXPECT_EQ(run.status, 0) << run.errors;
	EXPECT_EQ(read_file(deep / "board.stp"), typical_result);
	fs::path other = other_filesystem();
	if (other.empty())
		return;
	write_file(deep / "board.stp", typical_input);
	run = run_morvet(other, {(deep / "board.stp").string()});
	EXPECT_EQ(run.status, 0) << run.errors;
	EXPECT_EQ(read_file(deep / "board.stp"), typical_result);
	EXPECT_EQ(names_in(deep), std::vector<std::string>{"board.stp"});
	EXPECT_TRUE(names_in(other).empty());
}

} // namespace

namespace {

// A program appends a line to the input as often as it can open it while
// the tool patches it, run after run, from the input's volume and from
// another: every line it says it wrote is in the file afterwards, in order.
// The input is unsigned, so the lines the tool read stay in its result.
TEST_F(WindowsMorvet, AnAppendingWriterLosesNoLineToTheReplacement)
{
	fs::path other = other_filesystem();
	const std::string unsigned_input =
		typical_header + "BOOLEAN USE_RCK = 0;\r\nINTEGER freq = 1;\r\n" + typical_tail;
	for (int run = 0; run < 12; ++run) {
		bool across = run % 2 == 1 && !other.empty();
		write_file(work / "board.stp", unsigned_input);
		started writer = start_helper(work, {"append", "board.stp", "1200"});
		char said[5] = {};
		ASSERT_EQ(read(writer.output, said, 5), 5);
		finished patched = across ? run_morvet(other, {(work / "board.stp").string()})
		                          : run_morvet(work, {"board.stp"});
		finished wrote = wait_for(writer);
		ASSERT_EQ(wrote.status, 0) << wrote.errors;
		unsigned long lines = std::stoul(wrote.output);
		std::string left = read_file(work / "board.stp");
		std::size_t at = 0;
		for (unsigned long n = 1; n <= lines && at != std::string::npos; ++n)
			at = left.find("' line " + std::to_string(n) + "\r\n", at);
		EXPECT_NE(at, std::string::npos) << "run " << run << " lost a line of " << lines;
		EXPECT_EQ(patched.status, 0) << run << patched.output << patched.errors;
		EXPECT_EQ(names_in(work), std::vector<std::string>{"board.stp"});
	}
}

// Windows' own ways of naming files and options, each refused or taken as
// a user of Windows means it; nothing else in the directory is touched.
TEST_F(WindowsMorvet, NamesAndOptionsAsWindowsMeansThem)
{
	fs::create_directories(work / "sub");
	const std::string not_patched = ": not patched: CRC statement 1A2B does not match the text "
	                                "(203A), USE_RCK is not forced, freq is not forced\n";
	const struct {
		std::vector<std::string> arguments;
		int status;
		std::string output;
	} cases[] = {
		// A name a wildcard found is opened as it is, trailing dot or space.
		{{"--check", "board.stp*"}, 1,
		 "board.stp: patched\nboard.stp " + not_patched + "board.stp." + not_patched},
		// Only the working directory's own temporary file is left out.
		{{"--check", "sub\\*.stp"}, 0, "sub\\$$out$$.stp: patched\n"},
		{{"/check", "board.stp"}, 0, "board.stp: patched\n"},
		{{"/CHECK", "board.stp."}, 0, "board.stp.: patched\n"}, // typed: Windows drops the dot
		{{"/x", "board.stp"}, 1, usage_text},
		{{"/board", "board.stp"}, 1, usage_text},
		{{"/board.stp"}, 1, "\nCan't open /board.stp"},
		{{"/help"}, 0, ""},
	};
	write_file(work / "board.stp", typical_result);
	write_file(work / "board.stp.", typical_input);
	write_file(work / "board.stp ", typical_input);
	write_file(work / "sub" / temporary_name, typical_result);
	write_file(work / temporary_name, typical_input);
	for (const auto &c : cases) {
		finished run = run_morvet(work, c.arguments);
		EXPECT_EQ(run.status, c.status) << c.arguments[0] << run.errors;
		if (c.arguments[0] == "/help") {
			EXPECT_NE(run.output.find("/?  show this help"), std::string::npos) << run.output;
		} else {
			EXPECT_EQ(run.output.substr(0, c.output.size()), c.output) << c.arguments[0];
		}
	}
	EXPECT_EQ(read_file(work / temporary_name), typical_input) << "an unknown option touched it";
	// A file that an unknown "/" option might have meant is named from the
	// top of the drive.
	EXPECT_NE(run_morvet(work, {"/x", "board.stp"})
	              .errors.find("morvet: unknown option /x (a file at the top of the drive is named \\x)"),
	          std::string::npos);
	// Patching by the wildcard patches those two, not the one typed alike.
	finished run = run_morvet(work, {"board.stp?"});
	EXPECT_EQ(run.status, 0) << run.errors;
	EXPECT_EQ(read_file(work / "board.stp."), typical_result);
	EXPECT_EQ(read_file(work / "board.stp "), typical_result);
	EXPECT_EQ(read_file(work / "board.stp"), typical_result);
}

// A read-only file is refused before anything is written, and the next
// file is patched; a stale "$$out$$.stp" that is a link to another file,
// or a hard link to a read-only one, is never removed through: that file
// stays as it was, and the run refuses.
TEST_F(WindowsMorvet, ReadOnlyFilesAndLinkedTemporaryFilesAreLeftAlone)
{
	write_file(work / "locked.stp", typical_input);
	write_file(work / "board.stp", typical_input);
	ASSERT_EQ(chmod((work / "locked.stp").c_str(), 0444), 0);
	finished run = run_morvet(work, {"locked.stp", "board.stp"});
	EXPECT_EQ(run.status, 1);
	EXPECT_EQ(run.output, "\nCan't create output");
	EXPECT_EQ(run.errors.rfind("morvet: locked.stp: can't replace the file: ", 0), 0u) << run.errors;
	EXPECT_EQ(run.errors.find("patched result"), std::string::npos) << run.errors;
	EXPECT_EQ(read_file(work / "locked.stp"), typical_input);
	EXPECT_EQ(read_file(work / "board.stp"), typical_result);
	EXPECT_EQ(names_in(work), (std::vector<std::string>{"board.stp", "locked.stp"}));
	// A link there is never removed through, and a directory is no run's leftover.
	for (std::string kind : {"symbolic link", "hard link", "directory"}) {
		write_file(work / "board.stp", typical_input);
		fs::remove(work / temporary_name);
		if (kind == "directory")
			fs::create_directory(work / temporary_name);
		else if (kind == "symbolic link")
			fs::create_symlink("locked.stp", work / temporary_name);
		else
			fs::create_hard_link(work / "locked.stp", work / temporary_name);
		run = run_morvet(work, {"board.stp"});
		EXPECT_EQ(run.status, 1) << kind;
		EXPECT_EQ(run.output, "\nCan't create output");
		EXPECT_NE(run.errors.find("can't remove the old temporary file"), std::string::npos)
			<< run.errors;
		EXPECT_EQ(read_file(work / "locked.stp"), typical_input) << kind;
		EXPECT_EQ(fs::status(work / "locked.stp").permissions() & fs::perms::owner_write,
		          fs::perms::none)
			<< kind;
		EXPECT_EQ(read_file(work / "board.stp"), typical_input);
		fs::remove(work / temporary_name);
	}
	ASSERT_EQ(chmod((work / "locked.stp").c_str(), 0644), 0);
}

// Wine shows a Unix symbolic link as a plain file: the file it points to
// is patched all the same, and the link stays.
TEST_F(WindowsMorvet, ALinkWineShowsAsAPlainFileIsFollowedAndKept)
{
	fs::create_directories(work / "real");
	fs::create_directories(work / "links");
	const struct {
		const char *link, *points_to, *argument;
	} cases[] = {
		{"links/board.stp", "../real/board.stp", "links\\board.stp"},
		{"real/alias.stp", "board.stp", "real\\alias.stp"},
	};
	for (const auto &c : cases) {
		write_file(work / "real" / "board.stp", typical_input);
		fs::create_symlink(c.points_to, work / c.link);
		finished run = run_morvet(work, {c.argument});
		EXPECT_EQ(run.status, 0) << c.link << run.errors;
		EXPECT_EQ(read_file(work / "real" / "board.stp"), typical_result) << c.link;
		EXPECT_TRUE(fs::is_symlink(work / c.link)) << c.link;
		fs::remove(work / c.link);
	}
}

// Standard error goes out a whole line at a time, as it is written: in one
// log of both streams every cause follows the verdict it explains.
TEST_F(WindowsMorvet, CausesFollowTheirVerdictsInOneLog)
{
	write_file(work / "board.stp", typical_result);
	std::string command = "cd '" + work.string() + "' && " + std::getenv("MORVET_RUNNER") + " '" +
	                      fs::absolute(std::getenv("MORVET_EXE")).string() +
	                      "' --check missing.stp board.stp missing.stp > log 2>&1";
	ASSERT_EQ(WEXITSTATUS(std::system(command.c_str())), 2);
	std::string log = read_file(work / "log");
	fs::remove(work / "log");
	std::size_t first = log.find("missing.stp: can't open\nmorvet: missing.stp: can't open: ");
	EXPECT_NE(first, std::string::npos) << log;
	EXPECT_EQ(log.find("\nboard.stp: patched\nmissing.stp: can't open\nmorvet: missing.stp: "),
	          log.find('\n', first + 24))
		<< log;
}

} // namespace

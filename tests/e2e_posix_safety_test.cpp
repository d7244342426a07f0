// End-to-end: the user's file ends up either untouched or exactly the
// patched version of what it held, never someone else's content, when other
// programs and other local users act during a run. Runs are held just
// before the replacement with strace's syscall delay, so the interference
// lands in a known place.
#include "e2e_support.h"

#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include <sys/xattr.h>

using namespace e2e;

namespace {

bool have_program(const char *name)
{
	std::string command = std::string("command -v ") + name + " >/dev/null 2>&1";
	return std::system(command.c_str()) == 0;
}

// Runs the tool through runner (a command prefix) and, once the run has
// opened the input and created its temporary file, calls meanwhile.
finished run_through(const std::string &runner, const fs::path &directory,
                     const std::vector<std::string> &arguments,
                     const std::function<void()> &meanwhile = {})
{
	const char *previous = std::getenv("MORVET_RUNNER");
	std::string saved = previous ? previous : "";
	setenv("MORVET_RUNNER", runner.c_str(), 1);
	started process = start_morvet(directory, arguments);
	if (previous)
		setenv("MORVET_RUNNER", saved.c_str(), 1);
	else
		unsetenv("MORVET_RUNNER");
	if (meanwhile) {
		auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
		while (!fs::exists(directory / temporary_name) &&
		       std::chrono::steady_clock::now() < give_up)
			std::this_thread::sleep_for(std::chrono::milliseconds(2));
		meanwhile();
	}
	return wait_for(process);
}

// Holds the run for a second as it syncs its complete temporary file: the
// input has been read, and nothing has been put in its place yet.
const std::string held = "strace -f -qq -o /dev/null -e inject=fsync:delay_enter=1000000:when=1";

std::vector<std::string> hidden_copies(const fs::path &directory)
{
	std::vector<std::string> found;
	for (const std::string &name : names_in(directory)) {
		if (name.rfind(".morvet-", 0) == 0)
			found.push_back(name);
	}
	return found;
}

class PosixSafety : public Morvet {
protected:
	void SetUp() override
	{
		Morvet::SetUp();
		if (through_runner())
			GTEST_SKIP() << "POSIX-only behaviour is not seen through MORVET_RUNNER";
		// LeakSanitizer cannot work under ptrace.
		const char *asan = std::getenv("ASAN_OPTIONS");
		std::string options = asan ? std::string(asan) + ":detect_leaks=0" : "detect_leaks=0";
		setenv("ASAN_OPTIONS", options.c_str(), 1);
	}
};

class HeldRun : public PosixSafety {
protected:
	void SetUp() override
	{
		PosixSafety::SetUp();
		if (IsSkipped())
			return;
		if (!have_program("strace") || std::system("strace -qq -o /dev/null true") != 0)
			GTEST_SKIP() << "strace is missing or cannot trace here";
	}
};

TEST_F(HeldRun, AFileChangedMidRunIsLeftToTheOtherWriter)
{
	const std::string theirs = typical_header + "INTEGER freq = 9;\r\n";
	struct change {
		const char *name;
		std::function<void(const fs::path &)> apply;
		std::string left; // what the input must hold afterwards
	};
	const change changes[] = {
		{"appended", [](const fs::path &file) {
			 std::ofstream(file, std::ios::binary | std::ios::app) << "' more\r\n";
		 }, typical_input + "' more\r\n"},
		{"saved over by rename", [&](const fs::path &file) {
			 write_file(file.parent_path() / "new.stp", theirs);
			 fs::rename(file.parent_path() / "new.stp", file);
		 }, theirs},
		{"rewritten in place, same size", [](const fs::path &file) {
			 std::string text = typical_input;
			 text[0] = 'n';
			 std::fstream(file, std::ios::binary | std::ios::in | std::ios::out) << text;
		 }, "n" + typical_input.substr(1)},
		{"removed", [](const fs::path &file) { fs::remove(file); }, ""},
	};
	struct stat shm, here;
	bool other_filesystem = stat("/dev/shm", &shm) == 0 && stat(work.c_str(), &here) == 0 &&
	                        shm.st_dev != here.st_dev;
	for (const change &each : changes) {
		for (bool from_shm : {false, true}) {
			if (from_shm && !other_filesystem)
				continue;
			fs::path files = work / "files";
			fs::path run_in = work / "run";
			if (from_shm) {
				std::string pattern = "/dev/shm/morvet-e2e-XXXXXX";
				ASSERT_NE(mkdtemp(pattern.data()), nullptr);
				run_in = pattern;
			}
			fs::create_directories(files);
			fs::create_directories(run_in);
			write_file(files / "board.stp", typical_input);
			std::string label = std::string(each.name) + (from_shm ? ", across filesystems" : "");
			finished run = run_through(held, run_in, {(files / "board.stp").string()},
			                           [&] { each.apply(files / "board.stp"); });
			EXPECT_EQ(run.status, 1) << label;
			EXPECT_EQ(run.output, "\nCan't patch " + (files / "board.stp").string() +
			                              ": it changed while it was being patched")
				<< label;
			if (each.left.empty())
				EXPECT_FALSE(fs::exists(files / "board.stp")) << label;
			else
				EXPECT_EQ(read_file(files / "board.stp"), each.left) << label;
			EXPECT_TRUE(names_in(run_in).empty()) << label;
			EXPECT_TRUE(hidden_copies(files).empty()) << label;
			fs::remove_all(files);
			fs::remove_all(run_in);
		}
	}
}

TEST_F(HeldRun, ALinkRetargetedMidRunPatchesOnlyTheFileThatWasRead)
{
	fs::create_directories(work / "real");
	write_file(work / "real" / "read.stp", typical_input);
	const std::string other = typical_header + "' another board\r\n";
	write_file(work / "real" / "other.stp", other);
	fs::create_symlink("real/read.stp", work / "link.stp");
	finished run = run_through(held, work, {"link.stp"}, [&] {
		fs::remove(work / "link.stp");
		fs::create_symlink("real/other.stp", work / "link.stp");
	});
	EXPECT_EQ(run.status, 0) << run.output << run.errors;
	EXPECT_EQ(read_file(work / "real" / "read.stp"), typical_result);
	EXPECT_EQ(read_file(work / "real" / "other.stp"), other);
	EXPECT_EQ(fs::read_symlink(work / "link.stp"), "real/other.stp");
}

TEST_F(HeldRun, AFilePutAtTheTemporaryNameMidRunNeverReachesTheInput)
{
	write_file(work / "board.stp", typical_input);
	const std::string planted = typical_header + "' not the user's\r\n";
	finished run = run_through(held, work, {"board.stp"}, [&] {
		write_file(work / "planted", planted);
		fs::rename(work / "planted", work / temporary_name);
	});
	EXPECT_EQ(run.status, 0) << run.output << run.errors;
	EXPECT_EQ(read_file(work / "board.stp"), typical_result);
	// Someone else's file at that name is theirs: neither used nor removed.
	EXPECT_EQ(read_file(work / temporary_name), planted);
	EXPECT_TRUE(hidden_copies(work).empty());
}

TEST_F(HeldRun, TheTemporaryFileIsOwnerOnlyWhileItIsWritten)
{
	write_file(work / "open.stp", typical_input);
	ASSERT_EQ(chmod((work / "open.stp").c_str(), 0666), 0);
	struct stat temporary {};
	int seen = -1;
	finished run = run_through(held, work, {"open.stp"}, [&] {
		seen = stat((work / temporary_name).c_str(), &temporary);
	});
	ASSERT_EQ(seen, 0);
	EXPECT_EQ(temporary.st_mode & 077, 0u);
	EXPECT_EQ(run.status, 0) << run.output << run.errors;
	struct stat result;
	ASSERT_EQ(stat((work / "open.stp").c_str(), &result), 0);
	EXPECT_EQ(result.st_mode & 07777, 0666u);
}

TEST_F(PosixSafety, OtherHardLinksKeepTheOldContentAndAreCounted)
{
	for (int others : {1, 2}) {
		write_file(work / "board.stp", typical_input);
		for (int n = 0; n < others; ++n)
			fs::create_hard_link(work / "board.stp", work / ("link" + std::to_string(n)));
		finished run = run_morvet(work, {"board.stp"});
		EXPECT_EQ(run.status, 0);
		EXPECT_EQ(read_file(work / "board.stp"), typical_result);
		for (int n = 0; n < others; ++n)
			EXPECT_EQ(read_file(work / ("link" + std::to_string(n))), typical_input);
		EXPECT_NE(run.errors.find("board.stp: patched through this name only; its " +
		                          std::to_string(others) + " other hard link"),
		          std::string::npos)
			<< run.errors;
		for (int n = 0; n < others; ++n)
			fs::remove(work / ("link" + std::to_string(n)));
	}
}

TEST_F(PosixSafety, AFileSizeLimitIsAnOrdinaryWriteFailure)
{
	if (!have_program("prlimit"))
		GTEST_SKIP() << "prlimit is missing";
	std::string rows;
	while (rows.size() < 64 * 1024)
		rows += "\tDRSCAN 32, $DEADBEEF;\r\n";
	const std::string input = typical_header + rows + "CRC 1A2B;\r\n";
	write_file(work / "big.stp", input);
	finished run = run_through("prlimit --fsize=16384 --", work, {"big.stp"});
	EXPECT_EQ(run.status, 1);
	EXPECT_EQ(run.output, "\nCan't create output");
	EXPECT_TRUE(read_file(work / "big.stp") == input);
	EXPECT_EQ(names_in(work), std::vector<std::string>{"big.stp"});
}

// Another local user, bob, patches files in shared places: the run drops
// root's rights with setpriv before the tool starts.
class AnotherUser : public PosixSafety {
protected:
	static constexpr uid_t alice = 47101, bob = 47102, carol = 47103;
	static constexpr gid_t devs = 47200;

	void SetUp() override
	{
		PosixSafety::SetUp();
		if (IsSkipped())
			return;
		if (geteuid() != 0 || !have_program("setpriv"))
			GTEST_SKIP() << "needs root and setpriv to act as other users";
		// Other users must reach the scratch directory and the tool.
		ASSERT_EQ(chmod(work.c_str(), 0755), 0);
		fs::create_directories(work / "bin");
		fs::copy_file(std::getenv("MORVET_EXE"), work / "bin" / "morvet");
		ASSERT_EQ(chmod((work / "bin" / "morvet").c_str(), 0755), 0);
		tool = std::getenv("MORVET_EXE");
		setenv("MORVET_EXE", (work / "bin" / "morvet").c_str(), 1);
	}

	void TearDown() override
	{
		if (!tool.empty())
			setenv("MORVET_EXE", tool.c_str(), 1);
		PosixSafety::TearDown();
	}
	std::string tool;

	finished run_as_bob(const fs::path &directory, const std::string &path)
	{
		return run_through("setpriv --reuid=" + std::to_string(bob) + " --regid=" +
		                           std::to_string(bob) + " --groups=" + std::to_string(devs) +
		                           " --",
		                   directory, {path});
	}

	fs::path owned_directory(const char *name, uid_t owner, gid_t group, mode_t mode)
	{
		fs::path directory = work / name;
		fs::create_directories(directory);
		EXPECT_EQ(chown(directory.c_str(), owner, group), 0);
		EXPECT_EQ(chmod(directory.c_str(), mode), 0);
		return directory;
	}
};

// A POSIX access ACL as the kernel stores it: version 2, then entries of
// tag, permissions and id, in tag order; this one matches mode 0664.
std::string access_acl_granting_read_to(uid_t user)
{
	struct entry {
		unsigned short tag, permissions;
		unsigned id;
	};
	const unsigned none = 0xFFFFFFFFu;
	const entry entries[] = {
		{0x01, 6, none}, {0x02, 4, user}, {0x04, 6, none}, {0x10, 6, none}, {0x20, 4, none},
	};
	unsigned version = 2;
	std::string value(reinterpret_cast<const char *>(&version), sizeof version);
	for (const entry &each : entries)
		value.append(reinterpret_cast<const char *>(&each), sizeof each);
	return value;
}

TEST_F(AnotherUser, AGroupSharedFileKeepsItsGroupAclAndAttributes)
{
	fs::path shared = owned_directory("shared", alice, devs, 02775);
	fs::path run_in = owned_directory("bobs", bob, bob, 0700);
	const fs::path board = shared / "board.stp";
	write_file(board, typical_input);
	const char *file = board.c_str();
	ASSERT_EQ(chown(file, alice, devs), 0);
	ASSERT_EQ(chmod(file, 0664), 0);
	const std::string acl = access_acl_granting_read_to(carol);
	bool with_acl = setxattr(file, "system.posix_acl_access", acl.data(), acl.size(), 0) == 0;
	bool with_user_attribute = setxattr(file, "user.origin", "bench", 5, 0) == 0;
	std::string acl_before(256, '\0');
	ssize_t acl_length = with_acl ? getxattr(file, "system.posix_acl_access", acl_before.data(),
	                                         acl_before.size())
	                              : -1;

	finished run = run_as_bob(run_in, board.string());
	EXPECT_EQ(run.status, 0) << run.output << run.errors;
	EXPECT_EQ(read_file(board), typical_result);
	struct stat result;
	ASSERT_EQ(stat(file, &result), 0);
	EXPECT_EQ(result.st_uid, bob);
	EXPECT_EQ(result.st_gid, devs);
	EXPECT_EQ(result.st_mode & 07777, 0664u);
	if (with_acl && acl_length > 0) {
		std::string acl_after(256, '\0');
		ssize_t length = getxattr(file, "system.posix_acl_access", acl_after.data(),
		                          acl_after.size());
		EXPECT_EQ(acl_after.substr(0, static_cast<std::size_t>(std::max<ssize_t>(length, 0))),
		          acl_before.substr(0, static_cast<std::size_t>(acl_length)));
	}
	if (with_user_attribute) {
		char value[16] = {};
		EXPECT_EQ(getxattr(file, "user.origin", value, sizeof value), 5);
		EXPECT_STREQ(value, "bench");
	}
	EXPECT_TRUE(names_in(run_in).empty());
	EXPECT_EQ(names_in(shared), std::vector<std::string>{"board.stp"});
}

TEST_F(AnotherUser, ADirectoryThatCannotBeReadIsPatchedWithAWarning)
{
	fs::path drop = owned_directory("drop", bob, bob, 0755);
	fs::path run_in = owned_directory("bobs", bob, bob, 0700);
	write_file(drop / "board.stp", typical_input);
	ASSERT_EQ(chown((drop / "board.stp").c_str(), bob, bob), 0);
	ASSERT_EQ(chmod(drop.c_str(), 0333), 0);
	finished run = run_as_bob(run_in, (drop / "board.stp").string());
	EXPECT_EQ(run.status, 0) << run.output << run.errors;
	EXPECT_EQ(run.output, "");
	EXPECT_NE(run.errors.find("could not be opened to sync it"), std::string::npos) << run.errors;
	EXPECT_EQ(read_file(drop / "board.stp"), typical_result);
	ASSERT_EQ(chmod(drop.c_str(), 0755), 0);
	EXPECT_EQ(names_in(drop), std::vector<std::string>{"board.stp"});
}

} // namespace

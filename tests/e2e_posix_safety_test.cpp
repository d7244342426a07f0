// End-to-end: the user's file ends up untouched or exactly the patched
// version of what it held, never someone else's content, when other programs
// and other local users act during a run. Runs are held by strace as they
// sync their temporary file, so the interference lands in a known place.
#include "e2e_support.h"

#include <chrono>
#include <functional>
#include <thread>

#include <sys/xattr.h>

using namespace e2e;

namespace {

bool usable(const char *command)
{
	return std::system((std::string(command) + " >/dev/null 2>&1").c_str()) == 0;
}

// True once a run has made its temporary file: "$$out$$.stp" in its working
// directory, or a hidden file beside the input.
bool temporary_made(const fs::path &directory, const fs::path &input)
{
	if (fs::exists(directory / temporary_name))
		return true;
	std::error_code ignored;
	for (const auto &entry : fs::directory_iterator(fs::absolute(directory / input).parent_path(),
	                                                ignored)) {
		if (entry.path().filename().string().rfind(".morvet-", 0) == 0)
			return true;
	}
	return false;
}

// Runs the tool through runner (a command prefix); once the run has opened
// the input and created its temporary file, calls meanwhile.
finished run_through(const std::string &runner, const fs::path &directory, const std::string &path,
                     const std::function<void()> &meanwhile = {})
{
	setenv("MORVET_RUNNER", runner.c_str(), 1);
	started process = start_morvet(directory, {path});
	unsetenv("MORVET_RUNNER");
	auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
	while (meanwhile && !temporary_made(directory, path) &&
	       std::chrono::steady_clock::now() < give_up)
		std::this_thread::sleep_for(std::chrono::milliseconds(2));
	if (meanwhile)
		meanwhile();
	return wait_for(process);
}

const std::string held = "strace -f -qq -o /dev/null -e inject=fsync:delay_enter=1000000:when=1";

class HeldRun : public Morvet {
protected:
	void SetUp() override
	{
		Morvet::SetUp();
		SKIP_THROUGH_RUNNER();
		if (!usable("strace -qq -o /dev/null true"))
			GTEST_SKIP() << "strace is missing or cannot trace here";
		setenv("ASAN_OPTIONS", "detect_leaks=0", 1); // LeakSanitizer fails under ptrace
	}
};

TEST_F(HeldRun, AFileChangedMidRunIsLeftToTheOtherWriter)
{
	const std::string theirs = typical_header + "INTEGER freq = 9;\r\n";
	// A program that opens the file for writing breaks the run's lease on
	// it, and waits until the run lets go; one that renames or removes it
	// changes what its name holds.
	const std::string written = "another program has it open for writing";
	const std::string changed = "it changed while it was being patched";
	const struct {
		const char *name;
		std::function<void(const fs::path &)> change;
		std::string left; // what the input holds afterwards; empty: gone
		const std::string &reason;
	} cases[] = {
		{"appended", [](const fs::path &file) {
			 std::ofstream(file, std::ios::binary | std::ios::app) << "' more\r\n";
		 }, typical_input + "' more\r\n", written},
		{"saved over by rename", [&](const fs::path &file) {
			 write_file(file.string() + ".new", theirs);
			 fs::rename(file.string() + ".new", file);
		 }, theirs, changed},
		{"rewritten in place", [](const fs::path &file) {
			 std::fstream(file, std::ios::binary | std::ios::in | std::ios::out) << "n";
		 }, "n" + typical_input.substr(1), written},
		{"removed", [](const fs::path &file) { fs::remove(file); }, "", changed},
	};
	std::string shm = "/dev/shm/morvet-e2e-XXXXXX";
	bool with_shm = mkdtemp(shm.data()) != nullptr;
	for (const auto &each : cases) {
		for (const fs::path &run_in : {work / "run", fs::path(with_shm ? shm : "")}) {
			if (run_in.empty())
				continue;
			const fs::path file = work / "files" / "board.stp";
			fs::create_directories(work / "files");
			fs::create_directories(run_in);
			write_file(file, typical_input);
			finished run = run_through(held, run_in, file, [&] { each.change(file); });
			std::string label = each.name + (" from " + run_in.string());
			EXPECT_EQ(run.status, 1) << label;
			EXPECT_EQ(run.output, "\nCan't patch " + file.string() + ": " + each.reason) << label;
			EXPECT_EQ(fs::exists(file) ? read_file(file) : "", each.left) << label;
			EXPECT_TRUE(names_in(run_in).empty()) << label;
			EXPECT_LE(names_in(work / "files").size(), 1u) << label;
			fs::remove_all(work / "files");
		}
	}
	if (with_shm)
		fs::remove_all(shm);
}

TEST_F(HeldRun, ALinkRetargetedMidRunPatchesOnlyTheFileThatWasRead)
{
	fs::create_directories(work / "real");
	write_file(work / "real" / "read.stp", typical_input);
	write_file(work / "real" / "other.stp", typical_header);
	fs::create_symlink("real/read.stp", work / "link.stp");
	finished run = run_through(held, work, "link.stp", [&] {
		fs::remove(work / "link.stp");
		fs::create_symlink("real/other.stp", work / "link.stp");
	});
	EXPECT_EQ(run.status, 0) << run.output << run.errors;
	EXPECT_EQ(read_file(work / "real" / "read.stp"), typical_result);
	EXPECT_EQ(read_file(work / "real" / "other.stp"), typical_header);
}

TEST_F(HeldRun, AFilePutAtTheTemporaryNameMidRunIsNeitherUsedNorRemoved)
{
	write_file(work / "board.stp", typical_input);
	ASSERT_EQ(chmod((work / "board.stp").c_str(), 0666), 0);
	struct stat temporary {};
	finished run = run_through(held, work, "board.stp", [&] {
		ASSERT_EQ(stat((work / temporary_name).c_str(), &temporary), 0);
		write_file(work / "planted", "not the user's");
		fs::rename(work / "planted", work / temporary_name);
	});
	EXPECT_EQ(temporary.st_mode & 077, 0u) << "others could read the incomplete result";
	EXPECT_EQ(run.status, 0) << run.output << run.errors;
	EXPECT_EQ(read_file(work / "board.stp"), typical_result);
	EXPECT_EQ(read_file(work / temporary_name), "not the user's");
	EXPECT_EQ(names_in(work), (std::vector<std::string>{temporary_name, "board.stp"}));
}

TEST_F(Morvet, OtherHardLinksKeepTheOldContentWithAWarning)
{
	write_file(work / "board.stp", typical_input);
	fs::create_hard_link(work / "board.stp", work / "one");
	fs::create_hard_link(work / "board.stp", work / "two");
	finished run = run_morvet(work, {"board.stp"});
	EXPECT_EQ(run.status, 0);
	EXPECT_EQ(read_file(work / "board.stp"), typical_result);
	EXPECT_EQ(read_file(work / "one"), typical_input);
	EXPECT_NE(run.errors.find("board.stp: patched through this name only; its 2 other"),
	          std::string::npos)
		<< run.errors;
}

// bob, in group devs, patches files in shared places: root's rights are
// dropped with setpriv before the tool starts.
class AnotherUser : public Morvet {
protected:
	static constexpr unsigned alice = 47101, bob = 47102, carol = 47103, devs = 47200;

	void SetUp() override
	{
		Morvet::SetUp();
		SKIP_THROUGH_RUNNER();
		if (geteuid() != 0 || !usable("setpriv --version"))
			GTEST_SKIP() << "needs root and setpriv to act as other users";
		ASSERT_EQ(chmod(work.c_str(), 0755), 0);
		fs::copy_file(std::getenv("MORVET_EXE"), work / "morvet"); // for bob to run
		tool = std::getenv("MORVET_EXE");
		setenv("MORVET_EXE", (work / "morvet").c_str(), 1);
		run_in = directory("bobs", bob, bob, 0700);
	}
	void TearDown() override
	{
		if (!tool.empty())
			setenv("MORVET_EXE", tool.c_str(), 1);
		Morvet::TearDown();
	}
	fs::path directory(const char *name, unsigned owner, unsigned group, mode_t mode)
	{
		fs::create_directories(work / name);
		EXPECT_EQ(chown((work / name).c_str(), owner, group), 0);
		EXPECT_EQ(chmod((work / name).c_str(), mode), 0);
		return work / name;
	}
	finished run_as_bob(const fs::path &file)
	{
		std::string id = std::to_string(bob);
		return run_through("setpriv --reuid=" + id + " --regid=" + id +
		                           " --groups=" + std::to_string(devs) + " --",
		                   run_in, file);
	}
	std::string tool;
	fs::path run_in;
};

std::string attribute(const fs::path &file, const char *name)
{
	char value[256];
	ssize_t length = getxattr(file.c_str(), name, value, sizeof value);
	return length < 0 ? "(none)" : std::string(value, static_cast<std::size_t>(length));
}

TEST_F(AnotherUser, AGroupSharedFileKeepsItsGroupModeAclAndAttributes)
{
	const fs::path file = directory("shared", alice, devs, 02775) / "board.stp";
	write_file(file, typical_input);
	ASSERT_EQ(chown(file.c_str(), alice, devs), 0);
	// An access ACL as the kernel stores it (version 2, then tag,
	// permissions, id): rw- for the owner, r-- for carol, rw- group and
	// mask, r-- others, which matches mode 0664.
	const unsigned acl[] = {2,       0x60001, ~0u, 0x40002, carol, 0x60004,
	                        ~0u,     0x60010, ~0u, 0x40020, ~0u};
	ASSERT_EQ(setxattr(file.c_str(), "system.posix_acl_access", acl, sizeof acl, 0), 0);
	bool user_attributes = setxattr(file.c_str(), "user.origin", "bench", 5, 0) == 0;
	const std::string acl_before = attribute(file, "system.posix_acl_access");

	finished run = run_as_bob(file);
	EXPECT_EQ(run.status, 0) << run.output << run.errors;
	EXPECT_EQ(read_file(file), typical_result);
	struct stat result;
	ASSERT_EQ(stat(file.c_str(), &result), 0);
	EXPECT_EQ(result.st_uid, bob);
	EXPECT_EQ(result.st_gid, devs);
	EXPECT_EQ(result.st_mode & 07777, 0664u);
	EXPECT_EQ(attribute(file, "system.posix_acl_access"), acl_before);
	if (user_attributes) {
		EXPECT_EQ(attribute(file, "user.origin"), "bench");
	}
	EXPECT_EQ(names_in(file.parent_path()), std::vector<std::string>{"board.stp"});
}

TEST_F(AnotherUser, ADirectoryThatCannotBeReadIsPatchedWithAWarning)
{
	const fs::path file = directory("drop", bob, bob, 0755) / "board.stp";
	write_file(file, typical_input);
	ASSERT_EQ(chown(file.c_str(), bob, bob), 0);
	ASSERT_EQ(chmod(file.parent_path().c_str(), 0333), 0);
	finished run = run_as_bob(file);
	EXPECT_EQ(run.status, 0) << run.output << run.errors;
	EXPECT_NE(run.errors.find("could not be opened to sync it"), std::string::npos) << run.errors;
	EXPECT_EQ(read_file(file), typical_result);
	ASSERT_EQ(chmod(file.parent_path().c_str(), 0755), 0);
	EXPECT_EQ(names_in(file.parent_path()), std::vector<std::string>{"board.stp"});
}

} // namespace

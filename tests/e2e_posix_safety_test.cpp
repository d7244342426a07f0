// End-to-end: the user's file ends up untouched or exactly the patched
// version of what it held, never someone else's content, when other programs
// and other local users act during a run. Runs are held by strace as they
// sync their temporary file, so the interference lands in a known place.
#include "e2e_support.h"

#include <chrono>
#include <functional>
#include <thread>

#include <grp.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/xattr.h>

using namespace e2e;

namespace {

// True when a and b lie on different filesystems.
bool apart(const fs::path &a, const fs::path &b)
{
	struct stat one {}, two {};
	return stat(a.c_str(), &one) == 0 && stat(b.c_str(), &two) == 0 && one.st_dev != two.st_dev;
}

// A new directory in /dev/shm where that is another filesystem than
// work's, for the caller to remove; else an empty path.
fs::path other_filesystem(const fs::path &work)
{
	std::string pattern = "/dev/shm/morvet-e2e-XXXXXX";
	if (mkdtemp(pattern.data()) == nullptr)
		return {};
	if (apart(pattern, work))
		return pattern;
	fs::remove_all(pattern);
	return {};
}

// True once a run has made its temporary file: "$$out$$.stp" in its working
// directory, or a hidden file beside the input (where a link leads).
bool temporary_made(const fs::path &directory, const fs::path &input)
{
	if (fs::exists(directory / temporary_name))
		return true;
	std::error_code ignored;
	for (const auto &entry : fs::directory_iterator(
	             fs::weakly_canonical(directory / input, ignored).parent_path(), ignored)) {
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
	// From another filesystem the result has no name before it is synced:
	// there the run is given a moment to get that far.
	bool unnamed = apart(directory, fs::absolute(directory / path).parent_path());
	auto give_up = std::chrono::steady_clock::now() +
	               (unnamed ? std::chrono::milliseconds(400) : std::chrono::milliseconds(20000));
	while (meanwhile && !temporary_made(directory, path) &&
	       std::chrono::steady_clock::now() < give_up)
		std::this_thread::sleep_for(std::chrono::milliseconds(2));
	if (meanwhile)
		meanwhile();
	return wait_for(process);
}

// A run held for a second as it enters its first call of syscall.
std::string held_at(const char *syscall)
{
	return std::string("strace -f -qq -o /dev/null -e inject=") + syscall +
	       ":delay_enter=1000000:when=1";
}

// Held before the result is made durable and the input checked.
const std::string held = held_at("fsync");

// strace options that fail the run's request for a lease, as a filesystem
// without leases does: its F_SETLEASE call, found in a trace of a run.
std::string without_lease(const fs::path &scratch)
{
	fs::create_directories(scratch);
	write_file(scratch / "probe.stp", typical_input);
	setenv("MORVET_RUNNER", ("strace -qq -e trace=fcntl -o " + (scratch / "trace").string()).c_str(), 1);
	run_morvet(scratch, {"probe.stp"});
	unsetenv("MORVET_RUNNER");
	std::istringstream calls(read_file(scratch / "trace"));
	int count = 0;
	for (std::string line; std::getline(calls, line);) {
		count += line.find("fcntl(") != std::string::npos ? 1 : 0;
		if (line.find("F_SETLEASE, F_RDLCK") != std::string::npos)
			return " -e inject=fcntl:error=ENOLCK:when=" + std::to_string(count);
	}
	ADD_FAILURE() << "the run asked for no lease";
	return "";
}

// What other programs do to the file while a run patches it, and what the
// file must then hold: the other program's work (nothing, if it removed
// the file), never the run's result over it. Made while the run is held
// before its last check, the change gives the reason it refuses: one who
// opens the file for writing breaks the run's lease on it, and waits until
// the run lets go; one who renames or removes it changes what its name holds.
struct interference {
	const char *name;
	void (*change)(const fs::path &file);
	bool time_put_back;       // the old modification time put back after it
	const std::string &left;  // empty: the file is gone
	const char *reason;       // null: made at the last instant only
};

void append(const fs::path &file)
{
	std::ofstream(file, std::ios::binary | std::ios::app) << "' more\r\n";
}

void write_in_place(const fs::path &file)
{
	std::fstream(file, std::ios::binary | std::ios::in | std::ios::out) << "n";
}

const std::string theirs = typical_header + "INTEGER freq = 9;\r\n";
const std::string appended = typical_input + "' more\r\n";
const std::string written_in_place = "n" + typical_input.substr(1);
const std::string gone;
const char written[] = "another program has it open for writing";
const char changed[] = "it changed while it was being patched";

const interference interferences[] = {
	{"saved over by rename", [](const fs::path &file) {
		 write_file(file.string() + ".new", theirs);
		 fs::rename(file.string() + ".new", file);
	 }, false, theirs, changed},
	{"appended", append, false, appended, written},
	{"written in place", write_in_place, false, written_in_place, written},
	// Only the size tells, once the run's own exchange has set the change
	// time.
	{"removed", [](const fs::path &file) { fs::remove(file); }, false, gone, changed},
	{"appended, time put back", append, true, appended, nullptr},
	// Nor that: only what the file holds.
	{"written in place, time put back", write_in_place, true, written_in_place, nullptr},
	// Its permissions taken back, or a name added: after the exchange only
	// the file's status tells.
	{"permissions changed", [](const fs::path &file) {
		 fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
	 }, false, typical_input, changed},
	{"linked", [](const fs::path &file) {
		 fs::remove(file.parent_path().parent_path() / "link.stp");
		 fs::create_hard_link(file, file.parent_path().parent_path() / "link.stp");
	 }, false, typical_input, changed},
};

void make_change(const interference &each, const fs::path &file)
{
	struct stat before;
	ASSERT_EQ(stat(file.c_str(), &before), 0);
	each.change(file);
	const struct timespec times[2] = {before.st_atim, before.st_mtim};
	if (each.time_put_back) {
		ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
	}
}

class HeldRun : public Morvet {
protected:
	void SetUp() override
	{
		Morvet::SetUp();
		SKIP_THROUGH_RUNNER();
		if (!usable("strace -qq -o /dev/null true"))
			GTEST_SKIP() << "strace is missing or cannot trace here";
		without_leak_checks();
	}
};

TEST_F(HeldRun, AFileChangedMidRunIsLeftToTheOtherWriter)
{
	const fs::path shm = other_filesystem(work);
	for (const interference &each : interferences) {
		for (const fs::path &run_in : {work / "run", shm}) {
			if (run_in.empty() || each.reason == nullptr)
				continue;
			const fs::path file = work / "files" / "board.stp";
			fs::create_directories(work / "files");
			fs::create_directories(run_in);
			write_file(file, typical_input);
			finished run = run_through(held, run_in, file, [&] { make_change(each, file); });
			std::string label = each.name + (" from " + run_in.string());
			EXPECT_EQ(run.status, 1) << label;
			EXPECT_EQ(run.output, "\nCan't patch " + file.string() + ": " + each.reason) << label;
			EXPECT_EQ(fs::exists(file) ? read_file(file) : "", each.left) << label;
			EXPECT_TRUE(names_in(run_in).empty()) << label;
			EXPECT_LE(names_in(work / "files").size(), 1u) << label;
			fs::remove_all(work / "files");
		}
	}
	if (!shm.empty())
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
	// Held as the result is about to move beside the input.
	finished run = run_through(held_at("renameat"), work, "board.stp", [&] {
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
		without_leak_checks(); // some of its runs are held by strace
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
	const std::string as_bob = "setpriv --reuid=" + std::to_string(bob) + " --regid=" +
	                           std::to_string(bob) + " --groups=" + std::to_string(devs) + " --";
	finished run_as_bob(const fs::path &file) { return run_as_bob(run_in, file); }
	finished run_as_bob(const fs::path &from, const fs::path &file)
	{
		return run_through(as_bob, from, file);
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
	// bob's file, which he shares with his group in alice's directory.
	const fs::path file = directory("shared", alice, devs, 02775) / "board.stp";
	write_file(file, typical_input);
	ASSERT_EQ(chown(file.c_str(), bob, devs), 0);
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

// Runs the tool through runner, which holds it as it enters the exchange
// that puts its result in place; meanwhile each interference in turn.
void expect_last_instant_survived(const std::string &runner, const fs::path &run_in,
                                  const fs::path &file)
{
	for (const interference &each : interferences) {
		write_file(file, typical_input);
		finished run = run_through(runner, run_in, file.string(), [&] {
			// The result waits beside the input once it is complete; the
			// run then reaches the exchange within milliseconds.
			while (fs::exists(run_in / temporary_name))
				std::this_thread::sleep_for(std::chrono::milliseconds(2));
			std::this_thread::sleep_for(std::chrono::milliseconds(300));
			make_change(each, file);
		});
		EXPECT_EQ(run.status, 1) << each.name << run.errors;
		EXPECT_EQ(run.output.rfind("\nCan't patch " + file.string() + ": ", 0), 0u)
			<< each.name << run.output;
		EXPECT_EQ(read_file(file), each.left) << each.name;
		EXPECT_EQ(names_in(file.parent_path()),
		          each.left.empty() ? std::vector<std::string>{}
		                            : std::vector<std::string>{file.filename()})
			<< each.name;
	}
}

// Another program holds the file open for writing: through a descriptor, or
// a shared writable mapping after closing it.
void expect_open_writer_refused(const std::function<finished(const fs::path &)> &run,
                                const fs::path &file)
{
	for (bool mapped : {false, true}) {
		write_file(file, typical_input);
		int fd = open(file.c_str(), O_RDWR | O_APPEND);
		ASSERT_GE(fd, 0);
		void *map = mapped ? mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)
		                   : MAP_FAILED;
		if (mapped) {
			ASSERT_NE(map, MAP_FAILED);
			ASSERT_EQ(close(fd), 0);
		}
		finished result = run(file);
		EXPECT_EQ(result.status, 1) << mapped;
		EXPECT_EQ(result.output, "\nCan't patch " + file.string() +
		                                 ": another program has it open for writing")
			<< mapped;
		// What the writer writes next lands in the user's file.
		if (mapped) {
			static_cast<char *>(map)[0] = 'n';
			ASSERT_EQ(munmap(map, 4096), 0);
		} else {
			ASSERT_EQ(write(fd, "' more\r\n", 8), 8);
			ASSERT_EQ(close(fd), 0);
		}
		EXPECT_EQ(read_file(file), mapped ? written_in_place : appended);
	}
}

} // namespace

TEST_F(HeldRun, AChangeAtTheLastInstantIsSwappedBack)
{
	fs::create_directories(work / "run");
	fs::create_directories(work / "files");
	expect_last_instant_survived(held_at("renameat2"), work / "run", work / "files" / "board.stp");
}

TEST_F(HeldRun, WithoutALeaseWhatWasSwappedOutIsReadBack)
{
	// As on a filesystem without leases, or for a user who may replace a
	// file but not lease it: what the file holds tells, at the last
	// instant; before it, its change time.
	const std::string no_lease = without_lease(work / "probe");
	const fs::path file = work / "files" / "board.stp";
	fs::create_directories(work / "run");
	fs::create_directories(work / "files");
	expect_last_instant_survived(held_at("renameat2") + no_lease, work / "run", file);
	write_file(file, typical_input);
	const interference quiet = {"", write_in_place, true, written_in_place, nullptr};
	finished run = run_through(held + no_lease, work / "run", file.string(),
	                           [&] { make_change(quiet, file); });
	EXPECT_EQ(run.output, "\nCan't patch " + file.string() + ": " + changed);
	EXPECT_EQ(read_file(file), written_in_place);
	// A page already written through a shared mapping takes more stores
	// with no new modification or change time. One lands after the run has
	// read the file and before it copies it: the result would hold a byte
	// its CRC was not computed over.
	write_file(file, typical_input);
	int fd = open(file.c_str(), O_RDWR);
	ASSERT_GE(fd, 0);
	auto *page = static_cast<char *>(mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
	ASSERT_NE(page, MAP_FAILED);
	ASSERT_EQ(close(fd), 0);
	page[0] = 'N'; // as it was: the page is now dirty, the times set
	struct stat before {}, after {};
	ASSERT_EQ(stat(file.c_str(), &before), 0);
	run = run_through(held_at("copy_file_range") + no_lease, work / "run", file.string(),
	                  [&] { page[1] = 'o'; });
	ASSERT_EQ(stat(file.c_str(), &after), 0);
	ASSERT_EQ(munmap(page, 4096), 0);
	EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec) << "the store set the time";
	EXPECT_EQ(run.output, "\nCan't patch " + file.string() + ": " + changed);
	EXPECT_EQ(read_file(file), "No" + typical_input.substr(2));
	EXPECT_TRUE(names_in(work / "run").empty());
}

TEST_F(HeldRun, WithoutALeaseAWriteAsTheOldFileGoesTakesItsNameBack)
{
	// One who still holds the file open writes to it after what the
	// exchange moved out was proven, just before it is removed.
	const std::string no_lease = without_lease(work / "probe");
	const fs::path file = work / "files" / "board.stp";
	fs::create_directories(work / "run");
	fs::create_directories(work / "files");
	write_file(file, typical_input);
	int fd = open(file.c_str(), O_WRONLY | O_APPEND);
	ASSERT_GE(fd, 0);
	finished run = run_through(held_at("unlinkat") + no_lease, work / "run", file.string(), [&] {
		for (int tries = 0; tries < 5000 && read_file(file) != typical_result; ++tries)
			std::this_thread::sleep_for(std::chrono::milliseconds(1));
		EXPECT_EQ(write(fd, "' more\r\n", 8), 8);
	});
	ASSERT_EQ(close(fd), 0);
	EXPECT_EQ(run.output, "\nCan't patch " + file.string() + ": " + changed);
	EXPECT_EQ(read_file(file), appended);
	EXPECT_EQ(names_in(work / "files"), std::vector<std::string>{"board.stp"});
	EXPECT_TRUE(names_in(work / "run").empty());
}

TEST_F(HeldRun, SignalsTheCLibraryKeepsEndARunCleanlyToo)
{
	// glibc keeps 32 and 33 from sigaction; sent from outside they end a
	// run all the same: as it writes its result, as it syncs it beside the
	// file, and as it swaps it into place (held back until that is done).
	const fs::path file = work / "files" / "board.stp";
	fs::create_directories(work / "run");
	fs::create_directories(work / "files");
	for (int signal : {32, 33}) {
		for (const char *call : {"write", "fsync", "renameat2"}) {
			write_file(file, typical_input);
			finished run = run_through("strace -f -qq -o /dev/null -e inject=" + std::string(call) +
			                                   ":signal=" + std::to_string(signal) + ":when=1",
			                           work / "run", file.string());
			std::string label = std::to_string(signal) + " at " + call;
			EXPECT_TRUE(run.status == 128 + signal || run.status == -1) << label << run.status;
			// Held back at the exchange, the signal comes once it is done.
			EXPECT_EQ(read_file(file), std::string(call) == "renameat2" ? typical_result : typical_input)
				<< label;
			EXPECT_TRUE(names_in(work / "run").empty()) << label;
			EXPECT_EQ(names_in(work / "files"), std::vector<std::string>{"board.stp"}) << label;
		}
	}
}

TEST_F(HeldRun, KilledAtItsFirstSyncFromAnotherFilesystemARunLeavesNothingBesideTheFile)
{
	// The result, written beside the file with no name, is synced before
	// it gets one.
	const fs::path shm = other_filesystem(work);
	if (shm.empty())
		GTEST_SKIP() << "no /dev/shm on another filesystem";
	write_file(work / "board.stp", typical_input);
	finished run = run_through("strace -f -qq -o /dev/null -e inject=fsync:signal=KILL:when=1", shm,
	                           (work / "board.stp").string());
	EXPECT_EQ(read_file(work / "board.stp"), typical_input);
	EXPECT_EQ(names_in(work), std::vector<std::string>{"board.stp"});
	EXPECT_TRUE(names_in(shm).empty());
	fs::remove_all(shm);
}

TEST_F(Morvet, AFileOpenForWritingIsRefused)
{
	SKIP_THROUGH_RUNNER();
	expect_open_writer_refused([&](const fs::path &file) { return run_morvet(work, {file.string()}); },
	                           work / "board.stp");
}

TEST_F(Morvet, StandardErrorGoneNeverStopsARun)
{
	SKIP_THROUGH_RUNNER();
	// A hard link and an old CRC that does not match: notes and warnings
	// on standard error, whose reader has gone.
	write_file(work / "a.stp", typical_input);
	fs::create_hard_link(work / "a.stp", work / "a.link");
	write_file(work / "b.stp", typical_input);
	int pipe_fds[2];
	ASSERT_EQ(pipe(pipe_fds), 0);
	ASSERT_EQ(close(pipe_fds[0]), 0);
	pid_t pid = fork();
	if (pid == 0) {
		dup2(pipe_fds[1], STDERR_FILENO);
		if (chdir(work.c_str()) != 0)
			_exit(125);
		execl(std::getenv("MORVET_EXE"), "morvet", "a.stp", "b.stp", static_cast<char *>(nullptr));
		_exit(126);
	}
	close(pipe_fds[1]);
	int status = 0;
	ASSERT_EQ(waitpid(pid, &status, 0), pid);
	EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
	EXPECT_EQ(WEXITSTATUS(status), 0);
	EXPECT_EQ(read_file(work / "a.stp"), typical_result);
	EXPECT_EQ(read_file(work / "b.stp"), typical_result);
}

TEST_F(Morvet, ClosedStandardDescriptorsAreNeverTheFilesARunOpens)
{
	SKIP_THROUGH_RUNNER();
	if (!usable("strace -qq -o /dev/null true"))
		GTEST_SKIP() << "strace is missing or cannot trace here";
	without_leak_checks(); // the run is traced
	// Were they, what is written to standard error would land in the result.
	fs::create_directories(work / "run");
	write_file(work / "run" / "board.stp", typical_input);
	const fs::path trace = work / "trace";
	std::string command = "cd " + pasted(work / "run") + " && strace -f -qq -e trace=openat,socket -o " +
	                      pasted(trace) + " sh -c 'exec 0<&- 1>&- 2>&- \"$0\" board.stp' " +
	                      pasted(std::getenv("MORVET_EXE"));
	EXPECT_EQ(std::system(command.c_str()), 0);
	EXPECT_EQ(read_file(work / "run" / "board.stp"), typical_result);
	std::istringstream calls(read_file(trace));
	int opened = 0;
	for (std::string line; std::getline(calls, line);) {
		bool ours = false;
		for (const char *mark : {"board.stp", "$$out$$", "socket(", "O_DIRECTORY", "O_TMPFILE"})
			ours |= line.find(mark) != std::string::npos;
		std::size_t equals = line.rfind(") = ");
		if (!ours || equals == std::string::npos || line.compare(equals + 4, 2, "-1") == 0)
			continue;
		++opened;
		EXPECT_GT(std::atoi(line.c_str() + equals + 4), 2) << line;
	}
	EXPECT_GT(opened, 0) << "the trace shows none of the run's files";
}

TEST_F(Morvet, DefaultAclsOfTheWorkingDirectoryDoNotReachTheResult)
{
	SKIP_THROUGH_RUNNER();
	fs::create_directories(work / "run");
	// rw- for carol on every new file in the working directory.
	const unsigned acl[] = {2, 0x60001, ~0u, 0x60002, 47103, 0x60004, ~0u, 0x60010, ~0u, 0x40020, ~0u};
	if (setxattr((work / "run").c_str(), "system.posix_acl_default", acl, sizeof acl, 0) != 0)
		GTEST_SKIP() << "no POSIX ACLs on this filesystem";
	write_file(work / "board.stp", typical_input);
	finished run = run_morvet(work / "run", {"../board.stp"});
	EXPECT_EQ(run.status, 0) << run.errors;
	EXPECT_EQ(read_file(work / "board.stp"), typical_result);
	EXPECT_EQ(getxattr((work / "board.stp").c_str(), "system.posix_acl_access", nullptr, 0), -1);
}

TEST_F(Morvet, SmallFilesCostTwoSyncsEachAndNoThread)
{
	SKIP_THROUGH_RUNNER();
	if (!usable("strace -qq -o /dev/null true"))
		GTEST_SKIP() << "strace is missing or cannot trace here";
	without_leak_checks();
	std::vector<std::string> names;
	for (int n = 0; n < 10; ++n) {
		names.push_back("f" + std::to_string(n) + ".stp");
		write_file(work / names.back(), typical_input);
	}
	fs::path trace = work.parent_path() / (work.filename().string() + ".trace");
	setenv("MORVET_RUNNER",
	       ("strace -f -qq -o " + trace.string() + " -e trace=fsync,fdatasync,clone,clone3").c_str(), 1);
	finished run = run_morvet(work, names);
	unsetenv("MORVET_RUNNER");
	EXPECT_EQ(run.status, 0) << run.errors;
	std::string calls = read_file(trace);
	fs::remove(trace);
	auto count = [&](const char *call) {
		std::size_t found = 0;
		for (std::size_t at = 0; (at = calls.find(call, at)) != std::string::npos; ++at)
			++found;
		return found;
	};
	EXPECT_LE(count("fsync(") + count("fdatasync("), 2 * names.size()) << calls;
	EXPECT_EQ(count("clone"), 0u) << calls;
}

TEST_F(Morvet, PatchesWithoutProc)
{
	SKIP_THROUGH_RUNNER();
	if (geteuid() != 0 || !usable("unshare -m true"))
		GTEST_SKIP() << "needs root and unshare to hide /proc";
#ifdef __SANITIZE_ADDRESS__
	// The sanitizers read their options through /proc: without it the leak
	// checker runs, and cannot work.
	GTEST_SKIP() << "a sanitizer build cannot run without /proc";
#endif
	const fs::path elsewhere = other_filesystem(work);
	// /proc hidden under an empty filesystem, for this run alone.
	fs::path hide = work.parent_path() / (work.filename().string() + "-hide-proc");
	write_file(hide, "#!/bin/sh\nexec unshare -m sh -c "
	                 "'mount -t tmpfs none /proc && exec \"$0\" \"$@\"' \"$@\"\n");
	ASSERT_EQ(chmod(hide.c_str(), 0755), 0);
	setenv("MORVET_RUNNER", hide.c_str(), 1);
	for (const fs::path &run_in : {work, elsewhere}) {
		if (run_in.empty())
			continue;
		write_file(work / "board.stp", typical_input);
		finished run = run_morvet(run_in, {(work / "board.stp").string()});
		EXPECT_EQ(run.status, 0) << run_in << run.output << run.errors;
		EXPECT_EQ(read_file(work / "board.stp"), typical_result) << run_in;
		EXPECT_EQ(names_in(work), std::vector<std::string>{"board.stp"}) << run_in;
	}
	unsetenv("MORVET_RUNNER");
	fs::remove(hide);
	if (!elsewhere.empty()) {
		EXPECT_TRUE(names_in(elsewhere).empty());
		fs::remove_all(elsewhere);
	}
}

TEST_F(AnotherUser, OwnFilesAndDirectoriesThatCannotBeRead)
{
	// bob's own file: a writer holding it open is seen through the lease.
	fs::path own = directory("own", bob, bob, 0755) / "board.stp";
	expect_open_writer_refused([&](const fs::path &file) {
		EXPECT_EQ(chown(file.c_str(), bob, bob), 0);
		return run_through(as_bob, run_in, file.string());
	}, own);

	// A working directory bob may write but not read (a drop directory).
	fs::path drop = directory("drop", bob, bob, 0333);
	write_file(own, typical_signed_input);
	finished run = run_through(as_bob, drop, own.string());
	EXPECT_EQ(run.status, 0) << run.errors;
	EXPECT_EQ(run.errors, "");
	EXPECT_EQ(read_file(own), typical_result);

	// The input's directory made read-only mid-run: the result cannot take
	// the file's place, nor be removed, and the user is told where it is.
	write_file(own, typical_input);
	run = run_through(as_bob + " " + held, run_in, own.string(), [&] {
		// Once the result waits beside the input, held at its sync.
		while (names_in(own.parent_path()).size() < 2)
			std::this_thread::sleep_for(std::chrono::milliseconds(2));
		ASSERT_EQ(chmod(own.parent_path().c_str(), 0555), 0);
	});
	ASSERT_EQ(chmod(own.parent_path().c_str(), 0755), 0);
	EXPECT_EQ(run.status, 1);
	EXPECT_EQ(read_file(own), typical_input);
	std::vector<std::string> left = names_in(own.parent_path());
	ASSERT_EQ(left.size(), 2u);
	EXPECT_NE(run.errors.find("could not remove " + (own.parent_path() / left[0]).string()),
	          std::string::npos)
		<< run.errors;
}

TEST_F(AnotherUser, AFileWhoseOwnerOrGroupCannotBeKeptIsRefusedUntouched)
{
	// root's file in a directory anyone may write, alice's in a sticky one
	// and bob's own of a group he is not in: the result would be bob's, or
	// his group's. Also from another filesystem, where the result is made
	// beside the file with no name.
	const struct {
		fs::path file;
		unsigned owner, group;
		mode_t mode;
	} cases[] = {
		{directory("open", 0, 0, 0777) / "board.stp", 0, 0, 0644},
		{directory("sticky", alice, alice, 01777) / "board.stp", alice, alice, 0666},
		{directory("own", bob, bob, 0755) / "board.stp", bob, 0, 0664},
	};
	const fs::path elsewhere = other_filesystem(work);
	if (!elsewhere.empty()) {
		ASSERT_EQ(chown(elsewhere.c_str(), bob, bob), 0);
	}
	for (const fs::path &from : {run_in, elsewhere}) {
		for (const auto &each : cases) {
			if (from.empty())
				continue;
			write_file(each.file, typical_input);
			ASSERT_EQ(chown(each.file.c_str(), each.owner, each.group), 0);
			ASSERT_EQ(chmod(each.file.c_str(), each.mode), 0);
			struct stat before {}, after {};
			ASSERT_EQ(stat(each.file.c_str(), &before), 0);
			finished run = run_as_bob(from, each.file);
			EXPECT_EQ(run.status, 1) << each.file;
			EXPECT_EQ(run.output, "\nCan't patch " + each.file.string() + ": its owner or group cannot be kept");
			ASSERT_EQ(stat(each.file.c_str(), &after), 0);
			EXPECT_EQ(read_file(each.file), typical_input) << each.file;
			EXPECT_TRUE(after.st_ino == before.st_ino && after.st_uid == each.owner &&
			            after.st_gid == each.group && after.st_mode == before.st_mode)
				<< each.file;
			EXPECT_EQ(names_in(each.file.parent_path()), std::vector<std::string>{"board.stp"});
			EXPECT_TRUE(names_in(from).empty()) << from;
		}
	}
	if (!elsewhere.empty())
		fs::remove_all(elsewhere);
}

TEST_F(AnotherUser, AnotherUsersTemporaryFileIsNeverRemoved)
{
	// alice's "$$out$$.stp" where root runs, in a sticky shared directory,
	// and where bob runs, in one anyone may write.
	for (bool by_root : {true, false}) {
		fs::path shared = directory(by_root ? "sticky" : "open", 0, 0, by_root ? 01777 : 0777);
		fs::path theirs = shared / temporary_name;
		write_file(theirs, "alice's\r\n");
		ASSERT_EQ(chown(theirs.c_str(), alice, alice), 0);
		write_file(shared / "board.stp", typical_input);
		ASSERT_EQ(chown((shared / "board.stp").c_str(), by_root ? 0 : bob, by_root ? 0 : bob), 0);
		finished run = by_root ? run_through("", shared, "board.stp") : run_as_bob(shared, "board.stp");
		EXPECT_EQ(run.status, 1) << by_root;
		EXPECT_EQ(run.output, "\nCan't create output") << by_root;
		EXPECT_NE(run.errors.find("board.stp: won't remove another user's " + pasted(theirs) +
		                          " (its owner may remove it, or run morvet elsewhere)"),
		          std::string::npos)
			<< run.errors;
		struct stat left {};
		EXPECT_TRUE(stat(theirs.c_str(), &left) == 0 && left.st_uid == alice) << by_root;
		EXPECT_EQ(read_file(theirs), "alice's\r\n") << by_root;
		EXPECT_EQ(read_file(shared / "board.stp"), typical_input) << by_root;
		EXPECT_EQ(names_in(shared), (std::vector<std::string>{temporary_name, "board.stp"}));
	}
}

TEST_F(AnotherUser, ALinkAnotherUserPlantedInAStickyDirectoryIsNotFollowed)
{
	// alice's link in a sticky shared directory, to a file of root's she
	// cannot read: where the kernel refuses to follow it for root, so does
	// the run.
	const char *setting = "/proc/sys/fs/protected_symlinks";
	std::string was = read_file(setting);
	if (was.empty() || std::system((std::string("echo 1 > ") + setting + " 2>/dev/null").c_str()) != 0)
		GTEST_SKIP() << "needs to turn on " << setting;
	fs::path shared = directory("sticky", 0, 0, 01777), own = directory("roots", 0, 0, 0700);
	write_file(own / "backup.sql", "INSERT INTO t VALUES (1);\n");
	fs::create_symlink(own / "backup.sql", shared / "board.stp");
	EXPECT_EQ(lchown((shared / "board.stp").c_str(), alice, alice), 0);
	finished run = run_through("", shared, "board.stp");
	write_file(setting, was);
	EXPECT_EQ(run.status, 1);
	EXPECT_EQ(run.output, "\nCan't open board.stp");
	EXPECT_NE(run.errors.find("can't resolve the link: Permission denied"), std::string::npos)
		<< run.errors;
	EXPECT_EQ(read_file(own / "backup.sql"), "INSERT INTO t VALUES (1);\n");
}

namespace {

// A process that holds the name the runs in directory lock it by, as uid
// (-1: as this process's user) and listening as a run does, or not; it lets
// go when release is closed.
struct lock_holder {
	pid_t pid;
	int release;
};

lock_holder hold_lock_name(const fs::path &directory, int uid, bool listening)
{
	struct stat status {};
	EXPECT_EQ(stat(directory.c_str(), &status), 0);
	int ready[2], release[2];
	EXPECT_EQ(pipe(ready), 0);
	EXPECT_EQ(pipe(release), 0);
	pid_t pid = fork();
	if (pid == 0) {
		close(ready[0]);
		close(release[1]);
		sockaddr_un address {};
		address.sun_family = AF_UNIX;
		int length = std::snprintf(address.sun_path + 1, sizeof address.sun_path - 1,
		                           "morvet-lock-%llx-%llx",
		                           static_cast<unsigned long long>(status.st_dev),
		                           static_cast<unsigned long long>(status.st_ino));
		int fd = socket(AF_UNIX, SOCK_STREAM, 0);
		char byte = 0;
		if ((uid < 0 || (setgroups(0, nullptr) == 0 && setresgid(uid, uid, uid) == 0 &&
		                 setresuid(uid, uid, uid) == 0)) &&
		    bind(fd, reinterpret_cast<sockaddr *>(&address),
		         static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length)) == 0 &&
		    (!listening || listen(fd, 8) == 0) && write(ready[1], &byte, 1) == 1)
			(void)!read(release[0], &byte, 1);
		_exit(0);
	}
	close(ready[1]);
	close(release[0]);
	char byte = 0;
	EXPECT_EQ(read(ready[0], &byte, 1), 1) << "the name could not be taken";
	close(ready[0]);
	return {pid, release[1]};
}

void let_go(lock_holder holder)
{
	close(holder.release);
	waitpid(holder.pid, nullptr, 0);
}

} // namespace

TEST_F(AnotherUser, NoOneWhoMayNotWriteTheDirectoryCanHoldARunAtItsLock)
{
	// bob holds the lock's name for root's own directory, listening as a
	// run or not: root's run there goes on at once, unlocked, and says so.
	fs::path mine = directory("mine", 0, 0, 0700);
	for (bool listening : {true, false}) {
		write_file(mine / "board.stp", typical_input);
		lock_holder holder = hold_lock_name(mine, static_cast<int>(bob), listening);
		auto start = std::chrono::steady_clock::now();
		finished run = run_through("timeout 20", mine, "board.stp");
		double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
		let_go(holder);
		EXPECT_EQ(run.status, 0) << listening;
		EXPECT_LT(took, 5.0) << listening;
		EXPECT_NE(run.errors.find("morvet: warning: the working directory cannot be locked"),
		          std::string::npos)
			<< run.errors;
		EXPECT_EQ(read_file(mine / "board.stp"), typical_result) << listening;
	}
}

namespace {

TEST_F(Morvet, ARunWaitsThirtySecondsAtMostForTheLock)
{
	SKIP_THROUGH_RUNNER();
	// One who may write the directory holds its lock (as another run would)
	// and does not let go: after 30 seconds the run gives up, touching
	// nothing, and names the directory.
	write_file(work / "board.stp", typical_input);
	lock_holder holder = hold_lock_name(work, -1, true);
	auto start = std::chrono::steady_clock::now();
	finished run = run_through("timeout 60", work, "board.stp");
	double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
	let_go(holder);
	EXPECT_EQ(run.status, 1);
	EXPECT_GE(took, 29.5);
	EXPECT_LT(took, 40.0);
	EXPECT_EQ(run.output, "\nCan't create output");
	EXPECT_EQ(run.errors, "morvet: waiting for another run in this directory to finish\n"
	                      "morvet: board.stp: can't lock the working directory for " +
	                          pasted(work / temporary_name) + ": Connection timed out\n");
	EXPECT_EQ(read_file(work / "board.stp"), typical_input);
	EXPECT_EQ(names_in(work), std::vector<std::string>{"board.stp"});
}

TEST_F(Morvet, AFileWithNothingToChangeIsNotTouchedThroughAnyOfItsNames)
{
	SKIP_THROUGH_RUNNER();
	write_file(work / "board.stp", typical_result);
	ASSERT_EQ(link((work / "board.stp").c_str(), (work / "other.stp").c_str()), 0);
	// An hour back, so that any write would show in the times.
	struct timespec times[2] = {{1700000000, 123456789}, {1700000000, 123456789}};
	ASSERT_EQ(utimensat(AT_FDCWD, (work / "board.stp").c_str(), times, 0), 0);
	struct stat before;
	ASSERT_EQ(stat((work / "board.stp").c_str(), &before), 0);
	for (const char *name : {"board.stp", "other.stp"}) {
		finished run = run_morvet(work, {name});
		EXPECT_EQ(run.status, 0) << name;
		EXPECT_EQ(run.output + run.errors, "") << name;
		struct stat after;
		ASSERT_EQ(stat((work / name).c_str(), &after), 0);
		EXPECT_EQ(after.st_ino, before.st_ino) << name;
		EXPECT_EQ(after.st_nlink, 2u) << name;
		EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec) << name;
		EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec) << name;
		EXPECT_EQ(after.st_ctim.tv_nsec, before.st_ctim.tv_nsec) << name;
	}
	EXPECT_EQ(names_in(work), (std::vector<std::string>{"board.stp", "other.stp"}));
}

TEST_F(HeldRun, ADiffOfAFileThatChangesWhileItIsReadIsNotShown)
{
	// The run is held as it reads the file again for the diff; meanwhile
	// another program appends to it, rewrites it in place (also putting its
	// modification time back), or saves another file over it.
	enum change { APPENDED, REWRITTEN, REWRITTEN_WITH_ITS_TIME_PUT_BACK, SAVED_OVER };
	for (change how : {APPENDED, REWRITTEN, REWRITTEN_WITH_ITS_TIME_PUT_BACK, SAVED_OVER}) {
		write_file(work / "board.stp", typical_input);
		setenv("MORVET_RUNNER", held_at("pread64").append(":when=3").c_str(), 1);
		started process = start_morvet(work, {"--diff", "board.stp"});
		unsetenv("MORVET_RUNNER");
		std::this_thread::sleep_for(std::chrono::milliseconds(400));
		std::string changed = typical_input;
		if (how == APPENDED)
			changed += "' appended\r\n";
		else
			changed[0] = 'n';
		fs::file_time_type written = fs::last_write_time(work / "board.stp");
		write_file(work / (how == SAVED_OVER ? "new.stp" : "board.stp"), changed);
		if (how == SAVED_OVER)
			fs::rename(work / "new.stp", work / "board.stp");
		if (how == REWRITTEN_WITH_ITS_TIME_PUT_BACK)
			fs::last_write_time(work / "board.stp", written);
		finished run = wait_for(process);
		EXPECT_EQ(run.status, 2) << how;
		EXPECT_EQ(run.output, "") << how;
		EXPECT_NE(run.errors.find("it changed while it was being read"), std::string::npos)
			<< how << run.errors;
		// Warnings would tell of the text that was, not of the file.
		EXPECT_EQ(run.errors.find("warning:"), std::string::npos) << how << run.errors;
	}
}

} // namespace

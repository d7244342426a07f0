// e2e_support.h - running the built tool as a user runs it, in scratch
// working directories, on STAPL files the tests write. MORVET_EXE names the
// program; MORVET_RUNNER, when set, is a command to run it through (such as
// "wine"), in which case the cases that need POSIX file types are skipped.
#ifndef MORVET_TESTS_E2E_SUPPORT_H
#define MORVET_TESTS_E2E_SUPPORT_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "stapl_reference.h"

namespace fs = std::filesystem;

namespace e2e {

inline const char temporary_name[] = "$$out$$.stp";

// Without MORVET_EXE no case can run the tool: that is said once, and none
// runs (a case reading the variable would crash on its absence).
struct needs_the_tool : ::testing::Environment {
	void SetUp() override
	{
		if (std::getenv("MORVET_EXE") == nullptr)
			GTEST_FAIL() << "MORVET_EXE must name the tool to test";
	}
};
inline ::testing::Environment *const tool_check =
	::testing::AddGlobalTestEnvironment(new needs_the_tool);

// A path as standard error shows it, to be pasted into a shell: in single
// quotes when a shell would act on one of its bytes (such as '$').
inline std::string pasted(const fs::path &path)
{
	return "'" + path.string() + "'";
}
inline const char usage_text[] = "\nCorvane STAPL file patch utility\nUsage: morvet.exe <filename.stp>\n";

inline std::vector<std::string> words(const char *text)
{
	std::vector<std::string> result;
	std::istringstream stream(text ? text : "");
	std::string word;
	while (stream >> word)
		result.push_back(word);
	return result;
}

// True when command runs here (a tool a case needs, such as strace).
inline bool usable(const char *command)
{
	return std::system((std::string(command) + " >/dev/null 2>&1").c_str()) == 0;
}

inline bool through_runner()
{
	return !words(std::getenv("MORVET_RUNNER")).empty();
}

struct started {
	pid_t pid;
	int output;
	int errors;
};

struct finished {
	int status;
	std::string output; // standard output
	std::string errors; // standard error
};

// In a child: runs command in directory, never returning.
[[noreturn]] inline void exec_in(const fs::path &directory, std::vector<std::string> &command)
{
	if (chdir(directory.c_str()) != 0)
		_exit(125);
	std::vector<char *> argv;
	for (std::string &word : command)
		argv.push_back(word.data());
	argv.push_back(nullptr);
	execvp(argv[0], argv.data());
	_exit(126);
}

inline started start_morvet(const fs::path &directory, const std::vector<std::string> &arguments)
{
	const char *program = std::getenv("MORVET_EXE");
	EXPECT_NE(program, nullptr) << "MORVET_EXE must name the tool";
	std::vector<std::string> command = words(std::getenv("MORVET_RUNNER"));
	// The child changes directory before it starts the tool.
	command.push_back(program ? fs::absolute(program).string() : "morvet");
	command.insert(command.end(), arguments.begin(), arguments.end());

	int pipe_fds[2];
	int error_fds[2];
	EXPECT_EQ(pipe(pipe_fds), 0);
	EXPECT_EQ(pipe(error_fds), 0);
	pid_t pid = fork();
	if (pid == 0) {
		dup2(pipe_fds[1], STDOUT_FILENO);
		dup2(error_fds[1], STDERR_FILENO);
		close(pipe_fds[0]);
		close(pipe_fds[1]);
		close(error_fds[0]);
		close(error_fds[1]);
		int null_input = open("/dev/null", O_RDONLY);
		dup2(null_input, STDIN_FILENO);
		exec_in(directory, command);
	}
	close(pipe_fds[1]);
	close(error_fds[1]);
	return {pid, pipe_fds[0], error_fds[0]};
}

// Everything fd delivers until its end. The tool's messages are far below
// a pipe's capacity, so reading the two pipes one after the other is safe.
inline std::string read_all(int fd)
{
	std::string text;
	char buffer[4096];
	ssize_t got;
	while ((got = read(fd, buffer, sizeof buffer)) != 0) {
		if (got < 0 && errno == EINTR)
			continue;
		if (got < 0)
			break;
		text.append(buffer, static_cast<std::size_t>(got));
	}
	close(fd);
	return text;
}

inline finished wait_for(started process)
{
	finished result{-1, {}, {}};
	result.output = read_all(process.output);
	result.errors = read_all(process.errors);
	int status = 0;
	EXPECT_EQ(waitpid(process.pid, &status, 0), process.pid);
	if (WIFEXITED(status))
		result.status = WEXITSTATUS(status);
	return result;
}

inline finished run_morvet(const fs::path &directory, const std::vector<std::string> &arguments)
{
	return wait_for(start_morvet(directory, arguments));
}

inline std::string read_file(const fs::path &path)
{
	std::ifstream in(path, std::ios::binary);
	std::ostringstream text;
	text << in.rdbuf();
	return text.str();
}

inline void write_file(const fs::path &path, const std::string &text)
{
	std::ofstream out(path, std::ios::binary | std::ios::trunc);
	out << text;
	ASSERT_TRUE(out.good()) << path;
}

inline std::vector<std::string> names_in(const fs::path &directory)
{
	std::vector<std::string> names;
	for (const auto &entry : fs::directory_iterator(directory))
		names.push_back(entry.path().filename().string());
	std::sort(names.begin(), names.end());
	return names;
}

// LeakSanitizer works neither under ptrace (strace) nor without /proc: a
// sanitizer build run that way would fail every run it checks.
inline void without_leak_checks()
{
	setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
}

// For the cases about POSIX links, FIFOs and permission bits, which a
// Windows build run through Wine does not see.
#define SKIP_THROUGH_RUNNER()                                                                  \
	do {                                                                                   \
		if (through_runner())                                                          \
			GTEST_SKIP() << "POSIX file types and modes are not seen through "     \
			                "MORVET_RUNNER";                                        \
	} while (0)

// A fresh working directory per test, removed afterwards.
class Morvet : public ::testing::Test {
protected:
	void SetUp() override
	{
		const char *base = std::getenv("TMPDIR");
		std::string pattern = std::string(base ? base : "/tmp") + "/morvet-e2e-XXXXXX";
		ASSERT_NE(mkdtemp(pattern.data()), nullptr);
		work = pattern;
	}
	void TearDown() override
	{
		std::error_code ignored;
		fs::remove_all(work, ignored);
		fs::remove(work.string() + "-runner", ignored); // a runner script beside it
	}
	fs::path work;
};

inline const std::string typical_header =
	"NOTE \"CREATOR\" \"test bench\";\r\n"
	"NOTE \"DEVICE\" \"CX2064\";\r\n"
	"ACTION PROGRAM = DO_PROGRAM;\r\n"
	"DATA PARAMETERS;\r\n";
inline const std::string typical_tail =
	"INTEGER frequency = 5;\r\n"
	"BOOLEAN DATA_ROWS[64] = $0123456789ABCDEF;\r\n"
	"ENDDATA;\r\n"
	"PROCEDURE DO_PROGRAM USES PARAMETERS;\r\n"
	"\tIRSCAN 10, $00F;\r\n"
	"\tDRSCAN 64, DATA_ROWS[63..0];\r\n"
	"\tWAIT freq * 100 CYCLES;\r\n"
	"ENDPROC;\r\n";
inline const std::string typical_input = typical_header + "BOOLEAN USE_RCK = 0;\r\n" +
                                  "INTEGER freq = 1;\r\n" + typical_tail + "CRC 1A2B;\r\n";
inline const std::string typical_result = with_crc(typical_header + "BOOLEAN USE_RCK = 1;\r\n" +
                                            "INTEGER freq = 3;\r\n" + typical_tail);
// The same program as it left its generator, signed: patching it warns of
// nothing.
inline const std::string typical_signed_input =
	with_crc(typical_header + "BOOLEAN USE_RCK = 0;\r\nINTEGER freq = 1;\r\n" + typical_tail);

} // namespace e2e

#endif

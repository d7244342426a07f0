// bench.cpp - how close the tool comes to the least work its job needs.
//
// Generates a realistic STAPL program of the given size, then times, in
// interleaved rounds, morvet on a fresh copy of it and the ceiling program
// on the same file, and prints the medians and their ratio. Also prints the
// peak resident memory of morvet on a small and on the large file, which
// must be the same: the tool streams and never holds a file in memory.
//
// Usage: morvet_bench MORVET CEILING [MEGABYTES [ROUNDS]]
//        morvet_bench --generate PATH MEGABYTES   (only write the program)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const double target_ratio = 1.20;
const long target_memory_kib = 4096;

// A programming file as vendors' tools write them: notes, actions, a data
// block of compressed array rows, and procedures that shift it out.
void generate(const std::string &path, std::size_t size)
{
	std::FILE *out = std::fopen(path.c_str(), "wb");
	if (out == nullptr) {
		std::perror(path.c_str());
		std::exit(1);
	}
	// Write errors stay recorded on the stream and are checked at the end.
	(void)std::fputs("NOTE \"CREATOR\" \"morvet benchmark\";\r\nNOTE \"DEVICE\" \"CX2064\";\r\n"
	           "ACTION PROGRAM = DO_PROGRAM, DO_VERIFY;\r\n"
	           "DATA PARAMETERS;\r\nBOOLEAN USE_RCK = 0;\r\nINTEGER freq = 1;\r\nENDDATA;\r\n",
	           out);
	const char alphabet[] =
		"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz_@";
	unsigned state = 12345;
	std::size_t written = 0;
	int block = 0;
	char row[128];
	while (written < size) {
		written += static_cast<std::size_t>(std::fprintf(
			out, "DATA ROWS_%d;\r\nBOOLEAN ROW_%d[524288] = @", block, block));
		for (int line = 0; line < 1000 && written < size; ++line) {
			int length = 60 + static_cast<int>(state % 20);
			row[0] = '\t';
			for (int i = 1; i <= length; ++i) {
				state = state * 1103515245u + 12345u;
				row[i] = alphabet[(state >> 16) & 63];
			}
			row[length + 1] = '\r';
			row[length + 2] = '\n';
			(void)std::fwrite(row, 1, static_cast<std::size_t>(length) + 3, out);
			written += static_cast<std::size_t>(length) + 3;
		}
		written += static_cast<std::size_t>(std::fprintf(
			out, ";\r\nENDDATA;\r\nPROCEDURE SHIFT_%d USES ROWS_%d;\r\n\tIRSCAN 10, $00F;\r\n"
			     "\tDRSCAN 524288, ROW_%d[524287..0];\r\n\tWAIT freq * 100 CYCLES;\r\nENDPROC;\r\n",
			block, block, block));
		++block;
	}
	(void)std::fputs("CRC 1234;\r\n", out);
	bool failed = std::ferror(out) != 0;
	if (std::fclose(out) != 0 || failed) {
		std::perror(path.c_str());
		std::exit(1);
	}
}

void copy_file(const std::string &from, const std::string &to)
{
	// Synced, so that writing back the copy does not slow down what is
	// timed next.
	std::string command = "cp '" + from + "' '" + to + "' && sync";
	if (std::system(command.c_str()) != 0) {
		(void)std::fprintf(stderr, "cannot copy %s\n", from.c_str());
		std::exit(1);
	}
}

struct measured {
	double seconds;
	long peak_kib;
};

measured run(const std::vector<std::string> &command, const std::string &directory)
{
	auto start = std::chrono::steady_clock::now();
	pid_t pid = fork();
	if (pid == 0) {
		if (chdir(directory.c_str()) != 0)
			_exit(125);
		std::vector<char *> argv;
		argv.reserve(command.size() + 1);
		for (const std::string &word : command)
			argv.push_back(const_cast<char *>(word.c_str()));
		argv.push_back(nullptr);
		execv(argv[0], argv.data());
		_exit(126);
	}
	int status = 0;
	struct rusage usage;
	if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) ||
	    WEXITSTATUS(status) != 0) {
		(void)std::fprintf(stderr, "%s failed\n", command[0].c_str());
		std::exit(1);
	}
	std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
	return {elapsed.count(), usage.ru_maxrss};
}

// The largest peak resident memory of three runs of morvet on a copy of input.
long peak_memory(const std::string &morvet, const std::string &input, const std::string &work)
{
	long peak = 0;
	for (int run_number = 0; run_number < 3; ++run_number) {
		copy_file(input, work + "/patched.stp");
		peak = std::max(peak, run({morvet, "patched.stp"}, work).peak_kib);
	}
	return peak;
}

double median(std::vector<double> values)
{
	std::sort(values.begin(), values.end());
	return values[values.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
	if (argc == 4 && std::string(argv[1]) == "--generate") {
		generate(argv[2], std::strtoul(argv[3], nullptr, 10) * 1000000);
		return 0;
	}
	if (argc < 3) {
		(void)std::fputs("usage: morvet_bench MORVET CEILING [MEGABYTES [ROUNDS]]\n", stderr);
		return 2;
	}
	std::string morvet = argv[1], ceiling = argv[2];
	std::size_t megabytes = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 200;
	int rounds = argc > 4 ? std::atoi(argv[4]) : 3;
	if (rounds < 3)
		rounds = 3;

	char pattern[] = "/tmp/morvet-bench-XXXXXX";
	if (mkdtemp(pattern) == nullptr) {
		std::perror("mkdtemp");
		return 1;
	}
	std::string work = pattern;
	std::string large = work + "/large.stp", small = work + "/small.stp";
	(void)std::printf("generating a %zu MB STAPL program...\n", megabytes);
	(void)std::fflush(stdout);
	generate(large, megabytes * 1000000);
	generate(small, 2000000);

	std::vector<double> tool_times, ceiling_times;
	for (int round = 0; round < rounds; ++round) {
		copy_file(large, work + "/patched.stp");
		tool_times.push_back(run({morvet, "patched.stp"}, work).seconds);
		ceiling_times.push_back(run({ceiling, "large.stp", "ceiling.out"}, work).seconds);
		(void)std::printf("round %d: morvet %.3f s, ceiling %.3f s\n", round + 1,
		            tool_times.back(), ceiling_times.back());
		(void)std::fflush(stdout);
	}
	long small_peak = peak_memory(morvet, small, work);
	long large_peak = peak_memory(morvet, large, work);

	double tool = median(tool_times), least = median(ceiling_times);
	double ratio = tool / least;
	(void)std::printf("\nmorvet median          %.3f s\n", tool);
	(void)std::printf("ceiling median         %.3f s\n", least);
	(void)std::printf("ratio                  %.3f (target <= %.2f: %s)\n", ratio, target_ratio,
	            ratio <= target_ratio ? "met" : "NOT met");
	(void)std::printf("peak memory, 2 MB      %ld KiB\n", small_peak);
	// The kernel's count of resident pages wobbles by a few hundred KiB
	// from run to run whatever the file; anything that grew with the file
	// would show as megabytes here.
	long difference = large_peak > small_peak ? large_peak - small_peak : small_peak - large_peak;
	bool same = difference <= 512;
	(void)std::printf("peak memory, %zu MB    %ld KiB (target <= %ld KiB and the same within 512 KiB: %s)\n",
	            megabytes, large_peak, target_memory_kib,
	            (large_peak <= target_memory_kib && same) ? "met" : "NOT met");
	std::string cleanup = "rm -rf '" + work + "'";
	if (std::system(cleanup.c_str()) != 0)
		(void)std::fprintf(stderr, "could not remove %s\n", work.c_str());
	return 0;
}

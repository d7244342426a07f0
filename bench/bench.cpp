// bench.cpp - how close the tool comes to the least work its job needs.
//
// Generates realistic STAPL programs of 2 MB, 20 MB and of the given size,
// then times, in interleaved rounds, morvet on a fresh copy of each and the
// floor program (read, copy, sync, rename, sync the directory; no CRC) on
// the same file, and prints the medians and their ratio; the same for a
// thousand small programs (5 to 60 KB, as real ones are) in one run each,
// and for a second run over a 20 MB file just patched, which the tool only
// reads. Prints this machine's disk speed for writing and syncing, which
// decides much of both, the CRC's speed, and the peak resident memory of
// morvet at 2 MB and the large size, which must be the same: the tool
// streams and never holds a file in memory. Every figure is this
// machine's, with its disk, in one run.
//
// Usage: morvet_bench MORVET FLOOR [MEGABYTES [ROUNDS]]
//        morvet_bench --generate PATH MEGABYTES   (only write the program)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "crc16.h"

namespace {

const double target_large_ratio = 1.3;
const double target_20_ratio = 1.25;
const double target_small_ratio = 1.2;
const double target_again_ratio = 0.75;
const int small_files = 1000;
const long target_memory_kib = 4096;

// Appends the CRC statement that certifies the file as it is, as the
// vendor's tool would have.
void sign(const std::string &path)
{
	std::FILE *file = std::fopen(path.c_str(), "r+b");
	if (file == nullptr) {
		std::perror(path.c_str());
		std::exit(1);
	}
	static unsigned char block[1 << 16];
	std::uint16_t crc = crc16_preset;
	std::size_t got;
	std::uint64_t fed = 0;
	while ((got = std::fread(block, 1, sizeof block, file)) > 0)
		crc = crc16_update(crc, block, got, &fed);
	bool failed = std::ferror(file) != 0 || std::fseek(file, 0, SEEK_END) != 0 ||
	              std::fprintf(file, "CRC %04X;\r\n", static_cast<unsigned>(crc16_value(crc))) < 0;
	if (std::fclose(file) != 0 || failed) {
		std::perror(path.c_str());
		std::exit(1);
	}
}

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
	bool failed = std::ferror(out) != 0;
	if (std::fclose(out) != 0 || failed) {
		std::perror(path.c_str());
		std::exit(1);
	}
	sign(path);
}

void copy_file(const std::string &from, const std::string &to)
{
	// Synced, so that writing back the copy does not slow down what is
	// timed next.
	std::string command = "cp -R '" + from + "' '" + to + "' && sync";
	if (std::system(command.c_str()) != 0) {
		(void)std::fprintf(stderr, "cannot copy %s\n", from.c_str());
		std::exit(1);
	}
}

struct measured {
	double seconds;
	long peak_kib;
	double cpu_seconds; // user and system time: what is not waiting for the disk
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
	double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
	             static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
	return {elapsed.count(), usage.ru_maxrss, cpu};
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

struct comparison {
	double tool, floor;
};

// Interleaved rounds of morvet on a fresh copy of input and of the floor
// program on input itself; the medians of both.
comparison compare(const std::string &morvet, const std::string &floor,
                   const std::string &input, const std::string &work, int rounds,
                   const char *label)
{
	std::vector<double> tool_times, floor_times;
	for (int round = 0; round < rounds; ++round) {
		copy_file(input, work + "/patched.stp");
		measured tool = run({morvet, "patched.stp"}, work);
		measured least = run({floor, input, "floor.out"}, work);
		tool_times.push_back(tool.seconds);
		floor_times.push_back(least.seconds);
		(void)std::printf("%s round %d: morvet %.4f s (CPU %.4f s), floor %.4f s (CPU %.4f s)\n",
		                  label, round + 1, tool.seconds, tool.cpu_seconds, least.seconds,
		                  least.cpu_seconds);
		(void)std::fflush(stdout);
	}
	return {median(tool_times), median(floor_times)};
}

// The disk's speed at what both programs end with: writing a file and
// syncing it, in MB per second, the best of three.
double disk_speed(const std::string &work)
{
	static unsigned char block[256 * 1024];
	std::memset(block, 'x', sizeof block);
	const int blocks = 256; // 64 MiB
	double best = 1e9;
	for (int round = 0; round < 3; ++round) {
		std::string path = work + "/disk.test";
		auto start = std::chrono::steady_clock::now();
		std::FILE *out = std::fopen(path.c_str(), "wb");
		bool failed = out == nullptr;
		for (int i = 0; i < blocks && !failed; ++i)
			failed = std::fwrite(block, 1, sizeof block, out) != sizeof block;
		failed = failed || std::fflush(out) != 0 || fsync(fileno(out)) != 0;
		if (out != nullptr && std::fclose(out) != 0)
			failed = true;
		std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
		if (failed || std::remove(path.c_str()) != 0) {
			std::perror(path.c_str());
			std::exit(1);
		}
		best = std::min(best, elapsed.count());
	}
	return blocks * static_cast<double>(sizeof block) / best / 1e6;
}

// A thousand small programs in directory/in, 5 to 60 KB each.
std::vector<std::string> generate_small(const std::string &directory)
{
	std::vector<std::string> names;
	if (std::system(("mkdir -p '" + directory + "/in'").c_str()) != 0)
		std::exit(1);
	for (int n = 0; n < small_files; ++n) {
		names.push_back("p" + std::to_string(n) + ".stp");
		generate(directory + "/in/" + names.back(), 5000 + static_cast<std::size_t>(n * 7919) % 55000);
	}
	return names;
}

// Interleaved rounds over the small programs: morvet patching all of them
// in one run, the floor copying all of them in one run. Each replaces
// files that are there, as patching does (and as the floor does for one
// large file from its second round on): a file replaced frees the old
// one's blocks, work a copy into an empty directory would leave out.
comparison compare_small(const std::string &morvet, const std::string &floor,
                         const std::string &directory, const std::vector<std::string> &names,
                         int rounds)
{
	std::vector<double> tool_times, floor_times;
	for (int round = 0; round < rounds; ++round) {
		std::string command = "cd '" + directory + "' && rm -rf run out";
		if (std::system(command.c_str()) != 0)
			std::exit(1);
		copy_file(directory + "/in", directory + "/run");
		copy_file(directory + "/in", directory + "/out");
		std::vector<std::string> tool = {morvet}, least = {floor};
		for (const std::string &name : names) {
			tool.push_back(name);
			least.push_back("in/" + name);
			least.push_back("out/" + name);
		}
		measured patched = run(tool, directory + "/run");
		measured copied = run(least, directory);
		tool_times.push_back(patched.seconds);
		floor_times.push_back(copied.seconds);
		(void)std::printf("%d files round %d: morvet %.4f s, floor %.4f s\n", small_files,
		                  round + 1, patched.seconds, copied.seconds);
		(void)std::fflush(stdout);
	}
	return {median(tool_times), median(floor_times)};
}

std::vector<unsigned char> read_start(const std::string &path, std::size_t most)
{
	std::vector<unsigned char> data(most);
	std::FILE *in = std::fopen(path.c_str(), "rb");
	if (in == nullptr) {
		std::perror(path.c_str());
		std::exit(1);
	}
	data.resize(std::fread(data.data(), 1, most, in));
	bool failed = std::ferror(in) != 0;
	if (std::fclose(in) != 0 || failed) {
		std::perror(path.c_str());
		std::exit(1);
	}
	return data;
}

// This thread's CPU time in seconds: on a shared machine the kernel's speed
// is then not what other programs leave of the wall clock.
double cpu_seconds()
{
	timespec now{};
	if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) != 0) {
		std::perror("clock_gettime");
		std::exit(1);
	}
	return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The CRC over text in the tool's 256 KiB blocks: the best of nine
// passes, in MB per second of CPU time (a shared machine's CPU slows down
// for seconds at a time; the best pass is the code's own speed).
void crc_speed(const std::vector<unsigned char> &text)
{
	const std::size_t block = std::size_t(256) * 1024;
	double best = 1e9;
	for (int pass = 0; pass < 9; ++pass) {
		std::uint16_t crc = crc16_preset;
		std::uint64_t fed = 0;
		double start = cpu_seconds();
		for (std::size_t at = 0; at < text.size(); at += block)
			crc = crc16_update(crc, text.data() + at, std::min(block, text.size() - at), &fed);
		best = std::min(best, cpu_seconds() - start);
		if (fed == 0 && crc == 0)
			(void)std::printf(" "); // keeps the loop from being left out
	}
	(void)std::printf("\nCRC over %zu MB of STAPL text, 256 KiB blocks: %.0f MB/s of CPU time\n",
	                  text.size() / 1000000, static_cast<double>(text.size()) / best / 1e6);
}

// The figure of one comparison, against its target (none when target is 0).
void print_ratio(const char *label, const comparison &c, double target)
{
	double ratio = c.tool / c.floor;
	(void)std::printf("%-16s %10.4f s %10.4f s %8.2f", label, c.tool, c.floor, ratio);
	if (target > 0)
		(void)std::printf("  (target <= %.2f: %s)", target, ratio <= target ? "met" : "NOT met");
	(void)std::printf("\n");
}

} // namespace

int main(int argc, char **argv)
{
	if (argc == 4 && std::string(argv[1]) == "--generate") {
		generate(argv[2], std::strtoul(argv[3], nullptr, 10) * 1000000);
		return 0;
	}
	if (argc < 3) {
		(void)std::fputs("usage: morvet_bench MORVET FLOOR [MEGABYTES [ROUNDS]]\n", stderr);
		return 2;
	}
	std::string morvet = argv[1], floor = argv[2];
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
	std::string medium = work + "/medium.stp", patched = work + "/medium-patched.stp";
	(void)std::printf("generating STAPL programs of 2 MB, 20 MB and %zu MB...\n", megabytes);
	(void)std::fflush(stdout);
	generate(large, megabytes * 1000000);
	generate(medium, 20000000);
	generate(small, 2000000);
	// The 20 MB file as the tool leaves it, for the second run.
	copy_file(medium, work + "/patched.stp");
	(void)run({morvet, "patched.stp"}, work);
	copy_file(work + "/patched.stp", patched);

	crc_speed(read_start(large, std::size_t(64) * 1000000));
	double disk = disk_speed(work);
	(void)std::printf("\ndisk: writing and syncing 64 MiB runs at %.0f MB/s here\n\n", disk);
	// Small runs last milliseconds: more rounds steady their median.
	comparison at_small = compare(morvet, floor, small, work, rounds * 4, "2 MB");
	comparison at_medium = compare(morvet, floor, medium, work, rounds * 2, "20 MB");
	comparison again = compare(morvet, floor, patched, work, rounds * 2, "20 MB again");
	comparison at_large = compare(morvet, floor, large, work, rounds, "large");
	std::vector<std::string> names = generate_small(work + "/many");
	comparison at_many = compare_small(morvet, floor, work + "/many", names, rounds);
	long small_peak = peak_memory(morvet, small, work);
	long large_peak = peak_memory(morvet, large, work);

	(void)std::printf("\n%-16s %12s %12s %8s\n", "file", "morvet", "floor", "ratio");
	print_ratio("2 MB", at_small, 0);
	print_ratio("20 MB", at_medium, target_20_ratio);
	std::string large_label = std::to_string(megabytes) + " MB";
	print_ratio(large_label.c_str(), at_large, target_large_ratio);
	print_ratio("1000 x 5-60 KB", at_many, target_small_ratio);
	print_ratio("20 MB, patched", again, target_again_ratio);
	(void)std::printf("(disk: write and sync at %.0f MB/s)\n", disk);
	(void)std::printf("\npeak memory, 2 MB      %ld KiB\n", small_peak);
	// The kernel's count of resident pages wobbles by a few hundred KiB
	// from run to run whatever the file; anything that grew with the file
	// would show as megabytes here.
	long difference = large_peak > small_peak ? large_peak - small_peak : small_peak - large_peak;
	bool same = difference <= 512;
	(void)std::printf("peak memory, %zu MB    %ld KiB (target <= %ld KiB and the same within 512 KiB: %s)\n",
	            megabytes, large_peak, target_memory_kib,
	            (large_peak <= target_memory_kib && small_peak <= target_memory_kib && same)
	                    ? "met" : "NOT met");
	std::string cleanup = "rm -rf '" + work + "'";
	if (std::system(cleanup.c_str()) != 0)
		(void)std::fprintf(stderr, "could not remove %s\n", work.c_str());
	return 0;
}

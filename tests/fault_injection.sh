#!/usr/bin/env bash
# Fault injection: runs the tool under strace, failing one system call at a
# time (a full disk at every write, a failed read, sync, rename, open,
# close...), or killing the process at every system call it makes, and
# checks after each run that the user's file is either exactly as it was or
# exactly the correct result, that success is never reported for a file
# left unchanged, and that no incomplete temporary file is left behind.
#
# The injected runs are independent of each other, so they run side by side,
# one per core (MORVET_FAULT_JOBS sets how many), each in directories of its
# own. A line per scenario and a count every 50 runs show the progress.
#
# Usage: fault_injection.sh PATH-TO-MORVET
# Exits 77 (skipped) where strace is missing or cannot trace.
set -u

morvet=$(realpath "$1")
if ! command -v strace >/dev/null 2>&1; then
	echo "SKIP: strace is not installed"
	exit 77
fi
if ! strace -f -qq -o /dev/null true 2>/dev/null; then
	echo "SKIP: strace cannot trace processes here"
	exit 77
fi

# LeakSanitizer cannot work under ptrace; in a sanitizer build it would
# turn every traced run into a failure and hide the runs that must succeed.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"

jobs=${MORVET_FAULT_JOBS:-$(nproc)}
scratch=$(mktemp -d)
shm_scratch=""
trap 'rm -rf "$scratch" ${shm_scratch:+"$shm_scratch"}' EXIT

passed=0
failed=0
fail() {
	failed=$((failed + 1))
	echo "FAIL: $*"
}

# A STAPL program of a few hundred kilobytes, so that the copy and the CRC
# pass each take several reads and writes.
make_input() {
	printf 'NOTE "CREATOR" "fault injection";\r\nDATA P;\r\n'
	printf 'BOOLEAN USE_RCK = 0;\r\nINTEGER freq = 1;\r\nENDDATA;\r\n'
	printf 'PROCEDURE DO_PROGRAM USES P;\r\n'
	for ((row = 0; row < 9000; row++)); do
		printf '\tDRSCAN 32, $%08X, CAPTURE row[31..0];\r\n' $((row * 2654435761 % 4294967296))
	done
	printf 'ENDPROC;\r\nCRC 1234;\r\n'
}

original="$scratch/original.stp"
make_input > "$original"
mkdir "$scratch/reference"
cp "$original" "$scratch/reference/board.stp"
if ! (cd "$scratch/reference" && "$morvet" board.stp); then
	echo "FAIL: the reference run itself failed"
	exit 1
fi
expected="$scratch/reference/board.stp"

# ---------------------------------------------------------------------------
# The checks. What a run must leave behind, and what a clean run's system
# calls must look like, each in a function of its own.

# After a run stopped by an injected fault: the user's file, the temporary
# file and any copy beside the input.
# $1: label; $2: how the process was stopped (error, signal or kill);
# $3: its exit status.
check_files() {
	local label=$1 kind=$2 status=$3
	local result="$inputdir/board.stp"
	local ok=1
	if cmp -s "$result" "$original"; then
		if [ "$status" -eq 0 ]; then
			fail "$label: reported success but left the file unpatched"
			ok=0
		fi
	elif ! cmp -s "$result" "$expected"; then
		fail "$label: the file is neither the original nor the correct result (status $status)"
		ok=0
	fi
	if [ "$kind" != kill ]; then
		local leftover="$workdir/\$\$out\$\$.stp"
		if [ -e "$leftover" ] && ! cmp -s "$leftover" "$expected"; then
			fail "$label: an incomplete temporary file was left behind"
			ok=0
		elif [ -e "$leftover" ] && [ "$kind" = error ] &&
			! { grep -qF "the patched result is in" "$casedir/stderr" &&
				grep -qE "can't (replace the file|name the result beside the file|make a copy beside the file)" "$casedir/stderr"; }; then
			# Kept only where placing it failed: after a failed sync it may
			# not be on the disk, and it stands in the next run's way.
			fail "$label: the result was kept after a failure other than its replacement"
			ok=0
		fi
		# A file the run could not remove (the old one, swapped out) must
		# be named on standard error, and be whole.
		local copy
		for copy in "$inputdir"/.morvet-*; do
			if [ -e "$copy" ] && { ! grep -qF "could not remove $copy" "$casedir/stderr" ||
				! { cmp -s "$copy" "$original" || cmp -s "$copy" "$expected"; }; }; then
				fail "$label: a partial copy was left beside the input"
				ok=0
			fi
		done
	else
		# A kill may leave beside the input only a whole file: the complete
		# result in the instant between naming it and swapping it with the
		# input, or the old file in the instant between that swap and its
		# removal.
		local copy
		for copy in "$inputdir"/.morvet-*; do
			if [ -e "$copy" ] && ! cmp -s "$copy" "$expected" && ! cmp -s "$copy" "$original"; then
				fail "$label: an incomplete copy was left beside the input"
				ok=0
			fi
		done
	fi
	if [ "$ok" -eq 1 ]; then
		passed=$((passed + 1))
	fi
}

# The order that makes the replacement survive a power cut, read from a
# clean run's trace ($trace): every byte of the result written, then the
# result synced, then the rename onto the input, then the input's directory
# synced.
check_durable_order() {
	local scenario=$1 problem
	problem=$(awk -v directory="$(realpath "$inputdir")" '
		{ sub(/^[0-9]+ +/, "") }
		/^(write|pwrite64|writev|pwritev)\(([3-9]|[1-9][0-9]+)</ { last_write = NR }
		/^(fsync|fdatasync)\([0-9]+</ {
			path = $0
			sub(/^[a-z]+\([0-9]+</, "", path)
			sub(/>\).*/, "", path)
			if (path == directory) {
				if (renamed) directory_synced = NR
			} else if (!renamed) {
				file_synced = NR
			}
		}
		/^rename(at2?)?\(.*[\/"]board\.stp"(, [A-Z_0]+)?\) = 0$/ { renamed = NR }
		END {
			if (!renamed) print "no rename onto the input"
			else if (file_synced <= last_write) print "the result was not synced after its last write, before the rename"
			else if (!directory_synced) print "the directory was not synced after the rename"
		}' "$trace")
	if [ -n "$problem" ]; then
		fail "$scenario: $problem"
	else
		passed=$((passed + 1))
	fi
}

# The error each system call of a clean run is failed with, if any: the
# one a real disk, file system or permission problem would give.
injected_error() {
	case "$1" in
	write) echo ENOSPC ;;
	read | pread64 | copy_file_range | sync_file_range | fsync | fdatasync | close | flock | fchmod | fchown | newfstatat | fstat | lseek) echo EIO ;;
	flistxattr | fgetxattr | fsetxattr | fremovexattr) echo EIO ;;
	openat | open | unlink | unlinkat | rename | renameat | renameat2 | linkat) echo EACCES ;;
	esac
}

# The system calls at which the run is also interrupted by SIGINT.
interrupted_at() {
	case "$1" in
	write | read | fsync | rename | openat) return 0 ;;
	esac
	return 1
}

# ---------------------------------------------------------------------------
# Running the tool. A scenario is a layout: where the tool runs and where
# the input lies. Every run gets the layout in a directory of its own.

workdir=""
inputdir=""
casedir=""
trace=""

# place LAYOUT NAME: sets the directories of the run called NAME.
place() {
	local layout=$1 name=$2
	casedir="$scratch/runs/$name"
	trace="$casedir/trace"
	case "$layout" in
	same) workdir="$casedir/work" inputdir="$casedir/work" ;;
	split) workdir="$casedir/work" inputdir="$casedir/files" ;;
	cross) workdir="$shm_scratch/runs/$name/work" inputdir="$casedir/files" ;;
	esac
}

prepare() {
	rm -rf "$workdir" "$inputdir"
	mkdir -p "$workdir" "$inputdir"
	cp "$original" "$inputdir/board.stp"
}

# Runs the tool under strace with the given injection and checks the files.
# $1: label; $2: how the process was stopped (error, signal or kill).
run_and_check() {
	local label=$1 kind=$2
	shift 2
	prepare
	local status=0
	(cd "$workdir" && strace -f -qq -o /dev/null "$@" "$morvet" "$inputdir/board.stp" \
		> "$casedir/stdout" 2>"$casedir/stderr" 3>&-) 2>/dev/null || status=$?
	check_files "$label" "$kind" "$status"
}

# Injected runs go to the background, at most $jobs at a time: a run takes
# a slot (a line in a FIFO on descriptor 3) before it starts and gives it
# back when done. The tool itself never gets the descriptor, so its own
# descriptors are numbered as in a run from a shell.
# Each writes its FAIL lines and its counts to a file of its own, read in
# order at the end.
mkdir "$scratch/results"
mkfifo "$scratch/slots"
exec 3<>"$scratch/slots"
for ((n = 0; n < jobs; n++)); do
	echo >&3
done
runs=0

# submit LAYOUT LABEL KIND STRACE-ARGUMENTS...: run_and_check in the background.
submit() {
	local layout=$1
	shift
	read -r -u 3
	runs=$((runs + 1))
	if [ "$runs" -gt "$jobs" ] && [ $(((runs - jobs) % 50)) -eq 0 ]; then
		echo "fault injection: $((runs - jobs)) runs checked"
	fi
	(
		passed=0 failed=0
		place "$layout" "$runs"
		run_and_check "$@"
		rm -rf "$casedir" ${shm_scratch:+"$shm_scratch/runs/$runs"}
		echo "counts $passed $failed"
		echo >&3
	) > "$scratch/results/$runs" 2>&1 &
}

# Waits for every injected run and adds up what they found.
collect() {
	wait
	local n line
	for ((n = 1; n <= runs; n++)); do
		while read -r line; do
			case "$line" in
			counts\ *)
				line=${line#counts }
				passed=$((passed + ${line% *}))
				failed=$((failed + ${line#* }))
				;;
			*) echo "$line" ;;
			esac
		done < "$scratch/results/$n"
	done
}

# run_scenario LAYOUT NAME: the clean runs are made and checked here; the
# injected runs they lead to are submitted.
run_scenario() {
	local layout=$1 scenario=$2
	local counts first=$((runs + 1))
	place "$layout" "$layout-clean"
	# Without a fault the run must succeed, also under strace.
	prepare
	if ! (cd "$workdir" && strace -f -qq -o /dev/null "$morvet" "$inputdir/board.stp" >/dev/null 3>&-) ||
		! cmp -s "$inputdir/board.stp" "$expected"; then
		fail "$scenario: a traced run without faults did not succeed"
	fi
	# How often a clean run makes each system call: "name count" lines. The
	# trace, with each descriptor's path, stays in $trace.
	prepare
	(cd "$workdir" && strace -f -qq -y -o "$trace" "$morvet" "$inputdir/board.stp" >/dev/null 3>&-)
	counts=$(sed -n 's/^[0-9]* *\([a-z0-9_]*\)(.*/\1/p' "$trace" | sort | uniq -c |
		awk '{ print $2, $1 }')
	check_durable_order "$scenario"
	# A directory that refuses O_TMPFILE gets a hidden named copy instead:
	# the open to refuse is found in a run where the link fails.
	prepare
	(cd "$workdir" && strace -f -qq -o "$trace" -e inject=linkat:error=EXDEV:when=1 \
		"$morvet" "$inputdir/board.stp" >/dev/null 3>&-)
	local tmpfile_open
	tmpfile_open=$(grep -E '^[0-9]+ +openat\(' "$trace" | grep -n O_TMPFILE | cut -d: -f1)

	local name count n error
	while read -r name count; do
		error=$(injected_error "$name")
		for ((n = 1; n <= count; n++)); do
			if [ -n "$error" ]; then
				submit "$layout" "$scenario: $name fails with $error at call $n" error \
					-e inject="$name:error=$error:when=$n"
			fi
			submit "$layout" "$scenario: killed at $name call $n" kill \
				-e inject="$name:signal=KILL:when=$n"
		done
		if interrupted_at "$name"; then
			for ((n = 1; n <= count; n++)); do
				submit "$layout" "$scenario: interrupted at $name call $n" signal \
					-e inject="$name:signal=INT:when=$n"
			done
		fi
	done <<< "$counts"
	# Every other signal whose default ends a run cleans up as an interrupt
	# does: in the copy, as the result is made durable, at the exchange;
	# 32 and 33 too, which the C library keeps for itself.
	local signal point
	for signal in HUP QUIT TERM USR1 USR2 ALRM VTALRM XCPU PROF 32 33; do
		for point in write fsync renameat2; do
			submit "$layout" "$scenario: $signal at the first $point" signal \
				-e inject="$point:signal=$signal:when=1"
		done
	done
	# Under a file-size limit a write fails like on a full disk.
	if command -v prlimit >/dev/null; then
		submit "$layout" "$scenario: a file-size limit" error prlimit --fsize=65536
	fi
	# A link that cannot cross filesystems sends the result the long way.
	submit "$layout" "$scenario: linkat fails with EXDEV" error -e inject=linkat:error=EXDEV:when=1
	if [ -n "$tmpfile_open" ]; then
		submit "$layout" "$scenario: linkat fails with EXDEV, O_TMPFILE refused" error \
			-e inject=linkat:error=EXDEV:when=1 -e inject=openat:error=EOPNOTSUPP:when="$tmpfile_open"
	fi
	echo "fault injection: $scenario: $((runs - first + 1)) injected runs"
}

# Without a lease (a user who may replace the file but not lease it) the
# run reads back what the exchange moved out: each of its reads failed in
# turn, and the run killed at each.
run_without_lease() {
	local scenario="same directory, no lease" lease_call reads n
	place same no-lease-clean
	prepare
	(cd "$workdir" && strace -f -qq -o "$trace" -e trace=fcntl "$morvet" "$inputdir/board.stp" >/dev/null 3>&-)
	lease_call=$(grep -E '^[0-9]+ +fcntl\(' "$trace" | grep -n 'F_SETLEASE, F_RDLCK' | cut -d: -f1)
	if [ -z "$lease_call" ]; then
		fail "$scenario: the run asked for no lease"
		return
	fi
	local no_lease="inject=fcntl:error=ENOLCK:when=$lease_call"
	prepare
	(cd "$workdir" && strace -f -qq -o "$trace" -e "$no_lease" -e trace=pread64,fcntl "$morvet" \
		"$inputdir/board.stp" >/dev/null 3>&-)
	reads=$(grep -cE '^[0-9]+ +pread64\(' "$trace")
	for ((n = 1; n <= reads; n++)); do
		submit same "$scenario: pread64 fails with EIO at call $n" error \
			-e "$no_lease" -e inject=pread64:error=EIO:when=$n
		submit same "$scenario: killed at pread64 call $n" kill \
			-e "$no_lease" -e inject=pread64:signal=KILL:when=$n
	done
	echo "fault injection: $scenario: $((2 * reads)) injected runs"
}

run_scenario same "same directory"
run_scenario split "other directory"
run_without_lease

shm_root=/dev/shm
if [ -d "$shm_root" ] && [ "$(stat -c %d "$shm_root")" != "$(stat -c %d "$scratch")" ]; then
	shm_scratch=$(mktemp -d "$shm_root/morvet-fault-XXXXXX")
	run_scenario cross "other filesystem"
else
	echo "SKIP: other filesystem: /dev/shm is missing or on the same filesystem as $scratch"
fi
collect
echo "fault injection: $runs injected runs checked"

# A run is one thread: a large file's run starts no other.
workdir="$scratch/large/work"
inputdir="$scratch/large/work"
big_original="$scratch/big.stp"
awk 'BEGIN {
	printf "NOTE \"CREATOR\" \"fault injection\";\r\nBOOLEAN USE_RCK = 0;\r\n"
	for (row = 0; row < 400000; row++)
		printf "\tDRSCAN 32, $%08X, CAPTURE row[31..0];\r\n", (row * 7919) % 4294967296
	printf "CRC 1234;\r\n"
}' > "$big_original"
prepare
cp "$big_original" "$inputdir/board.stp"
status=0
(cd "$workdir" && strace -f -qq -o "$scratch/trace" -e trace=clone,clone3,fork,vfork \
	"$morvet" board.stp > /dev/null 2>&1) || status=$?
if [ "$status" -ne 0 ] || cmp -s "$inputdir/board.stp" "$big_original"; then
	fail "one thread: the large file was not patched (status $status)"
elif grep -qE '^[0-9]* *(clone|clone3|fork|vfork)\(' "$scratch/trace"; then
	fail "one thread: the run started another: $(head -n 1 "$scratch/trace")"
else
	passed=$((passed + 1))
fi

# A large result goes to the disk while it is copied: each time the run
# starts that, failed or killed, leaves the input as it was and nothing
# incomplete that the run could remove.
prepare
cp "$big_original" "$inputdir/board.stp"
(cd "$workdir" && strace -qq -o "$scratch/trace" -e trace=sync_file_range "$morvet" board.stp \
	> /dev/null 2>&1)
writebacks=$(grep -cE '^sync_file_range\(' "$scratch/trace")
if [ "$(uname)" = Linux ] && [ "$writebacks" -lt 2 ]; then
	fail "write-back: a large result was not sent to the disk while it was copied"
fi
cp "$inputdir/board.stp" "$scratch/big_expected.stp"
# Each write-back failed or killed leaves the input as it was (a failure
# says so, and leaves no temporary file); a system that will not start the
# write early, or a kernel that stops copying midway, still gets the file
# patched exactly. "FAULT EXPECTED" pairs:
faults="sync_file_range:error=ENOSYS:when=1 patched sync_file_range:error=EPERM:when=2 patched
	copy_file_range:error=EXDEV:when=3 patched"
for ((n = 1; n <= writebacks; n++)); do
	faults+=" sync_file_range:error=EIO:when=$n failed sync_file_range:signal=KILL:when=$n killed"
done
set -- $faults
while [ $# -ge 2 ]; do
	fault=$1 expected=$2
	shift 2
	prepare
	cp "$big_original" "$inputdir/board.stp"
	status=0
	(cd "$workdir" && strace -qq -o /dev/null -e inject=$fault "$morvet" board.stp \
		> /dev/null 2> "$scratch/errors") 2>/dev/null || status=$?
	if [ "$expected" = patched ]; then
		[ "$status" -eq 0 ] && cmp -s "$inputdir/board.stp" "$scratch/big_expected.stp"
	else
		[ "$status" -ne 0 ] && cmp -s "$inputdir/board.stp" "$big_original" &&
			{ [ "$expected" = killed ] || { [ ! -e "$workdir/\$\$out\$\$.stp" ] &&
				grep -q "can't sync the temporary file" "$scratch/errors"; }; }
	fi && passed=$((passed + 1)) || fail "$fault: the large file was not $expected as it should be (status $status)"
done

# A run closes only what it opened. Standard input closed at the start
# makes the working directory's lock descriptor 0, so a stray close(0)
# after a file that is not written (one already patched) lets that lock go
# mid-run.
prepare
cp "$scratch/reference/board.stp" "$inputdir/done.stp"
status=0
(cd "$workdir" && strace -qq -o "$scratch/trace" -e trace=close,socket "$morvet" \
	"$inputdir/done.stp" "$inputdir/board.stp" > /dev/null 2>&1 <&-) || status=$?
lock=$(sed -n 's/^socket(.*) = \([0-9]*\)$/\1/p' "$scratch/trace")
if [ "$status" -ne 0 ] || sed -n '/^socket(/,$p' "$scratch/trace" | grep -q "^close(${lock:-x})"; then
	fail "closes: with standard input closed, the lock went mid-run (status $status)"
else
	passed=$((passed + 1))
fi

# A lock that cannot be listened on tells no other run who holds it: the
# run says that runs are not kept apart, as where there is no lock.
if [ "$(uname)" = Linux ]; then
	prepare
	status=0
	(cd "$workdir" && strace -qq -o /dev/null -e inject=listen:error=EADDRINUSE "$morvet" \
		"$inputdir/board.stp" > /dev/null 2> "$scratch/errors") || status=$?
	if [ "$status" -ne 0 ] || ! grep -q "cannot be locked" "$scratch/errors"; then
		fail "lock: a failed listen was not said (status $status)"
	else
		passed=$((passed + 1))
	fi
fi

echo "fault injection: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

#!/usr/bin/env bash
# The Windows builds: checks that both executables are console programs of
# the right architecture that need no DLL beyond Windows' own, then runs the
# end-to-end suite against the 64-bit one under Wine. (The 32-bit one cannot
# run on a kernel without 32-bit support, so it is only inspected.)
#
# Usage: windows_suite.sh E2E-TEST-BINARY WIN64-EXE WIN32-EXE
set -euo pipefail
e2e=$(realpath "$1")
win64=$(realpath "$2")
win32=$(realpath "$3")

# DLLs every Windows has; anything else would have to ship beside the exe.
system_dlls='^(KERNEL32|msvcrt|USER32|ADVAPI32|ntdll)\.dll$'

check_exe() { # check_exe EXE OBJDUMP FORMAT
	local exe=$1 objdump=$2 format=$3
	local headers
	headers=$("$objdump" -p "$exe")
	if ! grep -q "file format $format" <<<"$headers"; then
		echo "FAIL: $exe is not in the $format format"
		return 1
	fi
	if ! grep -q 'Subsystem.*(Windows CUI)' <<<"$headers"; then
		echo "FAIL: $exe is not a console program"
		return 1
	fi
	local dll
	for dll in $(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers"); do
		if ! grep -qiE "$system_dlls" <<<"$dll"; then
			echo "FAIL: $exe needs $dll"
			return 1
		fi
	done
	echo "ok: $exe is a $format console program using only system DLLs"
}

check_exe "$win64" x86_64-w64-mingw32-objdump pei-x86-64
check_exe "$win32" i686-w64-mingw32-objdump pei-i386

export WINEDEBUG=-all
# Names outside ASCII reach the program through the locale's encoding.
export LC_ALL=C.UTF-8
# One server for all the runs, and a prefix made before the first is timed.
# The server needs the prefix's directory, which a fresh machine lacks.
mkdir -p "${WINEPREFIX:-$HOME/.wine}"
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT
wine "$win64" --version

MORVET_RUNNER=wine MORVET_EXE="$win64" "$e2e"

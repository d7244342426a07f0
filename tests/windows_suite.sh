#!/usr/bin/env bash
# The Windows builds: checks that both executables are console programs of
# the right architecture that need no DLL beyond Windows' own and carry
# their manifest and version information, that each release zip holds
# exactly the stripped program, README.txt and LICENSE.txt, then runs the
# end-to-end suite against the 64-bit one under Wine. (The 32-bit one cannot
# run on a kernel without 32-bit support, so it is only inspected.)
#
# Usage: windows_suite.sh E2E-TEST-BINARY WIN64-EXE WIN32-EXE
set -euo pipefail
e2e=$(realpath "$1")
win64=$(realpath "$2")
win32=$(realpath "$3")
source_dir=$(realpath "$(dirname "$0")/..")
version=$(sed -n 's/^project(morvet VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

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

check_resources() { # check_resources EXE WINDRES
	local exe=$1 windres=$2 resources
	resources=$("$windres" -i "$exe" -O rc)
	local wanted
	for wanted in 'level="asInvoker"' '<longPathAware' \
		'{35138b9a-5d96-4fbd-8e2d-a2440225f93a}' '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}' \
		"VALUE \"FileVersion\", \"$version\"" "VALUE \"ProductVersion\", \"$version\"" \
		'VALUE "ProductName", "morvet"' \
		'VALUE "FileDescription", "Corvane STAPL file patch utility"'; do
		# The manifest comes out as string pieces: join them first.
		if ! tr -d '"\n' <<<"$resources" | grep -qF "$(tr -d '"' <<<"$wanted")"; then
			echo "FAIL: $exe lacks $wanted in its resources"
			return 1
		fi
	done
	echo "ok: $exe carries its manifest and version $version"
}

check_zip() { # check_zip ZIP NM
	local zip=$1 nm=$2 names
	names=$(unzip -Z1 "$zip" | sort | tr '\n' ' ')
	if [ "$names" != "LICENSE.txt README.txt morvet.exe " ]; then
		echo "FAIL: $zip holds $names"
		return 1
	fi
	rm -rf "$scratch/zip"
	unzip -q "$zip" -d "$scratch/zip"
	if ! "$nm" "$scratch/zip/morvet.exe" 2>&1 | grep -q 'no symbols'; then
		echo "FAIL: the morvet.exe in $zip is not stripped"
		return 1
	fi
	local text
	for text in README.txt LICENSE.txt; do
		# Plain ASCII, every line ending in CR LF, so that "type" shows it.
		if LC_ALL=C grep -q '[^[:print:][:space:]]' "$scratch/zip/$text" ||
			grep -q $'[^\r]$' "$scratch/zip/$text" || grep -qx '' "$scratch/zip/$text"; then
			echo "FAIL: $text in $zip is not plain ASCII text with CR LF line ends"
			return 1
		fi
	done
	echo "ok: $zip holds the stripped morvet.exe, README.txt and LICENSE.txt"
}

check_exe "$win64" x86_64-w64-mingw32-objdump pei-x86-64
check_exe "$win32" i686-w64-mingw32-objdump pei-i386
check_resources "$win64" x86_64-w64-mingw32-windres
check_resources "$win32" i686-w64-mingw32-windres
check_zip "$(dirname "$win64")/morvet-$version-win64.zip" x86_64-w64-mingw32-nm
check_zip "$(dirname "$win32")/morvet-$version-win32.zip" i686-w64-mingw32-nm

# The helper the Windows cases use to hold files, set attributes and run
# the tool from other drives.
helper="$scratch/windows_helper.exe"
x86_64-w64-mingw32-gcc -Wall -Wextra -Werror -O2 -municode -o "$helper" \
	"$source_dir/tests/windows_helper.c"

export WINEDEBUG=-all
# A prefix of the build's own, whose drive mappings the cases may change.
export WINEPREFIX="${MORVET_WINEPREFIX:-$(dirname "$win64")/wine-prefix}"
# Names outside ASCII reach the program through the locale's encoding.
export LC_ALL=C.UTF-8
# A prefix made before the first run is timed, and one server for all.
if [ ! -d "$WINEPREFIX" ]; then
	# It complains of the missing 32-bit loader, which only the 32-bit
	# build would need, and says so in its status.
	wineboot -i >/dev/null 2>&1 || true
	[ -d "$WINEPREFIX/drive_c" ] || { echo "FAIL: no Wine prefix at $WINEPREFIX"; exit 1; }
	wineserver -w
fi
# It fails only when a server for this prefix already runs, which serves.
wineserver -p || true
trap 'wineserver -k 2>/dev/null || true; rm -rf "$scratch"' EXIT
wine "$win64" --version

MORVET_RUNNER=wine MORVET_EXE="$win64" MORVET_WINDOWS_HELPER="$helper" "$e2e"

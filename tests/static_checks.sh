#!/usr/bin/env bash
# Static checks of the tool's code with the checked-in configurations:
# clang-tidy (.clang-tidy) on every source file, the Windows layer through
# the MinGW-w64 headers, and cppcheck (suppressions in .cppcheck).
#
# Usage: static_checks.sh BUILD-DIRECTORY-WITH-compile_commands.json
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1

echo "clang-tidy: POSIX sources"
clang-tidy --quiet -p "$build" src/crc16.cpp src/diff.cpp src/plan.cpp \
	src/report.cpp src/platform_posix.cpp src/morvet.cpp bench/floor.cpp bench/bench.cpp

mingw=/usr/lib/gcc/x86_64-w64-mingw32
version=$(ls "$mingw" 2>/dev/null | grep -m1 win32 || true)
if [ -n "$version" ]; then
	echo "clang-tidy: the Windows layer"
	clang-tidy --quiet src/platform_windows.cpp src/arguments_windows.cpp -- --target=x86_64-w64-mingw32 -std=c++17 \
		-DUNICODE -D_UNICODE -DWIN32_LEAN_AND_MEAN -D_WIN32_WINNT=0x0601 \
		-isystem "$mingw/$version/include/c++" \
		-isystem "$mingw/$version/include/c++/x86_64-w64-mingw32" \
		-isystem /usr/x86_64-w64-mingw32/include
else
	echo "FAIL: the MinGW-w64 headers are missing, the Windows layer is unchecked"
	exit 1
fi

echo "cppcheck"
cppcheck --quiet --error-exitcode=1 --std=c++17 --inline-suppr \
	--enable=warning,style,performance,portability \
	--suppressions-list=.cppcheck -I src src bench fuzz
echo "static checks: clean"

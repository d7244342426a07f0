#!/usr/bin/env bash
# The program and its demo need only a compiler and CMake. With GoogleTest
# out of CMake's reach, a plain configuration builds the program and the
# demo and leaves the tests out, while asking for the tests
# (MORVET_TESTS=ON, as the test presets do) stops with an error.
#
# Usage: without_gtest_check.sh [SCRATCH-BUILD-DIRECTORY]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/without-gtest}
hide=-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON
rm -rf "$build" "$build-tests-on"

output=$(cmake -S . -B "$build" "$hide" -DMORVET_BENCH=OFF -DMORVET_WERROR=ON 2>&1) || {
	echo "$output"
	echo "FAIL: the configuration without GoogleTest failed"
	exit 1
}
if ! grep -q 'GoogleTest not found: the tests are not built' <<<"$output"; then
	echo "$output"
	echo "FAIL: the configuration did not say the tests are left out"
	exit 1
fi
cmake --build "$build" --target demo
if [ -e "$build/tests" ]; then
	echo "FAIL: the tests were configured without GoogleTest"
	exit 1
fi

if output=$(cmake -S . -B "$build-tests-on" "$hide" -DMORVET_TESTS=ON 2>&1); then
	echo "$output"
	echo "FAIL: MORVET_TESTS=ON configured without GoogleTest"
	exit 1
elif ! grep -q 'GoogleTest was not found' <<<"$output"; then
	echo "$output"
	echo "FAIL: MORVET_TESTS=ON failed without saying GoogleTest is missing"
	exit 1
fi
rm -rf "$build" "$build-tests-on"
echo "without GoogleTest: the program and the demo build, the tests are left out, and ON refuses"

#!/usr/bin/env bash
# Builds the committed HEAD twice, in two clones at different paths and at
# different times, and compares the release outputs byte for byte: the
# Linux program and the Debian package and, where MinGW-w64 is installed,
# both Windows programs and their zips. Says which file differs, if any.
#
# Usage: reproducible_check.sh (uncommitted changes are not part of it)
set -euo pipefail
source_dir=$(realpath "$(dirname "$0")/..")
commit=$(git -C "$source_dir" rev-parse HEAD)
version=$(sed -n 's/^project(morvet VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
arch=$(dpkg --print-architecture)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
# Each build takes the time it stamps from the commit, not from here.
unset SOURCE_DATE_EPOCH

if [ -n "$(git -C "$source_dir" status --porcelain --untracked-files=no)" ]; then
	echo "note: uncommitted changes are not built; checking $commit"
fi

outputs=(build/tool/morvet "build/tool/morvet_${version}_${arch}.deb")
workflows=(package)
if command -v x86_64-w64-mingw32-g++-win32 >/dev/null && command -v i686-w64-mingw32-g++-win32 >/dev/null; then
	outputs+=(build/mingw-x86_64/morvet.exe "build/mingw-x86_64/morvet-$version-win64.zip"
		build/mingw-i686/morvet.exe "build/mingw-i686/morvet-$version-win32.zip")
	workflows+=(windows-x86_64 windows-i686)
else
	echo "SKIP: the Windows builds: MinGW-w64 is not installed"
fi

build() { # build DIRECTORY: a clone of the commit, built by the release workflows
	local tree=$1 workflow
	echo "building $commit in $tree"
	git clone -q --no-checkout "$source_dir" "$tree"
	git -C "$tree" checkout -q --detach "$commit"
	for workflow in "${workflows[@]}"; do
		if ! (cd "$tree" && cmake --workflow --preset "$workflow") >>"$tree.log" 2>&1; then
			tail -n 40 "$tree.log"
			echo "FAIL: cmake --workflow --preset $workflow failed in $tree"
			exit 1
		fi
	done
}

first="$scratch/first/morvet"
second="$scratch/a/second/build/somewhere/else/morvet"
mkdir -p "$(dirname "$first")" "$(dirname "$second")"
build "$first"
# Whole seconds apart at least, even on a fast machine.
sleep 2
build "$second"

same=0
different=0
for output in "${outputs[@]}"; do
	if cmp "$first/$output" "$second/$output"; then
		echo "identical: $output"
		same=$((same + 1))
	else
		echo "FAIL: $output differs between the two builds"
		different=$((different + 1))
	fi
done
echo "reproducible builds: $same identical, $different different"
[ "$different" -eq 0 ]

#!/usr/bin/env bash
# The Debian package as a user gets it: its file name, its control fields,
# the files it installs, what lintian says of it, and the program in it run
# from where dpkg-deb unpacks it, on a copy of the example.
#
# Usage: package_check.sh BUILD-DIRECTORY (where "cmake --workflow --preset
# package" left the .deb: build/tool)
set -euo pipefail
build=$(realpath "$1")
source_dir=$(realpath "$(dirname "$0")/..")
version=$(sed -n 's/^project(morvet VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
arch=$(dpkg --print-architecture)
deb="$build/morvet_${version}_${arch}.deb"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

failed=0
fail() {
	echo "FAIL: $*"
	failed=$((failed + 1))
}

if [ ! -f "$deb" ]; then
	echo "FAIL: no package named $(basename "$deb") in $build"
	exit 1
fi
echo "$deb:"
dpkg-deb -I "$deb"
listing=$(dpkg-deb -c "$deb")
echo "$listing"

# The files, where Debian wants them and owned by root.
for path in ./usr/bin/morvet ./usr/share/man/man1/morvet.1.gz \
	./usr/share/doc/morvet/README.md ./usr/share/doc/morvet/copyright \
	./usr/share/doc/morvet/changelog.gz; do
	grep -q " $path\$" <<<"$listing" || fail "the package lacks $path"
done
if awk '{ print $2 }' <<<"$listing" | grep -qv '^root/root$'; then
	fail "the package has files not owned by root"
fi
if awk '{ print $6 }' <<<"$listing" | grep -qvE '^\./(usr/.*)?$'; then
	fail "the package installs files outside /usr"
fi

# The control fields.
field() {
	dpkg-deb --field "$deb" "$1"
}
[ "$(field Package)" = morvet ] || fail "Package is $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version is $(field Version), not $version"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is $(field Architecture)"
[ "$(field Section)" = utils ] || fail "Section is $(field Section)"
grep -qE '^[^<>]+ <[^<>@ ]+@[^<>@ ]+>$' <<<"$(field Maintainer)" || fail "Maintainer is $(field Maintainer)"
[ "$(field Description | wc -l)" -ge 2 ] || fail "the description has no long text"

dpkg-deb -x "$deb" "$scratch/root"
program="$scratch/root/usr/bin/morvet"

# Depends names the package of every library the program is linked to.
depends=$(field Depends)
for library in $(objdump -p "$program" | awk '$1 == "NEEDED" { print $2 }'); do
	path=$(ldd "$program" | awk -v library="$library" '$1 == library { print $3 }')
	owner=$({ dpkg -S "$path" 2>/dev/null || dpkg -S "$(realpath "$path")"; } | head -n 1 | cut -d: -f1)
	if ! grep -qE "(^|, )$owner( |,|$)" <<<"$depends"; then
		fail "Depends ($depends) does not name $owner, which has $library"
	fi
done

if ! nm "$program" 2>&1 | grep -q 'no symbols'; then
	fail "the packaged program is not stripped"
fi
gzip -t "$scratch/root/usr/share/man/man1/morvet.1.gz" || fail "the manual page is not a valid gzip file"
changelog="$scratch/root/usr/share/doc/morvet/changelog.gz"
if ! gzip -t "$changelog"; then
	fail "the changelog is not a valid gzip file"
elif ! latest=$(dpkg-parsechangelog -l- -SVersion < <(gzip -dc "$changelog")) ||
	[ "$latest" != "$version" ]; then
	fail "the changelog's latest entry is for version ${latest:-(none)}, not $version"
fi

# Debian's own checker: any error or warning it reports fails the check
# (its informational tags do not). It says when it runs as root; that goes
# to standard error and is no tag.
if command -v lintian >/dev/null 2>&1; then
	if ! tags=$(lintian --fail-on none "$deb"); then
		fail "lintian could not check the package"
	fi
	[ -z "$tags" ] || echo "$tags"
	if grep -qE '^[EW]: ' <<<"$tags"; then
		fail "lintian reports errors or warnings (the E: and W: lines above)"
	else
		echo "lintian: no errors, no warnings"
	fi
else
	echo "SKIP: lintian is not installed (Debian package lintian): the package is not checked by it"
fi

# The program runs from the package: it says its version and patches a
# copy of the example.
if ! output=$("$program" --version) || ! grep -qF "$version" <<<"$output"; then
	fail "morvet --version said: $output"
fi
mkdir "$scratch/work"
cp "$source_dir/examples/flash_program.stp" "$scratch/work/"
if ! (cd "$scratch/work" && "$program" flash_program.stp); then
	fail "the packaged morvet failed on a copy of the example"
elif cmp -s "$source_dir/examples/flash_program.stp" "$scratch/work/flash_program.stp"; then
	fail "the packaged morvet left the example unchanged"
fi

if [ "$failed" -eq 0 ]; then
	echo "package check: $(basename "$deb") is complete and its program works"
fi
[ "$failed" -eq 0 ]

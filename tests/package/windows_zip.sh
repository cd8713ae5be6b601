#!/usr/bin/env bash
# windows_zip.sh BUILD_DIR VERSION LIBXCRYPT_VERSION EMULATOR...: makes the Windows zip from the
# build and checks it: its name, that it holds exactly the program, the README, the licence, and
# libxcrypt's licence and source note (naming LIBXCRYPT_VERSION, or when that is empty the source
# version of the installed libcrypt-dev, which the Linux build links), and that the program
# unpacked from it runs on its own (under EMULATOR, wine) and prints the usage message.
set -euo pipefail
(($# >= 4)) || { echo "usage: $0 BUILD_DIR VERSION LIBXCRYPT_VERSION EMULATOR..." >&2; exit 2; }
build=$1 version=$2 libxcrypt_version=$3
shift 3
if [[ -z $libxcrypt_version ]]; then
    libxcrypt_version=$(dpkg-query -W --showformat='${source:Version}' libcrypt-dev)
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G ZIP -B "$work" > "$work/cpack.log") || { cat "$work/cpack.log" >&2; fail "cpack -G ZIP failed"; }
name=credbatch-$version-win64
zip=$work/$name.zip
[[ -f $zip ]] || fail "no $name.zip; cpack made: $(cd "$work" && ls)"

# Files only, sorted; directory entries end in a slash.
listing=$(cd "$work" && cmake -E tar tf "$zip" | grep -v '/$' | LC_ALL=C sort | tr '\n' ' ')
expected="$name/LICENSE $name/README.md $name/credbatch.exe $name/libxcrypt/COPYING.LIB $name/libxcrypt/LICENSING $name/libxcrypt/SOURCE.txt "
[[ $listing == "$expected" ]] || fail "the zip holds: $listing
expected exactly: $expected"

mkdir "$work/unpacked"
(cd "$work/unpacked" && cmake -E tar xf "$zip")
top=$work/unpacked/$name
for file in LICENSE README.md; do
    [[ -s $top/$file ]] || fail "$file in the zip is empty"
done
grep -q 'GNU LESSER GENERAL PUBLIC LICENSE' "$top/libxcrypt/COPYING.LIB" || fail "libxcrypt/COPYING.LIB is not the LGPL"
grep -qF "source package libxcrypt, version $libxcrypt_version " "$top/libxcrypt/SOURCE.txt" ||
    fail "libxcrypt/SOURCE.txt does not name Debian's libxcrypt $libxcrypt_version: $(cat "$top/libxcrypt/SOURCE.txt")"
grep -qF "apt-get source libxcrypt=$libxcrypt_version" "$top/libxcrypt/SOURCE.txt" ||
    fail "libxcrypt/SOURCE.txt does not say how to fetch the source"

# Run from the unpacked folder, away from the build tree: any DLL it needed would be missing.
status=0
(cd "$top" && "$@" credbatch.exe > "$work/stdout" 2> "$work/stderr") || status=$?
((status == 1)) || fail "credbatch.exe from the zip, without an argument: status $status, expected 1; stderr: $(cat "$work/stderr")"
first=$(head -n 1 "$work/stderr" | tr -d '\r')
[[ $first == "Usage: credbatch.exe input_file" ]] || fail "credbatch.exe from the zip printed '$first', expected its usage message"
[[ ! -s $work/stdout ]] || fail "credbatch.exe from the zip wrote to standard output: $(cat "$work/stdout")"
echo "$name.zip: $listing"

#!/usr/bin/env bash
# windows_zip.sh BUILD_DIR VERSION EMULATOR...: makes the Windows zip from the build and checks it:
# its name; that it holds exactly the two programs, their manual pages in HTML, the README, the
# licence, and for each library linked into them its licence and source note; that each note names
# the Debian source version of the -dev package the Linux build links, or, where that source
# cannot be fetched, another one APT lists; and that both programs unpacked from it run on their
# own (under EMULATOR, wine).
set -euo pipefail
(($# >= 3)) || { echo "usage: $0 BUILD_DIR VERSION EMULATOR..." >&2; exit 2; }
build=$1 version=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G ZIP -B "$work" > "$work/cpack.log") || { cat "$work/cpack.log" >&2; fail "cpack -G ZIP failed"; }
name=credbatch-$version-win64
zip=$work/$name.zip
[[ -f $zip ]] || fail "no $name.zip; cpack made: $(cd "$work" && ls)"

# folder | Debian source package | the -dev package the Linux build links | its licence files |
# a line that licence begins with or holds
libraries=(
    "libxcrypt|libxcrypt|libcrypt-dev|COPYING.LIB LICENSING|GNU LESSER GENERAL PUBLIC LICENSE"
    "openssl|openssl|libssl-dev|LICENSE.txt|Apache License"
    "sqlite|sqlite3|libsqlite3-dev|LICENSE.md|The author disclaims copyright to this source code."
    "libpq|postgresql-15|libpq-dev|COPYRIGHT|PostgreSQL Database Management System"
    "mariadb|mariadb|libmariadb-dev|COPYING.LIB|GNU LESSER GENERAL PUBLIC LICENSE"
)

# Files only, sorted; directory entries end in a slash.
listing=$(cd "$work" && cmake -E tar tf "$zip" | grep -v '/$' | LC_ALL=C sort | tr '\n' ' ')
expected="$name/LICENSE $name/README.md $name/credbatch-apply.exe $name/credbatch.exe $name/credbatch-apply.html $name/credbatch.html "
for entry in "${libraries[@]}"; do
    IFS='|' read -r folder package dev licences marker <<< "$entry"
    for file in $licences SOURCE.txt; do
        expected+="$name/$folder/$file "
    done
done
expected=$(tr ' ' '\n' <<< "$expected" | grep . | LC_ALL=C sort | tr '\n' ' ')
[[ $listing == "$expected" ]] || fail "the zip holds: $listing
expected exactly: $expected"

mkdir "$work/unpacked"
(cd "$work/unpacked" && cmake -E tar xf "$zip")
top=$work/unpacked/$name
for file in LICENSE README.md; do
    [[ -s $top/$file ]] || fail "$file in the zip is empty"
done
# The manual pages that the usage lines name, whole.
grep -q 'id="On_Windows"' "$top/credbatch-apply.html" && grep -q 'id="SEE_ALSO"' "$top/credbatch-apply.html" ||
    fail "credbatch-apply.html is not the manual page"
grep -q 'id="SECURITY_CONSIDERATIONS"' "$top/credbatch.html" || fail "credbatch.html is not the manual page"
for entry in "${libraries[@]}"; do
    IFS='|' read -r folder package dev licences marker <<< "$entry"
    grep -qF "$marker" "$top/$folder/${licences%% *}" || fail "$folder/${licences%% *} is not the licence it should be"
    wanted=$(dpkg-query -W --showformat='${source:Version}' "$dev")
    source_note=$top/$folder/SOURCE.txt
    if ! grep -qF "source package $package, version $wanted " "$source_note"; then
        # Debian's security suite does not always serve the source of what it installed: then
        # another version APT lists.
        found=
        for other in $(apt-cache showsrc --only-source "$package" | sed -n 's/^Version: //p'); do
            ! grep -qF "source package $package, version $other " "$source_note" || found=$other
        done
        [[ -n $found ]] ||
            fail "$folder/SOURCE.txt names neither $package $wanted (of the installed $dev) nor another version APT lists: $(head -n 3 "$source_note")"
        wanted=$found
    fi
    grep -qF "apt-get source $package=$wanted" "$source_note" || fail "$folder/SOURCE.txt does not say how to fetch the source"
done

# Run from the unpacked folder, away from the build tree: any DLL they needed would be missing.
status=0
(cd "$top" && "$@" credbatch.exe > "$work/stdout" 2> "$work/stderr") || status=$?
((status == 1)) || fail "credbatch.exe from the zip, without an argument: status $status, expected 1; stderr: $(cat "$work/stderr")"
first=$(head -n 1 "$work/stderr" | tr -d '\r')
[[ $first == "Usage: credbatch.exe input_file" ]] || fail "credbatch.exe from the zip printed '$first', expected its usage message"
[[ ! -s $work/stdout ]] || fail "credbatch.exe from the zip wrote to standard output: $(cat "$work/stdout")"
# The apply opens a SQLite file it was given, which needs the linked library whole.
printf '%s\n' "UPDATE DT511 SET DI059177 = '\$2a\$10\$$(printf '%053d' 1)' WHERE DI010323 = 'alice';" > "$top/update.sql"
sqlite3 "$top/users.db" "CREATE TABLE DT511 (DI010323 TEXT PRIMARY KEY, DI059177 TEXT); INSERT INTO DT511 VALUES ('alice', 'old')"
status=0
(cd "$top" && "$@" credbatch-apply.exe sqlite --check update.sql users.db > "$work/stdout" 2> "$work/stderr") || status=$?
said=$(tr -d '\r' < "$work/stdout")
((status == 0)) && [[ $said == "checked apply: each of the 1 statements changed exactly one row; checked only: rolled back" ]] ||
    fail "credbatch-apply.exe from the zip, --check on a SQLite file: status $status, said '$said'; stderr: $(cat "$work/stderr")"
echo "$name.zip: $listing"

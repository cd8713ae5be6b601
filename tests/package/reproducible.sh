#!/usr/bin/env bash
# reproducible.sh SOURCE_DIR GENERATOR PROGRAMS FIRST_BUILD CONFIGURE_ARGUMENT...
#
# Checks that two builds of the source give the same bytes: the programs PROGRAMS (one word, or
# several in one argument) in the build tree (with their debug information), the package CPack's GENERATOR (DEB or ZIP) makes,
# and the package's SHA-256 file, which must also match its package. FIRST_BUILD is a built tree to
# compare with, or - to configure and build a first tree as well. Each new tree is configured with
# `cmake -S SOURCE_DIR -B TREE CONFIGURE_ARGUMENT...`.
#
# The two builds differ in everything a verifier's machine may differ in: the build trees' names
# and depths, the time, the umask and the time zone; SOURCE_DATE_EPOCH is unset, so the commit's
# time is taken as it would be on a fresh clone. No build may hold the path of its source or build
# tree. On a difference, the output names the file inside the package that differs and how.
set -euo pipefail
shopt -s nullglob
(($# >= 4)) || { echo "usage: $0 SOURCE_DIR GENERATOR PROGRAMS FIRST_BUILD CONFIGURE_ARGUMENT..." >&2; exit 2; }
source_dir=$1 generator=$2 first=$4
read -ra programs <<< "$3"
shift 4
configure=("$@")
unset SOURCE_DATE_EPOCH
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*" >&2; failed=1; }

# build TREE: configures and builds TREE from the source, as the README's commands do.
build() {
    local tree=$1 start=$SECONDS
    cmake -S "$source_dir" -B "$tree" "${configure[@]}" > "$tree.log" 2>&1 &&
        cmake --build "$tree" --parallel "$(nproc)" >> "$tree.log" 2>&1 || { cat "$tree.log" >&2; echo "FAIL: building $tree failed" >&2; exit 1; }
    echo "built $tree in $((SECONDS - start)) s"
}

# package TREE OUT: makes the package from TREE into OUT and prints its path.
package() {
    local tree=$1 out=$2 packages
    mkdir -p "$out"
    (cd "$tree" && cpack -G "$generator" -B "$out") > "$out.log" 2>&1 || { cat "$out.log" >&2; echo "FAIL: cpack -G $generator in $tree failed" >&2; exit 1; }
    packages=("$out"/*.deb "$out"/*.zip)
    ((${#packages[@]} == 1)) || { echo "FAIL: cpack -G $generator made ${#packages[@]} packages in $out: $(ls "$out")" >&2; exit 1; }
    echo "${packages[0]}"
}

# zip_listing ZIP: one line per entry, everything a zip records of it but its data, in its order.
zip_listing() {
    python3 - "$1" <<'EOF'
import sys, zipfile
for i in zipfile.ZipFile(sys.argv[1]).infolist():
    print(i.filename, "time", i.date_time, "mode", oct(i.external_attr >> 16), "attributes", hex(i.external_attr & 0xffff),
          "system", i.create_system, "method", i.compress_type, "extra", i.extra.hex() or "none")
EOF
}

# explain A B NAME: says how the files A and B (both called NAME) differ, looking inside packages
# and archives down to the file that differs.
explain() {
    local a=$1 b=$2 name=$3 da db member
    cmp -s "$a" "$b" && return 0
    da=$(mktemp -d "$work/a.XXXX") db=$(mktemp -d "$work/b.XXXX")
    # NAME is the path inside the packages, as PACKAGE:MEMBER:FILE; the last part says what it is.
    case ${name##*:} in
    *.deb)
        (cd "$da" && ar x "$a") && (cd "$db" && ar x "$b")
        diff <(ar tv "$a") <(ar tv "$b") > "$work/listing" ||
            echo "  $name: the members' names, order, modes, owners or times differ:"$'\n'"$(head -n 20 "$work/listing")"
        for member in $(ar t "$a"); do
            [[ -f $db/$member ]] && explain "$da/$member" "$db/$member" "$name:$member"
        done
        ;;
    *.tar | *.tar.*)
        tar -xf "$a" -C "$da" && tar -xf "$b" -C "$db"
        diff <(tar -tvf "$a" --full-time --numeric-owner) <(tar -tvf "$b" --full-time --numeric-owner) > "$work/listing" ||
            echo "  $name: the entries' names, order, modes, owners or times differ:"$'\n'"$(head -n 20 "$work/listing")"
        compare_trees "$da" "$db" "$name"
        ;;
    *.zip)
        (cd "$da" && cmake -E tar xf "$a") && (cd "$db" && cmake -E tar xf "$b")
        diff <(zip_listing "$a") <(zip_listing "$b") > "$work/listing" ||
            echo "  $name: the entries' names, order, modes, times or extra fields differ:"$'\n'"$(head -n 20 "$work/listing")"
        compare_trees "$da" "$db" "$name"
        ;;
    *)
        echo "  $name differs: $(cmp "$a" "$b" 2>&1 | sed 's|^.* differ: ||')"
        # A program that differs mostly differs by a path or a time: show the strings that do, and
        # the headers (a PE file's link time, say).
        if diff <(strings -n 6 "$a") <(strings -n 6 "$b") > "$work/strings"; then
            echo "    (no printable string differs)"
        else
            sed -n '1,12s/^/    /p' "$work/strings"
        fi
        if objdump -p "$a" > "$work/headers-a" 2> /dev/null && objdump -p "$b" > "$work/headers-b" 2> /dev/null; then
            sed -i 1,2d "$work/headers-a" "$work/headers-b" # the file's name
            diff "$work/headers-a" "$work/headers-b" > "$work/headers" && echo "    (no header differs)" ||
                sed -n '1,12s/^/    headers: /p' "$work/headers"
        fi
        ;;
    esac
}

# compare_trees A B NAME: explains every file that differs between the unpacked trees A and B.
compare_trees() {
    local file
    diff <(cd "$1" && find . | LC_ALL=C sort) <(cd "$2" && find . | LC_ALL=C sort) > /dev/null ||
        echo "  $3: not the same files inside"
    while IFS= read -r file; do
        [[ -f $2/$file ]] && explain "$1/$file" "$2/$file" "$3:${file#./}"
    done < <(cd "$1" && find . -type f | LC_ALL=C sort)
}

# same A B NAME: passes when A and B are the same bytes, else says where they differ.
same() {
    if cmp -s "$1" "$2"; then
        echo "same: $3 ($(sha256sum < "$1" | cut -d' ' -f1))"
    else
        fail "$3 differs between the two builds"
        explain "$1" "$2" "$3" >&2
    fi
}

# Two trees of different names and depths, neither of them a prefix of the other.
tree_a=$work/a
tree_b=$work/second/build.of.credbatch/at-another-depth
mkdir -p "$(dirname "$tree_b")"
if [[ $first == - ]]; then
    (umask 022 && build "$tree_a")
else
    tree_a=$first
fi
(umask 077 && export TZ=Pacific/Kiritimati && build "$tree_b")
start=$SECONDS
package_a=$(umask 022 && package "$tree_a" "$work/package-a")
package_b=$(umask 077 && export TZ=Pacific/Kiritimati && package "$tree_b" "$work/package-b")
echo "packaged both in $((SECONDS - start)) s"

for program in "${programs[@]}"; do
    for tree in "$tree_a" "$tree_b"; do
        for path in "$tree" "$source_dir"; do
            count=$({ grep -a -o -F "$path" "$tree/$program" || true; } | wc -l)
            ((count == 0)) || fail "$tree/$program holds the path $path ($count times)"
        done
    done
    same "$(realpath "$tree_a/$program")" "$(realpath "$tree_b/$program")" "$program"
done
same "$package_a" "$package_b" "$(basename "$package_a")"
same "$package_a.sha256" "$package_b.sha256" "$(basename "$package_a").sha256"
for package in "$package_a" "$package_b"; do
    (cd "$(dirname "$package")" && sha256sum --check --quiet "$(basename "$package").sha256") ||
        fail "$package.sha256 does not match its package"
done
exit "$failed"

#!/usr/bin/env bash
# run.sh TOOL SOURCE_DIR: the README's quick path, run as written, so that the README cannot drift
# from the tool or the checked apply. The quick path is every fenced block before the README's
# "## PostgreSQL and MariaDB":
#   - the two commands, checked against .ci/run rather than run (they install packages): the first
#     command's packages are among .ci/run's, and the rest of it (configure, build, run) is a line
#     of .ci/run; the second is `bash .ci/run`; the test command shown is .ci/run's last line;
#   - every later ```sh block is run with bash, in order, in one directory laid out as a clone
#     after the first command (examples/ and apply/ from SOURCE_DIR, TOOL as build/credbatch); a
#     block that only installs packages is checked against .ci/run's list instead;
#   - a ```text block right after a ```sh block is what that block prints (standard output and
#     error together), compared line for line; bcrypt hashes are compared by identity, the first
#     one shown being <hash 1> and so on, so that a hash read back from the table must be the one
#     the script holds. Such a block that ends "nothing was committed" shows a failing command,
#     and the block must fail; every other block must succeed;
#   - the manual pages the README opens with `man -l` are there, in the build or the source tree.
# Exit status 0 when all holds, 77 when sqlite3 is missing (the case is skipped), 1 otherwise.
set -uo pipefail
tool=${1:?usage: run.sh TOOL SOURCE_DIR}
source_dir=${2:?usage: run.sh TOOL SOURCE_DIR}
readme=$source_dir/README.md
ci=$source_dir/.ci/run

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

command -v sqlite3 >/dev/null || { echo "SKIPPED: sqlite3 is missing (Debian: sqlite3)" >&2; exit 77; }

work=$(mktemp -d "${TMPDIR:-/tmp}/credbatch-readme-test.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The quick path's fenced blocks, one file each: NNN.LANG (LANG empty for a plain block).
mkdir "$work/blocks"
awk -v dir="$work/blocks" '
    /^## PostgreSQL and MariaDB$/ { exit }
    !inside && /^```/ { inside = 1; n++; file = sprintf("%s/%03d.%s", dir, n, substr($0, 4)); printf "" > file; next }
    inside && /^```$/ { inside = 0; close(file); next }
    inside { print > file }
' "$readme"
blocks=("$work"/blocks/*)
[ "${#blocks[@]}" -ge 4 ] || { echo "FAIL: $readme: no quick path found" >&2; exit 1; }

# .ci/run's package list, and its lines.
ci_packages=" $(sed -n '/^packages=(/,/^)/p' "$ci" | sed 's/#.*//; s/packages=(//; s/)//' | tr -s ' \n' ' ') "
ci_last=$(grep -v '^[[:space:]]*$' "$ci" | tail -n 1)

# check_installs PACKAGES...: each is among .ci/run's.
check_installs() {
    local package
    for package in "$@"; do
        [[ $ci_packages == *" $package "* ]] || fail "the README installs $package, which .ci/run does not"
    done
}

# normalise FILE NAMES: FILE with its bcrypt hashes numbered by first appearance, in $normalised;
# NAMES (readme_hashes or run_hashes) keeps the numbers across the README's blocks or across the
# run's outputs, so that both sides number the same hashes alike.
declare -A readme_hashes=() run_hashes=()
normalise() {
    local -n names=$2
    local line hash
    normalised=
    while IFS= read -r line || [ -n "$line" ]; do
        while [[ $line =~ \$2[aby]\$[0-9][0-9]\$[./A-Za-z0-9]{53} ]]; do
            hash=${BASH_REMATCH[0]}
            [ -n "${names[$hash]:-}" ] || names[$hash]="<hash $((${#names[@]} + 1))>"
            line=${line//"$hash"/${names[$hash]}}
        done
        normalised+=$line$'\n'
    done < "$1"
}

# The clone after the first command.
clone=$work/clone
mkdir -p "$clone/build"
cp -R "$source_dir/examples" "$clone/examples"
ln -s "$source_dir/apply" "$clone/apply"
ln -s "$(cd "$(dirname "$tool")" && pwd)/$(basename "$tool")" "$clone/build/credbatch"

commands=0
tested=0
for ((i = 0; i < ${#blocks[@]}; i++)); do
    block=${blocks[i]}
    lang=${block##*.}
    text=$(<"$block")
    if [ "$lang" = sh ]; then
        commands=$((commands + 1))
    fi
    if [ "$lang" = sh ] && [ "$commands" -eq 1 ]; then
        # The first command: package installs, then the tool-only build and a run, which .ci/run runs.
        [[ $text == "apt-get update && apt-get install -y --no-install-recommends "*" && cmake "* ]] \
            || { fail "the first command is not 'apt-get update && apt-get install ... && cmake ...': $text"; continue; }
        installs=${text#apt-get update && apt-get install -y --no-install-recommends }
        rest="cmake ${installs#* && cmake }"
        installs=${installs%% && cmake *}
        read -r -a packages <<<"$installs"
        check_installs "${packages[@]}"
        grep -qxF -- "$rest" "$ci" || fail ".ci/run does not run the first command's build as the README writes it: $rest"
        echo "checked: the first command against .ci/run"
        continue
    fi
    if [ "$lang" = sh ] && [ "$commands" -eq 2 ]; then
        [ "$text" = "bash .ci/run" ] || fail "the second command is not 'bash .ci/run': $text"
        echo "checked: the second command"
        continue
    fi
    if [ "$lang" != sh ]; then
        if [[ $text == "cmake --workflow "* ]]; then
            [ "$text" = "$ci_last" ] || fail "the README's test command is not .ci/run's last line:"$'\n'"  README:   $text"$'\n'"  .ci/run: $ci_last"
            tested=1
            echo "checked: the test command against .ci/run"
        fi
        continue
    fi
    if [[ $text =~ ^apt-get\ install\ -y\ --no-install-recommends\ ([a-z0-9.+ -]+)$ ]]; then
        read -r -a packages <<<"${BASH_REMATCH[1]}"
        check_installs "${packages[@]}"
        echo "checked: block $((i + 1)) installs packages that .ci/run installs: ${packages[*]}"
        continue
    fi

    # A command block: run it, and compare what it prints with the block after it, if one is shown.
    failures_before=$failures
    expected=
    if [ $((i + 1)) -lt ${#blocks[@]} ] && [ "${blocks[i + 1]##*.}" = text ]; then
        expected=${blocks[i + 1]}
    fi
    (cd "$clone" && bash -e -o pipefail -c "$text") > "$work/output" 2>&1
    status=$?
    if [ -n "$expected" ]; then
        normalise "$expected" readme_hashes && want=$normalised
        normalise "$work/output" run_hashes && got=$normalised
        if [ "$got" != "$want" ]; then
            fail "block $((i + 1)) prints other than the README shows:"$'\n'"$text"$'\n'"$(diff <(printf '%s\n' "$want") <(printf '%s\n' "$got") | sed 's/^/  /')"
        fi
        if [[ $want == *$'nothing was committed\n' ]]; then
            [ "$status" -ne 0 ] || fail "block $((i + 1)) shows a failing command, yet exits with status 0:"$'\n'"$text"
        else
            [ "$status" -eq 0 ] || fail "block $((i + 1)) exits with status $status:"$'\n'"$text"$'\n'"$(sed 's/^/  /' "$work/output")"
        fi
    else
        [ "$status" -eq 0 ] || fail "block $((i + 1)) exits with status $status:"$'\n'"$text"$'\n'"$(sed 's/^/  /' "$work/output")"
    fi
    [ "$failures" -ne "$failures_before" ] || echo "ok: block $((i + 1)): ${text%%$'\n'*}"
done
# The pages the README tells a reader of this clone to open with man -l are where it says: build/
# is the first command's build, anything else is in the source tree.
build_dir=$(cd "$(dirname "$tool")" && pwd)
while read -r page; do
    case $page in
        build/*) file=$build_dir/${page#build/} where="the build does not make" ;;
        *) file=$source_dir/$page where="the source tree does not hold" ;;
    esac
    if [ -f "$file" ]; then
        echo "checked: the README's man -l $page"
    else
        fail "the README opens $page, which $where"
    fi
done < <(sed -n 's/^man -l \([^ ]*\)$/\1/p' "$readme")

[ "$commands" -ge 3 ] || fail "the README's quick path has no block after its two commands"
[ "$tested" -eq 1 ] || fail "the README shows no test command"
[ "$failures" -eq 0 ] || exit 1

#!/usr/bin/env bash
# run.sh TOOL SOURCE_DIR [--servers]: the README's quick path, run as written, so that the README
# cannot drift from the tool or the checked apply. The quick path is every fenced block before the
# README's "## A first checked apply on a server":
#   - the two commands, checked against .ci/run rather than run (they install packages): the first
#     command's packages are among .ci/run's, and the rest of it (configure, build, run) is a line
#     of .ci/run; the second is `bash .ci/run`; the test command shown is .ci/run's last line;
#   - every later ```sh block is run with bash, in order, in one directory laid out as a clone
#     after the first command (examples/ from SOURCE_DIR, TOOL as build/credbatch and the
#     credbatch-apply beside TOOL as build/credbatch-apply); a block that only installs packages is
#     checked against .ci/run's list instead;
#   - a ```text block right after a ```sh block is what that block prints (standard output and
#     error together), compared line for line; bcrypt hashes are compared by identity, the first
#     one shown being <hash 1> and so on, so that a hash read back from the table must be the one
#     the script holds. Such a block that ends "nothing was committed" shows a failing command,
#     and the block must fail; every other block must succeed;
#   - the files the walk-through writes that hold passwords or hashes (update.sql, users.txt) are
#     readable by their owner alone, as the README's umask makes them;
#   - the manual pages the README opens with `man -l` are there, in the build or the source tree.
# With --servers, the blocks of "## A first checked apply on a server" follow, in the same clone, as
# a newcomer on a bare Debian 12 would run them after the quick path, against throwaway servers
# (tests/db/servers.sh) that stand in for Debian's PostgreSQL and MariaDB services:
#   - a block whose first line is `service ...` starts the services and makes root's role; it is
#     not run, and must hold only `service NAME start` lines, each naming an init script that
#     command 2's packages installed, and `su - USER -c '...'` lines, each naming a user that exists;
#   - every other block runs as written, its output compared as above; the connection arguments
#     it does not give come from the environment, as they would on Debian: PGHOST and PGUSER name
#     the throwaway PostgreSQL's socket directory and superuser (for root's role and Debian's
#     socket), and HOME holds a .my.cnf that names the throwaway MariaDB's socket (for Debian's),
#     whose root, like Debian's, is the account of the system's root, with no password.
# Exit status 0 when all holds, 77 when sqlite3 is missing (the case is skipped), 1 otherwise.
set -uo pipefail
usage="usage: run.sh TOOL SOURCE_DIR [--servers]"
tool=${1:?$usage}
source_dir=${2:?$usage}
servers=0
case ${3:-} in
    "") ;;
    --servers) servers=1 ;;
    *) echo "$usage" >&2; exit 2 ;;
esac
readme=$source_dir/README.md
ci=$source_dir/.ci/run
apply=$(dirname "$tool")/credbatch-apply

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

command -v sqlite3 >/dev/null || { echo "SKIPPED: sqlite3 is missing (Debian: sqlite3)" >&2; exit 77; }
[ -x "$apply" ] || { echo "FAIL: $apply, which the README's first command builds beside $tool, is missing" >&2; exit 1; }

server_section='## A first checked apply on a server'
grep -qxF "$server_section" "$readme" || { echo "FAIL: $readme has no '$server_section'" >&2; exit 1; }
if ((servers)); then
    # It sets work, the servers' directory, and the trap that stops them and removes it.
    # shellcheck source-path=SCRIPTDIR source=../db/servers.sh
    source "$source_dir/tests/db/servers.sh"
    scratch=$work/readme
    mkdir "$scratch"
else
    scratch=$(mktemp -d "${TMPDIR:-/tmp}/credbatch-readme-test.XXXXXX")
    trap 'rm -rf "$scratch"' EXIT
fi

# The fenced blocks, one file each: NNN.LANG (LANG empty for a plain block); the quick path's, and
# with --servers the server section's after them.
mkdir "$scratch/blocks"
awk -v dir="$scratch/blocks" -v section="$server_section" -v servers="$servers" '
    $0 == section { if (!servers) exit; in_servers = 1 }
    in_servers && /^## / && $0 != section { exit }
    !inside && /^```/ { inside = 1; n++; file = sprintf("%s/%03d.%s", dir, n, substr($0, 4)); printf "" > file; next }
    inside && /^```$/ { inside = 0; close(file); if (in_servers) print n > (dir "/server-blocks"); next }
    inside { print > file }
' "$readme"
server_blocks=" $(tr '\n' ' ' 2>/dev/null < "$scratch/blocks/server-blocks")"
rm -f "$scratch/blocks/server-blocks"
blocks=("$scratch"/blocks/*)
[ "${#blocks[@]}" -ge 4 ] || { echo "FAIL: $readme: no quick path found" >&2; exit 1; }
if ((servers)); then
    [ "$server_blocks" != " " ] || { echo "FAIL: $readme: '$server_section' shows no commands" >&2; exit 1; }
    start_servers fast
    export PGHOST=$run PGUSER=credbatch HOME=$scratch/home
    mkdir "$HOME"
    # As root the account is the login name, as with Debian's unix_socket login; anyone else is
    # root by name.
    printf '[client]\nsocket=%s\n' "$run/mysqld.sock" > "$HOME/.my.cnf"
    ((EUID == 0)) || echo 'user=root' >> "$HOME/.my.cnf"
fi

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
clone=$scratch/clone
mkdir -p "$clone/build"
cp -R "$source_dir/examples" "$clone/examples"
ln -s "$(cd "$(dirname "$tool")" && pwd)/$(basename "$tool")" "$clone/build/credbatch"
ln -s "$(cd "$(dirname "$apply")" && pwd)/credbatch-apply" "$clone/build/credbatch-apply"

# check_service_block TEXT: the block that starts Debian's services, which is not run here, names
# init scripts and users that are there.
check_service_block() {
    local line name
    while IFS= read -r line; do
        if [[ $line =~ ^service\ ([a-z0-9.-]+)\ start$ ]]; then
            name=${BASH_REMATCH[1]}
            [ -x "/etc/init.d/$name" ] || fail "the README starts the service $name, which no installed package provides (/etc/init.d/$name)"
        elif [[ $line =~ ^su\ -\ ([a-z_][a-z0-9_-]*)\ -c\ \'[^\']+\'$ ]]; then
            name=${BASH_REMATCH[1]}
            getent passwd "$name" >/dev/null || fail "the README runs a command as the user $name, who does not exist"
        else
            fail "a block that starts the servers, which this test does not run, holds another command: $line"
        fi
    done <<<"$1"
}

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
    if [[ $server_blocks == *" $((i + 1)) "* && $text == "service "* ]]; then
        failures_before=$failures
        check_service_block "$text"
        [ "$failures" -ne "$failures_before" ] || echo "checked, not run (the throwaway servers stand in): block $((i + 1)): ${text%%$'\n'*}"
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
    (cd "$clone" && bash -e -o pipefail -c "$text") > "$scratch/output" 2>&1
    status=$?
    if [ -n "$expected" ]; then
        normalise "$expected" readme_hashes && want=$normalised
        normalise "$scratch/output" run_hashes && got=$normalised
        if [ "$got" != "$want" ]; then
            fail "block $((i + 1)) prints other than the README shows:"$'\n'"$text"$'\n'"$(diff <(printf '%s\n' "$want") <(printf '%s\n' "$got") | sed 's/^/  /')"
        fi
        if [[ $want == *$'nothing was committed\n' ]]; then
            [ "$status" -ne 0 ] || fail "block $((i + 1)) shows a failing command, yet exits with status 0:"$'\n'"$text"
        else
            [ "$status" -eq 0 ] || fail "block $((i + 1)) exits with status $status:"$'\n'"$text"$'\n'"$(sed 's/^/  /' "$scratch/output")"
        fi
    else
        [ "$status" -eq 0 ] || fail "block $((i + 1)) exits with status $status:"$'\n'"$text"$'\n'"$(sed 's/^/  /' "$scratch/output")"
    fi
    [ "$failures" -ne "$failures_before" ] || echo "ok: block $((i + 1)): ${text%%$'\n'*}"
done
# The walk-through's files that hold passwords or hashes: the README's umask must come before them.
for file in update.sql users.txt; do
    if [ ! -f "$clone/$file" ]; then
        fail "the walk-through wrote no $file"
    elif [ -n "$(find "$clone/$file" -perm /077)" ]; then
        fail "the walk-through leaves $file readable by others: $(stat -c %A "$clone/$file")"
    else
        echo "checked: $file is readable by its owner alone"
    fi
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

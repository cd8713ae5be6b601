#!/usr/bin/env bash
# run.sh TOOL [MANUAL]: credbatch(1)'s many-machines recipe, run as written against OpenSSH servers
# on loopback addresses (fixture.sh), with TOOL as the credbatch installed everywhere:
#   a. a few hundred users over ':', hash1 and hash2: every user once, in order, every hash
#      verifies, status 0;
#   b. a machine dies while it hashes a block: the block is redone elsewhere, the script is complete
#      and in order, status 0; and no password is ever written to a file, here or while the
#      block waits for its retry (strace);
#   c. the same without --retries: the script is incomplete and the status says so;
#   d. a rejected line in a later block: its message names the block, and the manual page's
#      arithmetic leads back to the input line;
#   e. a machine stops answering while it hashes a block (its processes are frozen, as when its
#      network is gone): with the keep-alive the manual page asks for in the ssh configuration, the
#      block is redone elsewhere instead of being waited for without end.
# With MANUAL (man/credbatch.1.in), it first checks that the page, rendered by mandoc, shows the
# recipe character for character, in its display's indentation.
# Exit status 0 when every case passed. Takes about 55 seconds on an idle 2-core machine: each
# line costs a real bcrypt hash (~50 ms), and so does checking one.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=fixture.sh
source "$here/fixture.sh"

tool=${1:?usage: run.sh TOOL [MANUAL]}
manual=${2:-}

# The recipe exactly as the manual page gives it; the test adds only --ssh, to reach its own servers.
read -r -d '' recipe <<'RECIPE' || true
parallel --pipe --keep-order -N 100 --retries 3 --sshlogin :,hash1,hash2 \
    'bash -o pipefail -c "credbatch /dev/stdin 2>&1 >&3 | sed \"s/^/block {#}: /\" >&2" 3>&1' \
    < users.txt > update.sql
RECIPE
block_lines=$(sed -n 's/.* -N \([0-9]*\) .*/\1/p' <<<"$recipe")
without_retries=${recipe/ --retries 3/}

work=$(mktemp -d "${TMPDIR:-/tmp}/credbatch-ssh-test.XXXXXX")
background=
cleanup() {
    # A recipe still running (a case failed halfway) goes first, then the servers.
    if [ -n "$background" ]; then
        ssh_fixture_kill_tree "$background" KILL
    fi
    ssh_fixture_stop
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM
trap 'exit 130' INT

current=setup
fail() {
    echo "FAIL: $current: $*" >&2
    exit 1
}

# A user's own parallel settings ($PARALLEL, ~/.parallel/config) would change what the recipe
# does; the test runs it as a fresh account would.
unset PARALLEL
export PARALLEL_HOME=$work/parallel-home
mkdir -p "$PARALLEL_HOME"

for program in parallel perl strace sed setpriv; do
    command -v "$program" >/dev/null || { echo "FAIL: $program is not installed" >&2; exit 1; }
done

# COUNT users, "user0001 pass-0001-word" and so on: passwords that are easy to find in a trace.
make_users() {
    local i
    for ((i = 1; i <= $1; i++)); do
        printf 'user%04d pass-%04d-word\n' "$i" "$i"
    done
}

# Runs the recipe TEXT in DIR (which holds users.txt) in the background, PREFIX (e.g. strace) in
# front of parallel; sets $background to its PID.
start_recipe() {
    local dir=$1 text=$2 prefix=${3:-}
    [[ $text == parallel\ * ]] || fail "the recipe does not start with parallel"
    # exec, so that the PID is the recipe's own, and it dies with this shell if that is killed.
    (cd "$dir" && eval "exec setpriv --pdeathsig KILL $prefix parallel --ssh 'ssh -F $SSH_FIXTURE_CONFIG' ${text#parallel }" 2>"$dir/messages") &
    background=$!
}

# Waits for the recipe; sets $status.
finish_recipe() {
    status=0
    wait "$background" || status=$?
    background=
}

run_recipe() {
    start_recipe "$@"
    finish_recipe
}

# Waits until one of the MACHINES hashes a block and prints "MACHINE PID" of that credbatch.
block_running_on() {
    local machine pid _
    for _ in $(seq 300); do
        for machine in "$@"; do
            pid=$(ssh_fixture_running "$machine" | head -n 1)
            if [ -n "$pid" ]; then
                echo "$machine $pid"
                return 0
            fi
        done
        kill -0 "$background" 2>/dev/null || break
        sleep 0.1
    done
    return 1
}

# Kills (or with "freeze", stops) the remote machine that is hashing a block, a second into it,
# while the block is still in flight; sets $victim to its name.
kill_a_busy_machine() {
    local pid
    read -r victim pid < <(block_running_on hash1 hash2) || fail "no block ever ran on hash1 or hash2"
    sleep 1
    [ -d "/proc/$pid" ] || fail "$victim's block ended before the machine could be stopped"
    if [ "${1:-}" = freeze ]; then
        ssh_fixture_freeze_host "$victim"
    else
        ssh_fixture_kill_host "$victim"
    fi
}

all_runs() {
    echo $(($(ssh_fixture_runs local) + $(ssh_fixture_runs hash1) + $(ssh_fixture_runs hash2)))
}

show_messages() {
    sed 's/^/    /' "$1/messages" >&2
}

if [ -n "$manual" ]; then
    current="manual page"
    shown=$(mandoc -T ascii "$manual" | sed 's/.\x08//g') || fail "mandoc cannot render $manual"
    indent=$(grep -F -m 1 -- "${recipe%%$'\n'*}" <<<"$shown" | sed 's/[^ ].*//')
    [[ $shown == *"$(sed "s/^/$indent/" <<<"$recipe")"* ]] || fail "$manual does not show the recipe this test runs:"$'\n'"$recipe"
fi

# begin_case NAME [USERS]: a case's own directory, USERS users in its users.txt, servers up.
begin_case() {
    case_start=$SECONDS
    current=$1
    dir=$work/${1%%.*} && mkdir "$dir"
    [ -z "${2:-}" ] || make_users "$2" > "$dir/users.txt"
    ssh_fixture_start "$tool" 2
}

# end_case [DETAIL]: servers down, and the case reported.
end_case() {
    ssh_fixture_stop
    echo "ok ($((SECONDS - case_start)) s): $current${1:+ ($1)}"
}

begin_case "a. recipe over three machines" 300
run_recipe "$dir" "$recipe"
[ "$status" -eq 0 ] || { show_messages "$dir"; fail "exit status $status"; }
[ ! -s "$dir/messages" ] || { show_messages "$dir"; fail "messages on a clean input"; }
perl "$here/check_script.pl" "$dir/users.txt" "$dir/update.sql" || fail "the script is wrong (above)"
for machine in local hash1 hash2; do
    [ "$(ssh_fixture_runs "$machine")" -ge 1 ] || fail "$machine hashed no block: the work was not spread"
done
end_case

begin_case "b. a machine dies, with retries" 200
# Every write of the local processes (parallel, its helpers, ssh, the local credbatch) is traced
# with its data and what the descriptor is.
start_recipe "$dir" "$recipe" \
    "strace -f -qq -yy -s 65536 -o '$dir/trace' -e trace=write,writev,pwrite64,pwritev,pwritev2"
kill_a_busy_machine
finish_recipe
[ "$status" -eq 0 ] || { show_messages "$dir"; fail "exit status $status after a retry"; }
perl "$here/check_script.pl" "$dir/users.txt" "$dir/update.sql" 10 || fail "the script is wrong (above)"
[ "$(all_runs)" -gt 2 ] || fail "no block was run again after $victim died: $(all_runs) runs for 2 blocks"
# Any write that carries a password goes to a pipe or a socket, never to a path (a file, even an
# unlinked one, or a device). The trace must have seen the first password of every block, or
# the check proves nothing.
perl -ne '
    next unless /^\d+\s+\w+\((\d+)<([^>]*)>/;
    my $target = $2;
    while (/pass-(\d{4})-word/g) {
        $seen{$1} = 1;
        if ($target =~ m{^/}) { print STDERR "    password $1 written to $target\n"; $bad = 1 }
    }
    END {
        for my $first ("0001", "0101") {
            $seen{$first} or do { print STDERR "    the trace never saw password $first\n"; $bad = 1 };
        }
        exit($bad ? 1 : 0);
    }' "$dir/trace" || fail "passwords outside pipes and sockets (above)"
end_case

begin_case "c. a machine dies, without retries" 200
start_recipe "$dir" "$without_retries"
kill_a_busy_machine
finish_recipe
# parallel's status is the number of blocks that failed (101 for more than 100); 255 would be
# parallel's own failure, not the lost block.
{ [ "$status" -ge 1 ] && [ "$status" -le 101 ]; } || fail "exit status $status, expected the count of failed blocks"
statements=$(wc -l < "$dir/update.sql")
[ "$statements" -lt 200 ] || fail "$statements statements although $victim died halfway through a block"
end_case "$victim killed: status $status, $statements of 200 statements"

begin_case "d. a rejected line in a later block"
# Blank and whitespace-only lines count as lines on both sides of the arithmetic, so some sit in
# front of the bad line, in its block and in earlier ones.
make_users 105 | awk '
    NR == 50 { print ""; next }
    NR == 102 { print "   "; next }
    NR == 104 { printf "bad\001user pass-0104-word\n"; next }
    { print }' > "$dir/users.txt"
grep -v -e '^ *$' -e $'\x01' "$dir/users.txt" > "$dir/expected.txt"
run_recipe "$dir" "$recipe"
[ "$status" -eq 1 ] || { show_messages "$dir"; fail "exit status $status, expected 1 (one block failed)"; }
perl "$here/check_script.pl" "$dir/expected.txt" "$dir/update.sql" 10 || fail "the script is wrong (above)"
[ "$(wc -l < "$dir/messages")" -eq 1 ] || { show_messages "$dir"; fail "expected exactly one message"; }
message=$(<"$dir/messages")
[[ $message =~ ^block\ ([0-9]+):\ credbatch:\ line\ ([0-9]+):\ user\ name\ contains\ a\ control\ character$ ]] ||
    fail "message without its block: $message"
line=$(((BASH_REMATCH[1] - 1) * block_lines + BASH_REMATCH[2]))
sed -n "${line}p" "$dir/users.txt" | grep -q $'\x01' || fail "'$message' leads to input line $line, which is not the bad one"
# A block with a rejected line fails wherever it runs: parallel tries it three times.
[ "$(all_runs)" -eq 4 ] || fail "$(all_runs) runs for 2 blocks, expected 4 (the bad block three times)"
end_case "'$message' is input line $line"

begin_case "e. a machine stops answering, with retries" 200
start_recipe "$dir" "$recipe"
kill_a_busy_machine freeze
# ssh gives up after four unanswered keep-alives a second apart; a recipe still running long
# after that is waiting for the frozen machine.
for _ in $(seq 60); do
    kill -0 "$background" 2>/dev/null || break
    sleep 1
done
kill -0 "$background" 2>/dev/null && fail "still waiting for $victim a minute after it stopped answering"
finish_recipe
[ "$status" -eq 0 ] || { show_messages "$dir"; fail "exit status $status after a retry"; }
perl "$here/check_script.pl" "$dir/users.txt" "$dir/update.sql" 10 || fail "the script is wrong (above)"
end_case "$victim frozen"

echo "5 passed, 0 failed"

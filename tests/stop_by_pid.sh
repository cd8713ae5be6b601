# shellcheck shell=bash
# Sourced by tests/db/run.sh and tests/ssh/fixture.sh: stopping what a test started, by PID and
# never by name, so that nothing else on the machine is touched.
#
#   pid_descendants PID        every process below PID, deepest first, from /proc's child lists
#   kill_pid_tree PID SIGNAL   KILLs everything below PID, then sends PID SIGNAL, and reaps it
#   stop_pid PID SIGNAL GUARD  while "GUARD PID" succeeds (the PID is still the process meant):
#                              sends SIGNAL, waits up to 10 s for it to go, then KILLs it; reaps it

pid_descendants() {
    local child
    # shellcheck disable=SC2013 # the lists hold PIDs separated by spaces
    for child in $(cat "/proc/$1/task/"*/children 2>/dev/null); do
        pid_descendants "$child"
        echo "$child"
    done
}

# PID is stopped first so that it forks nothing new while its tree is being read; once it is gone
# its orphans could not be found any more.
kill_pid_tree() {
    local pid=$1 signal=$2 tree
    kill -STOP "$pid" 2>/dev/null || return 0
    tree=$(pid_descendants "$pid")
    # shellcheck disable=SC2086
    [ -z "$tree" ] || kill -KILL $tree 2>/dev/null || true
    kill "-$signal" "$pid" 2>/dev/null || true
    kill -CONT "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

stop_pid() {
    local pid=$1 signal=$2 guard=$3
    "$guard" "$pid" || return 0
    kill "-$signal" "$pid" 2>/dev/null || return 0
    for _ in $(seq 100); do
        "$guard" "$pid" || break
        sleep 0.1
    done
    ! "$guard" "$pid" || kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

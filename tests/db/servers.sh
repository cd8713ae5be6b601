# shellcheck shell=bash
# Sourced by tests/db/run.sh and bench/apply_overhead: a throwaway PostgreSQL and a throwaway
# MariaDB in one temporary directory, listening only on Unix sockets there and stopped by PID on
# every way out. As root they run as nobody, since PostgreSQL refuses root. PG_BINDIR overrides
# where the PostgreSQL server programs are looked for.
#
#   start_servers fast|durable   makes $work, with both sockets in $run, starts both servers and
#                                waits until they answer; "fast" gives up durability for speed, as
#                                tests may, "durable" keeps every commit's flush, as a benchmark must
#
# It sets pg_bin, work and run, and the traps that stop the servers and remove $work.

# shellcheck source=../stop_by_pid.sh
source "$(dirname "${BASH_SOURCE[0]}")/../stop_by_pid.sh"

pg_bin=${PG_BINDIR:-$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1 || true)}
mariadbd=$(command -v mariadbd || echo /usr/sbin/mariadbd)
for program in "$pg_bin/initdb" "$pg_bin/postgres" "$pg_bin/pg_isready" "$pg_bin/psql" "$mariadbd" \
               "$(command -v mariadb-install-db || echo mariadb-install-db)" "$(command -v mariadb || echo mariadb)"; do
    [[ -x $program ]] || { echo "FAIL: $program is missing (Debian: postgresql-15 mariadb-server-core mariadb-client-core)" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/credbatch-db.XXXXXX")
run=$work/run        # both sockets
started_pids=()    # PID:signal to stop it with

# A PID is signalled only while its command line names this run's directory: bash reaps a child
# that exits early, and its PID may then belong to someone else.
ours() { [[ -r /proc/$1/cmdline ]] && tr '\0' ' ' <"/proc/$1/cmdline" 2>/dev/null | grep -qF "$work/"; }

# The processes this run left: in this script's process group and naming this run's directory.
# mariadb-install-db, for one, leaves its bootstrap server behind when it is interrupted.
our_group=$(read -r line </proc/$$/stat && fields=(${line##*) }) && echo "${fields[2]}")
leftovers() {
    local stat line pid fields
    for stat in /proc/[0-9]*/stat; do
        { read -r line <"$stat"; } 2>/dev/null || continue
        fields=(${line##*) })
        pid=${stat#/proc/}
        pid=${pid%/stat}
        if [[ ${fields[2]} == "$our_group" ]] && ours "$pid"; then
            echo "$pid"
        fi
    done
}

stop_servers() {
    local status=$?
    local entry pid
    for entry in "${started_pids[@]}"; do
        stop_pid "${entry%:*}" "${entry#*:}" ours
    done
    for _ in $(seq 100); do
        [[ -n $(leftovers) ]] || break
        sleep 0.1
    done
    for pid in $(leftovers); do
        kill -KILL "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
    exit "$status"
}
trap stop_servers EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

as_server=()
mkdir -p "$run" "$work/pg" "$work/mariadb"
if ((EUID == 0)); then
    as_server=(setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups --)
    chmod 711 "$work"
    chown nobody: "$run" "$work/pg" "$work/mariadb"
fi

die() {
    echo "FAIL: $1" >&2
    [[ -z ${2:-} ]] || tail -n 30 "$2" >&2
    exit 1
}

# wait_until_ready NAME PID LOG COMMAND...: COMMAND succeeds within 30 s, or the run fails.
wait_until_ready() {
    local name=$1 pid=$2 log=$3
    shift 3
    for _ in $(seq 300); do
        # Gone, not merely not ours yet: until the child has exec'd the server, its command line
        # is this shell's own.
        kill -0 "$pid" 2>/dev/null || die "$name exited while starting; its log:" "$log"
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    die "$name did not accept connections within 30 s; its log:" "$log"
}

start_servers() {
    local initdb_fast=() pg_fast=() my_fast=()
    if [[ $1 == fast ]]; then
        initdb_fast=(--no-sync)
        pg_fast=(-c fsync=off)
        my_fast=(--innodb-buffer-pool-size=16M --innodb-flush-log-at-trx-commit=0)
    fi
    # The two data directories are made side by side, since each takes a second or two.
    "${as_server[@]}" "$pg_bin/initdb" -D "$work/pg/data" --username=credbatch --auth=trust --encoding=UTF8 --no-locale \
        "${initdb_fast[@]}" >"$work/initdb.log" 2>&1 &
    local initdb_pid=$!
    started_pids+=("$initdb_pid:TERM")
    "${as_server[@]}" mariadb-install-db --no-defaults --datadir="$work/mariadb/data" --auth-root-authentication-method=normal \
        --skip-test-db --skip-name-resolve >"$work/mariadb-install.log" 2>&1 &
    local install_pid=$!
    started_pids+=("$install_pid:TERM")
    wait "$initdb_pid" || die "initdb failed:" "$work/initdb.log"
    wait "$install_pid" || die "mariadb-install-db failed:" "$work/mariadb-install.log"

    "${as_server[@]}" "$pg_bin/postgres" -D "$work/pg/data" -k "$run" -c listen_addresses= "${pg_fast[@]}" \
        >"$work/postgres.log" 2>&1 &
    local postgres_pid=$!
    started_pids+=("$postgres_pid:INT")    # a fast shutdown
    "${as_server[@]}" "$mariadbd" --no-defaults --datadir="$work/mariadb/data" --socket="$run/mysqld.sock" \
        --pid-file="$run/mysqld.pid" --skip-networking --log-error="$work/mariadbd.log" "${my_fast[@]}" >/dev/null 2>&1 &
    local mariadbd_pid=$!
    started_pids+=("$mariadbd_pid:TERM")
    wait_until_ready PostgreSQL "$postgres_pid" "$work/postgres.log" "$pg_bin/pg_isready" -q -h "$run" -U credbatch -d postgres
    wait_until_ready MariaDB "$mariadbd_pid" "$work/mariadbd.log" \
        mariadb --no-defaults --socket="$run/mysqld.sock" --user=root -e 'SELECT 1'
}

#!/usr/bin/env bash
# sessions.sh TOOL APPLY: the checked apply (APPLY, a command of one or more words) when its session
# meets another one: stopped by a signal while a row lock holds it, its connection killed during
# the COMMIT, a deadlock with a second apply, a password asked for on a terminal or read from a
# file, option files that set the session up their own way. Every case checks the apply's lines,
# its exit status and what the table holds afterwards. TOOL (credbatch) writes the hashes.
#
# Nothing here waits a fixed time: each step waits for what the servers or the kernel report (a
# session waiting on a lock, a journal file, a signal taken), with a bound after which the case
# fails.
# Exit status 0 when every check passes; 1 when one fails or a server cannot be started.
set -euo pipefail

# sessions.sh TOOL APPLY windows CONSOLE_STOP: credbatch-apply.exe (APPLY: wine and the program)
# instead, over TCP; TOOL is credbatch.exe under wine. Only the console's stop request is tried,
# Ctrl+C pressed by CONSOLE_STOP (tests/console_stop.cpp) while a row lock holds the apply: the
# other cases need POSIX signals, /proc of the apply or a terminal, and wine cannot press
# Ctrl+Break.
windows=0
if (($# == 4)) && [[ $3 == windows ]]; then
    windows=1
    console_stop=$(readlink -f "$4")
elif (($# != 2)); then
    echo "usage: $0 TOOL APPLY-COMMAND [windows CONSOLE_STOP]" >&2
    exit 2
fi
read -ra tool <<<"$1"
read -ra apply <<<"$2"
((windows)) || tool[0]=$(readlink -f "${tool[0]}")
[[ -x ${tool[-1]} || -f ${tool[-1]} ]] || { echo "FAIL: $1 is not an executable" >&2; exit 1; }
((${#apply[@]} > 0)) || { echo "FAIL: no apply command given" >&2; exit 1; }
if ((${#apply[@]} == 1)); then
    apply[0]=$(readlink -f "${apply[0]}")
fi
for program in python3 sqlite3 awk; do
    command -v "$program" >/dev/null || { echo "FAIL: $program is missing (Debian: python3 sqlite3 mawk)" >&2; exit 1; }
done

started=$EPOCHREALTIME
# shellcheck source=servers.sh
source "$(dirname "$0")/servers.sh"
start_servers fast

failures=0
fail() {
    printf 'FAIL: %s\n' "$1" >&2
    failures=$((failures + 1))
}
pass() { printf 'ok: %s\n' "$1"; }
show() { sed 's/^/    | /' "$1" >&2; }

pg() { "$pg_bin/psql" -X -q -A -t -v ON_ERROR_STOP=1 -h "$run" -U credbatch -d sessions "$@"; }
my() { mariadb --no-defaults --socket="$run/mysqld.sock" --user=root --batch --skip-column-names sessions "$@"; }
# sql ENGINE SQL: one query on the test's own session, its rows on standard output.
sql() {
    case $1 in
    pg) pg -c "$2" ;;
    my) my -e "$2" ;;
    esac
}
# holds ENGINE CONDITION: whether CONDITION is true on the server now.
holds() {
    local answer
    answer=$(sql "$1" "SELECT ($2)") || return 1
    [[ $answer == t || $answer == 1 ]]
}

# wait_for WHAT COMMAND...: COMMAND succeeds within 20 s, polled every $poll seconds; otherwise
# the case fails.
poll=0.02
wait_for() {
    local what=$1 deadline=$((${EPOCHREALTIME/./} + 20000000))
    shift
    while ((${EPOCHREALTIME/./} < deadline)); do
        "$@" 2>/dev/null && return 0
        sleep "$poll"
    done
    fail "waited 20 s for $what"
    return 1
}

# --- the database ------------------------------------------------------------------------------
# One DT511 per server in a database of its own. "applier" is who the MariaDB applies connect as,
# so that the server tells their sessions from the test's; pwuser is the role that has a password.

secret=pw-secret-5309
pg_hba=$work/pg/data/pg_hba.conf
pg -d postgres -c "CREATE DATABASE sessions ENCODING 'UTF8' TEMPLATE template0"
# Deadlocks are looked for sooner than the default second, which would be most of a case's time.
pg -d postgres -c "ALTER DATABASE sessions SET deadlock_timeout = '100ms'"
pg -c "CREATE TABLE DT511 (DI010323 varchar(100) PRIMARY KEY, DI059177 varchar(60) NOT NULL)" \
    -c "CREATE ROLE pwuser LOGIN PASSWORD '$secret'" -c "GRANT SELECT, UPDATE ON DT511 TO pwuser"
mariadb --no-defaults --socket="$run/mysqld.sock" --user=root -e "
    CREATE DATABASE sessions CHARACTER SET utf8mb4 COLLATE utf8mb4_bin;
    CREATE TABLE sessions.DT511 (DI010323 VARCHAR(100) NOT NULL PRIMARY KEY, DI059177 VARCHAR(60) NOT NULL) ENGINE=InnoDB;
    CREATE USER applier@localhost IDENTIFIED BY '';
    GRANT SELECT, UPDATE ON sessions.* TO applier@localhost;
    CREATE USER applier@'127.0.0.1' IDENTIFIED BY '';
    GRANT SELECT, UPDATE ON sessions.* TO applier@'127.0.0.1';
    CREATE USER pwuser@localhost IDENTIFIED BY '$secret';
    GRANT SELECT, UPDATE ON sessions.* TO pwuser@localhost;"
# pwuser must give its password; everyone else keeps the trust the servers were made with. The
# file is rewritten in place, so that it keeps the owner the server reads it as.
{ echo "local all pwuser scram-sha-256"; cat "$pg_hba"; } >"$work/pg_hba.new"
cat "$work/pg_hba.new" >"$pg_hba"
pg -c "SELECT pg_reload_conf()" >/dev/null
pwuser_needs_password() { ! "$pg_bin/psql" -X -w -h "$run" -U pwuser -d sessions -c 'SELECT 1' >/dev/null 2>&1; }
wait_for "PostgreSQL to ask pwuser for a password" pwuser_needs_password || exit 1

# The hashes: real ones from the tool, for users h1..h8; cases take them by number.
for i in $(seq 8); do echo "h$i secret-$i"; done >"$work/users.txt"
"${tool[@]}" "$work/users.txt" | tr -d '\r' >"$work/hashes.sql"
mapfile -t hashes < <(cut -d"'" -f2 "$work/hashes.sql")
((${#hashes[@]} == 8)) || { echo "FAIL: the tool did not write 8 hashes" >&2; exit 1; }

# script FILE USER:HASH-NUMBER...: a script as the tool writes it.
script() {
    local file=$1 pair
    shift
    for pair in "$@"; do
        printf "UPDATE DT511 SET DI059177 = '%s' WHERE DI010323 = '%s';\n" "${hashes[${pair#*:} - 1]}" "${pair%%:*}"
    done >"$file"
}

# load ENGINE NAME...: DT511 holds exactly these rows, each with the hash "old-NAME".
load() {
    local engine=$1 values="" name
    shift
    loaded=("$@")
    for name in "$@"; do
        values+="${values:+,}('$name', 'old-$name')"
    done
    case $engine in
    pg) pg -c "DELETE FROM DT511" -c "INSERT INTO DT511 VALUES $values" ;;
    my) my -e "DELETE FROM DT511; INSERT INTO DT511 VALUES $values" ;;
    esac
}
# table_is LABEL ENGINE [SCRIPT]: DT511 holds the loaded rows, with the hashes SCRIPT sets (none
# when it is not given).
table_is() {
    local label=$1 engine=$2 script=${3:-/dev/null}
    printf '%s\n' "${loaded[@]}" | awk -v script="$script" '
        BEGIN { while ((getline line < script) > 0) { split(line, field, "\047"); hash[field[4]] = field[2] } }
        { print $0 " " (($0 in hash) ? hash[$0] : "old-" $0) }' | LC_ALL=C sort >"$work/table.expected"
    sql "$engine" "SELECT CONCAT(DI010323, ' ', DI059177) FROM DT511" | LC_ALL=C sort >"$work/table.found"
    if diff -u "$work/table.expected" "$work/table.found" >"$work/table.diff"; then
        pass "$label: the table"
    else
        fail "$label: the table differs (- wanted, + found; the first 20 lines)"
        head -n 20 "$work/table.diff" >"$work/table.diff.head"
        show "$work/table.diff.head"
    fi
}

# --- sessions kept open ------------------------------------------------------------------------
# A client of the test's that holds a lock while an apply runs: it reads SQL from a FIFO, as
# `say` writes it, and prints its answers to $work/NAME.log, where `said` finds them.

declare -A session_fd=() session_pid=()
open_session() {
    local name=$1 engine=$2 fd
    rm -f "$work/$name.fifo" "$work/$name.log"
    mkfifo "$work/$name.fifo"
    case $engine in
    pg) PGAPPNAME=$name "$pg_bin/psql" -X -q -A -t -h "$run" -U credbatch -d sessions ;;
    my) mariadb --no-defaults --socket="$run/mysqld.sock" --user=root --batch --skip-column-names --unbuffered sessions ;;
    esac <"$work/$name.fifo" >"$work/$name.log" 2>&1 &
    session_pid[$name]=$!
    exec {fd}>"$work/$name.fifo"
    session_fd[$name]=$fd
}
say() { printf '%s\n' "$2" >&"${session_fd[$1]}"; }
said() { grep -qx -- "$2" "$work/$1.log"; }
close_session() {
    local fd=${session_fd[$1]:-}
    [[ -n $fd ]] || return 0
    exec {fd}>&-
    wait "${session_pid[$1]}" || true
    unset "session_fd[$1]" "session_pid[$1]"
}

# --- the applies -------------------------------------------------------------------------------
# An apply starts in the background, as an administrator's shell would start it in the
# foreground: bash starts background jobs with SIGINT ignored, and the apply rightly leaves an
# ignored signal ignored, so env puts the default back. env execs the apply, so the PID is the
# apply's own, and a signal reaches it and nothing else.

declare -A pids=() statuses=()
# connect ENGINE [USER]: the connection arguments.
connect() {
    case $windows:$1 in
    0:pg) printf '%s\n' -h "$run" -U "${2:-credbatch}" sessions ;;
    0:my) printf '%s\n' --no-defaults --socket="$run/mysqld.sock" --user="${2:-applier}" sessions ;;
    1:pg) printf '%s\n' -h 127.0.0.1 -p "$pg_port" -U "${2:-credbatch}" sessions ;;
    1:my) printf '%s\n' --no-defaults --host=127.0.0.1 --port="$my_port" --user="${2:-applier}" sessions ;;
    esac
}
engine_name() {
    case $1 in
    pg) echo postgresql ;;
    my) echo mariadb ;;
    lite) echo sqlite ;;
    esac
}
# start_apply NAME ENGINE SCRIPT [CONNECTION-ARGUMENT...]: the lines go to $work/NAME.out and .err.
start_apply() {
    local name=$1 engine=$2 script=$3 args=()
    shift 3
    if (($# > 0)); then
        args=("$@")
    else
        mapfile -t args < <(connect "$engine")
    fi
    local command=(env --default-signal=INT,TERM,HUP "${apply[@]}")
    if ((windows)); then
        # The program on a console of its own, which presses the key once $work/go appears.
        rm -f "$work/go"
        command=("${apply[@]:0:${#apply[@]}-1}" "$console_stop" "$work/go" "${apply[-1]}")
    fi
    "${command[@]}" "$(engine_name "$engine")" "$script" -- "${args[@]}" >"$work/$name.out" 2>"$work/$name.err" </dev/null &
    pids[$name]=$!
}
# finish NAME: the apply has ended within 30 s (else it is killed and the case fails); its
# status in statuses[NAME].
finish() {
    local name=$1 pid=${pids[$1]} line fields ended=0 status=0
    for _ in $(seq 1500); do
        { read -r line <"/proc/$pid/stat"; } 2>/dev/null || { ended=1; break; }
        read -ra fields <<<"${line##*) }"
        [[ ${fields[0]} != Z ]] || { ended=1; break; }
        sleep 0.02
    done
    if ((!ended)); then
        fail "$name: the apply had not ended 30 s later; killed"
        kill -KILL "$pid" 2>/dev/null || true
    fi
    wait "$pid" || status=$?
    statuses[$name]=$status
    unset "pids[$name]"
}
# The apply's stop-request thread is the one waiting in sigwait(); signal_taken is true once it
# has been woken and waits again, that is once it has dealt with the signal, or once the apply
# has ended.
watcher_of() {
    local task
    for task in /proc/"$1"/task/*; do
        [[ $(cat "$task/wchan" 2>/dev/null) == do_sigtimedwait* ]] && { echo "${task##*/}"; return 0; }
    done
    return 1
}
switches() { awk '/^voluntary_ctxt_switches/ { print $2 }' "/proc/$1/task/$2/status"; }
signal_taken() {
    # An apply that has ended has taken it too; its lines tell how.
    [[ -e /proc/$1/task/$2 ]] || return 0
    [[ $(cat "/proc/$1/task/$2/wchan" 2>/dev/null) == do_sigtimedwait* ]] && (($(switches "$1" "$2") > $3))
}
# signal_and_wait NAME SIGNAL: sends SIGNAL to the apply and waits until it has dealt with it.
signal_and_wait() {
    local pid=${pids[$1]} watcher before
    watcher=$(watcher_of "$pid") || { fail "$1: no thread of the apply waits for signals"; return 1; }
    before=$(switches "$pid" "$watcher")
    kill "-$2" "$pid"
    wait_for "$1 to take SIG$2" signal_taken "$pid" "$watcher" "$before"
}

# outputs_are LABEL NAME STATUS OUT ERR: the apply ended with STATUS, its standard output is OUT
# and its standard error ERR, whole (each a pattern: * stands for a server's own words).
outputs_are() {
    local label=$1 name=$2 status=$3 out=$4 err=$5
    # shellcheck disable=SC2053 # the patterns are meant
    # Without the CR that ends each line on Windows.
    if [[ ${statuses[$name]} == "$status" && $(tr -d '\r' <"$work/$name.out") == $out && $(tr -d '\r' <"$work/$name.err") == $err ]]; then
        pass "$label: status $status and its lines"
    else
        fail "$label: wanted status $status, found ${statuses[$name]}; its standard output, then its standard error:"
        show "$work/$name.out"
        show "$work/$name.err"
    fi
    # Whatever a server said, no line shows a hash.
    if grep -qE '[$]2[abxy][$][0-9]{2}[$][./A-Za-z0-9]{53}' "$work/$name.out" "$work/$name.err"; then
        fail "$label: a line shows a hash"
    fi
}
no_secret_in() {
    local file
    for file in "$@"; do
        ! grep -qF -- "$secret" "$file" || { fail "the password is shown in $(basename "$file")"; return 1; }
    done
}

# The apply's sessions on the server, and those of them that wait on a lock.
apply_sessions() {
    case $1 in
    pg) echo "SELECT count(*) FROM pg_stat_activity WHERE application_name = 'credbatch-apply'${2:+ AND $2}" ;;
    my) echo "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE USER = 'applier'${2:+ AND $2}" ;;
    esac
}
waiting_on_row() {
    case $1 in
    pg) holds pg "($(apply_sessions pg "wait_event_type = 'Lock' AND wait_event IN ('transactionid', 'tuple')")) = $2" ;;
    my) holds my "(SELECT COUNT(*) FROM information_schema.INNODB_TRX t JOIN information_schema.PROCESSLIST p
                    ON p.ID = t.trx_mysql_thread_id WHERE p.USER = 'applier' AND t.trx_state = 'LOCK WAIT') = $2" ;;
    esac
}
no_apply_session() { holds "$1" "($(apply_sessions "$1")) = 0"; }

# stopped_line REQUEST: a signal's name without SIG, or the console key's (Ctrl+C).
stopped_line() {
    local request=SIG$1
    [[ $1 == Ctrl+* ]] && request=$1
    echo "checked apply: stopped by $request before the COMMIT; nothing was committed"
}
committed_line() { echo "checked apply: each of the $1 statements changed exactly one row; committed"; }

# --- 1. a stop request while a statement waits on a row lock -----------------------------------

stop_while_locked() {
    local engine=$1 signal=$2 label
    label="stop by SIG$2 while $(engine_name "$1") waits on a row lock"
    [[ $signal != Ctrl+C ]] || label="Ctrl+C on the console while $(engine_name "$1") waits on a row lock"
    load "$engine" s1 s2 s3
    script "$work/stop.sql" s1:1 s2:2 s3:3
    open_session holder "$engine"
    case $engine in
    pg) say holder "BEGIN; SELECT 1 FROM DT511 WHERE DI010323 = 's2' FOR UPDATE; SELECT 'held';" ;;
    my) say holder "START TRANSACTION; SELECT 1 FROM DT511 WHERE DI010323 = 's2' FOR UPDATE; SELECT 'held';" ;;
    esac
    if wait_for "the lock on s2" said holder held; then
        start_apply stop "$engine" "$work/stop.sql"
        # InnoDB refreshes what INNODB_TRX shows only once it has gone 0.1 s unread.
        if poll=0.15 wait_for "$label: the apply to wait on the lock" waiting_on_row "$engine" 1; then
            case $signal in
            Ctrl+C) : >"$work/go" ;;
            *) kill "-$signal" "${pids[stop]}" ;;
            esac
        fi
        finish stop
        outputs_are "$label" stop 1 "" "$(stopped_line "$signal")"
        # The session must be gone while the lock is still held: one that lingered, its UPDATE
        # still queued, would go on once the lock is released.
        wait_for "$label: the apply's session to end" no_apply_session "$engine" && pass "$label: its session has ended"
    fi
    say holder "ROLLBACK;"
    close_session holder
    table_is "$label" "$engine"
    if sql "$engine" "SELECT DI010323 FROM DT511 FOR UPDATE NOWAIT" >/dev/null 2>"$work/nowait.err"; then
        pass "$label: no row lock is left"
    else
        fail "$label: a row lock is left:"
        show "$work/nowait.err"
    fi
}

# SQLite runs in the process: a long script is stopped while it runs, once its journal shows that
# the transaction has written.
stop_sqlite() {
    local label="stop by SIGTERM during a 200000-line apply on SQLite" db=$work/big.db changed
    rm -f "$db" "$db-journal"
    sqlite3 "$db" "CREATE TABLE DT511 (DI010323 TEXT PRIMARY KEY, DI059177 TEXT NOT NULL);
                   WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 200000)
                   INSERT INTO DT511 SELECT printf('u%06d', i), 'old-' || i FROM n;"
    awk -v hash="${hashes[0]}" 'BEGIN { for (i = 1; i <= 200000; i++)
        printf "UPDATE DT511 SET DI059177 = \047%s\047 WHERE DI010323 = \047u%06d\047;\n", hash, i }' >"$work/big.sql"
    start_apply big lite "$work/big.sql" "$db"
    wait_for "$label: the journal" test -e "$db-journal" && kill -TERM "${pids[big]}"
    finish big
    outputs_are "$label" big 1 "" "$(stopped_line TERM)"
    changed=$(sqlite3 "$db" "SELECT COUNT(*) FROM DT511 WHERE DI059177 NOT LIKE 'old-%'")
    if [[ $changed == 0 && ! -e $db-journal ]]; then
        pass "$label: no row changed"
    else
        fail "$label: $changed rows changed$([[ -e $db-journal ]] && echo ', and a journal is left')"
    fi
}

# --- 2. the COMMIT meets another session ------------------------------------------------------
# The COMMIT is made to wait: on PostgreSQL for a synchronous standby that does not exist (the
# transaction is then committed locally, and stays so when the session is killed); on MariaDB
# the test holds BACKUP STAGE BLOCK_COMMIT. While it waits, the apply's
# connection is killed (its verdict must then agree with the rows, read back), or the apply gets
# SIGTERM (it must wait for the COMMIT and tell it as it is).

commit_waits() {
    case $1 in
    pg) holds pg "($(apply_sessions pg "wait_event = 'SyncRep' AND query = 'COMMIT'")) = 1" ;;
    my) holds my "($(apply_sessions my "INFO = 'COMMIT' AND STATE LIKE '%backup lock%'")) = 1" ;;
    esac
}
kill_session() {
    case $1 in
    pg) pg -c "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name = 'credbatch-apply'" >/dev/null ;;
    my) my -e "SELECT ID FROM information_schema.PROCESSLIST WHERE USER = 'applier' AND INFO = 'COMMIT'" |
        while read -r id; do my -e "KILL CONNECTION $id" </dev/null; done ;;
    esac
}

during_commit() {
    local engine=$1 event=$2 label new
    label="$2 during the COMMIT on $(engine_name "$1")"
    load "$engine" c1 c2
    script "$work/commit.sql" c1:1 c2:2
    open_session holder "$engine"
    case $engine in
    pg)
        pg -c "ALTER SYSTEM SET synchronous_standby_names = 'credbatch_nobody'" -c "SELECT pg_reload_conf()" >/dev/null
        say holder "SELECT 'held';"
        ;;
    my) say holder "BACKUP STAGE START; BACKUP STAGE BLOCK_COMMIT; SELECT 'held';" ;;
    esac
    if wait_for "$label: the hold on commits" said holder held; then
        start_apply commit "$engine" "$work/commit.sql"
        if wait_for "$label: the COMMIT to wait" commit_waits "$engine"; then
            case $event in
            killed) kill_session "$engine" ;;
            SIGTERM) signal_and_wait commit TERM || true ;;
            esac
        fi
    fi
    case $engine in
    pg) pg -c "ALTER SYSTEM RESET synchronous_standby_names" -c "SELECT pg_reload_conf()" >/dev/null ;;
    my) say holder "BACKUP STAGE END;" ;;
    esac
    close_session holder
    [[ -z ${pids[commit]:-} ]] || finish commit
    new=$(sql "$engine" "SELECT COUNT(*) FROM DT511 WHERE DI059177 NOT LIKE 'old-%'")
    case $event:$new in
    SIGTERM:*)
        outputs_are "$label" commit 0 "$(committed_line 2)" ""
        table_is "$label" "$engine" "$work/commit.sql"
        ;;
    killed:2)
        outputs_are "$label" commit 0 "$(committed_line 2)" "credbatch-apply: *
checked apply: the connection ended during the COMMIT; read back on a new connection, every statement's row holds its new hash"
        table_is "$label" "$engine" "$work/commit.sql"
        ;;
    killed:*)
        outputs_are "$label" commit 1 "" "credbatch-apply: *
checked apply: the connection ended during the COMMIT; read back on a new connection, no statement's row holds its new hash
checked apply: the COMMIT did not take effect; nothing was committed"
        table_is "$label" "$engine"
        ;;
    esac
    echo "    ($label: status ${statuses[commit]}, $new rows new; its standard error:)"
    sed 's/^/    | /' "$work/commit.err"
}

# --- 3. a deadlock between two applies -----------------------------------------------------------
# Two scripts over d1 and d2 in opposite orders. A BEFORE UPDATE trigger holds each apply at its
# first row, which it has locked by then, until the test lets both go on: each then wants the
# other's row.

gate_waits() {
    case $1 in
    pg) holds pg "($(apply_sessions pg "wait_event = 'advisory'")) = 2" ;;
    # Inside the trigger a session shows as the trigger's definer, not as its own user.
    my) holds my "(SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE STATE = 'User lock' AND INFO LIKE 'SET @gate%') = 2" ;;
    esac
}

deadlock() {
    local engine=$1 label winner victim
    label="deadlock of two applies on $(engine_name "$1")"
    load "$engine" d1 d2
    script "$work/forward.sql" d1:1 d2:2
    script "$work/backward.sql" d2:3 d1:4
    open_session holder "$engine"
    case $engine in
    pg)
        pg -c "CREATE FUNCTION gate() RETURNS trigger LANGUAGE plpgsql AS
                   \$\$BEGIN PERFORM pg_advisory_xact_lock_shared(7002); RETURN NEW; END\$\$" \
           -c "CREATE TRIGGER gate BEFORE UPDATE ON DT511 FOR EACH ROW EXECUTE FUNCTION gate()"
        say holder "SELECT pg_advisory_lock(7002); SELECT 'held';"
        ;;
    my)
        my -e "CREATE TRIGGER gate BEFORE UPDATE ON DT511 FOR EACH ROW SET @gate = GET_LOCK('gate', 60) + RELEASE_LOCK('gate')"
        say holder "SELECT GET_LOCK('gate', 0); SELECT 'held';"
        ;;
    esac
    if wait_for "$label: the gate" said holder held; then
        start_apply forward "$engine" "$work/forward.sql"
        start_apply backward "$engine" "$work/backward.sql"
        wait_for "$label: both applies at the gate" gate_waits "$engine" || true
    fi
    case $engine in
    pg) say holder "SELECT pg_advisory_unlock(7002);" ;;
    my) say holder "DO RELEASE_LOCK('gate');" ;;
    esac
    finish forward
    finish backward
    close_session holder
    case $engine in
    pg) pg -c "DROP TRIGGER gate ON DT511" -c "DROP FUNCTION gate()" ;;
    my) my -e "DROP TRIGGER gate" ;;
    esac
    if [[ ${statuses[forward]} == 0 ]]; then
        winner=forward victim=backward
    else
        winner=backward victim=forward
    fi
    outputs_are "$label: the one that commits ($winner)" "$winner" 0 "$(committed_line 2)" ""
    # The victim fails at its second statement, named; MariaDB may have sent both statements in one
    # array, and then names the range of lines, which is as true.
    if [[ $(head -n 1 "$work/$victim.err") == "statement "* ]]; then
        outputs_are "$label: the other ($victim)" "$victim" 1 "" "statement 2, user 'd?': failed: *
checked apply: statement 2 failed; nothing was committed"
    else
        outputs_are "$label: the other ($victim)" "$victim" 1 "" "credbatch-apply: *lines 1 to 2*
checked apply: the database answered with an error; nothing was committed"
    fi
    echo "    ($label: $victim lost; its standard error:)"
    sed 's/^/    | /' "$work/$victim.err"
    table_is "$label" "$engine" "$work/$winner.sql"
}

# --- 4 and 5. passwords --------------------------------------------------------------------------
# The apply on a pseudo-terminal of its own, which is its controlling terminal and nothing else:
# what it writes there is only what it asks. pty_session.py answers the prompt, or signals the
# apply at it, or expects none; it gives the terminal's echo at the prompt and afterwards.

cat >"$work/pty_session.py" <<'EOF'
import fcntl, os, select, signal, subprocess, sys, termios, time

mode, prompt, secret, transcript_path, out_path, err_path, *command = sys.argv[1:]
master, slave = os.openpty()


def take_terminal():
    fcntl.ioctl(slave, termios.TIOCSCTTY, 0)


def echo_on():
    return 1 if termios.tcgetattr(slave)[3] & termios.ECHO else 0


transcript = b""


def pump(timeout):
    global transcript
    ready, _, _ = select.select([master], [], [], timeout)
    if ready:
        transcript += os.read(master, 4096)
    return bool(ready)


with open(out_path, "wb") as out, open(err_path, "wb") as err:
    child = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                             start_new_session=True, preexec_fn=take_terminal)
deadline = time.monotonic() + 20
echo_at_prompt = "-"
if mode != "none":
    while prompt.encode() not in transcript and child.poll() is None and time.monotonic() < deadline:
        pump(0.05)
    if prompt.encode() in transcript:
        echo_at_prompt = echo_on()
        if mode == "answer":
            os.write(master, secret.encode() + b"\n")
        else:
            os.kill(child.pid, getattr(signal, "SIG" + mode))
while child.poll() is None and time.monotonic() < deadline:
    pump(0.05)
if child.poll() is None:
    child.kill()
    child.wait()
while pump(0.05):
    pass
with open(transcript_path, "wb") as saved:
    saved.write(transcript)
print(f"{echo_at_prompt} {echo_on()} {child.returncode if child.returncode >= 0 else 128 - child.returncode}")
EOF

# on_terminal NAME MODE PROMPT ENGINE SCRIPT [ENV=VALUE...] -- CONNECTION-ARGUMENT...: the apply on
# a terminal of its own; sets statuses[NAME] and echo (at the prompt, afterwards), and leaves
# what the terminal showed in $work/NAME.tty.
on_terminal() {
    local name=$1 mode=$2 prompt=$3 engine=$4 script=$5 environment=() result
    shift 5
    while [[ $1 != -- ]]; do
        environment+=("$1")
        shift
    done
    shift
    result=$(env "${environment[@]}" python3 "$work/pty_session.py" "$mode" "$prompt" "$secret" "$work/$name.tty" \
        "$work/$name.out" "$work/$name.err" env --default-signal=INT,TERM,HUP "${apply[@]}" \
        "$(engine_name "$engine")" "$script" -- "$@")
    read -r echo_at_prompt echo_after "statuses[$name]" <<<"$result"
}
terminal_shows() {
    local label=$1 name=$2 wanted=$3
    if [[ $(<"$work/$name.tty") == "$wanted" ]]; then
        pass "$label: the terminal shows $(printf '%q' "$wanted")"
    else
        fail "$label: the terminal shows $(od -c "$work/$name.tty" | head -n 5), not $(printf '%q' "$wanted")"
    fi
}

prompt_for() {
    case $1 in
    pg) echo "Password for user pwuser: " ;;
    my) echo "Enter password: " ;;
    esac
}
# On MariaDB the socket comes from --defaults-extra-file, for which the apply makes a temporary
# option file that must not outlive a stop at the prompt.
password_arguments() {
    case $1 in
    pg) printf '%s\n' -h "$run" -U pwuser sessions ;;
    my) printf '[client]\nsocket=%s\n' "$run/mysqld.sock" >"$work/prompt-extra.cnf"
        printf '%s\n' --defaults-extra-file="$work/prompt-extra.cnf" --user=pwuser -p sessions ;;
    esac
}

prompted() {
    local engine=$1 mode=$2 label prompt args
    label="password prompt on $(engine_name "$1"), $([[ $2 == answer ]] && echo answered || echo "SIG$2 at the prompt")"
    prompt=$(prompt_for "$engine")
    mapfile -t args < <(password_arguments "$engine")
    load "$engine" p1 p2
    script "$work/prompt.sql" p1:5 p2:6
    rm -rf "$work/prompt-tmp"
    mkdir "$work/prompt-tmp"
    on_terminal prompt "$mode" "$prompt" "$engine" "$work/prompt.sql" TMPDIR="$work/prompt-tmp" -- "${args[@]}"
    if [[ -z $(ls -A "$work/prompt-tmp") ]]; then
        pass "$label: no temporary file is left"
    else
        fail "$label: it left $(ls -A "$work/prompt-tmp") in TMPDIR"
    fi
    # Echo off at the prompt; the line end typed (or the one said at a stop) ends the line.
    terminal_shows "$label" prompt "$prompt"$'\r'
    if [[ $echo_at_prompt == 0 && $echo_after == 1 ]]; then
        pass "$label: echo off at the prompt and on again afterwards"
    else
        fail "$label: the terminal's echo was $echo_at_prompt at the prompt and $echo_after afterwards (1 on, 0 off, - no prompt)"
    fi
    no_secret_in "$work/prompt.tty" "$work/prompt.out" "$work/prompt.err" && pass "$label: the password is not shown"
    if [[ $mode == answer ]]; then
        outputs_are "$label" prompt 0 "$(committed_line 2)" ""
        table_is "$label" "$engine" "$work/prompt.sql"
    else
        outputs_are "$label" prompt 1 "" "$(stopped_line "$mode")"
        table_is "$label" "$engine"
    fi
}

# The password from a file: no prompt on the terminal. On MariaDB the option files also set the
# session up as the apply must not keep it (autocommit, safe updates, a select limit of 10 rows,
# which would cut a read-back of more rows), over 1,100 statements. The client library takes only
# the options it knows from a file, and safe-updates and sql_select_limit are the command-line
# client's, so the ~/.my.cnf one sets them through its init-command, which the library runs.
password_file() {
    local engine=$1 how=$2 label environment=() args rows=()
    mkdir -p "$work/home"
    case $how in
    pgpass) label="password from PGPASSFILE on postgresql" ;;
    defaults-file) label="password and session settings from --defaults-file on mariadb" ;;
    home) label="password and session settings from ~/.my.cnf on mariadb" ;;
    esac
    case $how in
    pgpass)
        printf '*:*:*:pwuser:%s\n' "$secret" >"$work/pgpass"
        chmod 600 "$work/pgpass"
        environment=(PGPASSFILE="$work/pgpass")
        args=(-h "$run" -U pwuser sessions)
        ;;
    defaults-file)
        cat >"$work/client.cnf" <<EOF
[client]
user=pwuser
password=$secret
socket=$run/mysqld.sock
safe-updates
init-command=SET autocommit=1
sql_select_limit=10
EOF
        args=(--defaults-file="$work/client.cnf" sessions)
        ;;
    home)
        cat >"$work/home/.my.cnf" <<EOF
[client-mariadb]
user=pwuser
password=$secret
socket=$run/mysqld.sock
init-command=SET autocommit=1, sql_safe_updates=1, sql_select_limit=10
EOF
        environment=(HOME="$work/home")
        args=(sessions)
        ;;
    esac
    mapfile -t rows < <(seq -f 'f%04g' 1100)
    load "$engine" "${rows[@]}" bystander
    printf '%s\n' "${rows[@]}" | awk -v hash="${hashes[6]}" '
        { printf "UPDATE DT511 SET DI059177 = \047%s\047 WHERE DI010323 = \047%s\047;\n", hash, $0 }' >"$work/file.sql"
    on_terminal file none "-" "$engine" "$work/file.sql" "${environment[@]}" -- "${args[@]}"
    terminal_shows "$label" file ""
    no_secret_in "$work/file.out" "$work/file.err" && pass "$label: the password is not shown"
    outputs_are "$label" file 0 "$(committed_line 1100)" ""
    table_is "$label" "$engine" "$work/file.sql"
}

# --- 6. a session the check cannot vouch for ----------------------------------------------------

replica_role() {
    local label="PGOPTIONS session_replication_role=replica on postgresql"
    load pg r1
    script "$work/replica.sql" r1:8
    PGOPTIONS='-c session_replication_role=replica' start_apply replica pg "$work/replica.sql"
    finish replica
    outputs_are "$label" replica 1 "" "checked apply: session_replication_role is replica*; nothing was committed"
    table_is "$label" pg
}

# --- the cases -----------------------------------------------------------------------------------

echo "servers ready in $(((${EPOCHREALTIME/./} - ${started/./}) / 1000)) ms"
cases=(
    "stop_while_locked pg TERM" "stop_while_locked pg INT" "stop_while_locked pg HUP"
    "stop_while_locked my TERM" "stop_while_locked my INT" "stop_while_locked my HUP"
    stop_sqlite
    "during_commit pg killed" "during_commit pg SIGTERM" "during_commit my killed" "during_commit my SIGTERM"
    "deadlock pg" "deadlock my"
    "prompted pg answer" "prompted pg INT" "prompted my answer" "prompted my TERM"
    "password_file pg pgpass" "password_file my defaults-file" "password_file my home"
    replica_role
)
if ((windows)); then
    cases=("stop_while_locked pg Ctrl+C" "stop_while_locked my Ctrl+C")
fi
# CREDBATCH_SESSION_CASES=TEXT runs only the cases whose name holds TEXT.
for case in "${cases[@]}"; do
    [[ -z ${CREDBATCH_SESSION_CASES:-} || $case == *"$CREDBATCH_SESSION_CASES"* ]] || continue
    case_started=$EPOCHREALTIME
    eval "$case"
    echo "time: $case: $(((${EPOCHREALTIME/./} - ${case_started/./}) / 1000)) ms"
done

if ((failures)); then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "all session checks passed in $(((${EPOCHREALTIME/./} - ${started/./}) / 1000)) ms"

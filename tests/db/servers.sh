# shellcheck shell=bash
# Sourced by tests/db/run.sh, tests/db/sessions.sh, tests/readme/run.sh and bench/apply_overhead:
# a throwaway PostgreSQL and a throwaway MariaDB in one temporary directory, listening on Unix
# sockets there and on 127.0.0.1, with TLS, and stopped by PID on every way out. As root they run
# as nobody, since PostgreSQL refuses root. PG_BINDIR overrides where the PostgreSQL server
# programs are looked for.
#
#   start_servers fast|durable   makes $work, with both sockets in $run, starts both servers and
#                                waits until they answer; "fast" gives up durability for speed, as
#                                tests may, "durable" keeps every commit's flush, as a benchmark must
#
# It sets pg_bin, work and run, and the traps that stop the servers and remove $work. For what
# cannot use a socket (a Windows build under wine, TLS), start_servers exports pg_port and my_port,
# the TCP ports on 127.0.0.1, chosen free at each run; tls_ca, the CA file that verifies both
# servers' certificate (for the IP 127.0.0.1 and the name localhost); and wrong_ca, a CA of the
# same name that signed nothing, for a client that must refuse. The certificates are made at each
# run, so that none expires in the tree. On TCP the PostgreSQL role credbatch and the MariaDB user
# root@127.0.0.1 log in without a password, as on the sockets.

# shellcheck source=../stop_by_pid.sh
source "$(dirname "${BASH_SOURCE[0]}")/../stop_by_pid.sh"

pg_bin=${PG_BINDIR:-$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1 || true)}
mariadbd=$(command -v mariadbd || echo /usr/sbin/mariadbd)
for program in "$pg_bin/initdb" "$pg_bin/postgres" "$pg_bin/pg_isready" "$pg_bin/psql" "$mariadbd" \
               "$(command -v mariadb-install-db || echo mariadb-install-db)" "$(command -v mariadb || echo mariadb)"; do
    [[ -x $program ]] || { echo "FAIL: $program is missing (Debian: postgresql-15 mariadb-server-core mariadb-client-core)" >&2; exit 1; }
done
command -v openssl >/dev/null || { echo "FAIL: openssl is missing (Debian: openssl)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/credbatch-db.XXXXXX")
run=$work/run        # both sockets
tls_dir=$work/tls    # the certificates
pg_port="" my_port=""
pg_fast=() my_fast=()    # the servers' settings for speed, set by start_servers
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
    # The server makes its log itself, which nobody cannot do in $work.
    : >"$work/mariadbd.log"
    chown nobody: "$work/mariadbd.log"
fi

die() {
    echo "FAIL: $1" >&2
    [[ -z ${2:-} ]] || tail -n 30 "$2" >&2
    exit 1
}

# wait_until_ready NAME PID LOG COMMAND...: COMMAND succeeds within 30 s, or the run fails;
# status 2 when the server exited first.
wait_until_ready() {
    local name=$1 pid=$2 log=$3
    shift 3
    for _ in $(seq 300); do
        # Gone, not merely not ours yet: until the child has exec'd the server, its command line
        # is this shell's own.
        kill -0 "$pid" 2>/dev/null || return 2
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    die "$name did not accept connections within 30 s; its log:" "$log"
}

# Whether a TCP socket of this machine has PORT as its own port, listening or connected.
port_in_use() {
    local hex
    printf -v hex '%04X' "$1"
    grep -qE "^ *[0-9]+: [0-9A-F]+:$hex " /proc/net/tcp /proc/net/tcp6 2>/dev/null
}

# A port that no socket has now, at random below the range the kernel hands out to outgoing
# connections, so that none of them takes it before the server does, and so that two runs at
# once seldom pick the same.
free_port() {
    local low port
    read -r low _ </proc/sys/net/ipv4/ip_local_port_range
    ((low > 11024)) || low=32768
    for _ in $(seq 100); do
        port=$((10000 + SRANDOM % (low - 10000)))
        # Not the other server's either, which may not have bound its port yet.
        [[ $port == "$pg_port" || $port == "$my_port" ]] || port_in_use "$port" || { echo "$port"; return; }
    done
    die "no free TCP port between 10000 and $low"
}

# ready_or_again NAME PID LOG PORT_VARIABLE START COMMAND...: the server PID, started by START on
# the port PORT_VARIABLE names, answers COMMAND, as in wait_until_ready. Between the port's choice
# and the server's bind another process may take the port: the server then exits, and START (which
# sets server_pid) runs again on another one.
ready_or_again() {
    local name=$1 pid=$2 log=$3 port_variable=$4 start=$5 status
    shift 5
    for _ in 1 2 3; do
        status=0
        wait_until_ready "$name" "$pid" "$log" "$@" || status=$?
        ((status != 0)) || return 0
        port_in_use "${!port_variable}" || break
        printf -v "$port_variable" '%s' "$(free_port)"
        "$start"
        pid=$server_pid
    done
    die "$name exited while starting; its log:" "$log"
}

# make_certificates DIRECTORY: ca.crt, the certificate server.crt (for IP 127.0.0.1 and DNS
# localhost) with server.key, which ca.crt verifies; and wrong-ca.crt, a CA of the same name and
# another key, which signed nothing, so that only a client that checks the signature refuses.
make_certificates() {
    local dir=$1 new_key=(-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -noenc -days 2)
    local authority=(-subj /CN=credbatch-test-ca -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign)
    mkdir -p "$dir"
    if ! { openssl req -x509 "${new_key[@]}" -keyout "$dir/ca.key" -out "$dir/ca.crt" "${authority[@]}" &&
        openssl req -x509 "${new_key[@]}" -keyout "$dir/server.key" -out "$dir/server.crt" -subj /CN=127.0.0.1 \
            -CA "$dir/ca.crt" -CAkey "$dir/ca.key" -addext subjectAltName=IP:127.0.0.1,DNS:localhost \
            -addext basicConstraints=critical,CA:FALSE &&
        openssl req -x509 "${new_key[@]}" -keyout "$dir/wrong-ca.key" -out "$dir/wrong-ca.crt" "${authority[@]}"; } \
        >"$dir/openssl.log" 2>&1; then
        die "openssl could not make the test certificates:" "$dir/openssl.log"
    fi
    rm -f "$dir/ca.key" "$dir/wrong-ca.key"
    # Both servers refuse a key that others may read; as root, the servers are nobody.
    chmod 600 "$dir/server.key"
    [[ -z ${as_server[*]} ]] || chown nobody: "$dir/server.key"
}

# start_postgres and start_mariadb: the server in the background, on $pg_port or $my_port, with
# start_servers' settings; its PID in server_pid.
start_postgres() {
    # PostgreSQL names its socket after its port; the name of the default port, which all that
    # uses $run expects, stays as a link to it.
    ln -sfn ".s.PGSQL.$pg_port" "$run/.s.PGSQL.5432"
    "${as_server[@]}" "$pg_bin/postgres" -D "$work/pg/data" -k "$run" -c listen_addresses=127.0.0.1 -p "$pg_port" \
        -c ssl=on -c ssl_cert_file="$tls_dir/server.crt" -c ssl_key_file="$tls_dir/server.key" "${pg_fast[@]}" \
        >"$work/postgres.log" 2>&1 &
    server_pid=$!
    started_pids+=("$server_pid:INT")    # a fast shutdown
}
start_mariadb() {
    # Names are not resolved, so root@localhost is the socket's only: root@'127.0.0.1' is there
    # for TCP.
    "${as_server[@]}" "$mariadbd" --no-defaults --datadir="$work/mariadb/data" --socket="$run/mysqld.sock" \
        --pid-file="$run/mysqld.pid" --bind-address=127.0.0.1 --port="$my_port" --skip-name-resolve \
        --ssl-cert="$tls_dir/server.crt" --ssl-key="$tls_dir/server.key" --log-error="$work/mariadbd.log" "${my_fast[@]}" \
        >/dev/null 2>&1 &
    server_pid=$!
    started_pids+=("$server_pid:TERM")
}

start_servers() {
    local initdb_fast=()
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
    make_certificates "$tls_dir"
    wait "$initdb_pid" || die "initdb failed:" "$work/initdb.log"
    wait "$install_pid" || die "mariadb-install-db failed:" "$work/mariadb-install.log"

    pg_port=$(free_port)
    start_postgres
    local postgres_pid=$server_pid
    my_port=$(free_port)
    start_mariadb
    local mariadbd_pid=$server_pid
    ready_or_again PostgreSQL "$postgres_pid" "$work/postgres.log" pg_port start_postgres \
        "$pg_bin/pg_isready" -q -h "$run" -U credbatch -d postgres
    ready_or_again MariaDB "$mariadbd_pid" "$work/mariadbd.log" my_port start_mariadb \
        mariadb --no-defaults --socket="$run/mysqld.sock" --user=root -e 'SELECT 1'
    # mariadb-install-db makes it too, for now; the server refuses a TCP login without it.
    mariadb --no-defaults --socket="$run/mysqld.sock" --user=root -e "
        CREATE USER IF NOT EXISTS root@'127.0.0.1';
        GRANT ALL PRIVILEGES ON *.* TO root@'127.0.0.1' WITH GRANT OPTION" ||
        die "MariaDB did not take the user root@127.0.0.1; its log:" "$work/mariadbd.log"
    tls_ca=$tls_dir/ca.crt
    wrong_ca=$tls_dir/wrong-ca.crt
    export pg_port my_port tls_ca wrong_ca
}

#!/usr/bin/env bash
# run.sh TOOL APPLY [windows]: applies the scripts TOOL writes to a throwaway PostgreSQL, a throwaway
# MariaDB and SQLite, with the plain commands credbatch-apply(1) gives and with the checked apply
# APPLY, and checks what each table holds afterwards and what the checked apply said. APPLY is a
# command of one or more words (a program, or what runs it and the program).
#
# With "windows", TOOL and APPLY are Windows builds run under wine (TOOL, too, a command of one or
# more words), which reach the servers over TCP on 127.0.0.1, not over their Unix sockets. What
# tests the plain clients rather than TOOL and APPLY is left to the run without it, and so are the
# cases that cannot mean anything under wine, each said as skipped; the lines TOOL and APPLY say
# are compared without the CR that ends them there.
# Exit status 0 when every check passes; 1 when one fails or a server cannot be started.
# The servers are started and stopped by servers.sh beside it.
set -euo pipefail

if (($# < 2 || $# > 3)) || [[ $# == 3 && $3 != windows ]]; then
    echo "usage: $0 TOOL APPLY [windows]" >&2
    exit 2
fi
windows=$(($# == 3))
if ((windows)); then
    read -ra tool_command <<<"$1"
    if ((${#tool_command[@]} == 0)) || ! command -v "${tool_command[0]}" >/dev/null; then
        echo "FAIL: the tool's command '$1' cannot be run" >&2
        exit 1
    fi
else
    tool=$(readlink -f "$1")
    [[ -x $tool ]] || { echo "FAIL: $1 is not an executable" >&2; exit 1; }
    tool_command=("$tool")
fi
read -ra apply_command <<<"$2"
if ((${#apply_command[@]} == 0)) || ! command -v "${apply_command[0]}" >/dev/null; then
    echo "FAIL: the checked apply command '$2' cannot be run" >&2
    exit 1
fi

# --- the servers -------------------------------------------------------------------------------

for program in perl sqlite3 awk; do
    command -v "$program" >/dev/null || { echo "FAIL: $program is missing (Debian: perl sqlite3)" >&2; exit 1; }
done
started=$EPOCHREALTIME
# shellcheck source=servers.sh
source "$(dirname "$0")/servers.sh"

# PostgreSQL takes lc_messages = 'de_DE.UTF-8' only where the machine has that locale. Where it
# lacks it, it is made in this run's directory for the servers alone, from Debian's locales (the
# definitions localedef reads); without them the cases that need it say they are skipped.
locale_path=""
if ! locale -a 2>/dev/null | grep -qixE 'de_DE\.utf-?8' && command -v localedef >/dev/null; then
    localedef -i de_DE -f UTF-8 "$work/locale/de_DE.UTF-8" >/dev/null 2>&1 || true    # it warns, and says so in its status
    [[ ! -d $work/locale/de_DE.UTF-8/LC_MESSAGES ]] || locale_path=$work/locale
fi
if [[ -n $locale_path ]]; then
    LOCPATH=$locale_path start_servers fast
else
    start_servers fast
fi

# Plain access for setting up and reading back; the apply commands under test are further down.
pg() {
    local db=$1
    shift
    "$pg_bin/psql" -X -q -A -t -v ON_ERROR_STOP=1 -h "$run" -U credbatch -d "$db" "$@"
}
my() {
    mariadb --no-defaults --socket="$run/mysqld.sock" --user=root --default-character-set=utf8mb4 \
        --batch --skip-column-names "$@"
}

lite() { sqlite3 -bail -batch "$work/$1.db" "${@:2}"; }

pg postgres -c "CREATE DATABASE users ENCODING 'UTF8' TEMPLATE template0" \
    -c "CREATE DATABASE verify ENCODING 'SQL_ASCII' LOCALE 'C' TEMPLATE template0"
# Any byte string is text in an SQL_ASCII database, so pgcrypto can be handed every password.
pg verify -c "CREATE EXTENSION pgcrypto"
# The CHECK stands for any rule of the database that refuses one of the updates.
pg users -c "CREATE TABLE DT511 (
                 DI010323 varchar(100) PRIMARY KEY,
                 DI059177 varchar(60) NOT NULL,
                 CHECK (DI010323 <> 'frozen' OR DI059177 LIKE 'old-%'))"
# A binary collation, so that a user name matches only itself, byte for byte.
my -e "CREATE DATABASE users CHARACTER SET utf8mb4 COLLATE utf8mb4_bin;
       CREATE TABLE users.DT511 (
           DI010323 VARCHAR(100) NOT NULL PRIMARY KEY,
           DI059177 VARCHAR(60) NOT NULL,
           CHECK (DI010323 <> 'frozen' OR DI059177 LIKE 'old-%')) ENGINE=InnoDB"

# The same user table with a user-name column that folds case and has no unique key, as the
# note on collations in credbatch-apply(1) describes: citext, utf8mb4_general_ci, NOCASE. And SQLite's own copy
# of the binary table.
pg postgres -c "CREATE DATABASE folded ENCODING 'UTF8' TEMPLATE template0"
pg folded -c "CREATE EXTENSION citext" -c "CREATE TABLE DT511 (DI010323 citext NOT NULL, DI059177 varchar(60) NOT NULL)"
my -e "CREATE DATABASE folded CHARACTER SET utf8mb4 COLLATE utf8mb4_general_ci;
       CREATE TABLE folded.DT511 (DI010323 VARCHAR(100) NOT NULL, DI059177 VARCHAR(60) NOT NULL) ENGINE=InnoDB"
lite users "CREATE TABLE DT511 (
                DI010323 TEXT PRIMARY KEY,
                DI059177 TEXT NOT NULL,
                CHECK (DI010323 <> 'frozen' OR DI059177 LIKE 'old-%'))"
lite folded "CREATE TABLE DT511 (DI010323 TEXT NOT NULL COLLATE NOCASE, DI059177 TEXT NOT NULL)"
# Where the misuse cases make DT511 afresh, each as the case needs it.
pg postgres -c "CREATE DATABASE misuse ENCODING 'UTF8' TEMPLATE template0"
pg misuse -c "CREATE EXTENSION citext" -c "ALTER DATABASE misuse SET search_path = misuse, public"
my -e "CREATE DATABASE misuse CHARACTER SET utf8mb4 COLLATE utf8mb4_bin"
# Whether the server can speak German (see above), for the cases that need it.
german_messages=0
pg postgres -c "SET lc_messages = 'de_DE.UTF-8'" >/dev/null 2>&1 && german_messages=1

echo "servers ready in $(((${EPOCHREALTIME/./} - ${started/./}) / 1000)) ms"

# --- the apply commands ------------------------------------------------------------------------
# The plain commands exactly as credbatch-apply(1) gives them, and the checked apply under test,
# with only where the server is and who connects added, and the database: "users" (a binary,
# unique user-name column) or "folded" (one that folds case).

readme_init="SET SESSION sql_mode = CONCAT(@@sql_mode, ',NO_BACKSLASH_ESCAPES'), autocommit = 0"

# plain_pg SETTING DATABASE SCRIPT: the plain command, standard_conforming_strings set to SETTING.
plain_pg() {
    PGOPTIONS="-c standard_conforming_strings=$1" "$pg_bin/psql" -h "$run" -U credbatch -d "$2" \
        -v ON_ERROR_STOP=1 -1 -f "$3"
}
# plain_my INIT_COMMAND DATABASE SCRIPT
plain_my() {
    { cat "$3"; echo 'COMMIT;'; } | mariadb --socket="$run/mysqld.sock" --user=root \
        --skip-force --default-character-set=utf8mb4 --init-command="$1" "$2"
}
plain_lite() {
    { echo 'BEGIN;'; cat "$2"; echo 'COMMIT;'; } | sqlite3 -bail "$work/$1.db"
}

# connection ENGINE DATABASE: the client arguments that reach DATABASE on the test servers. Under
# wine, over TCP; wine reads an absolute path through its drive Z:, which is the root.
connection() {
    case $windows:$1 in
    0:pg) printf '%s\n' -h "$run" -U credbatch "$2" ;;
    1:pg) printf '%s\n' -h 127.0.0.1 -p "$pg_port" -U credbatch "$2" ;;
    0:my) printf '%s\n' --no-defaults --socket="$run/mysqld.sock" --user=root "$2" ;;
    1:my) printf '%s\n' --no-defaults --host=127.0.0.1 --port="$my_port" --user=root "$2" ;;
    *:lite) printf '%s\n' "$work/$2.db" ;;
    esac
}

# tls_connection ENGINE DATABASE CA_FILE: the arguments that reach DATABASE over TCP with TLS, the
# server's certificate checked against CA_FILE and for the name 127.0.0.1. On PostgreSQL as one
# connection string, where the certificate's settings go.
tls_connection() {
    case $1 in
    pg) printf '%s\n' "host=127.0.0.1 port=$pg_port user=credbatch dbname=$2 sslmode=verify-full sslrootcert='$3'" ;;
    my) printf '%s\n' --no-defaults --host=127.0.0.1 --port="$my_port" --user=root --ssl-ca="$3" --ssl-verify-server-cert "$2" ;;
    esac
}
engine_name() {
    case $1 in
    pg) echo postgresql ;;
    my) echo mariadb ;;
    lite) echo sqlite ;;
    esac
}

# run_apply ENGINE commit|check SCRIPT CONNECTION_ARGUMENT...: the checked apply, as its manual
# page gives it.
run_apply() {
    local flag=()
    [[ $2 == check ]] && flag=(--check)
    "${apply_command[@]}" "$(engine_name "$1")" "${flag[@]}" "$3" -- "${@:4}"
}

# checked ENGINE commit|check DATABASE SCRIPT [CONNECTION_ARGUMENT...]: the checked apply on
# DATABASE, with the arguments that reach it and then these.
checked() {
    local engine=$1 mode=$2 database=$3 script=$4 args
    shift 4
    mapfile -t args < <(connection "$engine" "$database")
    run_apply "$engine" "$mode" "$script" "${args[@]}" "$@"
}

# apply_with DB VARIANT SCRIPT [OPTION...]: SCRIPT applied to DB (pg, my, lite; with -folded for
# that database) in VARIANT: plain, escapes (the one setting credbatch-apply(1) warns about left unsafe),
# checked, or check (only).
apply_with() {
    local engine=${1%-folded} database=users variant=$2 script=$3
    [[ $1 == *-folded ]] && database=folded
    shift 3
    case $engine:$variant in
    pg:plain) plain_pg on "$database" "$script" ;;
    pg:escapes) plain_pg off "$database" "$script" ;;
    my:plain) plain_my "$readme_init" "$database" "$script" ;;
    my:escapes) plain_my 'SET SESSION autocommit = 0' "$database" "$script" ;;
    lite:plain) plain_lite "$database" "$script" ;;
    *:checked) checked "$engine" commit "$database" "$script" "$@" ;;
    *:check) checked "$engine" check "$database" "$script" "$@" ;;
    esac
}

# --- helpers -----------------------------------------------------------------------------------

failures=0
# without_cr FILE: under wine, FILE's lines without the CR that ends them there; elsewhere a CR
# stays, to be found as the fault it is.
without_cr() {
    ((windows)) || return 0
    sed -i 's/\r$//' "$1"
}

fail() {
    printf 'FAIL: %s\n' "$1" >&2
    [[ -z ${2:-} ]] || sed 's/^/    /' "$2" >&2
    failures=$((failures + 1))
}
pass() { printf 'ok: %s\n' "$1"; }

hex() { printf '%s' "$1" | od -An -v -tx1 | tr -d ' \n'; }
# hex_lines: each line of standard input in hex, one a line (one process for many names).
hex_lines() {
    LC_ALL=C awk 'BEGIN { for (i = 1; i < 256; i++) ord[sprintf("%c", i)] = i }
                  { out = ""; for (i = 1; i <= length($0); i++) out = out sprintf("%02x", ord[substr($0, i, 1)]); print out }'
}

# The hash in line N of a script: the statement's first literal, which never holds a quote.
hash_of() { LC_ALL=C sed -n "$2p" "$1" | cut -d"'" -f2; }

# Input lines, in order: names[i] with passwords[i], in arrays local to each case.
user() {
    names+=("$1")
    passwords+=("$2")
}
write_input() {
    local i
    for i in "${!names[@]}"; do
        printf '%s %s\n' "${names[i]}" "${passwords[i]}"
    done >"$1"
}

# load_table DB ROW...: the table holds exactly these user names, row K with the hash "old-K".
load_table() {
    local engine=${1%%-*} database=users values="" k=0 key keys
    [[ $1 == *-* ]] && database=${1#*-}
    shift
    mapfile -t keys < <(printf '%s\n' "$@" | hex_lines)
    for key in "${keys[@]}"; do
        k=$((k + 1))
        case $engine in
        pg) values+="${values:+,}(convert_from(decode('$key', 'hex'), 'UTF8'), 'old-$k')" ;;
        my) values+="${values:+,}(CONVERT(UNHEX('$key') USING utf8mb4), 'old-$k')" ;;
        lite) values+="${values:+,}(CAST(X'$key' AS TEXT), 'old-$k')" ;;
        esac
    done
    # On standard input: the statement for a long table is more than one argument may hold.
    case $engine in
    pg) pg "$database" ;;
    my) my "$database" ;;
    lite) lite "$database" ;;
    esac <<<"DELETE FROM DT511; INSERT INTO DT511 (DI010323, DI059177) VALUES $values;"
}

# dump_table DB: "hex-of-name hash" per row, sorted.
dump_table() {
    local engine=${1%%-*} database=users
    [[ $1 == *-* ]] && database=${1#*-}
    case $engine in
    pg) pg "$database" -c "SELECT encode(convert_to(DI010323, 'UTF8'), 'hex') || ' ' || DI059177 FROM DT511" ;;
    my) my "$database" -e "SELECT CONCAT(LOWER(HEX(DI010323)), ' ', DI059177) FROM DT511" ;;
    lite) lite "$database" "SELECT lower(hex(DI010323)) || ' ' || DI059177 FROM DT511" ;;
    esac | LC_ALL=C sort
}

# expected_table SCRIPT ROW... -- HIT...: the dump of a table loaded with ROW... once statement K
# of SCRIPT has set the hash of the K-th HIT (none when that is empty or not a row), every other
# row keeping its old value.
expected_table() {
    local script=$1
    shift
    printf '%s\n' "$@" | hex_lines | LC_ALL=C awk -v script="$script" -v separator="$(printf -- -- | hex_lines)" '
        BEGIN { while ((getline line < script) > 0) { split(line, field, "\047"); hash[++statements] = field[2] } }
        !hits && $0 == separator { hits = 1; next }
        !hits { value[$0] = "old-" ++k; next }
        { n++; if ($0 != "" && ($0 in value)) value[$0] = hash[n] }
        END { for (key in value) print key " " value[key] }' | LC_ALL=C sort
}

# check_table LABEL DB SCRIPT ROW... -- HIT...: the table is exactly what expected_table says.
check_table() {
    local label=$1 db=$2
    shift 2
    expected_table "$@" >"$work/expected"
    dump_table "$db" >"$work/got"
    if diff -u "$work/expected" "$work/got" >"$work/diff"; then
        pass "$label"
    else
        fail "$label: the table differs (- expected, + found; user names in hex)" "$work/diff"
    fi
}

# apply LABEL WANTED_STATUS DB VARIANT SCRIPT [OPTION...]: apply_with DB VARIANT SCRIPT OPTION...,
# which must end with WANTED_STATUS: "0", "non-zero" or "any". Its output goes to $work/apply.log.
apply() {
    local label=$1 wanted=$2 status=0
    shift 2
    apply_with "$@" >"$work/apply.log" 2>&1 || status=$?
    without_cr "$work/apply.log"
    if [[ $wanted == 0 && $status -ne 0 ]] || [[ $wanted == non-zero && $status -eq 0 ]]; then
        fail "$label: the $2 command on $1 ended with status $status, wanted $wanted; its output:" "$work/apply.log"
        return 1
    fi
}

# run_tool INPUT SCRIPT: the tool over INPUT into SCRIPT; its status in tool_status, messages in $work/tool.err.
run_tool() {
    tool_status=0
    "${tool_command[@]}" "$1" >"$2" 2>"$work/tool.err" || tool_status=$?
    without_cr "$work/tool.err"
}

# pgcrypto_rejects SCRIPT: the input line numbers whose statement's hash pgcrypto does not verify
# against that line's password; nothing when all verify.
pgcrypto_rejects() {
    local script=$1 i values=""
    for i in "${!names[@]}"; do
        values+="${values:+,}($((i + 1)), '$(hex "${passwords[i]}")', '$(hash_of "$script" $((i + 1)))')"
    done
    pg verify -c "SELECT n FROM (VALUES $values) AS v(n, password, hash)
                  WHERE crypt(convert_from(decode(password, 'hex'), 'SQL_ASCII'), hash) IS DISTINCT FROM hash
                  ORDER BY n"
}

# on_each "DB..." LABEL SCRIPT WANTED_STATUS VARIANT CHECK ROW... -- HIT...: on each DB, the table
# loaded with ROW..., SCRIPT applied with the VARIANT command, which must end with WANTED_STATUS,
# and the table then holding the new hashes of exactly the rows HIT... (CHECK says so).
on_each() {
    local dbs=$1 label=$2 script=$3 wanted=$4 variant=$5 check=$6 db
    shift 6
    local rows=()
    while [[ $1 != -- ]]; do
        rows+=("$1")
        shift
    done
    for db in $dbs; do
        load_table "$db" "${rows[@]}"
        apply "$label ($db)" "$wanted" "$db" "$variant" "$script" || continue
        check_table "$label ($db): $check" "$db" "$script" "${rows[@]}" "$@"
    done
}
on_both() { on_each "pg my" "$@"; }

# --- cases -------------------------------------------------------------------------------------

# Hostile user names: each named row gets exactly its own statement's hash, nothing else changes.
hostile_input() {
    user "'" 'quote'
    user "''" 'two-quotes'
    user "\\'" 'backslash-quote'
    user "';DROP/**/TABLE/**/DT511;--" 'dropper'
    user 'trailing\' 'trailing-backslash'
    user 'back\slash' 'middle-backslash'
    user '\\' 'two-backslashes'
    user "o'brien" ''
    user 'Alice' 'upper-case'
    user $'zo\xc3\xab' $'p\xc3\xa4ssw\xc3\xb6rd'
    user $'e\xcc\x81' 'decomposed'
    user $'\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e' $'\xe9t\xe9'
    user $'\xf0\x9f\x98\x80' 'four-byte'
    user '$$' 'dollar-quote'
    user '$tag$' 'dollar-tag'
    user ':ON_ERROR_STOP' 'psql-variable'
    user '\q' 'quit-command'
    user 'a/*b' 'comment-start'
    user '--x' 'line-comment'
    user '"`' 'identifier-quotes'
    user '50%_off' 'wildcards'
    user "$(printf 'n%.0s' {1..100})" 'longest-name'
    user 'nobody-here' 'not-in-the-table'
}

hostile_names() {
    local names=() passwords=() rows
    hostile_input
    # Everyone named but the last, and rows that a misread literal would hit instead.
    rows=("${names[@]:0:${#names[@]}-1}" bystander backslash trailing '\' alice $'\xc3\xa9' o brien DROP q "''''")

    write_input "$work/hostile.txt"
    run_tool "$work/hostile.txt" "$work/hostile.sql"
    local i expected_err=""
    for i in "${!names[@]}"; do
        if [[ ${names[i]} == *\\* ]]; then
            expected_err+="credbatch: line $((i + 1)): user name contains a backslash, which some databases read as an escape"$'\n'
        fi
        if [[ -z ${passwords[i]} ]]; then
            expected_err+="credbatch: line $((i + 1)): no password; its statement sets an empty password, with which anyone can log in (if the user name was left out, the password became the name)"$'\n'
        fi
        if ! printf '%s' "${passwords[i]}" | iconv -f UTF-8 -t UTF-8 >/dev/null 2>&1; then
            expected_err+="credbatch: line $((i + 1)): password is not valid UTF-8; applications that receive passwords as UTF-8 will not match it"$'\n'
        fi
    done
    if ((tool_status != 0)); then
        fail "hostile names: the tool ended with status $tool_status" "$work/tool.err"
        return
    fi
    if [[ $(cat "$work/tool.err"; echo .) != "$expected_err." ]]; then
        printf '%s' "$expected_err" | diff -u - "$work/tool.err" >"$work/diff" || true
        fail "hostile names: the tool's messages are not one warning per backslash name, per empty password and per password not in UTF-8 (- expected, + found)" "$work/diff"
    fi

    # The plain clients' reading of the script, which does not change under wine.
    ((windows)) || on_both "hostile names" "$work/hostile.sql" 0 plain "each named row has its own new hash, no other row touched" \
        "${rows[@]}" -- "${names[@]}"

    pgcrypto_rejects "$work/hostile.sql" >"$work/rejected"
    if [[ -s $work/rejected ]]; then
        fail "hostile names: pgcrypto does not verify the hashes of these input lines:" "$work/rejected"
    else
        pass "hostile names: pgcrypto verifies all ${#names[@]} hashes, 8-bit and empty passwords included"
    fi
}

# A password whose $2a$ hash, in libxcrypt, differs from its $2b$ hash: pgcrypto computes $2a$ as
# $2b$, so it does not accept the tool's hash. This is what the tool's warning about it is for.
countermeasure_password() {
    local names=() passwords=() rows
    user 'ff-user' $'\xff\xff\x61'
    rows=(ff-user)
    write_input "$work/ff.txt"
    run_tool "$work/ff.txt" "$work/ff.sql"
    if ((tool_status != 0)); then
        fail "FF FF 61 password: the tool ended with status $tool_status" "$work/tool.err"
        return
    fi
    load_table pg "${rows[@]}"
    apply "FF FF 61 password (pg)" 0 pg plain "$work/ff.sql" || return
    check_table "FF FF 61 password (pg): the row holds the tool's hash" pg "$work/ff.sql" "${rows[@]}" -- ff-user

    local hash b_hash pg_hash
    hash=$(hash_of "$work/ff.sql" 1)
    # Through perl's crypt, which is libxcrypt's, on the same salt.
    b_hash=$(perl -e '$_ = $ARGV[0]; s/^\$2a\$/\$2b\$/; print crypt("\xff\xff\x61", $_)' "$hash")
    if ! perl -e 'exit(crypt("\xff\xff\x61", $ARGV[0]) eq $ARGV[0] ? 0 : 1)' "$hash"; then
        fail "FF FF 61 password: libxcrypt does not verify the tool's own hash $hash"
        return
    fi
    if [[ ${b_hash:7} == "${hash:7}" ]]; then
        fail "FF FF 61 password: its \$2a\$ and \$2b\$ hashes agree, so this case proves nothing ($hash)"
        return
    fi
    pg_hash=$(pg verify -c "SELECT crypt(convert_from(decode('ffff61', 'hex'), 'SQL_ASCII'), '$hash')")
    if [[ $pg_hash == "\$2a\$${b_hash:4}" ]]; then
        pass "FF FF 61 password: pgcrypto does not accept the tool's hash; it computes the \$2b\$ digest under \$2a\$"
    elif [[ $pg_hash == "$hash" ]]; then
        fail "FF FF 61 password: pgcrypto now accepts the tool's hash; the note on it in credbatch(1) must change"
    else
        fail "FF FF 61 password: pgcrypto gives $pg_hash for $hash, neither the tool's nor the \$2b\$ digest"
    fi
}

# Output cut by a file size limit inside a statement. Seven statements come first, sized so that
# the limit of 1024 bytes falls at OFFSET within the eighth, "victim"; then "after" follows. Only
# the seven whole statements may reach the table.
cut_script() {
    local label=$1 offset=$2
    local fill=$((1024 - offset - 7 * 112)) i length
    local names=() passwords=() rows
    for i in 1 2 3 4 5 6 7; do
        length=$((fill / 7 + (i <= fill % 7 ? 1 : 0)))
        user "$(printf "f$i%0$((length - 2))d" 0)" "pw$i"
    done
    user victim 'pw-victim'
    user after 'pw-after'
    rows=("${names[@]}" bystander)
    write_input "$work/cut.txt"

    tool_status=0
    (ulimit -f 1 && exec "$tool" "$work/cut.txt" >"$work/cut.sql" 2>"$work/tool.err") || tool_status=$?
    if ((tool_status == 0)) || (($(wc -c <"$work/cut.sql") > 1024)); then
        die "cut script, $label: the 1024-byte limit was not hit (status $tool_status)"
    fi
    if ((tool_status > 128)); then
        fail "cut script, $label: the tool was killed by signal $((tool_status - 128)) at the limit; script ends: $(tail -c 40 "$work/cut.sql")"
    elif ! grep -q '^credbatch: cannot write standard output: ' "$work/tool.err"; then
        fail "cut script, $label: no write failure reported" "$work/tool.err"
    fi
    on_both "cut script, $label" "$work/cut.sql" 0 plain "only the 7 whole statements applied" "${rows[@]}" -- "${names[@]:0:7}"
}

# One statement refused by the database: the whole script rolls back and the command fails.
refused_statement() {
    local names=() passwords=() rows
    user alpha 'pw-alpha'
    user frozen 'pw-frozen'
    user omega 'pw-omega'
    rows=("${names[@]}")
    write_input "$work/refused.txt"
    run_tool "$work/refused.txt" "$work/refused.sql"
    on_each "pg my lite" "refused statement" "$work/refused.sql" non-zero plain "nothing applied, the command failed" "${rows[@]}" --
}

# A user name that is not UTF-8: PostgreSQL refuses the statement and -1 rolls everything back;
# MariaDB matches no row with it and applies the rest.
not_utf8() {
    local names=() passwords=() rows
    user alpha 'pw-alpha'
    user $'bad\xe9name' 'pw-bad'
    user omega 'pw-omega'
    rows=(alpha omega bad badname 'bad?name' $'bad\xc3\xa9name' $'bad\xef\xbf\xbdname')
    write_input "$work/latin1.txt"
    run_tool "$work/latin1.txt" "$work/latin1.sql"

    load_table pg "${rows[@]}"
    if apply "non-UTF-8 name (pg)" non-zero pg plain "$work/latin1.sql"; then
        check_table "non-UTF-8 name (pg): the whole script rolled back" pg "$work/latin1.sql" "${rows[@]}" --
        grep -q 'invalid byte sequence for encoding "UTF8"' "$work/apply.log" ||
            fail "non-UTF-8 name (pg): psql failed for another reason" "$work/apply.log"
    fi
    load_table my "${rows[@]}"
    if apply "non-UTF-8 name (my)" 0 my plain "$work/latin1.sql"; then
        # The bad name's statement reaches none of its lookalikes.
        check_table "non-UTF-8 name (my): the rest applied, no row matched the name" my "$work/latin1.sql" \
            "${rows[@]}" -- alpha '' omega
    fi
}

# The unsafe settings: a backslash in a name is read as an escape, so the statement for
# back\slash resets the password of the user "backslash" instead, and says nothing.
backslash_misread() {
    local names=() passwords=() rows
    user 'back\slash' 'pw-back-slash'
    rows=('back\slash' backslash)
    write_input "$work/escape.txt"
    run_tool "$work/escape.txt" "$work/escape.sql"
    on_both "backslash as escape" "$work/escape.sql" 0 escapes \
        "the unsafe setting gave back\\slash's new hash to \"backslash\"" "${rows[@]}" -- backslash
}

# The checked apply on a clean script: the hostile names, every one of them in the table, commit
# with each row as expected and a line that says so; check-only leaves the table as it was.
checked_clean() {
    local names=() passwords=() rows db variant wanted
    hostile_input
    rows=("${names[@]}" bystander backslash trailing '\' alice o brien DROP q "''''")
    write_input "$work/clean.txt"
    run_tool "$work/clean.txt" "$work/clean.sql"
    for variant in checked check; do
        for db in pg my lite; do
            load_table "$db" "${rows[@]}"
            apply "clean script, $variant ($db)" 0 "$db" "$variant" "$work/clean.sql" || continue
            if [[ $variant == checked ]]; then
                check_table "clean script, checked ($db): each named row has its own new hash" "$db" "$work/clean.sql" \
                    "${rows[@]}" -- "${names[@]}"
                wanted="checked apply: each of the ${#names[@]} statements changed exactly one row; committed"
            else
                check_table "clean script, check only ($db): the table is unchanged" "$db" "$work/clean.sql" "${rows[@]}" --
                wanted="checked apply: each of the ${#names[@]} statements changed exactly one row; checked only: rolled back"
            fi
            [[ $(cat "$work/apply.log") == "$wanted" ]] || fail "clean script, $variant ($db): the output is not exactly \"$wanted\"" "$work/apply.log"
        done
    done
    # The same script once more: every row holds its statement's hash already, on every engine.
    for db in pg my lite; do
        load_table "$db" "${rows[@]}"
        if apply "clean script applied once ($db)" 0 "$db" checked "$work/clean.sql" &&
            apply "clean script applied twice ($db)" non-zero "$db" checked "$work/clean.sql"; then
            local lines
            lines=$(grep -c ": 1 row matches, and it already holds this hash$" "$work/apply.log" || true)
            ((lines == ${#names[@]})) || fail "clean script applied twice ($db): $lines of ${#names[@]} statements named as unchanged" "$work/apply.log"
        fi
    done
}

# Scripts with statements that do not change exactly one row, on the tables that fold case: each
# commits nothing, fails, and names exactly the offending statements, as does check-only.
# Rows: alice, ALICE, bob, dave. Each case: a label, its user names, the lines wanted (split at ";").
checked_mismatch_cases=(
    "a missing user|bob carol dave|statement 2, user 'carol': no row matches"
    "a user matched twice by folding|bob alice dave|statement 2, user 'alice': 2 rows match"
    "a mismatch in the last statement only|bob dave carol|statement 3, user 'carol': no row matches"
    "several, one with a quote|o'neil bob ALICE|statement 1, user 'o''neil': no row matches;statement 3, user 'ALICE': 2 rows match"
)
checked_mismatches() {
    local entry label users wanted names passwords name variant db
    local rows=(alice ALICE bob dave)
    for entry in "${checked_mismatch_cases[@]}"; do
        IFS='|' read -r label users wanted <<<"$entry"
        names=() passwords=()
        for name in $users; do
            user "$name" "pw-$name"
        done
        write_input "$work/mismatch.txt"
        run_tool "$work/mismatch.txt" "$work/mismatch.sql"
        tr ';' '\n' <<<"$wanted" >"$work/wanted"
        for variant in checked check; do
            for db in pg-folded my-folded lite-folded; do
                load_table "$db" "${rows[@]}"
                apply "$label, $variant ($db)" non-zero "$db" "$variant" "$work/mismatch.sql" || continue
                check_table "$label, $variant ($db): nothing committed" "$db" "$work/mismatch.sql" "${rows[@]}" --
                grep '^statement ' "$work/apply.log" | diff -u "$work/wanted" - >"$work/diff" ||
                    fail "$label, $variant ($db): the offending statements are not named exactly (- wanted, + found)" "$work/diff"
            done
        done
    done
}

# The table of misuse and schema cases. Each row, on each engine it names, in both modes (checked:
# commit; check: --check): DT511 made as KIND in the database "misuse", loaded with ROWS, the
# script for USERS applied as HOW says, and then the table read back: in the checked mode, row
# HITS[K] holds statement K's hash ("-": none) and every other row its old value; checking only,
# the table is unchanged. An engine may be followed by ":commit" where the case means nothing
# when checking only. The status and the output (lines joined by "^"; a line ending in "*" is a
# prefix; "OK" is the success line of the mode) must match.
# In USERS, ROWS and HITS, a word @NAME:A-B stands for NAMEA, ..., NAMEB, for long scripts; words
# are read with printf's %b, as are the words HOW passes on.
#
# HOW is a word, then what it takes:
#   command              the checked apply, as its manual page gives it
#   args WORD...         with these connection arguments added
#   env NAME=VALUE...    with these in the environment
#   init SQL             with --init-command=SQL (MariaDB)
#   global NAME=VALUE    with the server's global NAME set to 'VALUE', and set back after (MariaDB)
#   lc_messages          with ALTER DATABASE misuse SET lc_messages = 'de_DE.UTF-8' (PostgreSQL)
#   locked, reader       while another process holds the SQLite database: its write lock from the
#                        start, or a read lock that the COMMIT meets
#   lookalike            after a first apply, once a row that folds to the same name appears
#   edited, crlf, empty, mistyped   the script with a COMMIT added, with CR LF line ends, empty,
#                        or named with a letter missing
#   engine NAME, check_after, second_file, missing_file   an engine that does not exist, --check
#                        after the script, a second SQLite file, a SQLite file that does not exist
#   tls good|wrong       over TCP to 127.0.0.1 with TLS, the server's certificate and name checked
#   option_files         where the server is from an option file the library finds by itself (on
#                        Windows my.ini beside a copy of the program in a folder named in
#                        Latin-1, elsewhere MARIADB_HOME's my.cnf, since /etc is the machine's),
#                        who connects from --defaults-extra-file (MariaDB)
#                        against the CA that signed it, or against another CA of the same name; on
#                        MariaDB the server must have finished a handshake for the apply, or none
#
# label | engines | KIND | USERS | ROWS | HOW | HITS | status | output
misuse_cases=(
    # Statements that the database refuses: nothing is committed, and the one refused is named.
    "statement 1,500 of 2,100 refused (the second block of 1,000, the fifth array of 100 in it)|pg my lite|plain|@u:1-1499 frozen @u:1501-2100|@u:1-1499 frozen @u:1501-2100|command|-|1|statement 1500, user 'frozen': failed: *^checked apply: statement 1500 failed; nothing was committed"
    "a trigger's RAISE(ROLLBACK)|lite|rollback|alpha frozen omega|alpha frozen omega|command|-|1|statement 2, user 'frozen': failed: frozen account^checked apply: statement 2 failed; nothing was committed"
    "a hash column too short for the hash, the server's sql_mode empty|my|short_hash|alpha omega|alpha omega|global sql_mode=|-|1|statement 1, user 'alpha': failed: *^checked apply: statement 1 failed; nothing was committed"
    "a hash column too short for the hash|pg|short_hash|alpha omega|alpha omega|command|-|1|statement 1, user 'alpha': failed: *^checked apply: statement 1 failed; nothing was committed"
    "German server messages, a trigger refuses one user|pg|refuse_bob|alpha bob omega|alpha bob omega|lc_messages|-|1|statement 2, user 'bob': failed: Division durch Null^checked apply: statement 2 failed; nothing was committed"
    "German server messages, a deferred trigger refuses the changes|pg|deferred|alpha omega|alpha omega|lc_messages|-|1|checked apply: a deferred constraint or trigger refused the changes: Division durch Null; nothing was committed"

    # Rows that the check reads back, whatever the statement's own count said.
    "a folding collation and a trigger that leaves Alice unchanged|pg my lite|skip_alice|alice|alice Alice|command|-|1|statement 1, user 'alice': 2 rows match^checked apply: 1 of 1 statements did not change exactly one row; nothing was committed"
    "a nondeterministic ICU collation that folds case|pg|icu_ci|alice|alice Alice|command|-|1|statement 1, user 'alice': 2 rows match^checked apply: 1 of 1 statements did not change exactly one row; nothing was committed"
    "the script applied again after a lookalike row appeared|pg:commit my:commit lite:commit|folded|alice|alice Alice|lookalike|alice|1|statement 1, user 'alice': 2 rows match^checked apply: 1 of 1 statements did not change exactly one row; nothing was committed"
    "a trigger keeps the old hash (here 5 bytes long)|pg my lite|keep|alpha kept|alpha kept|command|-|1|statement 2, user 'kept': 1 row matches and the UPDATE changed it, but it holds 5 bytes, not the 60 of the new hash (the column's type cut or padded it, or a trigger or a later statement changed it)^checked apply: 1 of 2 statements did not change exactly one row; nothing was committed"
    "a trigger upper-cases the new hash, in a hash column that folds case|pg my lite|upper|alpha kept|alpha kept|command|-|1|statement 2, user 'kept': 1 row matches and the UPDATE changed it, but it does not hold the new hash (a trigger or a later statement changed it)^checked apply: 1 of 2 statements did not change exactly one row; nothing was committed"
    "a trigger skips the row|pg lite|skip|alpha kept|alpha kept|command|-|1|statement 2, user 'kept': 1 row matches, but the UPDATE changed none (a trigger skipped it)^checked apply: 1 of 2 statements did not change exactly one row; nothing was committed"
    "a row trigger that updates DT511 itself|pg lite|touch|alpha omega|alpha omega|command|alpha omega|0|OK"
    "a row trigger that changes another user's row|pg lite|bystander|alpha omega|alpha omega bystander|command|-|1|checked apply: besides the 2 rows of the script, 1 other row of DT511 changed, appeared or went (a trigger); nothing was committed"
    "a user name longer than PostgreSQL's name type, which cuts it to another user's|pg|name_type|alpha nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn|alpha nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn|command|-|1|statement 2, user 'nnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnnn': no row matches^checked apply: 1 of 2 statements did not change exactly one row; nothing was committed"
    "a char(12) user name, which the statement matches padded|pg|padded|alpha omega|alpha omega|command|alpha omega|0|OK"
    "a user name longer than the table's column|pg my lite|narrow|alpha longer-than-eight omega|alpha omega|command|-|1|statement 2, user 'longer-than-eight': no row matches^checked apply: 1 of 3 statements did not change exactly one row; nothing was committed"

    # Tables and sessions the check cannot vouch for: refused before the first statement.
    "DT511 a view|pg my lite|view|alpha omega|alpha omega|command|-|1|checked apply: DT511 is a view, not a table, so its updates cannot be checked; nothing was committed"
    "a rewrite rule on DT511|pg|rule|alpha omega|alpha omega|command|-|1|checked apply: DT511 has the rewrite rule r, which would hide the updates from the check; nothing was committed"
    "session_replication_role = replica|pg|plain|alpha omega|alpha omega|env PGOPTIONS=-c\x20session_replication_role=replica|-|1|checked apply: session_replication_role is replica, under which triggers and rules do not fire as they do in use; nothing was committed"
    "DT511 on MyISAM, a good script|my|MyISAM|alpha omega|alpha omega|command|-|1|checked apply: DT511 uses the MyISAM engine, whose changes a rollback cannot undo; make it transactional with ALTER TABLE DT511 ENGINE=InnoDB; nothing was committed"
    "DT511 on MyISAM, a statement refused|my|MyISAM|alpha frozen omega|alpha frozen omega|command|-|1|checked apply: DT511 uses the MyISAM engine, whose changes a rollback cannot undo; make it transactional with ALTER TABLE DT511 ENGINE=InnoDB; nothing was committed"
    "DT511 on Aria, a good script|my|Aria|alpha omega|alpha omega|command|-|1|checked apply: DT511 uses the Aria engine, whose changes a rollback cannot undo; make it transactional with ALTER TABLE DT511 ENGINE=InnoDB; nothing was committed"
    "DT511 on Aria, a statement refused|my|Aria|alpha frozen omega|alpha frozen omega|command|-|1|checked apply: DT511 uses the Aria engine, whose changes a rollback cannot undo; make it transactional with ALTER TABLE DT511 ENGINE=InnoDB; nothing was committed"
    "a temporary DT511 made by --init-command|my|plain|alpha omega|alpha omega|init CREATE TEMPORARY TABLE DT511 SELECT * FROM DT511|-|1|checked apply: DT511 is a temporary table of this session, which hides the real one; nothing was committed"
    "another process holds the write lock|lite|plain|alpha omega|alpha omega|locked|-|1|checked apply: another process is writing to the database file; apply again once it is done; nothing was committed"
    "a reader holds the database while the COMMIT waits|lite:commit|plain|alpha omega|alpha omega|reader|-|1|credbatch-apply: database is locked^checked apply: the COMMIT failed; nothing was committed"

    # Settings of the session or the server that the apply sets right for itself.
    "an init-command that turns autocommit on and backslash escapes back on, a name with a backslash|my|plain|alpha \\\\';DROP/**/TABLE/**/DT511;#x omega|alpha \\\\';DROP/**/TABLE/**/DT511;#x omega \\\\|init SET SESSION autocommit = 1, sql_mode = ''|alpha \\\\';DROP/**/TABLE/**/DT511;#x omega|0|OK"
    "completion_type = RELEASE on the server|my|plain|alpha omega|alpha omega|global completion_type=RELEASE|alpha omega|0|OK"
    "PGCLIENTENCODING=LATIN1 in a C locale|pg|plain|café|café cafÃ©|env PGCLIENTENCODING=LATIN1 LC_ALL=C|café|0|OK"

    # The script.
    "a COMMIT edited into the script|pg my lite|plain|alpha omega|alpha omega|edited|-|1|checked apply: line 2 of the script is not a statement as credbatch writes it; nothing was committed"
    "a script with CR LF line ends|pg my lite|plain|alpha o'neil|alpha o'neil|crlf|alpha o'neil|0|OK"
    "a name that is not UTF-8|lite|plain|alpha bad\\xe9name|alpha bad\\xe9name|command|alpha bad\\xe9name|0|OK"
    "a name that is not UTF-8|my|plain|alpha bad\\xe9name|alpha|command|-|1|statement 2, user 'bad\\xe9name': no row matches^checked apply: 1 of 2 statements did not change exactly one row; nothing was committed"
    "a name that is not UTF-8|pg|plain|alpha bad\\xe9name|alpha|command|-|1|statement 2, user 'bad\\xe9name': failed: *^checked apply: statement 2 failed; nothing was committed"
    "an empty script|pg my lite|plain||alpha|empty|-|1|checked apply: the script holds no statement; nothing was committed"
    "a mistyped script name|pg my lite|plain|alpha|alpha|mistyped|-|2|credbatch-apply: cannot read *"

    # Arguments refused before anything connects, among them the clients' options that would
    # carry on past an error.
    "psql's --set|pg|plain|alpha frozen omega|alpha frozen omega|args --set=ON_ERROR_STOP=0|-|2|credbatch-apply: unknown option '--set' for postgresql^usage: *^  for example: *"
    "mariadb's --force|my|plain|alpha frozen omega|alpha frozen omega|args --force|-|2|credbatch-apply: unknown option '--force' for mariadb^usage: *^  for example: *"
    "sqlite3's -cmd|lite|plain|alpha frozen omega|alpha frozen omega|args -cmd .bail\x20off|-|2|credbatch-apply: unknown option '-cmd' for sqlite, which takes only the database file^usage: *^  for example: *"
    "a mistyped password option, whose value is not shown|pg|plain|alpha|alpha|args --pasword=s3cret|-|2|credbatch-apply: unknown option '--pasword' for postgresql^usage: *^  for example: *"
    "a mistyped password option, whose value is not shown|my|plain|alpha|alpha|args --pasword=s3cret|-|2|credbatch-apply: unknown option '--pasword' for mariadb^usage: *^  for example: *"
    "an option of another program, whose value is not shown|lite|plain|alpha|alpha|args --key=s3cret|-|2|credbatch-apply: unknown option '--key' for sqlite, which takes only the database file^usage: *^  for example: *"
    "a password glued to a flag, which is not shown|pg|plain|alpha|alpha|args -Ws3cret|-|2|credbatch-apply: unknown option '-s' for postgresql^usage: *^  for example: *"
    "an unknown engine|lite|plain|alpha|alpha|engine sqlite3|-|2|credbatch-apply: unknown engine 'sqlite3'; it is postgresql, mariadb or sqlite^usage: *^  for example: *"
    "--check after the script|pg:commit my:commit lite:commit|plain|alpha|alpha|check_after|-|2|credbatch-apply: --check goes before the script: *^usage: *^  for example: *"
    "a second SQLite database file|lite|plain|alpha|alpha|second_file|-|2|credbatch-apply: unexpected argument '*^usage: *^  for example: *"
    "a SQLite database file that does not exist, which must not be made|lite|plain|alpha|alpha|missing_file|-|1|credbatch-apply: cannot open the database file: *^checked apply: could not connect to the database; nothing was committed"

    # The network: a server whose certificate checks out, and one that must be refused before
    # the script reaches it.
    "TLS, the server's certificate verified|pg my|plain|alpha omega|alpha omega|tls good|alpha omega|0|OK"
    "the server from the usual option files, the user from --defaults-extra-file|my|plain|alpha omega|alpha omega|option_files|alpha omega|0|OK"
    "TLS, the server's certificate checked against a CA that did not sign it|pg my|plain|alpha omega|alpha omega|tls wrong|-|1|credbatch-apply: *^checked apply: could not connect to the database; nothing was committed"
)

# make_table DB KIND: DT511 made afresh as KIND in DB (pg-misuse, my-misuse, lite-misuse).
make_table() {
    local engine=${1%%-*} kind=$2
    local name="DI010323 varchar(100) NOT NULL" hash="DI059177 varchar(60) NOT NULL" key=", PRIMARY KEY (DI010323)"
    local table_engine=InnoDB body="" trigger=""
    case $engine:$kind in
    pg:skip_alice | pg:folded) name="DI010323 citext NOT NULL" key="" ;;
    my:skip_alice | my:folded) name="DI010323 VARCHAR(100) COLLATE utf8mb4_general_ci NOT NULL" key="" ;;
    lite:skip_alice | lite:folded) name="DI010323 TEXT NOT NULL COLLATE NOCASE" key="" ;;
    pg:icu_ci) name="DI010323 varchar(100) COLLATE ci NOT NULL" key="" ;;
    pg:upper) hash="DI059177 citext NOT NULL" ;;
    my:upper) hash="DI059177 VARCHAR(60) COLLATE utf8mb4_general_ci NOT NULL" ;;
    lite:upper) hash="DI059177 varchar(60) NOT NULL COLLATE NOCASE" ;;
    my:MyISAM | my:Aria) table_engine=$kind ;;
    *:narrow) name="DI010323 varchar(8) NOT NULL" ;;
    pg:name_type) name="DI010323 name NOT NULL" ;;
    pg:padded) name="DI010323 char(12) NOT NULL" ;;
    *:short_hash) hash="DI059177 varchar(50) NOT NULL" ;;
    esac
    local columns="$name, $hash, touched integer NOT NULL DEFAULT 0,
                   CHECK (DI010323 <> 'frozen' OR DI059177 LIKE 'old-%')$key"
    case $engine in
    pg)
        local sql=()
        case $kind in
        icu_ci) sql+=(-c "CREATE COLLATION ci (provider = icu, locale = 'und-u-ks-level2', deterministic = false)") ;;
        esac
        case $kind in
        view) sql+=(-c "CREATE TABLE base ($columns)" -c "CREATE VIEW DT511 AS SELECT * FROM base") ;;
        *) sql+=(-c "CREATE TABLE DT511 ($columns)") ;;
        esac
        # A BEFORE UPDATE trigger with this body; the server's own error (division by zero)
        # stands for a refusal, so that its words are the server's, in its language.
        trigger="TRIGGER guard BEFORE UPDATE ON DT511 FOR EACH ROW"
        case $kind in
        skip_alice) body="IF OLD.DI010323::text = 'Alice' THEN RETURN NULL; END IF; RETURN NEW;" ;;
        skip) body="IF OLD.DI010323 = 'kept' THEN RETURN NULL; END IF; RETURN NEW;" ;;
        keep) body="IF OLD.DI010323 = 'kept' THEN NEW.DI059177 := OLD.DI059177; END IF; RETURN NEW;" ;;
        upper) body="IF OLD.DI010323 = 'kept' THEN NEW.DI059177 := upper(NEW.DI059177); END IF; RETURN NEW;" ;;
        refuse_bob) body="IF OLD.DI010323 = 'bob' THEN PERFORM 1 / 0; END IF; RETURN NEW;" ;;
        deferred) trigger="CONSTRAINT TRIGGER guard AFTER UPDATE ON DT511 DEFERRABLE INITIALLY DEFERRED FOR EACH ROW"
            body="IF NEW.DI010323 = 'omega' THEN PERFORM 1 / 0; END IF; RETURN NULL;" ;;
        rule) sql+=(-c "CREATE TABLE audit (n int)" -c "CREATE RULE r AS ON UPDATE TO DT511 DO INSTEAD INSERT INTO audit VALUES (1)") ;;
        touch) sql+=(-c "CREATE FUNCTION touch() RETURNS trigger LANGUAGE plpgsql AS \$\$ BEGIN
                   IF pg_trigger_depth() = 1 THEN UPDATE DT511 SET touched = touched + 1 WHERE DI010323 = NEW.DI010323; END IF;
                   RETURN NULL; END \$\$" -c "CREATE TRIGGER touch AFTER UPDATE ON DT511 FOR EACH ROW EXECUTE FUNCTION touch()") ;;
        bystander) trigger="TRIGGER guard AFTER UPDATE ON DT511 FOR EACH ROW WHEN (pg_trigger_depth() < 1)"
            body="UPDATE DT511 SET DI059177 = 'changed' WHERE DI010323 = 'bystander'; RETURN NULL;" ;;
        esac
        if [[ -n $body ]]; then
            sql+=(-c "CREATE FUNCTION guard() RETURNS trigger LANGUAGE plpgsql AS \$\$ BEGIN $body END \$\$"
                  -c "CREATE $trigger EXECUTE FUNCTION guard()")
        fi
        # A fresh schema each time; citext stays in public.
        pg misuse -c "SET client_min_messages = warning" -c "DROP SCHEMA IF EXISTS misuse CASCADE" -c "CREATE SCHEMA misuse" \
            -c "SET search_path = misuse, public" "${sql[@]}"
        ;;
    my)
        local statements="DROP DATABASE misuse; CREATE DATABASE misuse CHARACTER SET utf8mb4 COLLATE utf8mb4_bin; USE misuse;"
        case $kind in
        view) statements+="CREATE TABLE base ($columns) ENGINE=InnoDB; CREATE VIEW DT511 AS SELECT * FROM base;" ;;
        *) statements+="CREATE TABLE DT511 ($columns) ENGINE=$table_engine;" ;;
        esac
        case $kind in
        skip_alice) body="IF(BINARY OLD.DI010323 = 'Alice', OLD.DI059177, NEW.DI059177)" ;;
        keep) body="IF(OLD.DI010323 = 'kept', OLD.DI059177, NEW.DI059177)" ;;
        upper) body="IF(OLD.DI010323 = 'kept', UPPER(NEW.DI059177), NEW.DI059177)" ;;
        esac
        [[ -z $body ]] || statements+="CREATE TRIGGER guard BEFORE UPDATE ON DT511 FOR EACH ROW SET NEW.DI059177 = $body;"
        my <<<"$statements"
        ;;
    lite)
        rm -f "$work/misuse.db"
        case $kind in
        view) lite misuse "CREATE TABLE base ($columns); CREATE VIEW DT511 AS SELECT * FROM base;
                           CREATE TRIGGER i INSTEAD OF INSERT ON DT511 BEGIN INSERT INTO base (DI010323, DI059177) VALUES (NEW.DI010323, NEW.DI059177); END;
                           CREATE TRIGGER d INSTEAD OF DELETE ON DT511 BEGIN DELETE FROM base WHERE DI010323 = OLD.DI010323; END;
                           CREATE TRIGGER u INSTEAD OF UPDATE ON DT511 BEGIN UPDATE base SET DI059177 = NEW.DI059177 WHERE DI010323 = OLD.DI010323; END" ;;
        *) lite misuse "CREATE TABLE DT511 ($columns)" ;;
        esac
        case $kind in
        skip_alice) trigger="BEFORE UPDATE ON DT511 WHEN OLD.DI010323 = 'Alice' COLLATE BINARY BEGIN SELECT RAISE(IGNORE); END" ;;
        skip) trigger="BEFORE UPDATE ON DT511 WHEN OLD.DI010323 = 'kept' BEGIN SELECT RAISE(IGNORE); END" ;;
        keep) trigger="AFTER UPDATE ON DT511 WHEN OLD.DI010323 = 'kept' BEGIN UPDATE DT511 SET DI059177 = OLD.DI059177 WHERE DI010323 = 'kept'; END" ;;
        upper) trigger="AFTER UPDATE ON DT511 WHEN OLD.DI010323 = 'kept' BEGIN UPDATE DT511 SET DI059177 = upper(NEW.DI059177) WHERE DI010323 = 'kept'; END" ;;
        rollback) trigger="BEFORE UPDATE ON DT511 WHEN OLD.DI010323 = 'frozen' BEGIN SELECT RAISE(ROLLBACK, 'frozen account'); END" ;;
        touch) trigger="AFTER UPDATE ON DT511 BEGIN UPDATE DT511 SET touched = touched + 1 WHERE DI010323 = NEW.DI010323; END" ;;
        bystander) trigger="AFTER UPDATE ON DT511 WHEN NEW.DI010323 <> 'bystander' BEGIN UPDATE DT511 SET DI059177 = 'changed' WHERE DI010323 = 'bystander'; END" ;;
        esac
        [[ -z $trigger ]] || lite misuse "CREATE TRIGGER guard $trigger"
        ;;
    esac
}

# hold_sqlite write|read: another sqlite3 holds the misuse database, its write lock or a read
# transaction, and says so before this returns; release_sqlite ends it.
hold_sqlite() {
    local begin="BEGIN IMMEDIATE;" line
    [[ $1 == read ]] && begin="BEGIN; SELECT count(*) FROM DT511;"
    coproc holder { sqlite3 -batch "$work/misuse.db"; }
    # shellcheck disable=SC2154 # coproc makes holder_PID
    holder_pid=$holder_PID holder_in=${holder[1]}
    printf "%s\nSELECT 'holding';\n" "$begin" >&"$holder_in"
    while read -r line <&"${holder[0]}" && [[ $line != holding ]]; do :; done
}
release_sqlite() {
    printf 'COMMIT;\n' >&"$holder_in"
    exec {holder_in}>&-
    wait "$holder_pid"
}

# apply_how HOW ENGINE MODE SCRIPT: the apply as HOW says (see the table above); its status.
apply_how() {
    local keyword=${1%% *} rest="" engine=$2 mode=$3 script=$4 args words status=0
    [[ $1 == *" "* ]] && rest=${1#* }
    mapfile -t args < <(connection "$engine" misuse)
    decoded_words "$rest" words
    case $keyword in
    command) checked "$engine" "$mode" misuse "$script" ;;
    args) checked "$engine" "$mode" misuse "$script" "${words[@]}" ;;
    env) (export "${words[@]}" && checked "$engine" "$mode" misuse "$script") ;;
    init) checked "$engine" "$mode" misuse "$script" --init-command="$rest" ;;
    global)
        local name=${rest%%=*} old
        old=$(my -e "SELECT @@GLOBAL.$name")
        my -e "SET GLOBAL $name = '${rest#*=}'"
        checked "$engine" "$mode" misuse "$script" || status=$?
        my -e "SET GLOBAL $name = '$old'"
        return "$status" ;;
    lc_messages)
        pg postgres -c "ALTER DATABASE misuse SET lc_messages = 'de_DE.UTF-8'"
        checked "$engine" "$mode" misuse "$script" || status=$?
        pg postgres -c "ALTER DATABASE misuse RESET lc_messages"
        return "$status" ;;
    locked | reader)
        hold_sqlite "$([[ $keyword == locked ]] && echo write || echo read)"
        checked "$engine" "$mode" misuse "$script" || status=$?
        release_sqlite
        return "$status" ;;
    lookalike)
        # Applied once while only alice was there; then Alice appears, and the script runs again.
        case $engine in
        pg) pg misuse -c "DELETE FROM DT511 WHERE DI010323::text = 'Alice'" ;;
        my) my misuse -e "DELETE FROM DT511 WHERE BINARY DI010323 = 'Alice'" ;;
        lite) lite misuse "DELETE FROM DT511 WHERE DI010323 = 'Alice' COLLATE BINARY" ;;
        esac
        checked "$engine" commit misuse "$script" >/dev/null 2>&1 || { echo "the first apply failed"; return 1; }
        case $engine in
        pg) pg misuse -c "INSERT INTO DT511 (DI010323, DI059177) VALUES ('Alice', 'old-2')" ;;
        my) my misuse -e "INSERT INTO DT511 (DI010323, DI059177) VALUES ('Alice', 'old-2')" ;;
        lite) lite misuse "INSERT INTO DT511 (DI010323, DI059177) VALUES ('Alice', 'old-2')" ;;
        esac
        checked "$engine" "$mode" misuse "$script" ;;
    edited) { head -n 1 "$script"; echo 'COMMIT;'; tail -n +2 "$script"; } >"$work/edited.sql" &&
        checked "$engine" "$mode" misuse "$work/edited.sql" ;;
    # The Windows tool ends its lines in CR LF already.
    crlf) sed 's/\r$//; s/$/\r/' "$script" >"$work/crlf.sql" && checked "$engine" "$mode" misuse "$work/crlf.sql" ;;
    empty) : >"$work/empty.sql" && checked "$engine" "$mode" misuse "$work/empty.sql" ;;
    mistyped) checked "$engine" "$mode" misuse "${script%.sql}.sq" ;;
    engine) "${apply_command[@]}" "${words[0]}" "$script" -- "${args[@]}" ;;
    check_after) "${apply_command[@]}" "$(engine_name "$engine")" "$script" --check "${args[@]}" ;;
    second_file) checked "$engine" "$mode" misuse "$script" "$work/absent.db" ;;
    missing_file) run_apply "$engine" "$mode" "$script" "$work/absent.db" ;;
    tls)
        local ca=$tls_ca wanted=1 before after own
        [[ $rest == wrong ]] && ca=$wrong_ca wanted=0
        mapfile -t args < <(tls_connection "$engine" misuse "$ca")
        [[ $engine != my ]] || read -r before own < <(tls_handshakes)
        run_apply "$engine" "$mode" "$script" "${args[@]}" || status=$?
        if [[ $engine == my ]]; then
            # The server's own count: what the apply says of its connection is not the proof.
            read -r after own < <(tls_handshakes)
            ((after - own - before == wanted)) ||
                echo "the server finished $((after - own - before)) TLS handshakes for the apply, not $wanted"
        fi
        return "$status" ;;
    option_files)
        local usual
        printf '[client]\nuser=root\n' >"$work/extra.cnf"
        if ((windows)); then
            # A copy of the program in a folder whose name is not ASCII, as under a user's profile.
            local folder="$work/prögram"
            mkdir -p "$folder"
            cp "${apply_command[-1]}" "$folder/"
            usual=$folder/my.ini
            printf '[client]\nhost=127.0.0.1\nport=%s\n' "$my_port" >"$usual"
            local flag=()
            [[ $mode == check ]] && flag=(--check)
            "${apply_command[@]:0:${#apply_command[@]}-1}" "$folder/$(basename "${apply_command[-1]}")" mariadb "${flag[@]}" \
                "$script" -- --defaults-extra-file="$work/extra.cnf" misuse || status=$?
        else
            mkdir -p "$work/mariadb-home"
            usual=$work/mariadb-home/my.cnf
            printf '[client]\nsocket=%s\n' "$run/mysqld.sock" >"$usual"
            MARIADB_HOME=$work/mariadb-home run_apply my "$mode" "$script" --defaults-extra-file="$work/extra.cnf" misuse ||
                status=$?
        fi
        rm -f "$usual"
        return "$status" ;;
    esac
}

# The TLS handshakes MariaDB has finished, and 1 when the session that asks has one of them (the
# mariadb client has one over the socket where the server has TLS), else 0.
tls_handshakes() {
    my -e "SELECT g.VARIABLE_VALUE, s.VARIABLE_VALUE <> ''
           FROM information_schema.GLOBAL_STATUS g, information_schema.SESSION_STATUS s
           WHERE g.VARIABLE_NAME = 'SSL_FINISHED_ACCEPTS' AND s.VARIABLE_NAME = 'SSL_CIPHER'"
}

# The words of a misuse case's field, one a line, with @NAME:A-B spelled out.
misuse_words() {
    local word words i
    read -ra words <<<"$1"
    for word in "${words[@]}"; do
        if [[ $word =~ ^@([a-z]+):([0-9]+)-([0-9]+)$ ]]; then
            for ((i = BASH_REMATCH[2]; i <= BASH_REMATCH[3]; i++)); do echo "${BASH_REMATCH[1]}$i"; done
        else
            printf '%s\n' "$word"
        fi
    done
}

# decoded_words FIELD ARRAY: the field's words, read with %b, into the named array ("-" left out).
decoded_words() {
    local -n into=$2
    local _word _words    # not names a caller would hand in
    into=()
    mapfile -t _words < <(misuse_words "$1")
    for _word in "${_words[@]}"; do
        [[ $_word == - ]] && continue
        printf -v _word '%b' "$_word"
        into+=("$_word")
    done
}

# write_script INPUT SCRIPT: the tool's script for INPUT. For a long one, the same statements
# with made-up hashes instead, each line its own: the tool's bcrypt would take a minute over
# 2,000 names, and the apply takes any cost-10 hash.
write_script() {
    if (($(wc -l <"$1") <= 1000)); then
        run_tool "$1" "$2"
        return
    fi
    LC_ALL=C awk '{ name = $1; gsub(/\047/, "\047\047", name)
                    printf "UPDATE DT511 SET DI059177 = \047$2a$10$%053d\047 WHERE DI010323 = \047%s\047;\n", NR, name }' "$1" >"$2"
}

# Why a case cannot run here; nothing when it can.
unavailable() {
    if [[ $1 == lc_messages ]] && ((!german_messages)); then
        echo "PostgreSQL has no de_DE.UTF-8 locale here, and localedef could not make one (Debian: locales)"
    elif [[ $1 == locked || $1 == reader ]] && ((windows)); then
        echo "a Windows program under wine does not see the POSIX locks of the Linux sqlite3 that holds the database"
    fi
}

checked_misuse() {
    local entry label engines kind users rows how hits status output db mode modes what wanted reason
    local names passwords name user_list row_list hit_list
    for entry in "${misuse_cases[@]}"; do
        IFS='|' read -r label engines kind users rows how hits status output <<<"$entry"
        [[ -z ${CREDBATCH_DB_CASES:-} || $label == *"$CREDBATCH_DB_CASES"* ]] || continue
        reason=$(unavailable "$how")
        if [[ -n $reason ]]; then
            echo "skipped: $label: $reason"
            continue
        fi
        names=() passwords=()
        decoded_words "$users" user_list
        for name in "${user_list[@]}"; do user "$name" "pw-$name"; done
        decoded_words "$rows" row_list
        decoded_words "$hits" hit_list
        write_input "$work/misuse.txt"
        write_script "$work/misuse.txt" "$work/misuse.sql"
        for db in $engines; do
            modes="commit check"
            if [[ $db == *:* ]]; then
                modes=${db#*:}
                db=${db%:*}
            fi
            for mode in $modes; do
                make_table "$db-misuse" "$kind"
                load_table "$db-misuse" "${row_list[@]}"
                how_status=0
                apply_how "$how" "$db" "$mode" "$work/misuse.sql" >"$work/apply.log" 2>&1 || how_status=$?
                without_cr "$work/apply.log"
                what="$label, $mode ($db)"
                if [[ $mode == commit ]]; then
                    check_table "$what: the table" "$db-misuse" "$work/misuse.sql" "${row_list[@]}" -- "${hit_list[@]}"
                else
                    check_table "$what: the table is unchanged" "$db-misuse" "$work/misuse.sql" "${row_list[@]}" --
                fi
                if [[ -e $work/absent.db ]]; then
                    fail "$what: the apply made a database file it was not meant to open"
                    rm -f "$work/absent.db"
                fi
                ((how_status == status)) || fail "$what: status $how_status, wanted $status" "$work/apply.log"
                if [[ $output == OK ]]; then
                    wanted="checked apply: each of the ${#names[@]} statements changed exactly one row; $([[ $mode == commit ]] && echo committed || echo 'checked only: rolled back')"
                else
                    wanted=$output
                fi
                tr '^' '\n' <<<"$wanted" >"$work/wanted"
                if ! awk 'NR == FNR { want[FNR] = $0; n = FNR; next }
                          { got = FNR; line = want[FNR]
                            if (line ~ /\*$/ ? index($0, substr(line, 1, length(line) - 1)) != 1 : $0 != line) bad = 1 }
                          END { exit bad || got != n }' "$work/wanted" "$work/apply.log"; then
                    { echo "wanted:"; cat "$work/wanted"; echo "got:"; cat "$work/apply.log"; } >"$work/diff"
                    fail "$what: the output differs" "$work/diff"
                fi
            done
        done
    done
}

# Each part, with the time it took, so that the suite's time can be kept in view. To run some
# parts only, or only the misuse cases whose label holds a text (as when a safeguard is broken on
# purpose to see its case fail): CREDBATCH_DB_PARTS="checked_misuse ..." CREDBATCH_DB_CASES=TEXT.
plain_client_parts=" countermeasure_password cut_script refused_statement not_utf8 backslash_misread "
for part in hostile_names checked_clean checked_mismatches checked_misuse \
    countermeasure_password "cut_script 'cut inside the hash' 59" "cut_script 'cut after the hash, before WHERE' 90" \
    "cut_script 'cut after the user name, before the semicolon' 116" refused_statement not_utf8 backslash_misread; do
    [[ -z ${CREDBATCH_DB_PARTS:-} || " $CREDBATCH_DB_PARTS " == *" ${part%% *} "* ]] || continue
    if ((windows)) && [[ $plain_client_parts == *" ${part%% *} "* ]]; then
        [[ ${part%% *} == "${skipped_part:-}" ]] ||
            echo "skipped: ${part%% *}: it tests the plain clients' reading of the script, the same under wine; the run without \"windows\" has it"
        skipped_part=${part%% *}
        continue
    fi
    part_started=$EPOCHREALTIME
    eval "$part"
    echo "time: ${part%% *}: $(((${EPOCHREALTIME/./} - ${part_started/./}) / 1000)) ms"
done

if ((failures)); then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "all database checks passed in $(((${EPOCHREALTIME/./} - ${started/./}) / 1000)) ms"

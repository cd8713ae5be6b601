#!/usr/bin/env bash
# run.sh TOOL: applies the scripts TOOL writes to a throwaway PostgreSQL, a throwaway MariaDB and
# SQLite with the apply commands the README gives, plain and checked, and checks what each table
# holds afterwards.
# Exit status 0 when every check passes; 1 when one fails or a server cannot be started.
# The servers are started and stopped by servers.sh beside it.
set -euo pipefail

if (($# != 1)); then
    echo "usage: $0 TOOL" >&2
    exit 2
fi
tool=$(readlink -f "$1")
apply_dir=$(cd "$(dirname "$0")/../../apply" && pwd)    # the checked apply's files, as installed
[[ -x $tool ]] || { echo "FAIL: $1 is not an executable" >&2; exit 1; }

# --- the servers -------------------------------------------------------------------------------

for program in perl sqlite3 awk; do
    command -v "$program" >/dev/null || { echo "FAIL: $program is missing (Debian: perl sqlite3 mawk)" >&2; exit 1; }
done
started=$EPOCHREALTIME
# shellcheck source=servers.sh
source "$(dirname "$0")/servers.sh"
start_servers fast

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
# README's note on collations describes: citext, utf8mb4_general_ci, NOCASE. And SQLite's own copy
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

echo "servers ready in $(((${EPOCHREALTIME/./} - ${started/./}) / 1000)) ms"

# --- the apply commands ------------------------------------------------------------------------
# Exactly the README's commands; the test adds only where the server is and who connects, and the
# database: "users" (a binary, unique user-name column) or "folded" (one that folds case).

readme_init="SET SESSION sql_mode = CONCAT(@@sql_mode, ',NO_BACKSLASH_ESCAPES'), autocommit = 0"

# plain_pg SETTING DATABASE SCRIPT: the plain command, standard_conforming_strings set to SETTING.
plain_pg() {
    PGOPTIONS="-c standard_conforming_strings=$1" "$pg_bin/psql" -h "$run" -U credbatch -d "$2" \
        -v ON_ERROR_STOP=1 -1 -f "$3"
}
# plain_my INIT_COMMAND DATABASE SCRIPT
plain_my() {
    { cat "$3"; echo 'COMMIT;'; } | mariadb --socket="$run/mysqld.sock" --user=root \
        --default-character-set=utf8mb4 --init-command="$1" "$2"
}
plain_lite() {
    sqlite3 -bail "$work/$1.db" <"$2"
}
# checked_pg commit|check DATABASE SCRIPT
checked_pg() {
    "$pg_bin/psql" -X -h "$run" -U credbatch -d "$2" \
        -f "$apply_dir/postgresql-begin.sql" -f "$3" -f "$apply_dir/postgresql-$1.sql"
}
# checked_my commit|check DATABASE SCRIPT [CLIENT_OPTION...]
checked_my() {
    local mode=$1 database=$2 script=$3
    shift 3
    awk -v engine=mariadb -v check="$([[ $mode == check ]] && echo 1)" -f "$apply_dir/checked-apply.awk" "$script" |
        mariadb --socket="$run/mysqld.sock" --user=root "$@" \
            --default-character-set=utf8mb4 --init-command="$readme_init" "$database"
}
# checked_lite commit|check DATABASE SCRIPT [SQLITE3_OPTION...]
checked_lite() {
    local mode=$1 database=$2 script=$3
    shift 3
    awk -v engine=sqlite -v check="$([[ $mode == check ]] && echo 1)" -f "$apply_dir/checked-apply.awk" "$script" |
        sqlite3 "${@--bail}" "$work/$database.db"
}

# apply_with DB VARIANT SCRIPT [OPTION...]: SCRIPT applied to DB (pg, my, lite; with -folded for
# that database) in VARIANT: plain, escapes (the one setting the README warns about left unsafe),
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
    *:checked) "checked_$engine" commit "$database" "$script" "$@" ;;
    *:check) "checked_$engine" check "$database" "$script" "$@" ;;
    esac
}

# --- helpers -----------------------------------------------------------------------------------

failures=0
fail() {
    printf 'FAIL: %s\n' "$1" >&2
    [[ -z ${2:-} ]] || sed 's/^/    /' "$2" >&2
    failures=$((failures + 1))
}
pass() { printf 'ok: %s\n' "$1"; }

hex() { printf '%s' "$1" | od -An -v -tx1 | tr -d ' \n'; }

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
    local engine=${1%-folded} database=users values="" k=0 row
    [[ $1 == *-folded ]] && database=folded
    shift
    for row in "$@"; do
        k=$((k + 1))
        case $engine in
        pg) values+="${values:+,}(convert_from(decode('$(hex "$row")', 'hex'), 'UTF8'), 'old-$k')" ;;
        my) values+="${values:+,}(CONVERT(UNHEX('$(hex "$row")') USING utf8mb4), 'old-$k')" ;;
        lite) values+="${values:+,}(CAST(X'$(hex "$row")' AS TEXT), 'old-$k')" ;;
        esac
    done
    case $engine in
    pg) pg "$database" -c "TRUNCATE DT511" -c "INSERT INTO DT511 VALUES $values" ;;
    my) my "$database" -e "DELETE FROM DT511; INSERT INTO DT511 VALUES $values" ;;
    lite) lite "$database" "DELETE FROM DT511; INSERT INTO DT511 VALUES $values" ;;
    esac
}

# dump_table DB: "hex-of-name hash" per row, sorted.
dump_table() {
    local engine=${1%-folded} database=users
    [[ $1 == *-folded ]] && database=folded
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
    local script=$1 k=0 row key
    shift
    local -A value=()
    while (($#)) && [[ $1 != -- ]]; do
        k=$((k + 1))
        value[$(hex "$1")]=old-$k
        shift
    done
    shift
    k=0
    for row in "$@"; do
        k=$((k + 1))
        key=$(hex "$row")
        if [[ -n $key && -v value[$key] ]]; then
            value[$key]=$(hash_of "$script" "$k")
        fi
    done
    for key in "${!value[@]}"; do
        printf '%s %s\n' "$key" "${value[$key]}"
    done | LC_ALL=C sort
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
    if [[ $wanted == 0 && $status -ne 0 ]] || [[ $wanted == non-zero && $status -eq 0 ]]; then
        fail "$label: the $2 command on $1 ended with status $status, wanted $wanted; its output:" "$work/apply.log"
        return 1
    fi
}

# run_tool INPUT SCRIPT: the tool over INPUT into SCRIPT; its status in tool_status, messages in $work/tool.err.
run_tool() {
    tool_status=0
    "$tool" "$1" >"$2" 2>"$work/tool.err" || tool_status=$?
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

    on_both "hostile names" "$work/hostile.sql" 0 plain "each named row has its own new hash, no other row touched" \
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
        fail "FF FF 61 password: pgcrypto now accepts the tool's hash; the README's note on it must change"
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
    on_both "refused statement" "$work/refused.sql" non-zero plain "nothing applied, the command failed" "${rows[@]}" --
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
                wanted="each of the ${#names[@]} statements changed exactly one row"
            else
                check_table "clean script, check only ($db): the table is unchanged" "$db" "$work/clean.sql" "${rows[@]}" --
                wanted="each of the ${#names[@]} statements would change exactly one row"
            fi
            grep -q "$wanted" "$work/apply.log" || fail "clean script, $variant ($db): no line \"$wanted\"" "$work/apply.log"
        done
    done
    # The same script once more: ROW_COUNT() counts changed rows, and each row holds its hash already.
    load_table my "${rows[@]}"
    if apply "clean script applied once (my)" 0 my checked "$work/clean.sql" &&
        apply "clean script applied twice (my)" non-zero my checked "$work/clean.sql"; then
        local lines
        lines=$(grep -c ": 1 row matches, and it already holds this hash$" "$work/apply.log" || true)
        ((lines == ${#names[@]})) || fail "clean script applied twice (my): $lines of ${#names[@]} statements named as unchanged" "$work/apply.log"
    fi
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

# What an administrator might get wrong around the checked apply, and what the filter refuses.
checked_misuse() {
    local names=() passwords=()
    local rows=(alice bob)
    user alice pw-alice
    user carol pw-carol
    user bob pw-bob
    write_input "$work/misuse.txt"
    run_tool "$work/misuse.txt" "$work/misuse.sql"
    # A client told to carry on past errors, with the plain command's COMMIT added out of habit,
    # still commits nothing after a mismatch (mariadb --force then ends with status 0).
    load_table my "${rows[@]}"
    { awk -v engine=mariadb -f "$apply_dir/checked-apply.awk" "$work/misuse.sql"; echo 'COMMIT;'; } |
        mariadb --socket="$run/mysqld.sock" --user=root --force --default-character-set=utf8mb4 \
            --init-command="$readme_init" users >"$work/apply.log" 2>&1 || true
    check_table "mismatch under mariadb --force, COMMIT added: nothing committed" my "$work/misuse.sql" "${rows[@]}" --
    load_table lite "${rows[@]}"
    apply "mismatch under sqlite3 without -bail" non-zero lite checked "$work/misuse.sql" -batch &&
        check_table "mismatch under sqlite3 without -bail: nothing committed" lite "$work/misuse.sql" "${rows[@]}" --
    # A replica role skips ordinary triggers, the check's among them: refused before the first statement.
    load_table pg "${rows[@]}"
    if PGOPTIONS='-c session_replication_role=replica' apply_with pg checked "$work/misuse.sql" >"$work/apply.log" 2>&1; then
        fail "PostgreSQL session with session_replication_role=replica: status 0" "$work/apply.log"
    else
        check_table "PostgreSQL session with session_replication_role=replica: refused, nothing applied" pg "$work/misuse.sql" "${rows[@]}" --
    fi
    # A MariaDB session with autocommit left on, where each statement would commit on its own, is
    # refused before the first statement.
    load_table my "${rows[@]}"
    if awk -v engine=mariadb -f "$apply_dir/checked-apply.awk" "$work/misuse.sql" |
        mariadb --socket="$run/mysqld.sock" --user=root --default-character-set=utf8mb4 \
            --init-command="SET SESSION sql_mode = CONCAT(@@sql_mode, ',NO_BACKSLASH_ESCAPES')" users >"$work/apply.log" 2>&1; then
        fail "MariaDB session with autocommit on: status 0" "$work/apply.log"
    else
        check_table "MariaDB session with autocommit on: refused, nothing applied" my "$work/misuse.sql" "${rows[@]}" --
    fi
    # A line that is not a statement as credbatch writes it: a COMMIT slipped in after the first
    # would commit that one on its own.
    names=(alice bob) passwords=(pw-alice pw-bob)
    write_input "$work/misuse.txt"
    run_tool "$work/misuse.txt" "$work/misuse.sql"
    { head -n 1 "$work/misuse.sql"; echo 'COMMIT;'; tail -n +2 "$work/misuse.sql"; } >"$work/edited.sql"
    on_each "my lite" "edited script, checked" "$work/edited.sql" non-zero checked "the filter stopped at line 2, nothing committed" \
        "${rows[@]}" --
}

# Nothing of the checked apply is left in any schema, whatever happened above, nor after a client
# killed halfway.
checked_leaves_nothing() {
    local db leftovers names=() passwords=()
    user alice pw-alice
    write_input "$work/killed.txt"
    run_tool "$work/killed.txt" "$work/killed.sql"
    load_table pg alice
    mkfifo "$work/fifo"
    "$pg_bin/psql" -X -h "$run" -U credbatch -d users -f "$apply_dir/postgresql-begin.sql" -f "$work/fifo" \
        -f "$apply_dir/postgresql-commit.sql" >"$work/apply.log" 2>&1 &
    local psql_pid=$!
    exec 3>"$work/fifo"
    cat "$work/killed.sql" >&3
    # Until the UPDATE has run, with the trigger in place; then the client is killed.
    for _ in $(seq 100); do
        [[ $(pg postgres -c "SELECT count(*) FROM pg_stat_activity WHERE datname = 'users' AND state = 'idle in transaction'") == 1 ]] && break
        sleep 0.1
    done
    kill -KILL "$psql_pid"
    wait "$psql_pid" 2>/dev/null || true
    exec 3>&-
    rm "$work/fifo"
    for _ in $(seq 100); do
        [[ $(pg postgres -c "SELECT count(*) FROM pg_stat_activity WHERE datname = 'users'") == 0 ]] && break
        sleep 0.1
    done
    check_table "psql killed halfway: nothing committed" pg "$work/killed.sql" alice --

    for db in users folded; do
        leftovers=$(pg "$db" -c "SELECT tgname FROM pg_trigger WHERE NOT tgisinternal
                                 UNION ALL SELECT proname FROM pg_proc WHERE proname LIKE 'credbatch%'
                                 UNION ALL SELECT relname FROM pg_class WHERE relname LIKE 'credbatch%'")
        [[ -z $leftovers ]] || fail "PostgreSQL database $db holds: $leftovers"
        leftovers=$(my -e "SELECT table_name FROM information_schema.tables WHERE table_schema = '$db' AND table_name <> 'DT511'
                           UNION ALL SELECT routine_name FROM information_schema.routines WHERE routine_schema = '$db'
                           UNION ALL SELECT trigger_name FROM information_schema.triggers WHERE trigger_schema = '$db'")
        [[ -z $leftovers ]] || fail "MariaDB database $db holds: $leftovers"
        leftovers=$(lite "$db" "SELECT name FROM sqlite_master WHERE name NOT IN ('DT511', 'sqlite_autoindex_DT511_1')")
        [[ -z $leftovers ]] || fail "SQLite database $db holds: $leftovers"
    done
    pass "checked apply: nothing left in any schema, also after psql was killed halfway"
}

hostile_names
checked_clean
checked_mismatches
checked_misuse
checked_leaves_nothing
countermeasure_password
cut_script "cut inside the hash" 59
cut_script "cut after the hash, before WHERE" 90
cut_script "cut after the user name, before the semicolon" 116
refused_statement
not_utf8
backslash_misread

if ((failures)); then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "all database checks passed in $(((${EPOCHREALTIME/./} - ${started/./}) / 1000)) ms"

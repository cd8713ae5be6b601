#!/usr/bin/env bash
# run.sh TOOL: applies the scripts TOOL writes to a throwaway PostgreSQL, a throwaway MariaDB and
# SQLite with the apply commands credbatch-apply(1) gives, plain and checked, and checks what each table
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
golden_dir=$(cd "$(dirname "$0")/expected" && pwd)    # the streams the filter must make
[[ -x $tool ]] || { echo "FAIL: $1 is not an executable" >&2; exit 1; }

# --- the servers -------------------------------------------------------------------------------

for program in perl sqlite3 awk mawk gawk; do
    command -v "$program" >/dev/null || { echo "FAIL: $program is missing (Debian: perl sqlite3 mawk gawk)" >&2; exit 1; }
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

echo "servers ready in $(((${EPOCHREALTIME/./} - ${started/./}) / 1000)) ms"

# --- the apply commands ------------------------------------------------------------------------
# The plain commands exactly as credbatch-apply(1) gives them, and the checked apply as installed, with
# only where the server is and who connects added, and the database: "users" (a binary, unique
# user-name column) or "folded" (one that folds case).

readme_init="SET SESSION sql_mode = CONCAT(@@sql_mode, ',NO_BACKSLASH_ESCAPES'), autocommit = 0"
checked_apply=$apply_dir/credbatch-apply

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

# connection ENGINE DATABASE: the client arguments that reach DATABASE on the test servers.
connection() {
    case $1 in
    pg) printf '%s\n' -h "$run" -U credbatch "$2" ;;
    my) printf '%s\n' --no-defaults --socket="$run/mysqld.sock" --user=root "$2" ;;
    lite) printf '%s\n' "$work/$2.db" ;;
    esac
}
engine_name() {
    case $1 in
    pg) echo postgresql ;;
    my) echo mariadb ;;
    lite) echo sqlite ;;
    esac
}

# checked ENGINE commit|check DATABASE SCRIPT [CLIENT_ARGUMENT...]: the checked apply.
checked() {
    local engine=$1 mode=$2 database=$3 script=$4 args flag=()
    shift 4
    [[ $mode == check ]] && flag=(--check)
    mapfile -t args < <(connection "$engine" "$database")
    "$checked_apply" "$(engine_name "$engine")" "${flag[@]}" "$script" -- "${args[@]}" "$@"
}

# stream ENGINE [check]: the filter alone, as credbatch-apply runs it, reading standard input.
stream() {
    LC_ALL=C awk -v engine="$(engine_name "$1")" -v check="$([[ ${2:-} == check ]] && echo 1)" \
        -f "$apply_dir/common.awk" -f "$apply_dir/checked-apply.awk"
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
    case $engine in
    pg) pg "$database" -c "DELETE FROM DT511" -c "INSERT INTO DT511 (DI010323, DI059177) VALUES $values" ;;
    my) my "$database" -e "DELETE FROM DT511; INSERT INTO DT511 (DI010323, DI059177) VALUES $values" ;;
    lite) lite "$database" "DELETE FROM DT511; INSERT INTO DT511 (DI010323, DI059177) VALUES $values" ;;
    esac
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
# script the tool writes for USERS applied as HOW says, and then the table read back: in the
# checked mode, row HITS[K] holds statement K's hash ("-": none) and every other row its old
# value; checking only, the table is unchanged. An engine may be followed by ":commit" where
# the case means nothing when checking only. The status (0, 1, 2, or "any" for the client run
# by hand) and the output (lines joined by "^"; a line ending in "*" is a prefix; "OK" is the
# success line of the mode; "-" for the client run by hand, whose words are its own) must match.
# In USERS, ROWS and HITS, a word @NAME:A-B stands for NAMEA, ..., NAMEB, for scripts of more than
# one block of statements.
#
# label | engines | KIND | USERS | ROWS | HOW | HITS | status | output
misuse_cases=(
    "a statement refused in the middle of the second of three blocks|pg my lite|plain|@u:1-149 frozen @u:150-209|@u:1-209 frozen|command|-|1|statement 150, user 'frozen': failed: *^checked apply: statement 150 failed; nothing was committed"
    "finding 1: a statement the server refuses, under --force|pg my lite|plain|alpha frozen omega|alpha frozen omega|force|-|1|statement 2, user 'frozen': failed: *^checked apply: statement 2 failed; nothing was committed"
    "finding 1: force in ~/.my.cnf, and autocommit on by its init-command|my|plain|alpha frozen omega|alpha frozen omega|mycnf|-|1|statement 2, user 'frozen': failed: *^checked apply: statement 2 failed; nothing was committed"
    "finding 1: the stream run by hand through SOURCE under --force|my|plain|alpha frozen omega|alpha frozen omega|hand_source|-|any|-"
    "finding 2: a backslash name under --force with autocommit on and escapes read|my|plain|alpha \\';DROP/**/TABLE/**/DT511;#x omega|alpha \\';DROP/**/TABLE/**/DT511;#x omega \\|init_unsafe|alpha \\';DROP/**/TABLE/**/DT511;#x omega|0|OK"
    "finding 2: the same name, the stream run by hand, no option set|my|plain|alpha \\';DROP/**/TABLE/**/DT511;#x omega|alpha \\';DROP/**/TABLE/**/DT511;#x omega \\|hand_plain|alpha \\';DROP/**/TABLE/**/DT511;#x omega|any|-"
    "finding 3: a folding collation and a trigger that leaves Alice unchanged|pg my lite|skip_alice|alice|alice Alice|command|-|1|statement 1, user 'alice': 2 rows match^checked apply: 1 of 1 statements did not change exactly one row; nothing was committed"
    "finding 3: the script applied again after a lookalike row appeared|pg:commit my:commit lite:commit|folded|alice|alice Alice|lookalike|alice|1|statement 1, user 'alice': 2 rows match^checked apply: 1 of 1 statements did not change exactly one row; nothing was committed"
    "finding 4: a mistyped script name|pg my lite|plain|alpha|alpha|mistyped|-|2|credbatch-apply: cannot read *"
    "finding 4: the stream run by hand with ON_ERROR_STOP off and no -X|pg|plain|alpha frozen omega|alpha frozen omega|hand_plain|-|any|-"
    "finding 5: a rewrite rule on DT511|pg|rule|alpha omega|alpha omega|command|-|1|checked apply: DT511 has the rewrite rule r, which would hide the updates from the check; nothing was committed"
    "finding 5: session_replication_role = replica|pg|plain|alpha omega|alpha omega|replica|-|1|checked apply: session_replication_role is replica, under which triggers and rules do not fire as they do in use; nothing was committed"
    "finding 6: a trigger's RAISE(ROLLBACK)|lite|rollback|alpha frozen omega|alpha frozen omega|command|-|1|statement 2, user 'frozen': failed: frozen account^checked apply: statement 2 failed; nothing was committed"
    "finding 6: the same, the stream run by hand without -bail|lite|rollback|alpha frozen omega|alpha frozen omega|hand_plain|-|any|-"
    "finding 6: another process holds the write lock|lite|plain|alpha omega|alpha omega|locked|-|1|database is locked^checked apply: the client (sqlite) stopped with status 1 before the check was done; nothing was committed"
    "finding 7: completion_type = RELEASE on the server|my|plain|alpha omega|alpha omega|release|alpha omega|0|OK"
    "finding 8: a COMMIT edited into the script|pg my lite|plain|alpha omega|alpha omega|edited|-|1|checked apply: line 2 of the script is not a statement as credbatch writes it; nothing was committed"
    "finding 9: PGCLIENTENCODING=LATIN1|pg|plain|café|café cafÃ©|latin1|café|0|OK"
    "finding 10: gawk in a UTF-8 locale, a name that is not UTF-8|lite|plain|alpha bad\xe9name|alpha bad\xe9name|gawk|alpha bad\xe9name|0|OK"
    "finding 10: gawk in a UTF-8 locale, a name that is not UTF-8|my|plain|alpha bad\xe9name|alpha|gawk|-|1|statement 2, user 'bad\\xE9name': no row matches^checked apply: 1 of 2 statements did not change exactly one row; nothing was committed"
    "finding 10: gawk in a UTF-8 locale, a name that is not UTF-8|pg|plain|alpha bad\xe9name|alpha|gawk|-|1|statement 2, user 'bad\\xE9name': failed: not valid UTF-8, which PostgreSQL refuses^checked apply: statement 2 failed; nothing was committed"
    "finding 10: mawk, a script with CR LF line ends|pg my lite|plain|alpha o'neil|alpha o'neil|mawk_crlf|alpha o'neil|0|OK"
    "finding 11: a reader holds the database while the COMMIT waits|lite:commit|plain|alpha omega|alpha omega|reader|-|1|database is locked^checked apply: the COMMIT failed; nothing was committed"
    "finding 12: a row trigger that updates DT511 itself|pg lite|touch|alpha omega|alpha omega|command|alpha omega|0|OK"
    "finding 13: a trigger keeps the old hash|pg lite|keep|alpha kept|alpha kept|command|-|1|statement 2, user 'kept': 1 row matches and the UPDATE changed it, but it does not hold the new hash (a trigger altered it)^checked apply: 1 of 2 statements did not change exactly one row; nothing was committed"
    "finding 13: a trigger keeps the old hash|my|keep|alpha kept|alpha kept|command|-|1|statement 2, user 'kept': 1 row matches, but the UPDATE changed none (a trigger skipped it or kept its old hash)^checked apply: 1 of 2 statements did not change exactly one row; nothing was committed"
    "finding 13: a trigger skips the row|pg lite|skip|alpha kept|alpha kept|command|-|1|statement 2, user 'kept': 1 row matches, but the UPDATE changed none (a trigger skipped it or kept its old hash)^checked apply: 1 of 2 statements did not change exactly one row; nothing was committed"
    "finding 13: DT511 a view|pg my lite|view|alpha omega|alpha omega|command|-|1|checked apply: DT511 is a view, not a table, so its updates cannot be checked; nothing was committed"
    "psql options that would carry on past errors|pg|plain|alpha frozen omega|alpha frozen omega|pg_vars|-|1|statement 2, user 'frozen': failed: *^checked apply: statement 2 failed; nothing was committed"
    "a user name longer than the table's column|pg my lite|narrow|alpha longer-than-eight omega|alpha omega|command|-|1|statement 2, user 'longer-than-eight': no row matches^checked apply: 1 of 3 statements did not change exactly one row; nothing was committed"
    "an empty script|pg my lite|plain||alpha|empty|-|1|checked apply: the script holds no statement; nothing was committed"
)

# make_table DB KIND: DT511 made afresh as KIND in DB (pg-misuse, my-misuse, lite-misuse).
make_table() {
    local engine=${1%%-*} kind=$2
    local name="DI010323 varchar(100) NOT NULL" key=", PRIMARY KEY (DI010323)" extra=""
    case $engine:$kind in
    pg:skip_alice | pg:folded) name="DI010323 citext NOT NULL" key="" ;;
    my:skip_alice | my:folded) name="DI010323 VARCHAR(100) COLLATE utf8mb4_general_ci NOT NULL" key="" ;;
    lite:skip_alice | lite:folded) name="DI010323 TEXT NOT NULL COLLATE NOCASE" key="" ;;
    *:narrow) name="DI010323 varchar(8) NOT NULL" ;;
    esac
    local columns="$name, DI059177 varchar(60) NOT NULL, touched integer NOT NULL DEFAULT 0,
                   CHECK (DI010323 <> 'frozen' OR DI059177 LIKE 'old-%')$key"
    case $engine in
    pg)
        local sql=()
        case $kind in
        view) sql+=(-c "CREATE TABLE base ($columns)" -c "CREATE VIEW DT511 AS SELECT * FROM base") ;;
        *) sql+=(-c "CREATE TABLE DT511 ($columns)") ;;
        esac
        case $kind in
        skip_alice) extra="IF OLD.DI010323::text = 'Alice' THEN RETURN NULL; END IF; RETURN NEW;" ;;
        skip) extra="IF OLD.DI010323 = 'kept' THEN RETURN NULL; END IF; RETURN NEW;" ;;
        keep) extra="IF OLD.DI010323 = 'kept' THEN NEW.DI059177 := OLD.DI059177; END IF; RETURN NEW;" ;;
        rule) sql+=(-c "CREATE TABLE audit (n int)" -c "CREATE RULE r AS ON UPDATE TO DT511 DO INSTEAD INSERT INTO audit VALUES (1)") ;;
        touch) sql+=(-c "CREATE FUNCTION touch() RETURNS trigger LANGUAGE plpgsql AS \$\$ BEGIN
                   IF pg_trigger_depth() = 1 THEN UPDATE DT511 SET touched = touched + 1 WHERE DI010323 = NEW.DI010323; END IF;
                   RETURN NULL; END \$\$" -c "CREATE TRIGGER touch AFTER UPDATE ON DT511 FOR EACH ROW EXECUTE FUNCTION touch()") ;;
        esac
        if [[ -n $extra ]]; then
            sql+=(-c "CREATE FUNCTION guard() RETURNS trigger LANGUAGE plpgsql AS \$\$ BEGIN $extra END \$\$"
                  -c "CREATE TRIGGER guard BEFORE UPDATE ON DT511 FOR EACH ROW EXECUTE FUNCTION guard()")
        fi
        # A fresh schema each time; citext stays in public.
        pg misuse -c "SET client_min_messages = warning" -c "DROP SCHEMA IF EXISTS misuse CASCADE" -c "CREATE SCHEMA misuse" \
            -c "SET search_path = misuse, public" "${sql[@]}"
        ;;
    my)
        my -e "DROP DATABASE misuse; CREATE DATABASE misuse CHARACTER SET utf8mb4 COLLATE utf8mb4_bin"
        case $kind in
        view) my misuse -e "CREATE TABLE base ($columns) ENGINE=InnoDB; CREATE VIEW DT511 AS SELECT * FROM base" ;;
        *) my misuse -e "CREATE TABLE DT511 ($columns) ENGINE=InnoDB" ;;
        esac
        case $kind in
        skip_alice) extra="IF(BINARY OLD.DI010323 = 'Alice', OLD.DI059177, NEW.DI059177)" ;;
        keep) extra="IF(OLD.DI010323 = 'kept', OLD.DI059177, NEW.DI059177)" ;;
        esac
        [[ -z $extra ]] || my misuse -e "CREATE TRIGGER guard BEFORE UPDATE ON DT511 FOR EACH ROW SET NEW.DI059177 = $extra"
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
        skip_alice) extra="BEFORE UPDATE ON DT511 WHEN OLD.DI010323 = 'Alice' COLLATE BINARY BEGIN SELECT RAISE(IGNORE); END" ;;
        skip) extra="BEFORE UPDATE ON DT511 WHEN OLD.DI010323 = 'kept' BEGIN SELECT RAISE(IGNORE); END" ;;
        keep) extra="AFTER UPDATE ON DT511 WHEN OLD.DI010323 = 'kept' BEGIN UPDATE DT511 SET DI059177 = OLD.DI059177 WHERE DI010323 = 'kept'; END" ;;
        rollback) extra="BEFORE UPDATE ON DT511 WHEN OLD.DI010323 = 'frozen' BEGIN SELECT RAISE(ROLLBACK, 'frozen account'); END" ;;
        touch) extra="AFTER UPDATE ON DT511 BEGIN UPDATE DT511 SET touched = touched + 1 WHERE DI010323 = NEW.DI010323; END" ;;
        esac
        [[ -z $extra ]] || lite misuse "CREATE TRIGGER guard $extra"
        ;;
    esac
}

# run_how HOW ENGINE MODE SCRIPT: the apply as HOW says, its output in $work/apply.log, its status
# in how_status.
run_how() {
    local how=$1 engine=$2 mode=$3 script=$4 args
    mapfile -t args < <(connection "$engine" misuse)
    how_status=0
    case $how in
    command) checked "$engine" "$mode" misuse "$script" ;;
    force)
        case $engine in
        pg) checked "$engine" "$mode" misuse "$script" --set=ON_ERROR_STOP=0 ;;
        my) checked "$engine" "$mode" misuse "$script" --force ;;
        lite) checked "$engine" "$mode" misuse "$script" -cmd '.bail off' ;;
        esac ;;
    mycnf)
        mkdir -p "$work/home"
        printf '[client]\nforce\n[mysql]\nforce\ninit-command=SET autocommit = 1\nprint-query-on-error\n' >"$work/home/.my.cnf"
        local flag=()
        [[ $mode == check ]] && flag=(--check)
        HOME=$work/home "$checked_apply" mariadb "${flag[@]}" "$script" --socket="$run/mysqld.sock" --user=root misuse ;;
    init_unsafe) checked "$engine" "$mode" misuse "$script" --force --init-command="SET SESSION autocommit = 1, sql_mode = ''" ;;
    release)
        my -e "SET GLOBAL completion_type = 'RELEASE'"
        checked "$engine" "$mode" misuse "$script"
        how_status=$?
        my -e "SET GLOBAL completion_type = 'NO_CHAIN'"
        return ;;
    latin1) PGCLIENTENCODING=LATIN1 LC_ALL=C checked "$engine" "$mode" misuse "$script" ;;
    replica) PGOPTIONS='-c session_replication_role=replica' checked "$engine" "$mode" misuse "$script" ;;
    pg_vars) checked "$engine" "$mode" misuse "$script" --set=ON_ERROR_STOP=0 --set=ON_ERROR_ROLLBACK=on --set=AUTOCOMMIT=off ;;
    gawk) AWK=gawk LC_ALL=C.UTF-8 checked "$engine" "$mode" misuse "$script" ;;
    mawk_crlf) sed 's/$/\r/' "$script" >"$work/crlf.sql" && AWK=mawk checked "$engine" "$mode" misuse "$work/crlf.sql" ;;
    edited) { head -n 1 "$script"; echo 'COMMIT;'; tail -n +2 "$script"; } >"$work/edited.sql" &&
        checked "$engine" "$mode" misuse "$work/edited.sql" ;;
    mistyped) checked "$engine" "$mode" misuse "${script%.sql}.sq" ;;
    lookalike)
        # Applied once while only alice was there; then Alice appears, and the script runs again.
        case $engine in
        pg) pg misuse -c "DELETE FROM DT511 WHERE DI010323::text = 'Alice'" ;;
        my) my misuse -e "DELETE FROM DT511 WHERE BINARY DI010323 = 'Alice'" ;;
        lite) lite misuse "DELETE FROM DT511 WHERE DI010323 = 'Alice' COLLATE BINARY" ;;
        esac
        checked "$engine" commit misuse "$script" >/dev/null 2>&1 || how_status=$?
        case $engine in
        pg) pg misuse -c "INSERT INTO DT511 (DI010323, DI059177) VALUES ('Alice', 'old-2')" ;;
        my) my misuse -e "INSERT INTO DT511 (DI010323, DI059177) VALUES ('Alice', 'old-2')" ;;
        lite) lite misuse "INSERT INTO DT511 (DI010323, DI059177) VALUES ('Alice', 'old-2')" ;;
        esac
        ((how_status == 0)) || { echo "the first apply failed"; return; }
        checked "$engine" "$mode" misuse "$script" ;;
    empty) : >"$work/empty.sql" && checked "$engine" "$mode" misuse "$work/empty.sql" ;;
    hand_plain)
        stream "$engine" "$mode" <"$script" >"$work/stream.sql"
        case $engine in
        pg) "$pg_bin/psql" -v ON_ERROR_STOP=0 -h "$run" -U credbatch misuse <"$work/stream.sql" ;;
        my) mariadb --no-defaults --socket="$run/mysqld.sock" --user=root --force misuse <"$work/stream.sql" ;;
        lite) sqlite3 "$work/misuse.db" <"$work/stream.sql" ;;
        esac ;;
    hand_source)
        stream "$engine" "$mode" <"$script" >"$work/stream.sql"
        echo "SOURCE $work/stream.sql" | mariadb --no-defaults --socket="$run/mysqld.sock" --user=root --force misuse ;;
    locked | reader)
        # Another process holds the database: the write lock from the start, or a read lock while
        # the COMMIT wants it.
        { if [[ $how == locked ]]; then echo 'BEGIN IMMEDIATE;'; else echo 'BEGIN; SELECT count(*) FROM DT511;'; fi; sleep 3; echo 'COMMIT;'; } |
            sqlite3 "$work/misuse.db" >/dev/null &
        local holder=$!
        sleep 0.5
        checked "$engine" "$mode" misuse "$script"
        how_status=$?
        wait "$holder"
        return ;;
    esac >"$work/apply.log" 2>&1 || how_status=$?
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

checked_misuse() {
    local entry label engines kind users rows how hits status output db mode
    for entry in "${misuse_cases[@]}"; do
        IFS='|' read -r label engines kind users rows how hits status output <<<"$entry"
        [[ -z ${CREDBATCH_DB_CASES:-} || $label == *"$CREDBATCH_DB_CASES"* ]] || continue
        local names=() passwords=() name row_list=() hit_list=()
        local words
        mapfile -t words < <(misuse_words "$users")
        for name in "${words[@]}"; do user "$(printf '%b' "$name")" "pw-$name"; done
        mapfile -t words < <(misuse_words "$rows")
        for name in "${words[@]}"; do row_list+=("$(printf '%b' "$name")"); done
        mapfile -t words < <(misuse_words "$hits")
        for name in "${words[@]}"; do [[ $name == - ]] || hit_list+=("$(printf '%b' "$name")"); done
        write_input "$work/misuse.txt"
        run_tool "$work/misuse.txt" "$work/misuse.sql"
        for db in $engines; do
            local modes="commit check"
            if [[ $db == *:* ]]; then
                modes=${db#*:}
                db=${db%:*}
            fi
            for mode in $modes; do
                make_table "$db-misuse" "$kind"
                load_table "$db-misuse" "${row_list[@]}"
                run_how "$how" "$db" "$mode" "$work/misuse.sql"
                local what="$label, $mode ($db)"
                if [[ $mode == commit ]]; then
                    check_table "$what: the table" "$db-misuse" "$work/misuse.sql" "${row_list[@]}" -- "${hit_list[@]}"
                else
                    check_table "$what: the table is unchanged" "$db-misuse" "$work/misuse.sql" "${row_list[@]}" --
                fi
                [[ $status == any ]] || ((how_status == status)) ||
                    fail "$what: status $how_status, wanted $status" "$work/apply.log"
                [[ $output == - ]] && continue
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

# Nothing of the checked apply is left where its temporary objects live: asked in the same session
# right after the stream, committed, checked only, and (MariaDB, carrying on past errors) refused;
# and a psql killed while its UPDATE holds the row commits nothing and leaves nothing.
checked_leaves_nothing() {
    local names=() passwords=() engine mode script leftovers
    user alice pw-alice
    user bob pw-bob
    write_input "$work/left.txt"
    run_tool "$work/left.txt" "$work/left.sql"
    { head -n 1 "$work/left.sql"; printf '%s\n' "UPDATE DT511 SET DI059177 = '$(hash_of "$work/left.sql" 1)' WHERE DI010323 = 'carol';"; } >"$work/left-mismatch.sql"
    for engine in pg my lite; do
        for mode in commit check mismatch; do
            script=$work/left.sql
            [[ $mode == mismatch ]] && script=$work/left-mismatch.sql
            [[ $mode == mismatch && $engine != my ]] && continue    # the other clients end the session there
            load_table "$engine" alice bob
            case $engine in
            pg) { stream pg "$mode" <"$script"
                  echo "SELECT 'left: ' || relname FROM pg_catalog.pg_class WHERE relname LIKE 'credbatch%' AND relpersistence = 't';"; } |
                    "$pg_bin/psql" -X -h "$run" -U credbatch users ;;
            my) { stream my "$mode" <"$script"
                  echo "SELECT 'left: credbatch_ran' FROM (SELECT COUNT(*) FROM credbatch_ran) AS x//"
                  echo "SELECT 'left: credbatch_mismatch' FROM (SELECT COUNT(*) FROM credbatch_mismatch) AS x//"; } |
                    mariadb --no-defaults --socket="$run/mysqld.sock" --user=root --force users ;;
            lite) { stream lite "$mode" <"$script"
                    echo "SELECT 'left: ' || name FROM sqlite_temp_master;"; } | sqlite3 "$work/users.db" ;;
            esac >"$work/left.log" 2>&1 || true
            leftovers=$(grep '^left: ' "$work/left.log" || true)
            [[ -z $leftovers ]] || fail "checked apply, $mode ($engine): the session still holds: $leftovers" "$work/left.log"
            grep -q '^checked apply: ' "$work/left.log" || fail "checked apply, $mode ($engine): the stream did not get to its end" "$work/left.log"
        done
    done
    pass "checked apply: nothing left in the session, committed, checked only, or refused and carried on"

    # psql killed halfway: the stream up to its last step goes through a FIFO, and the client is
    # killed once its UPDATE holds the row, as a second session finds; then nothing may be
    # committed. (Its temporary tables, made in the transaction, are never seen by another session.)
    load_table pg alice bob
    stream pg <"$work/left.sql" >"$work/killed-stream.sql"
    mkfifo "$work/fifo"
    "$pg_bin/psql" -X -h "$run" -U credbatch -d users -f "$work/fifo" >"$work/apply.log" 2>&1 &
    local psql_pid=$! held=0
    exec 3>"$work/fifo"
    sed "/^SELECT 'statement '/,\$d" "$work/killed-stream.sql" >&3
    for _ in $(seq 100); do
        if ! pg users -c "SELECT 1 FROM DT511 WHERE DI010323 = 'alice' FOR UPDATE NOWAIT" >/dev/null 2>&1; then
            held=1
            break
        fi
        sleep 0.1
    done
    kill -KILL "$psql_pid"
    wait "$psql_pid" 2>/dev/null || true
    exec 3>&-
    rm "$work/fifo"
    if ((!held)); then
        fail "psql killed halfway: its UPDATE never held the row within 10 s" "$work/apply.log"
        return
    fi
    for _ in $(seq 100); do
        [[ $(pg postgres -c "SELECT count(*) FROM pg_stat_activity WHERE datname = 'users' AND pid <> pg_backend_pid()") == 0 ]] && break
        sleep 0.1
    done
    check_table "psql killed while its UPDATE held the row: nothing committed" pg "$work/left.sql" alice bob --
}

# The stream the filter makes for a small script, on each engine, against the reviewed text in
# tests/db/expected/: a change of the filter shows as a difference of SQL. The script is fixed
# (hashes included), so that the text is too.
golden_streams() {
    local engine file
    for engine in pg my lite; do
        for awk_program in mawk gawk; do
            file=$golden_dir/$(engine_name "$engine").sql
            LC_ALL=C "$awk_program" -v engine="$(engine_name "$engine")" -f "$apply_dir/common.awk" -f "$apply_dir/checked-apply.awk" \
                "$golden_dir/update.sql" >"$work/stream.sql" 2>&1 || true
            if diff -u "$file" "$work/stream.sql" >"$work/diff"; then
                pass "the $(engine_name "$engine") stream ($awk_program) is exactly $(basename "$file")"
            else
                fail "the $(engine_name "$engine") stream ($awk_program) differs from tests/db/expected/$(basename "$file") (- expected, + made)" "$work/diff"
            fi
        done
    done
}

# Each part, with the time it took, so that the suite's time can be kept in view. To run some
# parts only, or only the misuse cases whose label holds a text (as when a safeguard is broken on
# purpose to see its case fail): CREDBATCH_DB_PARTS="checked_misuse ..." CREDBATCH_DB_CASES=TEXT.
for part in golden_streams hostile_names checked_clean checked_mismatches checked_misuse checked_leaves_nothing \
    countermeasure_password "cut_script 'cut inside the hash' 59" "cut_script 'cut after the hash, before WHERE' 90" \
    "cut_script 'cut after the user name, before the semicolon' 116" refused_statement not_utf8 backslash_misread; do
    [[ -z ${CREDBATCH_DB_PARTS:-} || " $CREDBATCH_DB_PARTS " == *" ${part%% *} "* ]] || continue
    part_started=$EPOCHREALTIME
    eval "$part"
    echo "time: ${part%% *}: $(((${EPOCHREALTIME/./} - ${part_started/./}) / 1000)) ms"
done

if ((failures)); then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "all database checks passed in $(((${EPOCHREALTIME/./} - ${started/./}) / 1000)) ms"

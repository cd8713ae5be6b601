# The checked apply's filter: turns a credbatch script into one checked transaction for the
# database's own client. credbatch-apply runs it as
#
#   LC_ALL=C awk -v engine=postgresql|mariadb|sqlite [-v check=1] -f common.awk -f checked-apply.awk SCRIPT
#
# and pipes the result into psql, mariadb or sqlite3. Every statement of the script goes through
# unchanged, in its own place. Before it, the stream counts the rows its WHERE matches (under the
# column's own collation) and those of them that already hold its hash (compared byte for byte);
# after it, it takes the engine's own count of the rows the UPDATE changed (nested updates made by
# triggers do not count there) and counts the matched rows that now hold the hash. A statement is
# good when exactly one row matched, it did not hold the hash before, the engine counted one row,
# and that row holds the hash now; every other one is noted, with its line in the script and its
# user name as the script writes it. Each statement that ran adds itself to a count kept in a
# temporary table inside the same transaction, so a transaction rolled back behind the stream's
# back, or a statement that never ran, leaves that count short. The last step commits only when
# the count equals the number of lines of the script and nothing was noted; otherwise it names the
# noted statements, rolls back and stops the client with an error.
#
# The stream sets what it relies on itself (stop at the first error, autocommit off, backslashes
# read as ordinary characters, the client's character set), so that it stays safe when handed to
# the client by hand, whatever options or option files that client reads. A line that is not a
# statement as credbatch writes it stops the stream there: nothing after it runs and nothing is
# committed. With -v check=1 the last step always rolls back.
#
# PostgreSQL and MariaDB get the statements in server-side blocks of block_size (100), one round
# trip each: PL/pgSQL DO blocks, whose dollar-quote tag is one that no line of the block holds,
# and MariaDB's compound statements (BEGIN NOT ATOMIC), each sent with a delimiter that no line of
# the block holds. SQLite gets one line of the stream for each statement, after a header of a fixed
# number of lines, so that an error sqlite3 reports "near line L" is statement L minus the header.

BEGIN {
    if (engine != "postgresql" && engine != "mariadb" && engine != "sqlite") {
        print "checked-apply.awk: set -v engine=postgresql, mariadb or sqlite" > "/dev/stderr"
        failed = 1
        exit 2
    }
    if (block_size == "") block_size = 100
    pending = 0
    if (engine == "postgresql") pg_begin(); else if (engine == "mariadb") my_begin(); else lite_begin()
}

{
    sub(/\r$/, "")
    if (!cb_is_statement($0)) {
        refuse("line " NR " of the script is not a statement as credbatch writes it")
        failed = 1
        exit 1
    }
    if (engine == "sqlite") {
        lite_statement(NR, $0)
        next
    }
    pending++
    block_line[pending] = $0
    block_number[pending] = NR
    if (pending == block_size) flush()
}

END {
    if (failed) exit failed
    if (NR == 0) {
        refuse("the script holds no statement")
        exit 1
    }
    flush()
    if (engine == "postgresql") pg_end(NR); else if (engine == "mariadb") my_end(NR); else lite_end(NR)
}

function flush() {
    if (pending == 0) return
    if (engine == "postgresql") pg_block(); else my_block()
    pending = 0
}

# A marker that no line of the pending block holds: base, then base1, base2, ...
function unused_marker(base, suffix,    k, i, marker, clash) {
    for (k = 0; ; k++) {
        marker = base (k ? k : "") suffix
        clash = 0
        for (i = 1; i <= pending && !clash; i++) if (index(block_line[i], marker)) clash = 1
        if (!clash) return marker
    }
}

# Joins SQL text pieces: CONCAT() for MariaDB, || elsewhere.
function cat(a, b, c, d) {
    if (engine == "mariadb") return "CONCAT(" a ", " b (c == "" ? "" : ", " c) (d == "" ? "" : ", " d) ")"
    return a " || " b (c == "" ? "" : " || " c) (d == "" ? "" : " || " d)
}

# The reason a noted statement gives, from its counts.
function reason_sql() {
    return "CASE WHEN matched = 0 THEN 'no row matches'" \
        " WHEN matched > 1 THEN " cat("matched", "' rows match'") \
        " WHEN held > 0 THEN '1 row matches, and it already holds this hash'" \
        " WHEN changed = 0 THEN '1 row matches, but the UPDATE changed none (a trigger skipped it or kept its old hash)'" \
        " WHEN changed > 1 THEN " cat("'1 row matches, but the UPDATE counted '", "changed", "' rows'") \
        " ELSE '1 row matches and the UPDATE changed it, but it does not hold the new hash (a trigger altered it)' END"
}

# One line for each noted statement, in the order of the script.
function report_sql(table) {
    return "SELECT " cat("'statement '", "statement", "', user '", cat("name", "': '", reason_sql())) " FROM " table " ORDER BY statement;"
}

# --- PostgreSQL --------------------------------------------------------------------------------

function pg_begin() {
    # psql's own settings first, whatever psqlrc or the command line said: stop at the first
    # error, with no savepoint that would let it carry on, and show no statement.
    print "\\set ON_ERROR_STOP on"
    print "\\set ON_ERROR_ROLLBACK off"
    print "\\set AUTOCOMMIT on"
    print "\\set ECHO none"
    print "\\set ECHO_HIDDEN off"
    print "\\set QUIET on"
    print "\\set VERBOSITY terse"
    print "\\set SHOW_CONTEXT never"
    print "\\pset pager off"
    print "\\pset format unaligned"
    print "\\pset tuples_only on"
    # The script is UTF-8, whatever PGCLIENTENCODING or the terminal's locale say.
    print "\\encoding UTF8"
    print "BEGIN;"
    print "SET LOCAL standard_conforming_strings = on;"
    print "CREATE TEMPORARY TABLE credbatch_ran (statements bigint NOT NULL) ON COMMIT DROP;"
    print "CREATE TEMPORARY TABLE credbatch_mismatch (statement bigint NOT NULL, name text NOT NULL, matched bigint, held bigint, changed bigint, holds bigint) ON COMMIT DROP;"
    # What would hide updates from the counts is refused before the first statement.
    print "DO $credbatch$"
    print "DECLARE"
    print "    kind \"char\";"
    print "    rules text;"
    print "BEGIN"
    print "    IF current_setting('session_replication_role') <> 'origin' THEN"
    print "        RAISE EXCEPTION 'checked apply: session_replication_role is %, under which triggers and rules do not fire as they do in use; nothing was committed',"
    print "            current_setting('session_replication_role');"
    print "    END IF;"
    print "    SELECT relkind INTO kind FROM pg_catalog.pg_class WHERE oid = 'DT511'::regclass;"
    print "    IF kind NOT IN ('r', 'p') THEN"
    print "        RAISE EXCEPTION 'checked apply: DT511 is %, not a table, so its updates cannot be checked; nothing was committed',"
    print "            CASE kind WHEN 'v' THEN 'a view' WHEN 'm' THEN 'a materialized view' WHEN 'f' THEN 'a foreign table' ELSE 'of kind ' || kind::text END;"
    print "    END IF;"
    print "    SELECT string_agg(rulename, ', ' ORDER BY rulename) INTO rules FROM pg_catalog.pg_rewrite WHERE ev_class = 'DT511'::regclass AND rulename <> '_RETURN';"
    print "    IF rules IS NOT NULL THEN"
    print "        RAISE EXCEPTION 'checked apply: DT511 has the rewrite rule %, which would hide the updates from the check; nothing was committed', rules;"
    print "    END IF;"
    print "END"
    print "$credbatch$;"
}

function pg_block(    tag, i, line, where, hash, numbers, names, first) {
    tag = unused_marker("$credbatch", "$")
    # The body's lines are counted from the line of the opening tag, and each statement takes
    # five: the handler finds the statement that failed from the line PL/pgSQL names.
    print "DO " tag
    print "DECLARE"
    print "    cb_context text; cb_index int; cb_matched bigint; cb_held bigint; cb_changed bigint; cb_holds bigint;"
    print "BEGIN"
    first = 5
    numbers = names = ""
    for (i = 1; i <= pending; i++) {
        line = block_line[i]
        where = cb_where(line)
        hash = cb_hash(line)
        numbers = numbers (i > 1 ? ", " : "") block_number[i]
        names = names (i > 1 ? ", " : "") cb_quote(cb_display(cb_name(line)))
        if (!cb_is_utf8(cb_name(line))) {
            # The server would refuse the whole block's text; say which statement it is.
            print "    RAISE EXCEPTION 'not valid UTF-8, which PostgreSQL refuses';"
            print ""
            print ""
            print ""
            print ""
            continue
        }
        print "    SELECT count(*), count(*) FILTER (WHERE DI059177::text COLLATE \"C\" = " hash ") INTO cb_matched, cb_held FROM DT511 " where ";"
        print line
        print "    GET DIAGNOSTICS cb_changed = ROW_COUNT;"
        print "    SELECT count(*) INTO cb_holds FROM DT511 " where " AND DI059177::text COLLATE \"C\" = " hash ";"
        print "    IF cb_matched <> 1 OR cb_held <> 0 OR cb_changed <> 1 OR cb_holds <> 1 THEN INSERT INTO pg_temp.credbatch_mismatch VALUES (" block_number[i] ", " cb_quote(cb_display(cb_name(line))) ", cb_matched, cb_held, cb_changed, cb_holds); END IF;"
    }
    print "    INSERT INTO pg_temp.credbatch_ran VALUES (" pending ");"
    print "EXCEPTION WHEN OTHERS THEN"
    print "    GET STACKED DIAGNOSTICS cb_context = PG_EXCEPTION_CONTEXT;"
    print "    cb_index := (substring(cb_context FROM 'inline_code_block line ([0-9]+) ')::int - " first ") / 5 + 1;"
    print "    IF cb_index IS NULL OR cb_index < 1 OR cb_index > " pending " THEN"
    print "        cb_index := 1;"
    print "    END IF;"
    print "    RAISE EXCEPTION USING MESSAGE = format(E'statement %s, user %s: failed: %s\\nchecked apply: statement %s failed; nothing was committed',"
    print "        (ARRAY[" numbers "])[cb_index], (ARRAY[" names "])[cb_index], SQLERRM, (ARRAY[" numbers "])[cb_index]);"
    print "END"
    print tag ";"
}

function pg_end(n) {
    print report_sql("pg_temp.credbatch_mismatch")
    print "DO $credbatch$"
    print "DECLARE"
    print "    mismatches bigint := (SELECT count(*) FROM pg_temp.credbatch_mismatch);"
    print "    ran bigint := (SELECT coalesce(sum(statements), 0) FROM pg_temp.credbatch_ran);"
    print "BEGIN"
    print "    IF mismatches > 0 THEN"
    print "        RAISE EXCEPTION 'checked apply: % of " n " statements did not change exactly one row; nothing was committed', mismatches;"
    print "    ELSIF ran <> " n " THEN"
    print "        RAISE EXCEPTION 'checked apply: % of " n " statements ran; nothing was committed', ran;"
    print "    END IF;"
    print "END"
    print "$credbatch$;"
    if (check) {
        print "ROLLBACK;"
        print "\\echo " cb_checked(n)
    } else {
        print "\\echo " cb_committing()
        print "COMMIT;"
        print "\\echo " cb_committed(n)
    }
}

function pg_refuse(message) {
    print "DO $credbatch$ BEGIN RAISE EXCEPTION '%', " cb_quote("checked apply: " message "; nothing was committed") "; END $credbatch$;"
}

# --- MariaDB -----------------------------------------------------------------------------------

function my_settings_wrong() {
    return "@@autocommit <> 0 OR @@completion_type <> 'NO_CHAIN' OR FIND_IN_SET('NO_BACKSLASH_ESCAPES', @@sql_mode) = 0" \
        " OR @@character_set_client <> 'utf8mb4' OR @@character_set_connection <> 'utf8mb4'"
}

function my_stop() { return "SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = '" cb_stopped() "';" }

function my_begin() {
    print "delimiter //"
    # Backslashes as ordinary characters from here on, for the server and for the client, which
    # splits what it reads by the server's word on it; no statement commits on its own, and a
    # COMMIT neither ends the connection nor opens a chained transaction.
    print "SET SESSION sql_mode = CONCAT(@@sql_mode, ',NO_BACKSLASH_ESCAPES'), autocommit = 0, completion_type = 'NO_CHAIN'//"
    print "SET NAMES utf8mb4//"
    print "SET @credbatch_ready = NULL, @credbatch_stopped = NULL, @credbatch_done = NULL//"
    print "DROP TEMPORARY TABLE IF EXISTS credbatch_ran, credbatch_mismatch//"
    print "CREATE TEMPORARY TABLE credbatch_ran (statements BIGINT NOT NULL) ENGINE=InnoDB//"
    print "CREATE TEMPORARY TABLE credbatch_mismatch (statement BIGINT NOT NULL, name TEXT CHARACTER SET utf8mb4 NOT NULL, matched BIGINT, held BIGINT, changed BIGINT, holds BIGINT) ENGINE=InnoDB//"
    print "BEGIN NOT ATOMIC"
    print "  DECLARE reason TEXT DEFAULT NULL;"
    print "  IF " my_settings_wrong() " THEN"
    print "    SET reason = 'the session did not take autocommit = 0, NO_BACKSLASH_ESCAPES, completion_type NO_CHAIN and utf8mb4';"
    print "  ELSEIF (SELECT TABLE_TYPE FROM information_schema.TABLES WHERE TABLE_SCHEMA = DATABASE() AND TABLE_NAME = 'DT511') = 'VIEW' THEN"
    print "    SET reason = 'DT511 is a view, not a table, so its updates cannot be checked';"
    print "  END IF;"
    print "  IF reason IS NOT NULL THEN"
    print "    SET @credbatch_stopped = 1;"
    print "    ROLLBACK;"
    print "    SELECT CONCAT('checked apply: ', reason, '; nothing was committed');"
    print "    " my_stop()
    print "  END IF;"
    print "  SET @credbatch_ready = 1;"
    print "END//"
}

function my_block(    delimiter, i, line, where, hash) {
    delimiter = unused_marker("//", "")
    if (delimiter != "//") print "delimiter " delimiter
    print "BEGIN NOT ATOMIC"
    print "  IF @credbatch_ready IS NULL OR @credbatch_stopped IS NOT NULL OR " my_settings_wrong() " THEN"
    print "    SET @credbatch_stopped = 1;"
    print "    ROLLBACK;"
    print "    " my_stop()
    print "  END IF;"
    print "  BEGIN"
    print "  DECLARE cb_line BIGINT DEFAULT 0;"
    print "  DECLARE cb_name TEXT CHARACTER SET utf8mb4 DEFAULT '';"
    print "  DECLARE cb_matched, cb_held, cb_changed, cb_holds BIGINT DEFAULT 0;"
    print "  DECLARE EXIT HANDLER FOR SQLEXCEPTION"
    print "  BEGIN"
    print "    GET DIAGNOSTICS CONDITION 1 @credbatch_error = MESSAGE_TEXT;"
    print "    SET @credbatch_stopped = 1;"
    print "    ROLLBACK;"
    print "    SELECT CONCAT('statement ', cb_line, ', user ', cb_name, ': failed: ', @credbatch_error);"
    print "    SELECT CONCAT('checked apply: statement ', cb_line, ' failed; nothing was committed');"
    print "    " my_stop()
    print "  END;"
    for (i = 1; i <= pending; i++) {
        line = block_line[i]
        where = cb_where(line)
        hash = cb_hash(line)
        print "  SET cb_line = " block_number[i] ", cb_name = " cb_quote(cb_display(cb_name(line))) ";"
        print "  SELECT COUNT(*), COUNT(CASE WHEN BINARY DI059177 = " hash " THEN 1 END) INTO cb_matched, cb_held FROM DT511 " where ";"
        print line
        print "  SET cb_changed = ROW_COUNT();"
        print "  SELECT COUNT(*) INTO cb_holds FROM DT511 " where " AND BINARY DI059177 = " hash ";"
        print "  IF cb_matched <> 1 OR cb_held <> 0 OR cb_changed <> 1 OR cb_holds <> 1 THEN"
        print "    INSERT INTO credbatch_mismatch VALUES (cb_line, cb_name, cb_matched, cb_held, cb_changed, cb_holds);"
        print "  END IF;"
    }
    print "  INSERT INTO credbatch_ran VALUES (" pending ");"
    print "  END;"
    print "END" delimiter
    if (delimiter != "//") print "delimiter //"
}

function my_end(n) {
    print "BEGIN NOT ATOMIC"
    print "  DECLARE mismatches BIGINT DEFAULT 0;"
    print "  DECLARE ran BIGINT DEFAULT 0;"
    print "  IF @credbatch_ready IS NULL OR @credbatch_stopped IS NOT NULL OR " my_settings_wrong() " THEN"
    print "    SET @credbatch_stopped = 1;"
    print "    ROLLBACK;"
    print "    " my_stop()
    print "  END IF;"
    print "  SELECT COUNT(*) INTO mismatches FROM credbatch_mismatch;"
    print "  SELECT COALESCE(SUM(statements), 0) INTO ran FROM credbatch_ran;"
    print "  IF mismatches > 0 OR ran <> " n " THEN"
    print "    SET @credbatch_stopped = 1;"
    print "    " report_sql("credbatch_mismatch")
    print "    ROLLBACK;"
    print "    SELECT IF(mismatches > 0, CONCAT('checked apply: ', mismatches, ' of " n " statements did not change exactly one row; nothing was committed'),"
    print "              CONCAT('checked apply: ', ran, ' of " n " statements ran; nothing was committed'));"
    print "    DROP TEMPORARY TABLE credbatch_ran, credbatch_mismatch;"
    print "    " my_stop()
    print "  END IF;"
    print "  DROP TEMPORARY TABLE credbatch_ran, credbatch_mismatch;"
    if (check) {
        print "  ROLLBACK;"
    } else {
        print "  SELECT '" cb_committing() "';"
        print "  COMMIT;"
    }
    print "  SET @credbatch_done = 1;"
    print "END//"
    # Only once the COMMIT has returned without an error.
    print "SELECT '" (check ? cb_checked(n) : cb_committed(n)) "' FROM DUAL WHERE @credbatch_done = 1//"
}

function my_refuse(message) {
    print "BEGIN NOT ATOMIC"
    print "  SET @credbatch_stopped = 1;"
    print "  ROLLBACK;"
    print "  SELECT " cb_quote("checked apply: " message "; nothing was committed") ";"
    print "  " my_stop()
    print "END//"
}

# --- SQLite ------------------------------------------------------------------------------------

function lite(text) {
    lite_lines++
    print text
}

function lite_begin(    view) {
    # sqlite3's own settings first, whatever its command line or ~/.sqliterc said.
    lite(".bail on")
    lite(".echo off")
    lite(".changes off")
    lite(".timer off")
    lite(".headers off")
    lite(".mode list")
    lite(".nullvalue ''")
    lite(".output stdout")
    lite("BEGIN IMMEDIATE;")
    lite("CREATE TEMP TABLE credbatch_state (ran INTEGER NOT NULL, matched INTEGER, held INTEGER);")
    lite("INSERT INTO temp.credbatch_state VALUES (0, NULL, NULL);")
    lite("CREATE TEMP TABLE credbatch_mismatch (statement INTEGER NOT NULL, name TEXT NOT NULL, matched INTEGER, held INTEGER, changed INTEGER, holds INTEGER);")
    # SQLite stops a statement with an error of our own words only from inside a trigger: an
    # insert into this table rolls the transaction back and stops sqlite3 (.bail on).
    lite("CREATE TEMP TABLE credbatch_stop (stop INTEGER);")
    lite("CREATE TEMP TRIGGER credbatch_stop BEFORE INSERT ON credbatch_stop BEGIN SELECT RAISE(ROLLBACK, '" cb_stopped() "'); END;")
    # DT511 as the statements will find it: a temporary object first, then the main database.
    view = "(SELECT type FROM pragma_table_list WHERE name = 'DT511' COLLATE NOCASE ORDER BY schema <> 'temp', schema <> 'main' LIMIT 1)"
    lite("SELECT 'checked apply: DT511 is a ' || " view " || ', not a table, so its updates cannot be checked; nothing was committed' WHERE " view " <> 'table';")
    lite("INSERT INTO temp.credbatch_stop SELECT 1 WHERE " view " <> 'table';")
    if (lite_lines > cb_sqlite_header()) {
        print "checked-apply.awk: the SQLite header is longer than cb_sqlite_header()" > "/dev/stderr"
        exit 2
    }
    while (lite_lines < cb_sqlite_header()) lite("")
}

function lite_statement(number, line,    where, hash, holds) {
    where = cb_where(line)
    hash = cb_hash(line)
    holds = "(SELECT count(*) FROM DT511 " where " AND DI059177 = " hash " COLLATE BINARY)"
    print "UPDATE temp.credbatch_state SET ran = ran + 1, matched = (SELECT count(*) FROM DT511 " where "), held = " holds "; " \
        line \
        " INSERT INTO temp.credbatch_mismatch SELECT * FROM (SELECT " number ", " cb_quote(cb_display(cb_name(line))) ", matched, held, changes() AS changed, " holds " AS holds FROM temp.credbatch_state)" \
        " WHERE matched <> 1 OR held <> 0 OR changed <> 1 OR holds <> 1;"
}

function lite_end(n) {
    print report_sql("temp.credbatch_mismatch")
    print "SELECT 'checked apply: ' || mismatches || ' of " n " statements did not change exactly one row; nothing was committed' FROM (SELECT count(*) AS mismatches FROM temp.credbatch_mismatch) WHERE mismatches > 0;"
    print "SELECT 'checked apply: ' || ran || ' of " n " statements ran; nothing was committed' FROM temp.credbatch_state WHERE ran <> " n " AND NOT EXISTS (SELECT * FROM temp.credbatch_mismatch);"
    print "INSERT INTO temp.credbatch_stop SELECT 1 FROM temp.credbatch_state WHERE ran <> " n " OR EXISTS (SELECT * FROM temp.credbatch_mismatch);"
    print "DROP TRIGGER temp.credbatch_stop;"
    print "DROP TABLE temp.credbatch_stop;"
    print "DROP TABLE temp.credbatch_mismatch;"
    print "DROP TABLE temp.credbatch_state;"
    if (check) {
        print "ROLLBACK;"
        print "SELECT '" cb_checked(n) "';"
    } else {
        print "SELECT '" cb_committing() "';"
        print "COMMIT;"
        print "SELECT '" cb_committed(n) "';"
    }
}

function lite_refuse(message) {
    print "SELECT " cb_quote("checked apply: " message "; nothing was committed") ";"
    print "INSERT INTO temp.credbatch_stop VALUES (1);"
}

function refuse(message) {
    if (engine == "postgresql") pg_refuse(message); else if (engine == "mariadb") my_refuse(message); else lite_refuse(message)
}

# The checked apply's filter: turns a credbatch script into one checked transaction for the
# database's own client. credbatch-apply runs it as
#
#   LC_ALL=C awk -v engine=postgresql|mariadb|sqlite [-v check=1] -f common.awk -f checked-apply.awk SCRIPT
#
# and pipes the result into psql, mariadb or sqlite3. Every statement of the script goes through
# unchanged, in its own place, and the engine's own count of the rows it changed is kept (nested
# updates made by triggers do not count there). On PostgreSQL and MariaDB each statement is then
# recorded, with its line, its user name and hash in the types and collations of DT511's own
# columns and that count, in a temporary table inside the same transaction, one INSERT for a block;
# at the end one join of the recorded statements against DT511 on the name, under the column's
# collation, gives each statement's rows matched and the matched rows that hold its hash (compared
# byte for byte). The statements change only the hash column, so the rows matched at the end are
# the rows each one matched. SQLite counts both around each statement instead. A statement is good
# when exactly one row matched, it did not hold the hash before, the engine counted one row, and
# that row holds the hash; every other one is noted, with its line in the script and its user name
# as the script writes it. A transaction rolled back behind the stream's back, or a statement that
# never ran, leaves the recorded statements short. The last step commits only when every line of
# the script is recorded as having run and nothing was noted; otherwise it names the noted
# statements, rolls back and stops the client with an error.
#
# The stream sets what it relies on itself (stop at the first error, autocommit off, backslashes
# read as ordinary characters, the client's character set), so that it stays safe when handed to
# the client by hand, whatever options or option files that client reads. A line that is not a
# statement as credbatch writes it stops the stream there: nothing after it runs and nothing is
# committed. With -v check=1 the last step always rolls back.
#
# PostgreSQL gets the statements in anonymous code blocks (DO) and MariaDB in compound statements
# (BEGIN NOT ATOMIC), block_size (100) statements to a block, one round trip each, each quoted or
# delimited by a marker that no line of the block holds. On PostgreSQL and SQLite the stream has a
# header of a fixed number of lines and then a fixed layout, so that where the client says an
# error happened gives the statement (cb_pg_statement(), cb_sqlite_header()).

BEGIN {
    if (engine != "postgresql" && engine != "mariadb" && engine != "sqlite") {
        print "checked-apply.awk: set -v engine=postgresql, mariadb or sqlite" > "/dev/stderr"
        failed = 1
        exit 2
    }
    block_size = cb_block_size()
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

function pg_line(text) {
    pg_lines++
    print text
}

function pg_begin() {
    # psql's own settings first, whatever psqlrc or the command line said: stop at the first
    # error, with no savepoint that would let it carry on, and show no statement.
    pg_line("\\set ON_ERROR_STOP on")
    pg_line("\\set ON_ERROR_ROLLBACK off")
    pg_line("\\set AUTOCOMMIT on")
    pg_line("\\set ECHO none")
    pg_line("\\set ECHO_HIDDEN off")
    pg_line("\\set QUIET on")
    # An error's context names the line of the code block that failed, which gives the statement.
    pg_line("\\set VERBOSITY default")
    pg_line("\\set SHOW_CONTEXT errors")
    pg_line("\\pset pager off")
    pg_line("\\pset format unaligned")
    pg_line("\\pset tuples_only on")
    # The script is UTF-8, whatever PGCLIENTENCODING or the terminal's locale say.
    pg_line("\\encoding UTF8")
    pg_line("BEGIN;")
    pg_line("SET LOCAL standard_conforming_strings = on;")
    pg_line("CREATE TEMPORARY TABLE credbatch_mismatch (statement bigint NOT NULL, name text NOT NULL, matched bigint, held bigint, changed bigint, holds bigint) ON COMMIT DROP;")
    # What would hide updates from the check is refused before the first statement. The table of
    # statements that ran keeps each user name in the type and collation of DT511's own column
    # (without its length, so that a name too long for it matches nothing, as in the statement),
    # so that the final join compares names as the statements' WHERE did.
    pg_line("DO $credbatch$")
    pg_line("DECLARE")
    pg_line("    kind \"char\";")
    pg_line("    rules text;")
    pg_line("    name_type text;")
    pg_line("BEGIN")
    pg_line("    IF current_setting('session_replication_role') <> 'origin' THEN")
    pg_line("        RAISE EXCEPTION 'checked apply: session_replication_role is %, under which triggers and rules do not fire as they do in use; nothing was committed',")
    pg_line("            current_setting('session_replication_role');")
    pg_line("    END IF;")
    pg_line("    SELECT relkind INTO kind FROM pg_catalog.pg_class WHERE oid = 'DT511'::regclass;")
    pg_line("    IF kind NOT IN ('r', 'p') THEN")
    pg_line("        RAISE EXCEPTION 'checked apply: DT511 is %, not a table, so its updates cannot be checked; nothing was committed',")
    pg_line("            CASE kind WHEN 'v' THEN 'a view' WHEN 'm' THEN 'a materialized view' WHEN 'f' THEN 'a foreign table' ELSE 'of kind ' || kind::text END;")
    pg_line("    END IF;")
    pg_line("    SELECT string_agg(rulename, ', ' ORDER BY rulename) INTO rules FROM pg_catalog.pg_rewrite WHERE ev_class = 'DT511'::regclass AND rulename <> '_RETURN';")
    pg_line("    IF rules IS NOT NULL THEN")
    pg_line("        RAISE EXCEPTION 'checked apply: DT511 has the rewrite rule %, which would hide the updates from the check; nothing was committed', rules;")
    pg_line("    END IF;")
    pg_line("    SELECT pg_catalog.format_type(a.atttypid, NULL) || coalesce((SELECT pg_catalog.format(' COLLATE %I.%I', n.nspname, c.collname)")
    pg_line("            FROM pg_catalog.pg_collation c JOIN pg_catalog.pg_namespace n ON n.oid = c.collnamespace WHERE c.oid = a.attcollation), '')")
    pg_line("        INTO name_type FROM pg_catalog.pg_attribute a WHERE a.attrelid = 'DT511'::regclass AND a.attname = 'di010323' AND NOT a.attisdropped;")
    pg_line("    EXECUTE pg_catalog.format('CREATE TEMPORARY TABLE credbatch_statement (statement bigint NOT NULL, name %s, hash text NOT NULL) ON COMMIT DROP', name_type);")
    pg_line("END")
    pg_line("$credbatch$;")
    pg_line("CREATE TEMPORARY TABLE credbatch_held (statement bigint NOT NULL) ON COMMIT DROP;")
    pg_line("CREATE TEMPORARY TABLE credbatch_ran (statement bigint NOT NULL, changed bigint NOT NULL) ON COMMIT DROP;")
    if (pg_lines > cb_pg_header()) {
        print "checked-apply.awk: the PostgreSQL header is longer than cb_pg_header()" > "/dev/stderr"
        exit 2
    }
    while (pg_lines < cb_pg_header()) pg_line("")
}

# Before a block, one statement records each statement's line, name and hash, and notes those whose
# row already holds the hash, found by the name in the type and collation of DT511's own column
# (a scalar subquery, which the planner keeps as one index lookup a name, where EXISTS became a
# hash join that read the whole table for every block).
# Then the block's statements run in one anonymous code block (DO), one round trip for the block,
# each followed by PL/pgSQL's own count of the rows it updated (nested updates made by triggers do
# not count there); the code block's last step records the counts, and with them which statements
# ran. It has no exception handler: each one would be a subtransaction, and a transaction with
# more than 64 of them slows every other session's snapshots down. A statement that fails is found
# from the error's context (the code block's line) and the line psql names (the block), laid out
# as cb_pg_statement() reads them back.
function pg_block(    i, line, name, statements, counts, tag, locals) {
    statements = counts = locals = ""
    for (i = 1; i <= pending; i++) {
        line = block_line[i]
        name = cb_name(line)
        # A name that is not UTF-8 is never sent: the server would refuse the text that holds it.
        statements = statements (i > 1 ? ", " : "") "(" block_number[i] ", " (cb_is_utf8(name) ? name : "NULL") ", " cb_hash(line) ")"
        counts = counts (i > 1 ? ", " : "") "(" block_number[i] ", credbatch_" i ")"
        locals = locals " credbatch_" i " bigint;"
    }
    print "WITH s AS (INSERT INTO pg_temp.credbatch_statement VALUES " statements " RETURNING statement, name, hash)" \
        " INSERT INTO pg_temp.credbatch_held SELECT s.statement FROM s WHERE (SELECT true FROM DT511 t WHERE t.DI010323 = s.name AND t.DI059177::text COLLATE \"C\" = s.hash COLLATE \"C\" LIMIT 1);"
    tag = unused_marker("$credbatch", "$")
    print "DO " tag
    print "DECLARE" locals
    print "BEGIN"
    for (i = 1; i <= pending; i++) {
        line = block_line[i]
        if (cb_is_utf8(cb_name(line))) {
            print line
        } else {
            # Said on the statement's own line, so that the report names it.
            print "RAISE EXCEPTION 'not valid UTF-8, which PostgreSQL refuses';"
        }
        print "GET DIAGNOSTICS credbatch_" i " = ROW_COUNT;"
    }
    print "INSERT INTO pg_temp.credbatch_ran VALUES " counts ";"
    print "END"
    print tag ";"
}

function pg_end(n) {
    # One join of the statements against DT511 on the name, under the column's own collation: the
    # rows each statement's WHERE matches, and how many of them hold its hash, compared byte for
    # byte. The statements change only the hash column, so the rows matched now are the rows they
    # matched. Analyzed first, so that the planner joins the two tables whole (one pass over DT511)
    # rather than looking each name up on its own.
    print "ANALYZE pg_temp.credbatch_statement;"
    print "INSERT INTO pg_temp.credbatch_mismatch SELECT c.statement, '''' || replace(c.name, '''', '''''') || '''', c.matched, (h.statement IS NOT NULL)::int, r.changed, c.holds" \
        " FROM (SELECT s.statement, min(s.name::text) AS name, count(t.DI010323) AS matched, count(*) FILTER (WHERE t.DI059177::text COLLATE \"C\" = s.hash COLLATE \"C\") AS holds" \
        " FROM pg_temp.credbatch_statement s LEFT JOIN DT511 t ON t.DI010323 = s.name GROUP BY s.statement) c" \
        " JOIN pg_temp.credbatch_ran r ON r.statement = c.statement LEFT JOIN pg_temp.credbatch_held h ON h.statement = c.statement" \
        " WHERE c.matched <> 1 OR h.statement IS NOT NULL OR r.changed <> 1 OR c.holds <> 1;"
    print report_sql("pg_temp.credbatch_mismatch")
    print "DO $credbatch$"
    print "DECLARE"
    print "    mismatches bigint := (SELECT count(*) FROM pg_temp.credbatch_mismatch);"
    print "    ran bigint := (SELECT count(*) FROM pg_temp.credbatch_ran);"
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
    # The statements that ran, each with its line, its engine's count and its name and hash in the
    # types and collations of DT511's own columns, so that the final join compares names as the
    # statements' WHERE did; InnoDB, so that a rollback behind the stream's back empties it too.
    print "CREATE TEMPORARY TABLE credbatch_ran (statement BIGINT NOT NULL DEFAULT 0, changed BIGINT NOT NULL DEFAULT 0, shown TEXT CHARACTER SET utf8mb4, matched BIGINT, holds BIGINT)" \
        " ENGINE=InnoDB SELECT DI010323 AS name, DI059177 AS hash FROM DT511 WHERE FALSE//"
    # A name longer than DT511's column matches no row there, but must still fit the record:
    # the column is widened to the longest name credbatch writes, in DT511's own collation.
    print "BEGIN NOT ATOMIC"
    print "  DECLARE name_charset, name_collation VARCHAR(64) DEFAULT NULL;"
    print "  SELECT CHARACTER_SET_NAME, COLLATION_NAME INTO name_charset, name_collation FROM information_schema.COLUMNS" \
        " WHERE TABLE_SCHEMA = DATABASE() AND TABLE_NAME = 'DT511' AND COLUMN_NAME = 'DI010323' LIMIT 1;"
    print "  IF name_collation IS NOT NULL THEN"
    print "    EXECUTE IMMEDIATE CONCAT('ALTER TABLE credbatch_ran MODIFY name VARCHAR(100) CHARACTER SET ', name_charset, ' COLLATE ', name_collation);"
    print "  END IF;"
    print "END//"
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

function my_block(    delimiter, i, line, name, values, locals) {
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
    locals = ""
    for (i = 1; i <= pending; i++) locals = locals (i > 1 ? ", " : "") "cb_" i
    print "  DECLARE " locals " BIGINT DEFAULT 0;"
    print "  DECLARE EXIT HANDLER FOR SQLEXCEPTION"
    print "  BEGIN"
    print "    GET DIAGNOSTICS CONDITION 1 @credbatch_error = MESSAGE_TEXT;"
    print "    SET @credbatch_stopped = 1;"
    print "    ROLLBACK;"
    print "    SELECT CONCAT('statement ', cb_line, ', user ', cb_name, ': failed: ', @credbatch_error);"
    print "    SELECT CONCAT('checked apply: statement ', cb_line, ' failed; nothing was committed');"
    print "    " my_stop()
    print "  END;"
    values = ""
    for (i = 1; i <= pending; i++) {
        line = block_line[i]
        name = cb_name(line)
        print "  SET cb_line = " block_number[i] ", cb_name = " cb_quote(cb_display(name)) ";"
        print line
        # The engine's own count of the rows the UPDATE changed: nested updates made by triggers
        # do not count, nor does a row that already held the hash.
        print "  SET cb_" i " = ROW_COUNT();"
        if (cb_is_utf8(name)) {
            values = values (i > 1 ? ", " : "") "(" block_number[i] ", cb_" i ", NULL, NULL, NULL, " name ", " cb_hash(line) ")"
        } else {
            # A name that is not UTF-8 cannot be stored as one of DT511's names; its counts are
            # taken here, with the statement's own WHERE.
            values = values (i > 1 ? ", " : "") "(" block_number[i] ", cb_" i ", " cb_quote(cb_display(name)) \
                ", (SELECT COUNT(*) FROM DT511 " cb_where(line) "), (SELECT COUNT(*) FROM DT511 " cb_where(line) " AND BINARY DI059177 = " cb_hash(line) "), '', " cb_hash(line) ")"
        }
    }
    print "  INSERT INTO credbatch_ran (statement, changed, shown, matched, holds, name, hash) VALUES " values ";"
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
    # One join of the statements that ran against DT511 on the name, under the column's own
    # collation and through its index: the rows each statement's WHERE matches, and how many of
    # them hold its hash, compared byte for byte. The statements change only the hash column, so
    # the rows matched now are the rows they matched. A row matched, not changed and holding the
    # hash held it before.
    print "  INSERT INTO credbatch_mismatch SELECT statement, shown, matched, changed = 0 AND holds = 1, changed, holds FROM (SELECT d.statement, d.changed," \
        " COALESCE(d.shown, CONCAT('''', REPLACE(d.name, '''', ''''''), '''')) AS shown," \
        " COALESCE(d.matched, (SELECT COUNT(*) FROM DT511 t WHERE t.DI010323 = d.name)) AS matched," \
        " COALESCE(d.holds, (SELECT COUNT(*) FROM DT511 t WHERE t.DI010323 = d.name AND BINARY t.DI059177 = BINARY d.hash)) AS holds" \
        " FROM credbatch_ran d) AS counted WHERE matched <> 1 OR changed <> 1 OR holds <> 1;"
    print "  SELECT COUNT(*) INTO mismatches FROM credbatch_mismatch;"
    print "  SELECT COUNT(*) INTO ran FROM credbatch_ran;"
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

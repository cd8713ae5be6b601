# Turns a credbatch script into one checked transaction for the database's own client:
#
#   awk -v engine=mariadb -f checked-apply.awk update.sql | mariadb --default-character-set=utf8mb4 \
#       --init-command="SET SESSION sql_mode = CONCAT(@@sql_mode, ',NO_BACKSLASH_ESCAPES'), autocommit = 0" DATABASE
#   awk -v engine=sqlite -f checked-apply.awk update.sql | sqlite3 -bail users.db
#
# Add -v check=1 to look without applying: everything is rolled back.
#
# Every statement of the script goes through unchanged, followed by a note of its number and user
# name whenever its row count is not exactly one. After the last one, the noted statements are
# listed, one line each, and the transaction is rolled back with an error; only when there are none
# does COMMIT follow. A line that is not a statement as credbatch writes it stops the stream there
# with an error, so nothing after it runs and nothing is committed. The stream holds no password
# and needs none; what it makes is a temporary table, which goes with the session.
#
# MariaDB: statements go in compound blocks of block_size (100), one round trip each; ROW_COUNT()
# counts the rows an UPDATE changed, so a row that already holds the statement's hash (the script
# applied twice) is named too. The blocks are MariaDB's own (BEGIN NOT ATOMIC): MySQL refuses the
# first of them, before any statement has run. SQLite: changes() counts the rows matched.

BEGIN {
    if (engine != "mariadb" && engine != "sqlite") {
        print "checked-apply.awk: set -v engine=mariadb or -v engine=sqlite" > "/dev/stderr"
        failed = 1
        exit 1
    }
    if (block_size == "") block_size = 100
    outcome = check ? "checked only: rolled back" : "nothing was committed"
    if (engine == "mariadb") mariadb_begin(); else sqlite_begin()
}

{
    sub(/\r$/, "")
    if ($0 !~ /^UPDATE DT511 SET DI059177 = '[^']*' WHERE DI010323 = '([^']|'')*';$/) {
        refuse("line " NR " of the script is not a statement as credbatch writes it")
        failed = 1
        exit 1
    }
    name = $0
    sub(/^UPDATE DT511 SET DI059177 = '[^']*' WHERE DI010323 = /, "", name)
    sub(/;$/, "", name)
    if (engine == "mariadb") mariadb_statement(); else sqlite_statement()
}

END {
    if (failed) exit 1
    if (engine == "mariadb") mariadb_end(); else sqlite_end()
}

# --- MariaDB ---------------------------------------------------------------------------------

function mariadb_begin() {
    print "delimiter //"
    # The client's settings decide how the script's literals are read: check them before the first.
    print "BEGIN NOT ATOMIC"
    print "  IF @@autocommit <> 0 OR FIND_IN_SET('NO_BACKSLASH_ESCAPES', @@sql_mode) = 0"
    print "     OR @@character_set_client <> 'utf8mb4' OR @@character_set_connection <> 'utf8mb4' THEN"
    print "    SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'checked apply: the session needs autocommit = 0, NO_BACKSLASH_ESCAPES and utf8mb4 (see the command in the README); nothing was applied';"
    print "  END IF;"
    print "END//"
    print "CREATE TEMPORARY TABLE credbatch_mismatch (statement BIGINT NOT NULL, name VARBINARY(1000) NOT NULL, changed BIGINT NOT NULL, matched BIGINT NOT NULL)//"
}

function mariadb_statement() {
    if ((NR - 1) % block_size == 0) print "BEGIN NOT ATOMIC"
    # ROW_COUNT() inside the IF is still the UPDATE's; the count of matching rows runs only for a mismatch.
    print $0 " IF ROW_COUNT() <> 1 THEN INSERT INTO credbatch_mismatch SELECT " NR ", _binary" name ", ROW_COUNT(), COUNT(*) FROM DT511 WHERE DI010323 = " name "; END IF;"
    if (NR % block_size == 0) print "END//"
}

function mariadb_end() {
    if (NR % block_size != 0) print "END//"
    print "SELECT CONCAT('statement ', statement, ', user ''', REPLACE(CONVERT(name USING utf8mb4), '''', ''''''), ''': ',"
    print "    CASE WHEN matched = 0 THEN 'no row matches'"
    print "         WHEN matched = 1 THEN '1 row matches, and it already holds this hash'"
    print "         ELSE CONCAT(matched, ' rows match') END) AS `checked apply: statements that do not change exactly one row`"
    print "  FROM credbatch_mismatch ORDER BY statement//"
    # The ROLLBACK comes before the SIGNAL, so that not even a client told to carry on past errors
    # (--force) could commit after it; and nothing follows the SIGNAL in the stream.
    print "BEGIN NOT ATOMIC"
    print "  DECLARE mismatches BIGINT DEFAULT (SELECT COUNT(*) FROM credbatch_mismatch);"
    print "  DECLARE message VARCHAR(200) DEFAULT CONCAT('checked apply: ', mismatches, ' of " NR " statements did not change exactly one row; " outcome "');"
    print "  DROP TEMPORARY TABLE credbatch_mismatch;"
    print "  IF mismatches > 0 THEN"
    print "    ROLLBACK;"
    print "    SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = message;"
    print "  END IF;"
    print "  " (check ? "ROLLBACK" : "COMMIT") ";"
    print "  SELECT 'each of the " NR " statements " (check ? "would change exactly one row; checked only: rolled back" : "changed exactly one row; committed") "' AS `checked apply:`;"
    print "END//"
}

function mariadb_refuse(message) {
    if ((NR - 1) % block_size != 0) print "END//"
    print "BEGIN NOT ATOMIC ROLLBACK; SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'checked apply: " message "; nothing was committed'; END//"
}

# --- SQLite ----------------------------------------------------------------------------------

function sqlite_begin() {
    print "BEGIN IMMEDIATE;"
    print "CREATE TEMP TABLE credbatch_mismatch (statement INTEGER NOT NULL, name TEXT NOT NULL, row_count INTEGER NOT NULL);"
    print "CREATE TEMP TABLE credbatch_verdict (every_statement_changed_exactly_one_row INTEGER NOT NULL);"
}

function sqlite_statement() {
    # changes() is the UPDATE's until this INSERT completes; after a statement that failed it is
    # this INSERT's own 0, so even without -bail a failed statement counts as a mismatch.
    print $0
    print "INSERT INTO credbatch_mismatch SELECT " NR ", " name ", changes() WHERE changes() <> 1;"
}

function sqlite_end() {
    print "SELECT 'statement ' || statement || ', user ' || quote(name) || ': ' ||"
    print "    CASE row_count WHEN 0 THEN 'no row matches' ELSE row_count || ' rows match' END"
    print "  FROM credbatch_mismatch ORDER BY statement;"
    # OR ROLLBACK: a mismatch ends the transaction here, so that the COMMIT below has nothing to
    # commit even when sqlite3 runs without -bail, and the tables, made in it, are gone.
    print "INSERT OR ROLLBACK INTO credbatch_verdict SELECT NOT EXISTS (SELECT * FROM credbatch_mismatch) OR NULL;"
    print "SELECT 'checked apply: each of the " NR " statements " (check ? "would change exactly one row; checked only: rolling back" : "changed exactly one row; committing") "' FROM credbatch_verdict;"
    print "DROP TABLE credbatch_mismatch;"
    print "DROP TABLE credbatch_verdict;"
    print (check ? "ROLLBACK;" : "COMMIT;")
}

function sqlite_refuse(message) {
    # A CHECK constraint named for the reason is the one way SQLite fails with a message of ours.
    print "ROLLBACK;"
    print "CREATE TEMP TABLE credbatch_refusal (reason CONSTRAINT \"checked apply: " message "; nothing was committed\" CHECK (0));"
    print "INSERT INTO credbatch_refusal VALUES (1);"
}

function refuse(message) {
    print "checked-apply.awk: " message > "/dev/stderr"
    if (engine == "mariadb") mariadb_refuse(message); else sqlite_refuse(message)
}

# The checked apply's report: reads what the client wrote to standard output (first file) and to
# standard error (second file) and prints the same lines on every engine. credbatch-apply runs it
# as
#
#   LC_ALL=C awk -v engine=E -v check=0|1 -v status=S -v script=SCRIPT -f common.awk -f outcome.awk OUT ERR
#
# where S is the client's exit status. It exits with credbatch-apply's own status: 0 when the
# client said the COMMIT succeeded (or, checking only, that every statement would change exactly
# one row), 1 when nothing was committed, 3 when the connection ended during the COMMIT and its
# outcome is not known.
#
# The stream prints its report lines and outcome line itself, and stops the client with a fixed
# error (cb_stopped()) once it has said why; a success line comes only after the COMMIT returned.
# Here the clients' prefixes are taken off their errors, an error of psql or sqlite3 in a
# statement is traced to that statement (by the lines the client and PL/pgSQL name), and when the
# client stopped without an outcome line one is added that says what is known. No line here ever
# shows a hash.

BEGIN {
    success = ""
    outcome = ""
    committing = 0
    server_error = 0
    lines = 0
}

{ file = FILENAME == ARGV[1] ? 1 : 2 }

{
    sub(/\r$/, "")
    text = $0
    # A hash is never shown, whatever a client or a trigger's message may echo.
    gsub(/\$2[aby]\$[0-9][0-9]\$[.\/A-Za-z0-9]+/, "$2a$10$...", text)
}

file == 1 {
    if (text == cb_committing()) {
        committing = 1
    } else if (text == cb_committed(script_statements()) && !check || text == cb_checked(script_statements()) && check) {
        success = text
    } else {
        keep(text)
    }
    next
}

# psql writes an error as its line (psql:<stdin>:L: ERROR:  text), the text's further lines, and
# then DETAIL, HINT and CONTEXT fields, which are left out: the context is read for the line of the
# code block that failed, and the rest can show a row's other columns.
file == 2 && engine == "postgresql" {
    if (match(text, /^psql:<stdin>:[0-9]+: /)) {
        settle_pg_error()
        in_fields = 0
        if (match(text, /^psql:<stdin>:[0-9]+: (ERROR|FATAL|PANIC): +/)) {
            server_error = 1
            pg_error = 1
            pg_stream_line = substr(text, 14) + 0
            pg_text = substr(text, RLENGTH + 1)
            pg_more = 0
            pg_code_line = 0
            next
        }
        sub(/^psql:<stdin>:[0-9]+: /, "", text)
    } else if (in_fields || text ~ /^(DETAIL|HINT|CONTEXT|QUERY):  |^LINE [0-9]+: /) {
        in_fields = 1
        if (match(text, /^(CONTEXT:  )?PL\/pgSQL function inline_code_block line [0-9]+ at /)) {
            pg_code_line = substr(text, index(text, " line ") + 6) + 0
        }
        next
    } else if (pg_error) {
        pg_extra[++pg_more] = text
        next
    }
    keep(text)
    next
}

file == 2 {
    if (engine == "mariadb") {
        if (match(text, /^ERROR [0-9]+ \([0-9A-Z]+\)( at line [0-9]+)?: /)) {
            code = substr(text, 7) + 0
            # Lost or killed connections are not the server's answer to a statement.
            if (code != 2006 && code != 2013 && code != 1927 && code != 2002) server_error = 1
            text = substr(text, RLENGTH + 1)
        }
    } else if (match(text, /^(Runtime|Parse) error near line [0-9]+: /)) {
        server_error = 1
        stream_line = substr(text, 1, RLENGTH)
        gsub(/[^0-9]/, "", stream_line)
        text = substr(text, RLENGTH + 1)
        sub(/ \([0-9]+\)$/, "", text)
        statement = stream_line - cb_sqlite_header()
        if (text != cb_stopped() && statement >= 1 && statement <= script_statements()) {
            failed_statement(statement, text)
            next
        }
    } else if (sub(/^Error: /, "", text)) {
        server_error = 1
    }
    # The stream's own stop, once it has given its reason.
    if (text == cb_stopped() && outcome != "") next
    keep(text)
}

END {
    settle_pg_error()
    if (success != "") {
        for (i = 1; i <= lines; i++) print kept[i] > "/dev/stderr"
        print success
        exit 0
    }
    for (i = 1; i <= lines; i++) print kept[i] > "/dev/stderr"
    if (outcome != "") exit 1
    if (committing && (engine == "sqlite" || server_error)) {
        print "checked apply: the COMMIT failed; nothing was committed" > "/dev/stderr"
        exit 1
    }
    if (committing) {
        print "checked apply: the connection ended during the COMMIT, so whether it committed is not known; read the table before applying again" > "/dev/stderr"
        exit 3
    }
    print "checked apply: the client (" engine ") stopped with status " status " before the check was done; nothing was committed" > "/dev/stderr"
    exit 1
}

# A statement that the server refused, named by its line in the script and its user name there,
# with the further lines of the error (pg_extra[1..more]).
function failed_statement(statement, text, more,    i) {
    keep("statement " statement ", user " cb_display(cb_name(script_line(statement))) ": failed: " text)
    for (i = 1; i <= more; i++) keep(pg_extra[i])
    keep("checked apply: statement " statement " failed; nothing was committed")
}

# The PostgreSQL error read last, once all its lines are in: a statement's failure when its line
# and context name one, the stream's own refusal of a line never.
function settle_pg_error(    statement, i) {
    if (!pg_error) return
    pg_error = 0
    statement = pg_code_line ? cb_pg_statement(pg_stream_line, pg_code_line, script_statements()) : 0
    if (pg_text !~ /^checked apply: .*; nothing was committed$/ && statement >= 1) {
        failed_statement(statement, pg_text, pg_more)
        return
    }
    keep(pg_text)
    for (i = 1; i <= pg_more; i++) keep(pg_extra[i])
}

function keep(text) {
    if (text ~ /^checked apply: .*; nothing was committed$/) outcome = text
    kept[++lines] = text
}

# The number of lines of the script, counted once.
function script_statements(    line) {
    if (statements == "") {
        statements = 0
        while ((getline line < script) > 0) statements++
        close(script)
    }
    return statements
}

function script_line(n,    line, k) {
    for (k = 1; k <= n && (getline line < script) > 0; k++) {}
    close(script)
    sub(/\r$/, "", line)
    return line
}

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
# statement's line is traced to that statement, and when the client stopped without an outcome line one is added
# that says what is known. No line here ever shows a hash.

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

file == 2 {
    if (engine == "postgresql") {
        if (match(text, /^psql:<stdin>:[0-9]+: (ERROR|FATAL|PANIC): +/)) {
            server_error = 1
            stream_line = substr(text, 14) + 0
            text = substr(text, RLENGTH + 1)
            statement = cb_pg_statement(stream_line)
            # The stream's own refusal of a line stands where that line's statement would be.
            if (text !~ /^checked apply: .*; nothing was committed$/ && statement >= 1 && statement <= script_statements()) {
                failed_statement(statement, text)
                next
            }
        } else {
            sub(/^psql:<stdin>:[0-9]+: /, "", text)
        }
    } else if (engine == "mariadb") {
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

# A statement that the server refused, named by its line in the script and its user name there.
function failed_statement(statement, text) {
    keep("statement " statement ", user " cb_display(cb_name(script_line(statement))) ": failed: " text)
    keep("checked apply: statement " statement " failed; nothing was committed")
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

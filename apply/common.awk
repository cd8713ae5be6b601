# Functions shared by the checked apply's filter (checked-apply.awk) and its report
# (outcome.awk). Both run under LC_ALL=C, so that every awk reads the script as bytes.

# A line exactly as credbatch writes it: a bcrypt hash and a user name as standard SQL literals,
# the name without control characters (the tool refuses those). A CR before the LF is dropped
# beforehand.
function cb_is_statement(line) {
    if (line !~ /^UPDATE DT511 SET DI059177 = '[^']*' WHERE DI010323 = '([^']|'')*';$/) return 0
    if (cb_hash(line) !~ /^'\$2a\$10\$[.\/A-Za-z0-9]+'$/ || substr(line, 91, 18) != " WHERE DI010323 = ") return 0
    return cb_name(line) !~ /[\001-\037\177]/
}

# The hash literal, quotes included, of a statement.
function cb_hash(line) { return substr(line, 29, 62) }

# The user-name literal, quotes included, as the script writes it.
function cb_name(line,    name) {
    name = substr(line, 109)
    return substr(name, 1, length(name) - 1)
}

# The WHERE clause of a statement, as it stands there.
function cb_where(line) { return "WHERE DI010323 = " cb_name(line) }

function cb_init_bytes(    i) {
    for (i = 1; i < 256; i++) cb_byte[sprintf("%c", i)] = i
    cb_bytes_ready = 1
}

# The user-name literal as it is shown: the script's bytes, with each byte that is not part of a
# valid UTF-8 sequence written as \xHH, so that every client can show it unchanged.
function cb_display(literal,    out, i, n, b, k, need, j, ok) {
    cb_bad_bytes = 0
    if (literal ~ /^[ -~]*$/) return literal
    if (!cb_bytes_ready) cb_init_bytes()
    out = ""
    n = length(literal)
    for (i = 1; i <= n; ) {
        b = cb_byte[substr(literal, i, 1)]
        need = b < 128 ? 0 : b >= 194 && b <= 223 ? 1 : b >= 224 && b <= 239 ? 2 : b >= 240 && b <= 244 ? 3 : -1
        ok = need >= 0 && i + need <= n
        for (j = 1; ok && j <= need; j++) {
            k = cb_byte[substr(literal, i + j, 1)]
            if (k < 128 || k > 191) ok = 0
            # No overlong forms, no surrogates, nothing above U+10FFFF.
            if (j == 1 && (b == 224 && k < 160 || b == 237 && k > 159 || b == 240 && k < 144 || b == 244 && k > 143)) ok = 0
        }
        if (ok) {
            out = out substr(literal, i, need + 1)
            i += need + 1
        } else {
            out = out sprintf("\\x%02X", b)
            cb_bad_bytes++
            i++
        }
    }
    return out
}

function cb_is_utf8(literal) {
    cb_display(literal)
    return cb_bad_bytes == 0
}

# A text as a standard SQL string literal.
function cb_quote(text) {
    gsub(/'/, "''", text)
    return "'" text "'"
}

# The outcome lines, the same on every engine.
function cb_committed(n) { return "checked apply: each of the " n " statements changed exactly one row; committed" }
function cb_checked(n) { return "checked apply: each of the " n " statements changed exactly one row; checked only: rolled back" }
function cb_stopped() { return "checked apply: stopped; nothing was committed" }
function cb_committing() { return "credbatch-apply: committing" }

# Lines of the SQLite stream before the first statement's line; statement K is on line
# cb_sqlite_header() + K, which is how a client error is traced to its statement.
function cb_sqlite_header() { return 40 }

# Statements a PostgreSQL or MariaDB block holds.
function cb_block_size() { return 100 }

# Lines of the PostgreSQL stream before the first block. Then each block of P statements (P is
# cb_block_size(), or what is left for the last block) takes one line for recording them and an
# anonymous code block of 2 * P + 6 lines: its first line, DECLARE, BEGIN, two lines a statement
# (the statement, then its count), the INSERT of the counts, END and the closing line, which is the
# line psql names in an error. PL/pgSQL numbers the code block's lines from its first line.
function cb_pg_header() { return 60 }

# The statement of the script that failed when psql names line L of the PostgreSQL stream and the
# error's context line K of a code block, in a script of N statements; 0 when they name none.
function cb_pg_statement(l, k, n,    x, size, block, p) {
    x = l - cb_pg_header() - 1
    if (x < 0) return 0
    size = 2 * cb_block_size() + 7
    block = int(x / size)
    p = n - block * cb_block_size()
    if (p > cb_block_size()) p = cb_block_size()
    if (p < 1 || x - block * size != 2 * p + 6) return 0
    if (k % 2 || k < 4 || (k - 2) / 2 > p) return 0
    return block * cb_block_size() + (k - 2) / 2
}

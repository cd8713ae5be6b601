-- Included by postgresql-commit.sql and postgresql-check.sql: one line on standard error for
-- each UPDATE that did not change exactly one row, with its number in the script and its user
-- name as the script writes it. Sets credbatch_failed (t or f), credbatch_mismatches and
-- credbatch_statements.
SELECT count(m.*) > 0 AS credbatch_failed,
       count(m.*) AS credbatch_mismatches,
       (SELECT CASE WHEN is_called THEN last_value ELSE 0 END FROM pg_temp.credbatch_statement) AS credbatch_statements,
       coalesce(string_agg(format('statement %s, user %s: %s', m.statement,
                    coalesce(substring(m.query FROM $re$^UPDATE DT511 SET DI059177 = '[^']*' WHERE DI010323 = ('(?:[^']|'')*');?\s*$$re$),
                             'of another form: ' || m.query),
                    CASE m.row_count WHEN 0 THEN 'no row matches' ELSE m.row_count || ' rows match' END),
                E'\n' ORDER BY m.statement), '') AS credbatch_report
    FROM pg_temp.credbatch_mismatch AS m \gset
\if :credbatch_failed
\warn :credbatch_report
\endif

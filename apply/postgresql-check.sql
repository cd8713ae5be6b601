-- In place of postgresql-commit.sql, to look before applying: names every UPDATE that did not
-- change exactly one row, and always rolls back. Ends with an error (psql status 3) when there
-- was one, with status 0 when there was none.
\ir postgresql-report.sql
\if :credbatch_failed
SELECT pg_temp.credbatch_refuse(:credbatch_mismatches, :credbatch_statements, 'checked only: rolled back');
\else
ROLLBACK;
\echo checked apply: each of the :credbatch_statements statements would change exactly one row; checked only: rolled back
\endif

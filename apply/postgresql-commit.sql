-- The last file of the checked apply (see postgresql-begin.sql): names every UPDATE that did not
-- change exactly one row and then fails, so that nothing is committed; or, when every one
-- changed exactly one row, drops what postgresql-begin.sql made and commits.
\ir postgresql-report.sql
\if :credbatch_failed
SELECT pg_temp.credbatch_refuse(:credbatch_mismatches, :credbatch_statements, 'nothing was committed');
\else
DROP TRIGGER credbatch_checked_apply ON DT511;
DROP FUNCTION pg_temp.credbatch_note_mismatch(), pg_temp.credbatch_refuse(bigint, bigint, text);
DROP TABLE pg_temp.credbatch_mismatch;
DROP SEQUENCE pg_temp.credbatch_statement;
COMMIT;
\echo checked apply: each of the :credbatch_statements statements changed exactly one row; committed
\endif

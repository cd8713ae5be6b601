-- The first of the three files given to psql to apply a credbatch script as one checked transaction
-- (postgresql-report.sql is included by the last):
--
--   psql -X -f postgresql-begin.sql -f update.sql -f postgresql-commit.sql DATABASE
--
-- (or postgresql-check.sql last, to look without applying). This file opens the transaction
-- and, inside it, puts a statement-level trigger on DT511 that notes every UPDATE whose row
-- count is not exactly one. The trigger, its function and its notes are created inside the
-- transaction, so a failure, Ctrl-C or a killed psql leaves nothing behind; the last file
-- drops them before it commits.
\set ON_ERROR_STOP on
\set QUIET on
\set SHOW_CONTEXT never
BEGIN;
-- Read every literal as standard SQL: a backslash is an ordinary character.
SET LOCAL standard_conforming_strings = on;
-- A superuser's replica role would silently skip the trigger, and with it the check.
DO $$
BEGIN
    IF current_setting('session_replication_role') <> 'origin' THEN
        RAISE EXCEPTION 'checked apply: session_replication_role is %, which would skip the check; nothing was applied',
            current_setting('session_replication_role');
    END IF;
END $$;
CREATE SEQUENCE pg_temp.credbatch_statement;
CREATE TABLE pg_temp.credbatch_mismatch (statement bigint NOT NULL, query text NOT NULL, row_count bigint NOT NULL);
CREATE FUNCTION pg_temp.credbatch_note_mismatch() RETURNS trigger LANGUAGE plpgsql AS $$
DECLARE
    statement bigint := nextval('pg_temp.credbatch_statement');
    row_count bigint;
BEGIN
    SELECT count(*) INTO row_count FROM credbatch_changed;
    IF row_count <> 1 THEN
        INSERT INTO pg_temp.credbatch_mismatch VALUES (statement, current_query(), row_count);
    END IF;
    RETURN NULL;
END $$;
CREATE FUNCTION pg_temp.credbatch_refuse(mismatches bigint, statements bigint, outcome text) RETURNS void
    LANGUAGE plpgsql AS $$
BEGIN
    RAISE EXCEPTION 'checked apply: % of % statements did not change exactly one row; %', mismatches, statements, outcome;
END $$;
CREATE TRIGGER credbatch_checked_apply AFTER UPDATE ON DT511
    REFERENCING NEW TABLE AS credbatch_changed
    FOR EACH STATEMENT EXECUTE FUNCTION pg_temp.credbatch_note_mismatch();

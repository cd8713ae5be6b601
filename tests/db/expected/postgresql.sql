\set ON_ERROR_STOP on
\set ON_ERROR_ROLLBACK off
\set AUTOCOMMIT on
\set ECHO none
\set ECHO_HIDDEN off
\set QUIET on
\set VERBOSITY terse
\set SHOW_CONTEXT never
\pset pager off
\pset format unaligned
\pset tuples_only on
\encoding UTF8
BEGIN;
SET LOCAL standard_conforming_strings = on;
CREATE TEMPORARY TABLE credbatch_ran (statements bigint NOT NULL) ON COMMIT DROP;
CREATE TEMPORARY TABLE credbatch_mismatch (statement bigint NOT NULL, name text NOT NULL, matched bigint, held bigint, changed bigint, holds bigint) ON COMMIT DROP;
DO $credbatch$
DECLARE
    kind "char";
    rules text;
BEGIN
    IF current_setting('session_replication_role') <> 'origin' THEN
        RAISE EXCEPTION 'checked apply: session_replication_role is %, under which triggers and rules do not fire as they do in use; nothing was committed',
            current_setting('session_replication_role');
    END IF;
    SELECT relkind INTO kind FROM pg_catalog.pg_class WHERE oid = 'DT511'::regclass;
    IF kind NOT IN ('r', 'p') THEN
        RAISE EXCEPTION 'checked apply: DT511 is %, not a table, so its updates cannot be checked; nothing was committed',
            CASE kind WHEN 'v' THEN 'a view' WHEN 'm' THEN 'a materialized view' WHEN 'f' THEN 'a foreign table' ELSE 'of kind ' || kind::text END;
    END IF;
    SELECT string_agg(rulename, ', ' ORDER BY rulename) INTO rules FROM pg_catalog.pg_rewrite WHERE ev_class = 'DT511'::regclass AND rulename <> '_RETURN';
    IF rules IS NOT NULL THEN
        RAISE EXCEPTION 'checked apply: DT511 has the rewrite rule %, which would hide the updates from the check; nothing was committed', rules;
    END IF;
END
$credbatch$;
DO $credbatch$
DECLARE
    cb_context text; cb_index int; cb_matched bigint; cb_held bigint; cb_changed bigint; cb_holds bigint;
BEGIN
    SELECT count(*), count(*) FILTER (WHERE DI059177::text COLLATE "C" = '$2a$10$HEy6MyujUC/AOVmicTbHP.C6WGOolv9hEo5WeRtXGAy.wOrJnDNf.') INTO cb_matched, cb_held FROM DT511 WHERE DI010323 = 'alice';
UPDATE DT511 SET DI059177 = '$2a$10$HEy6MyujUC/AOVmicTbHP.C6WGOolv9hEo5WeRtXGAy.wOrJnDNf.' WHERE DI010323 = 'alice';
    GET DIAGNOSTICS cb_changed = ROW_COUNT;
    SELECT count(*) INTO cb_holds FROM DT511 WHERE DI010323 = 'alice' AND DI059177::text COLLATE "C" = '$2a$10$HEy6MyujUC/AOVmicTbHP.C6WGOolv9hEo5WeRtXGAy.wOrJnDNf.';
    IF cb_matched <> 1 OR cb_held <> 0 OR cb_changed <> 1 OR cb_holds <> 1 THEN INSERT INTO pg_temp.credbatch_mismatch VALUES (1, '''alice''', cb_matched, cb_held, cb_changed, cb_holds); END IF;
    SELECT count(*), count(*) FILTER (WHERE DI059177::text COLLATE "C" = '$2a$10$biG8djbiclSjZljHNCv5a.lm9ht8IPk4Cwceg2VhKOGPmDuJeYHdy') INTO cb_matched, cb_held FROM DT511 WHERE DI010323 = 'o''neil';
UPDATE DT511 SET DI059177 = '$2a$10$biG8djbiclSjZljHNCv5a.lm9ht8IPk4Cwceg2VhKOGPmDuJeYHdy' WHERE DI010323 = 'o''neil';
    GET DIAGNOSTICS cb_changed = ROW_COUNT;
    SELECT count(*) INTO cb_holds FROM DT511 WHERE DI010323 = 'o''neil' AND DI059177::text COLLATE "C" = '$2a$10$biG8djbiclSjZljHNCv5a.lm9ht8IPk4Cwceg2VhKOGPmDuJeYHdy';
    IF cb_matched <> 1 OR cb_held <> 0 OR cb_changed <> 1 OR cb_holds <> 1 THEN INSERT INTO pg_temp.credbatch_mismatch VALUES (2, '''o''''neil''', cb_matched, cb_held, cb_changed, cb_holds); END IF;
    SELECT count(*), count(*) FILTER (WHERE DI059177::text COLLATE "C" = '$2a$10$JjPtNSvRVSKiLE/5Qy3AS.zjBwil1OMsuOuV.vA5dtYvvPw8OmfqW') INTO cb_matched, cb_held FROM DT511 WHERE DI010323 = 'back\slash';
UPDATE DT511 SET DI059177 = '$2a$10$JjPtNSvRVSKiLE/5Qy3AS.zjBwil1OMsuOuV.vA5dtYvvPw8OmfqW' WHERE DI010323 = 'back\slash';
    GET DIAGNOSTICS cb_changed = ROW_COUNT;
    SELECT count(*) INTO cb_holds FROM DT511 WHERE DI010323 = 'back\slash' AND DI059177::text COLLATE "C" = '$2a$10$JjPtNSvRVSKiLE/5Qy3AS.zjBwil1OMsuOuV.vA5dtYvvPw8OmfqW';
    IF cb_matched <> 1 OR cb_held <> 0 OR cb_changed <> 1 OR cb_holds <> 1 THEN INSERT INTO pg_temp.credbatch_mismatch VALUES (3, '''back\slash''', cb_matched, cb_held, cb_changed, cb_holds); END IF;
    INSERT INTO pg_temp.credbatch_ran VALUES (3);
EXCEPTION WHEN OTHERS THEN
    GET STACKED DIAGNOSTICS cb_context = PG_EXCEPTION_CONTEXT;
    cb_index := (substring(cb_context FROM 'inline_code_block line ([0-9]+) ')::int - 5) / 5 + 1;
    IF cb_index IS NULL OR cb_index < 1 OR cb_index > 3 THEN
        cb_index := 1;
    END IF;
    RAISE EXCEPTION USING MESSAGE = format(E'statement %s, user %s: failed: %s\nchecked apply: statement %s failed; nothing was committed',
        (ARRAY[1, 2, 3])[cb_index], (ARRAY['''alice''', '''o''''neil''', '''back\slash'''])[cb_index], SQLERRM, (ARRAY[1, 2, 3])[cb_index]);
END
$credbatch$;
SELECT 'statement ' || statement || ', user ' || name || ': ' || CASE WHEN matched = 0 THEN 'no row matches' WHEN matched > 1 THEN matched || ' rows match' WHEN held > 0 THEN '1 row matches, and it already holds this hash' WHEN changed = 0 THEN '1 row matches, but the UPDATE changed none (a trigger skipped it or kept its old hash)' WHEN changed > 1 THEN '1 row matches, but the UPDATE counted ' || changed || ' rows' ELSE '1 row matches and the UPDATE changed it, but it does not hold the new hash (a trigger altered it)' END FROM pg_temp.credbatch_mismatch ORDER BY statement;
DO $credbatch$
DECLARE
    mismatches bigint := (SELECT count(*) FROM pg_temp.credbatch_mismatch);
    ran bigint := (SELECT coalesce(sum(statements), 0) FROM pg_temp.credbatch_ran);
BEGIN
    IF mismatches > 0 THEN
        RAISE EXCEPTION 'checked apply: % of 3 statements did not change exactly one row; nothing was committed', mismatches;
    ELSIF ran <> 3 THEN
        RAISE EXCEPTION 'checked apply: % of 3 statements ran; nothing was committed', ran;
    END IF;
END
$credbatch$;
\echo credbatch-apply: committing
COMMIT;
\echo checked apply: each of the 3 statements changed exactly one row; committed

\set ON_ERROR_STOP on
\set ON_ERROR_ROLLBACK off
\set AUTOCOMMIT on
\set ECHO none
\set ECHO_HIDDEN off
\set QUIET on
\set VERBOSITY default
\set SHOW_CONTEXT errors
\pset pager off
\pset format unaligned
\pset tuples_only on
\encoding UTF8
BEGIN;
SET LOCAL standard_conforming_strings = on;
CREATE TEMPORARY TABLE credbatch_mismatch (statement bigint NOT NULL, name text NOT NULL, matched bigint, held bigint, changed bigint, holds bigint) ON COMMIT DROP;
DO $credbatch$
DECLARE
    kind "char";
    rules text;
    name_type text;
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
    SELECT pg_catalog.format_type(a.atttypid, NULL) || coalesce((SELECT pg_catalog.format(' COLLATE %I.%I', n.nspname, c.collname)
            FROM pg_catalog.pg_collation c JOIN pg_catalog.pg_namespace n ON n.oid = c.collnamespace WHERE c.oid = a.attcollation), '')
        INTO name_type FROM pg_catalog.pg_attribute a WHERE a.attrelid = 'DT511'::regclass AND a.attname = 'di010323' AND NOT a.attisdropped;
    EXECUTE pg_catalog.format('CREATE TEMPORARY TABLE credbatch_statement (statement bigint NOT NULL, name %s, hash text NOT NULL) ON COMMIT DROP', name_type);
END
$credbatch$;
CREATE TEMPORARY TABLE credbatch_held (statement bigint NOT NULL) ON COMMIT DROP;
CREATE TEMPORARY TABLE credbatch_ran (statement bigint NOT NULL, changed bigint NOT NULL) ON COMMIT DROP;


















WITH s AS (INSERT INTO pg_temp.credbatch_statement VALUES (1, 'alice', '$2a$10$HEy6MyujUC/AOVmicTbHP.C6WGOolv9hEo5WeRtXGAy.wOrJnDNf.'), (2, 'o''neil', '$2a$10$biG8djbiclSjZljHNCv5a.lm9ht8IPk4Cwceg2VhKOGPmDuJeYHdy'), (3, 'back\slash', '$2a$10$JjPtNSvRVSKiLE/5Qy3AS.zjBwil1OMsuOuV.vA5dtYvvPw8OmfqW') RETURNING statement, name, hash) INSERT INTO pg_temp.credbatch_held SELECT s.statement FROM s WHERE (SELECT true FROM DT511 t WHERE t.DI010323 = s.name AND t.DI059177::text COLLATE "C" = s.hash COLLATE "C" LIMIT 1);
DO $credbatch$
DECLARE credbatch_1 bigint; credbatch_2 bigint; credbatch_3 bigint;
BEGIN
UPDATE DT511 SET DI059177 = '$2a$10$HEy6MyujUC/AOVmicTbHP.C6WGOolv9hEo5WeRtXGAy.wOrJnDNf.' WHERE DI010323 = 'alice';
GET DIAGNOSTICS credbatch_1 = ROW_COUNT;
UPDATE DT511 SET DI059177 = '$2a$10$biG8djbiclSjZljHNCv5a.lm9ht8IPk4Cwceg2VhKOGPmDuJeYHdy' WHERE DI010323 = 'o''neil';
GET DIAGNOSTICS credbatch_2 = ROW_COUNT;
UPDATE DT511 SET DI059177 = '$2a$10$JjPtNSvRVSKiLE/5Qy3AS.zjBwil1OMsuOuV.vA5dtYvvPw8OmfqW' WHERE DI010323 = 'back\slash';
GET DIAGNOSTICS credbatch_3 = ROW_COUNT;
INSERT INTO pg_temp.credbatch_ran VALUES (1, credbatch_1), (2, credbatch_2), (3, credbatch_3);
END
$credbatch$;
ANALYZE pg_temp.credbatch_statement;
INSERT INTO pg_temp.credbatch_mismatch SELECT c.statement, '''' || replace(c.name, '''', '''''') || '''', c.matched, (h.statement IS NOT NULL)::int, r.changed, c.holds FROM (SELECT s.statement, min(s.name::text) AS name, count(t.DI010323) AS matched, count(*) FILTER (WHERE t.DI059177::text COLLATE "C" = s.hash COLLATE "C") AS holds FROM pg_temp.credbatch_statement s LEFT JOIN DT511 t ON t.DI010323 = s.name GROUP BY s.statement) c JOIN pg_temp.credbatch_ran r ON r.statement = c.statement LEFT JOIN pg_temp.credbatch_held h ON h.statement = c.statement WHERE c.matched <> 1 OR h.statement IS NOT NULL OR r.changed <> 1 OR c.holds <> 1;
SELECT 'statement ' || statement || ', user ' || name || ': ' || CASE WHEN matched = 0 THEN 'no row matches' WHEN matched > 1 THEN matched || ' rows match' WHEN held > 0 THEN '1 row matches, and it already holds this hash' WHEN changed = 0 THEN '1 row matches, but the UPDATE changed none (a trigger skipped it or kept its old hash)' WHEN changed > 1 THEN '1 row matches, but the UPDATE counted ' || changed || ' rows' ELSE '1 row matches and the UPDATE changed it, but it does not hold the new hash (a trigger altered it)' END FROM pg_temp.credbatch_mismatch ORDER BY statement;
DO $credbatch$
DECLARE
    mismatches bigint := (SELECT count(*) FROM pg_temp.credbatch_mismatch);
    ran bigint := (SELECT count(*) FROM pg_temp.credbatch_ran);
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

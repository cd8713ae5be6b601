.bail on
.echo off
.changes off
.timer off
.headers off
.mode list
.nullvalue ''
.output stdout
BEGIN IMMEDIATE;
CREATE TEMP TABLE credbatch_state (ran INTEGER NOT NULL, matched INTEGER, held INTEGER);
INSERT INTO temp.credbatch_state VALUES (0, NULL, NULL);
CREATE TEMP TABLE credbatch_mismatch (statement INTEGER NOT NULL, name TEXT NOT NULL, matched INTEGER, held INTEGER, changed INTEGER, holds INTEGER);
CREATE TEMP TABLE credbatch_stop (stop INTEGER);
CREATE TEMP TRIGGER credbatch_stop BEFORE INSERT ON credbatch_stop BEGIN SELECT RAISE(ROLLBACK, 'checked apply: stopped; nothing was committed'); END;
SELECT 'checked apply: DT511 is a ' || (SELECT type FROM pragma_table_list WHERE name = 'DT511' COLLATE NOCASE ORDER BY schema <> 'temp', schema <> 'main' LIMIT 1) || ', not a table, so its updates cannot be checked; nothing was committed' WHERE (SELECT type FROM pragma_table_list WHERE name = 'DT511' COLLATE NOCASE ORDER BY schema <> 'temp', schema <> 'main' LIMIT 1) <> 'table';
INSERT INTO temp.credbatch_stop SELECT 1 WHERE (SELECT type FROM pragma_table_list WHERE name = 'DT511' COLLATE NOCASE ORDER BY schema <> 'temp', schema <> 'main' LIMIT 1) <> 'table';
























UPDATE temp.credbatch_state SET ran = ran + 1, matched = (SELECT count(*) FROM DT511 WHERE DI010323 = 'alice'), held = (SELECT count(*) FROM DT511 WHERE DI010323 = 'alice' AND DI059177 = '$2a$10$HEy6MyujUC/AOVmicTbHP.C6WGOolv9hEo5WeRtXGAy.wOrJnDNf.' COLLATE BINARY); UPDATE DT511 SET DI059177 = '$2a$10$HEy6MyujUC/AOVmicTbHP.C6WGOolv9hEo5WeRtXGAy.wOrJnDNf.' WHERE DI010323 = 'alice'; INSERT INTO temp.credbatch_mismatch SELECT * FROM (SELECT 1, '''alice''', matched, held, changes() AS changed, (SELECT count(*) FROM DT511 WHERE DI010323 = 'alice' AND DI059177 = '$2a$10$HEy6MyujUC/AOVmicTbHP.C6WGOolv9hEo5WeRtXGAy.wOrJnDNf.' COLLATE BINARY) AS holds FROM temp.credbatch_state) WHERE matched <> 1 OR held <> 0 OR changed <> 1 OR holds <> 1;
UPDATE temp.credbatch_state SET ran = ran + 1, matched = (SELECT count(*) FROM DT511 WHERE DI010323 = 'o''neil'), held = (SELECT count(*) FROM DT511 WHERE DI010323 = 'o''neil' AND DI059177 = '$2a$10$biG8djbiclSjZljHNCv5a.lm9ht8IPk4Cwceg2VhKOGPmDuJeYHdy' COLLATE BINARY); UPDATE DT511 SET DI059177 = '$2a$10$biG8djbiclSjZljHNCv5a.lm9ht8IPk4Cwceg2VhKOGPmDuJeYHdy' WHERE DI010323 = 'o''neil'; INSERT INTO temp.credbatch_mismatch SELECT * FROM (SELECT 2, '''o''''neil''', matched, held, changes() AS changed, (SELECT count(*) FROM DT511 WHERE DI010323 = 'o''neil' AND DI059177 = '$2a$10$biG8djbiclSjZljHNCv5a.lm9ht8IPk4Cwceg2VhKOGPmDuJeYHdy' COLLATE BINARY) AS holds FROM temp.credbatch_state) WHERE matched <> 1 OR held <> 0 OR changed <> 1 OR holds <> 1;
UPDATE temp.credbatch_state SET ran = ran + 1, matched = (SELECT count(*) FROM DT511 WHERE DI010323 = 'back\slash'), held = (SELECT count(*) FROM DT511 WHERE DI010323 = 'back\slash' AND DI059177 = '$2a$10$JjPtNSvRVSKiLE/5Qy3AS.zjBwil1OMsuOuV.vA5dtYvvPw8OmfqW' COLLATE BINARY); UPDATE DT511 SET DI059177 = '$2a$10$JjPtNSvRVSKiLE/5Qy3AS.zjBwil1OMsuOuV.vA5dtYvvPw8OmfqW' WHERE DI010323 = 'back\slash'; INSERT INTO temp.credbatch_mismatch SELECT * FROM (SELECT 3, '''back\slash''', matched, held, changes() AS changed, (SELECT count(*) FROM DT511 WHERE DI010323 = 'back\slash' AND DI059177 = '$2a$10$JjPtNSvRVSKiLE/5Qy3AS.zjBwil1OMsuOuV.vA5dtYvvPw8OmfqW' COLLATE BINARY) AS holds FROM temp.credbatch_state) WHERE matched <> 1 OR held <> 0 OR changed <> 1 OR holds <> 1;
SELECT 'statement ' || statement || ', user ' || name || ': ' || CASE WHEN matched = 0 THEN 'no row matches' WHEN matched > 1 THEN matched || ' rows match' WHEN held > 0 THEN '1 row matches, and it already holds this hash' WHEN changed = 0 THEN '1 row matches, but the UPDATE changed none (a trigger skipped it or kept its old hash)' WHEN changed > 1 THEN '1 row matches, but the UPDATE counted ' || changed || ' rows' ELSE '1 row matches and the UPDATE changed it, but it does not hold the new hash (a trigger altered it)' END FROM temp.credbatch_mismatch ORDER BY statement;
SELECT 'checked apply: ' || mismatches || ' of 3 statements did not change exactly one row; nothing was committed' FROM (SELECT count(*) AS mismatches FROM temp.credbatch_mismatch) WHERE mismatches > 0;
SELECT 'checked apply: ' || ran || ' of 3 statements ran; nothing was committed' FROM temp.credbatch_state WHERE ran <> 3 AND NOT EXISTS (SELECT * FROM temp.credbatch_mismatch);
INSERT INTO temp.credbatch_stop SELECT 1 FROM temp.credbatch_state WHERE ran <> 3 OR EXISTS (SELECT * FROM temp.credbatch_mismatch);
DROP TRIGGER temp.credbatch_stop;
DROP TABLE temp.credbatch_stop;
DROP TABLE temp.credbatch_mismatch;
DROP TABLE temp.credbatch_state;
SELECT 'credbatch-apply: committing';
COMMIT;
SELECT 'checked apply: each of the 3 statements changed exactly one row; committed';

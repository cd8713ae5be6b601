delimiter //
SET SESSION sql_mode = CONCAT(@@sql_mode, ',NO_BACKSLASH_ESCAPES'), autocommit = 0, completion_type = 'NO_CHAIN'//
SET NAMES utf8mb4//
SET @credbatch_ready = NULL, @credbatch_stopped = NULL, @credbatch_done = NULL//
DROP TEMPORARY TABLE IF EXISTS credbatch_ran, credbatch_mismatch//
CREATE TEMPORARY TABLE credbatch_ran (statement BIGINT NOT NULL DEFAULT 0, changed BIGINT NOT NULL DEFAULT 0, shown TEXT CHARACTER SET utf8mb4, matched BIGINT, holds BIGINT) ENGINE=InnoDB SELECT DI010323 AS name, DI059177 AS hash FROM DT511 WHERE FALSE//
BEGIN NOT ATOMIC
  DECLARE name_charset, name_collation VARCHAR(64) DEFAULT NULL;
  SELECT CHARACTER_SET_NAME, COLLATION_NAME INTO name_charset, name_collation FROM information_schema.COLUMNS WHERE TABLE_SCHEMA = DATABASE() AND TABLE_NAME = 'DT511' AND COLUMN_NAME = 'DI010323' LIMIT 1;
  IF name_collation IS NOT NULL THEN
    EXECUTE IMMEDIATE CONCAT('ALTER TABLE credbatch_ran MODIFY name VARCHAR(100) CHARACTER SET ', name_charset, ' COLLATE ', name_collation);
  END IF;
END//
CREATE TEMPORARY TABLE credbatch_mismatch (statement BIGINT NOT NULL, name TEXT CHARACTER SET utf8mb4 NOT NULL, matched BIGINT, held BIGINT, changed BIGINT, holds BIGINT) ENGINE=InnoDB//
BEGIN NOT ATOMIC
  DECLARE reason TEXT DEFAULT NULL;
  IF @@autocommit <> 0 OR @@completion_type <> 'NO_CHAIN' OR FIND_IN_SET('NO_BACKSLASH_ESCAPES', @@sql_mode) = 0 OR @@character_set_client <> 'utf8mb4' OR @@character_set_connection <> 'utf8mb4' THEN
    SET reason = 'the session did not take autocommit = 0, NO_BACKSLASH_ESCAPES, completion_type NO_CHAIN and utf8mb4';
  ELSEIF (SELECT TABLE_TYPE FROM information_schema.TABLES WHERE TABLE_SCHEMA = DATABASE() AND TABLE_NAME = 'DT511') = 'VIEW' THEN
    SET reason = 'DT511 is a view, not a table, so its updates cannot be checked';
  END IF;
  IF reason IS NOT NULL THEN
    SET @credbatch_stopped = 1;
    ROLLBACK;
    SELECT CONCAT('checked apply: ', reason, '; nothing was committed');
    SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'checked apply: stopped; nothing was committed';
  END IF;
  SET @credbatch_ready = 1;
END//
BEGIN NOT ATOMIC
  IF @credbatch_ready IS NULL OR @credbatch_stopped IS NOT NULL OR @@autocommit <> 0 OR @@completion_type <> 'NO_CHAIN' OR FIND_IN_SET('NO_BACKSLASH_ESCAPES', @@sql_mode) = 0 OR @@character_set_client <> 'utf8mb4' OR @@character_set_connection <> 'utf8mb4' THEN
    SET @credbatch_stopped = 1;
    ROLLBACK;
    SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'checked apply: stopped; nothing was committed';
  END IF;
  BEGIN
  DECLARE cb_line BIGINT DEFAULT 0;
  DECLARE cb_name TEXT CHARACTER SET utf8mb4 DEFAULT '';
  DECLARE cb_1, cb_2, cb_3 BIGINT DEFAULT 0;
  DECLARE EXIT HANDLER FOR SQLEXCEPTION
  BEGIN
    GET DIAGNOSTICS CONDITION 1 @credbatch_error = MESSAGE_TEXT;
    SET @credbatch_stopped = 1;
    ROLLBACK;
    SELECT CONCAT('statement ', cb_line, ', user ', cb_name, ': failed: ', @credbatch_error);
    SELECT CONCAT('checked apply: statement ', cb_line, ' failed; nothing was committed');
    SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'checked apply: stopped; nothing was committed';
  END;
  SET cb_line = 1, cb_name = '''alice''';
UPDATE DT511 SET DI059177 = '$2a$10$HEy6MyujUC/AOVmicTbHP.C6WGOolv9hEo5WeRtXGAy.wOrJnDNf.' WHERE DI010323 = 'alice';
  SET cb_1 = ROW_COUNT();
  SET cb_line = 2, cb_name = '''o''''neil''';
UPDATE DT511 SET DI059177 = '$2a$10$biG8djbiclSjZljHNCv5a.lm9ht8IPk4Cwceg2VhKOGPmDuJeYHdy' WHERE DI010323 = 'o''neil';
  SET cb_2 = ROW_COUNT();
  SET cb_line = 3, cb_name = '''back\slash''';
UPDATE DT511 SET DI059177 = '$2a$10$JjPtNSvRVSKiLE/5Qy3AS.zjBwil1OMsuOuV.vA5dtYvvPw8OmfqW' WHERE DI010323 = 'back\slash';
  SET cb_3 = ROW_COUNT();
  INSERT INTO credbatch_ran (statement, changed, shown, matched, holds, name, hash) VALUES (1, cb_1, NULL, NULL, NULL, 'alice', '$2a$10$HEy6MyujUC/AOVmicTbHP.C6WGOolv9hEo5WeRtXGAy.wOrJnDNf.'), (2, cb_2, NULL, NULL, NULL, 'o''neil', '$2a$10$biG8djbiclSjZljHNCv5a.lm9ht8IPk4Cwceg2VhKOGPmDuJeYHdy'), (3, cb_3, NULL, NULL, NULL, 'back\slash', '$2a$10$JjPtNSvRVSKiLE/5Qy3AS.zjBwil1OMsuOuV.vA5dtYvvPw8OmfqW');
  END;
END//
BEGIN NOT ATOMIC
  DECLARE mismatches BIGINT DEFAULT 0;
  DECLARE ran BIGINT DEFAULT 0;
  IF @credbatch_ready IS NULL OR @credbatch_stopped IS NOT NULL OR @@autocommit <> 0 OR @@completion_type <> 'NO_CHAIN' OR FIND_IN_SET('NO_BACKSLASH_ESCAPES', @@sql_mode) = 0 OR @@character_set_client <> 'utf8mb4' OR @@character_set_connection <> 'utf8mb4' THEN
    SET @credbatch_stopped = 1;
    ROLLBACK;
    SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'checked apply: stopped; nothing was committed';
  END IF;
  INSERT INTO credbatch_mismatch SELECT statement, shown, matched, changed = 0 AND holds = 1, changed, holds FROM (SELECT d.statement, d.changed, COALESCE(d.shown, CONCAT('''', REPLACE(d.name, '''', ''''''), '''')) AS shown, COALESCE(d.matched, (SELECT COUNT(*) FROM DT511 t WHERE t.DI010323 = d.name)) AS matched, COALESCE(d.holds, (SELECT COUNT(*) FROM DT511 t WHERE t.DI010323 = d.name AND BINARY t.DI059177 = BINARY d.hash)) AS holds FROM credbatch_ran d) AS counted WHERE matched <> 1 OR changed <> 1 OR holds <> 1;
  SELECT COUNT(*) INTO mismatches FROM credbatch_mismatch;
  SELECT COUNT(*) INTO ran FROM credbatch_ran;
  IF mismatches > 0 OR ran <> 3 THEN
    SET @credbatch_stopped = 1;
    SELECT CONCAT('statement ', statement, ', user ', CONCAT(name, ': ', CASE WHEN matched = 0 THEN 'no row matches' WHEN matched > 1 THEN CONCAT(matched, ' rows match') WHEN held > 0 THEN '1 row matches, and it already holds this hash' WHEN changed = 0 THEN '1 row matches, but the UPDATE changed none (a trigger skipped it or kept its old hash)' WHEN changed > 1 THEN CONCAT('1 row matches, but the UPDATE counted ', changed, ' rows') ELSE '1 row matches and the UPDATE changed it, but it does not hold the new hash (a trigger altered it)' END)) FROM credbatch_mismatch ORDER BY statement;
    ROLLBACK;
    SELECT IF(mismatches > 0, CONCAT('checked apply: ', mismatches, ' of 3 statements did not change exactly one row; nothing was committed'),
              CONCAT('checked apply: ', ran, ' of 3 statements ran; nothing was committed'));
    DROP TEMPORARY TABLE credbatch_ran, credbatch_mismatch;
    SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'checked apply: stopped; nothing was committed';
  END IF;
  DROP TEMPORARY TABLE credbatch_ran, credbatch_mismatch;
  SELECT 'credbatch-apply: committing';
  COMMIT;
  SET @credbatch_done = 1;
END//
SELECT 'checked apply: each of the 3 statements changed exactly one row; committed' FROM DUAL WHERE @credbatch_done = 1//

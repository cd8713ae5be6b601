delimiter //
SET SESSION sql_mode = CONCAT(@@sql_mode, ',NO_BACKSLASH_ESCAPES'), autocommit = 0, completion_type = 'NO_CHAIN'//
SET NAMES utf8mb4//
SET @credbatch_ready = NULL, @credbatch_stopped = NULL, @credbatch_done = NULL//
DROP TEMPORARY TABLE IF EXISTS credbatch_ran, credbatch_mismatch//
CREATE TEMPORARY TABLE credbatch_ran (statements BIGINT NOT NULL) ENGINE=InnoDB//
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
  DECLARE cb_matched, cb_held, cb_changed, cb_holds BIGINT DEFAULT 0;
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
  SELECT COUNT(*), COUNT(CASE WHEN BINARY DI059177 = '$2a$10$HEy6MyujUC/AOVmicTbHP.C6WGOolv9hEo5WeRtXGAy.wOrJnDNf.' THEN 1 END) INTO cb_matched, cb_held FROM DT511 WHERE DI010323 = 'alice';
UPDATE DT511 SET DI059177 = '$2a$10$HEy6MyujUC/AOVmicTbHP.C6WGOolv9hEo5WeRtXGAy.wOrJnDNf.' WHERE DI010323 = 'alice';
  SET cb_changed = ROW_COUNT();
  SELECT COUNT(*) INTO cb_holds FROM DT511 WHERE DI010323 = 'alice' AND BINARY DI059177 = '$2a$10$HEy6MyujUC/AOVmicTbHP.C6WGOolv9hEo5WeRtXGAy.wOrJnDNf.';
  IF cb_matched <> 1 OR cb_held <> 0 OR cb_changed <> 1 OR cb_holds <> 1 THEN
    INSERT INTO credbatch_mismatch VALUES (cb_line, cb_name, cb_matched, cb_held, cb_changed, cb_holds);
  END IF;
  SET cb_line = 2, cb_name = '''o''''neil''';
  SELECT COUNT(*), COUNT(CASE WHEN BINARY DI059177 = '$2a$10$biG8djbiclSjZljHNCv5a.lm9ht8IPk4Cwceg2VhKOGPmDuJeYHdy' THEN 1 END) INTO cb_matched, cb_held FROM DT511 WHERE DI010323 = 'o''neil';
UPDATE DT511 SET DI059177 = '$2a$10$biG8djbiclSjZljHNCv5a.lm9ht8IPk4Cwceg2VhKOGPmDuJeYHdy' WHERE DI010323 = 'o''neil';
  SET cb_changed = ROW_COUNT();
  SELECT COUNT(*) INTO cb_holds FROM DT511 WHERE DI010323 = 'o''neil' AND BINARY DI059177 = '$2a$10$biG8djbiclSjZljHNCv5a.lm9ht8IPk4Cwceg2VhKOGPmDuJeYHdy';
  IF cb_matched <> 1 OR cb_held <> 0 OR cb_changed <> 1 OR cb_holds <> 1 THEN
    INSERT INTO credbatch_mismatch VALUES (cb_line, cb_name, cb_matched, cb_held, cb_changed, cb_holds);
  END IF;
  SET cb_line = 3, cb_name = '''back\slash''';
  SELECT COUNT(*), COUNT(CASE WHEN BINARY DI059177 = '$2a$10$JjPtNSvRVSKiLE/5Qy3AS.zjBwil1OMsuOuV.vA5dtYvvPw8OmfqW' THEN 1 END) INTO cb_matched, cb_held FROM DT511 WHERE DI010323 = 'back\slash';
UPDATE DT511 SET DI059177 = '$2a$10$JjPtNSvRVSKiLE/5Qy3AS.zjBwil1OMsuOuV.vA5dtYvvPw8OmfqW' WHERE DI010323 = 'back\slash';
  SET cb_changed = ROW_COUNT();
  SELECT COUNT(*) INTO cb_holds FROM DT511 WHERE DI010323 = 'back\slash' AND BINARY DI059177 = '$2a$10$JjPtNSvRVSKiLE/5Qy3AS.zjBwil1OMsuOuV.vA5dtYvvPw8OmfqW';
  IF cb_matched <> 1 OR cb_held <> 0 OR cb_changed <> 1 OR cb_holds <> 1 THEN
    INSERT INTO credbatch_mismatch VALUES (cb_line, cb_name, cb_matched, cb_held, cb_changed, cb_holds);
  END IF;
  INSERT INTO credbatch_ran VALUES (3);
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
  SELECT COUNT(*) INTO mismatches FROM credbatch_mismatch;
  SELECT COALESCE(SUM(statements), 0) INTO ran FROM credbatch_ran;
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

-- The application's user table, as the README's first checked applies use it: the users of
-- examples/users.txt, each with an old hash, and one user who is not in that file and must keep
-- their hash. Standard SQL that sqlite3, psql and mariadb all take as it is, so that the same
-- file makes the table on each engine, or makes it afresh:
--   sqlite3 users.db < examples/users.sql
--   psql -q credbatch_example < examples/users.sql
--   mariadb credbatch_example < examples/users.sql
-- VARCHAR rather than TEXT: MariaDB keys no TEXT column without a length.
DROP TABLE IF EXISTS DT511;
CREATE TABLE DT511 (DI010323 VARCHAR(100) PRIMARY KEY, DI059177 VARCHAR(100) NOT NULL);
INSERT INTO DT511 (DI010323, DI059177) VALUES
    ('alice', 'old hash'),
    ('bob', 'old hash'),
    ('carol', 'old hash'),
    ('o''malley', 'old hash'),
    ('dave', 'old hash');

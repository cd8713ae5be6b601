-- The application's user table, as the README's first checked apply uses it: the users of
-- examples/users.txt, each with an old hash, and one user who is not in that file and must keep
-- their hash. Make it, or make it afresh, with: sqlite3 users.db < examples/users.sql
DROP TABLE IF EXISTS DT511;
CREATE TABLE DT511 (DI010323 TEXT PRIMARY KEY, DI059177 TEXT NOT NULL);
INSERT INTO DT511 (DI010323, DI059177) VALUES
    ('alice', 'old hash'),
    ('bob', 'old hash'),
    ('carol', 'old hash'),
    ('o''malley', 'old hash'),
    ('dave', 'old hash');

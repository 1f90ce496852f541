-- The site database of the stand-in client library (SQLite): the table and
-- the sequence that the database action of adjtimelog writes. The sequence
-- is a row of the library's own catalogue; NTPADJUSTS_SEQ.NEXTVAL in a
-- statement hands out its next value.
CREATE TABLE IF NOT EXISTS NTPADJUSTS (
    NTPID    NUMBER(20) NOT NULL PRIMARY KEY,
    NODE     TEXT,
    TIME     TEXT,
    SERVERIP TEXT,
    OFFSET   TEXT,
    PID      TEXT,
    RUNTIME  NUMBER(20)
);
INSERT OR IGNORE INTO DMOCI_SEQUENCES (NAME, LAST_VALUE) VALUES ('NTPADJUSTS_SEQ', 0);
CREATE VIEW IF NOT EXISTS DUAL AS SELECT 'X' AS DUMMY;

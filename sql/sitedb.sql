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
-- Each batch a node delivered, recorded in the batch's own transaction: a
-- node that did not hear whether its commit went through asks here before
-- it sends the batch again. Rows older than the adjustments kept go with
-- them (sitedb prune).
CREATE TABLE IF NOT EXISTS NTPDELIVERIES (
    BATCH   TEXT NOT NULL PRIMARY KEY,
    NODE    TEXT,
    RUNTIME NUMBER(20)
);
-- What the report reads: a node's rows in time order. (The prune needs no
-- index of its own here: rows lie in the order they came, the oldest first,
-- and a deleted row leaves nothing to step over; each index costs every
-- row of every upload a search.)
CREATE INDEX IF NOT EXISTS NTPADJUSTS_NODE_RUNTIME ON NTPADJUSTS (NODE, RUNTIME);
INSERT OR IGNORE INTO DMOCI_SEQUENCES (NAME, LAST_VALUE) VALUES ('NTPADJUSTS_SEQ', 0);
CREATE VIEW IF NOT EXISTS DUAL AS SELECT 'X' AS DUMMY;

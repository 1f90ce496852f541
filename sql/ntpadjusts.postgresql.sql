-- The schema objects of the adjustments upload on a site's PostgreSQL
-- server, for the DBA: run as a role that may create schemas, after the node
-- role exists (CREATE ROLE dbu LOGIN PASSWORD '...'), e.g.
--   psql -d site -f ntpadjusts.postgresql.sql
-- Every node connects as that role; running this again changes nothing.
-- Numbers read from the time tools stay texts; RUNTIME is the insertion time
-- in seconds since the epoch. Create the database with ENCODING 'SQL_ASCII'
-- where the nodes' lines may hold bytes that are not UTF-8 (GBK host names).
CREATE SCHEMA IF NOT EXISTS dbu;
CREATE SEQUENCE IF NOT EXISTS dbu.ntpadjusts_seq START WITH 1 INCREMENT BY 1 NO CYCLE;
CREATE TABLE IF NOT EXISTS dbu.ntpadjusts (
    ntpid    bigint NOT NULL,
    node     text,
    time     text,
    serverip text,
    "offset" text,
    pid      text,
    runtime  bigint,
    CONSTRAINT ntpadjusts_pk PRIMARY KEY (ntpid)
);
-- Each batch a node delivered, recorded in the batch's own transaction: a
-- node that did not hear whether its commit went through asks here before
-- it sends the batch again. Rows older than the adjustments kept go with
-- them (sitedb prune).
CREATE TABLE IF NOT EXISTS dbu.ntpdeliveries (
    batch   text NOT NULL,
    node    text,
    runtime bigint,
    CONSTRAINT ntpdeliveries_pk PRIMARY KEY (batch)
);
-- What the report and the prune read: a node's rows in time order, and the
-- oldest rows.
CREATE INDEX IF NOT EXISTS ntpadjusts_node_runtime ON dbu.ntpadjusts (node, runtime);
CREATE INDEX IF NOT EXISTS ntpadjusts_runtime ON dbu.ntpadjusts (runtime);
CREATE INDEX IF NOT EXISTS ntpdeliveries_runtime ON dbu.ntpdeliveries (runtime);
-- The server owns NTPID: it comes from the sequence, and no node may
-- choose one (a node that wrote the ids the sequence hands out next would
-- make every other node's rows fail). The node tools send their insert
-- without the column where it has this default.
ALTER TABLE dbu.ntpadjusts ALTER COLUMN ntpid SET DEFAULT nextval('dbu.ntpadjusts_seq');
GRANT USAGE ON SCHEMA dbu TO dbu;
REVOKE INSERT ON dbu.ntpadjusts FROM dbu;
GRANT SELECT ON dbu.ntpadjusts TO dbu;
GRANT INSERT (node, time, serverip, "offset", pid, runtime) ON dbu.ntpadjusts TO dbu;
GRANT USAGE, SELECT ON SEQUENCE dbu.ntpadjusts_seq TO dbu;
GRANT SELECT, INSERT ON dbu.ntpdeliveries TO dbu;

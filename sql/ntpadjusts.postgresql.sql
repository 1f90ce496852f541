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
GRANT USAGE ON SCHEMA dbu TO dbu;
GRANT SELECT, INSERT ON dbu.ntpadjusts TO dbu;
GRANT USAGE, SELECT ON SEQUENCE dbu.ntpadjusts_seq TO dbu;

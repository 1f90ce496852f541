-- The schema objects of the adjustments upload on a site's Oracle-compatible
-- database, for the DBA to run as (or for) the user DBU. Numbers read from
-- ntpdate stay texts; RUNTIME is the insertion time in seconds since the
-- epoch.
CREATE TABLE DBU.NTPADJUSTS (
    NTPID    NUMBER(20)    NOT NULL,
    NODE     VARCHAR2(255),
    TIME     VARCHAR2(255),
    SERVERIP VARCHAR2(255),
    OFFSET   VARCHAR2(255),
    PID      VARCHAR2(255),
    RUNTIME  NUMBER(20),
    CONSTRAINT NTPADJUSTS_PK PRIMARY KEY (NTPID)
);

CREATE SEQUENCE DBU.NTPADJUSTS_SEQ START WITH 1 INCREMENT BY 1 NOCYCLE;

-- Each batch a node delivered, recorded in the batch's own transaction, so
-- that a node that did not hear whether its commit went through asks here
-- instead of sending the batch again. Without it the node tools still
-- deliver every line, at least once. Rows older than the adjustments kept
-- go with them.
CREATE TABLE DBU.NTPDELIVERIES (
    BATCH   VARCHAR2(64) NOT NULL,
    NODE    VARCHAR2(255),
    RUNTIME NUMBER(20),
    CONSTRAINT NTPDELIVERIES_PK PRIMARY KEY (BATCH)
);

-- What a fleet report and the removal of old rows read.
CREATE INDEX DBU.NTPADJUSTS_NODE_RUNTIME ON DBU.NTPADJUSTS (NODE, RUNTIME);
CREATE INDEX DBU.NTPADJUSTS_RUNTIME ON DBU.NTPADJUSTS (RUNTIME);
CREATE INDEX DBU.NTPDELIVERIES_RUNTIME ON DBU.NTPDELIVERIES (RUNTIME);

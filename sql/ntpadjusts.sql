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

// The database action: collects the records of the raw adjustment log and
// inserts them into DBU.NTPADJUSTS through the OCI client library, one
// statement execution per row and one commit for the whole batch. A batch
// that fails is rolled back and its lines go back to the raw log, so the
// next run inserts them; nothing is ever committed twice.
#pragma once

#include "AnalyzeLogFile.h"
#include "oci.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class DatabaseManage {
public:
    explicit DatabaseManage(const std::string& logPath);
    DatabaseManage(const DatabaseManage&) = delete;
    DatabaseManage& operator=(const DatabaseManage&) = delete;
    ~DatabaseManage();

    // Opens the session. Returns 0; a failed start is reported on standard
    // output and shows again when the batch fails.
    int init(const std::string& connect, const std::string& user, const std::string& password);
    // Inserts every record and commits once. Returns 0 after the commit,
    // -1 when a row or the commit failed (the batch is then rolled back).
    int insert();
    // Inserts one row without committing.
    int insertLine(const AdjustTimeInfo& info);
    // Appends one record per row of the table; the text is not used.
    int select(const std::string& unused, std::vector<AdjustTimeInfo>& out);

    // The records reached the database (delivered true) or did not: drops
    // the claimed raw lines, or hands them back for the next run.
    int finish(bool delivered);
    // The raw log was there but could not be read; it is kept for the next run.
    bool inputFailed() const { return analyzer && analyzer->readFailed(); }

private:
    int getData();
    std::string errorText();

    std::string logPath;
    std::vector<AdjustTimeInfo> records;
    OCIEnv* envhp = nullptr;
    OCISvcCtx* svchp = nullptr;
    OCIServer* srvhp = nullptr;
    OCISession* authp = nullptr;
    OCIStmt* stmthp = nullptr;
    OCIDescribe* dschp = nullptr;
    OCIError* errhp = nullptr;
    OCIBind* bindp[7] = {};
    // Holds the claim on the raw lines until the batch is committed.
    std::unique_ptr<AnalyzeLogFile> analyzer;
};

// Whole seconds since the epoch.
int64_t getSecTime();
// Milliseconds since the epoch.
int64_t getCurrTime();

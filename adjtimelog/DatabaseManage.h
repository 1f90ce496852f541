// The database action: collects the records of the raw adjustment log and
// inserts them into DBU.NTPADJUSTS through the OCI client library, one
// statement execution per row and one commit per batch of the backlog
// (one, unless lines waited). A batch that fails is rolled back and stays
// in the backlog, so the next run inserts it; a row the database keeps
// refusing is set aside (RowFailures.h) so that it holds nothing back.
#pragma once

#include "AnalyzeLogFile.h"
#include "RowFailures.h"
#include "oci.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class DatabaseManage {
public:
    // A run on logPath as this process finds it (observeRun).
    explicit DatabaseManage(const std::string& logPath);
    explicit DatabaseManage(const RunContext& run, const RawLogClaim::Limits& limits = {});
    DatabaseManage(const DatabaseManage&) = delete;
    DatabaseManage& operator=(const DatabaseManage&) = delete;
    ~DatabaseManage();

    // Opens the session. Returns 0; a failed start is reported on standard
    // output and shows again when the batch fails.
    int init(const std::string& connect, const std::string& user, const std::string& password);
    // Inserts every record of the batch and commits once. Returns 0 after
    // the commit, -1 when a row or the commit failed (the batch is then
    // rolled back). A row refused for its data, or refused three runs in a
    // row while others go in, is set aside and the batch tried without it.
    int insert();
    // Inserts one row without committing.
    int insertLine(const AdjustTimeInfo& info);
    // Appends one record per row of the table; the text is not used.
    int select(const std::string& unused, std::vector<AdjustTimeInfo>& out);

    // Inserts every batch of the backlog, oldest first, each committed
    // before the backlog drops it, until one fails (it stays for the next
    // run). 0 when every batch went in and the raw log could be read.
    int insertAll();
    // The raw log was there but could not be read; it is kept for the next run.
    bool inputFailed() const { return analyzer && analyzer->readFailed(); }
    // The analyzer of the raw log, for what the run delivered and saw.
    const AnalyzeLogFile* input() const { return analyzer.get(); }
    AnalyzeLogFile* input() { return analyzer.get(); }

private:
    int getData(const RunContext& run, const RawLogClaim::Limits& limits);
    // The last error's text; its number to code when asked.
    std::string errorText(sb4* code = nullptr);
    // Executes every row not set aside; -1 at the first refused row, whose
    // index goes to failed (the number of the records when the commit was
    // refused), with the batch rolled back.
    int insertRows(const RowFailures& rows, size_t& failed, std::string& error, sb4& code);
    // Whether a row other than failed goes in (rolled back at once): the
    // refusal was that row's own, not the table's or the server's.
    bool otherRowGoesIn(const RowFailures& rows, size_t failed);
    int deliveryStatement(const char* text, size_t length, sb4& code, long* count);
    void deliveriesMissing();

    std::vector<AdjustTimeInfo> records;
    bool analyzed = false;                // records hold the current batch's
    std::vector<std::string_view> lines;  // the line of each record
    OCIEnv* envhp = nullptr;
    OCISvcCtx* svchp = nullptr;
    OCIServer* srvhp = nullptr;
    OCISession* authp = nullptr;
    OCIStmt* stmthp = nullptr;
    OCIDescribe* dschp = nullptr;
    OCIError* errhp = nullptr;
    OCIBind* bindp[7] = {};
    // Whether the site records delivered batches (DBU.NTPDELIVERIES);
    // unknown until a batch went in or the table was found missing.
    enum class Deliveries { Unknown, Kept, Missing };
    Deliveries deliveries = Deliveries::Unknown;
    std::string batchIdentity;  // of the current batch
    // Holds the claim on the raw lines until the batch is committed.
    std::unique_ptr<AnalyzeLogFile> analyzer;
};

// Whole seconds since the epoch.
int64_t getSecTime();
// Milliseconds since the epoch.
int64_t getCurrTime();

#include "DatabaseManage.h"
#include "Diagnostics.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/time.h>

namespace {

const char kInsertSql[] = "INSERT INTO DBU.NTPADJUSTS(NTPID, NODE, TIME, SERVERIP, OFFSET, PID, RUNTIME) VALUES "
                          "(ntpadjusts_seq.NEXTVAL,:1,:2,:3,:4,:5,:6)";
const char kSelectSql[] = "select NTPID, NODE, TIME, SERVERIP, OFFSET, PID from DBU.NTPADJUSTS;";
static_assert(sizeof kInsertSql - 1 == 127, "the insert statement is prepared with length 127");
static_assert(sizeof kSelectSql - 1 == 68, "the query is prepared with length 68");

// "DatabaseManage::select OCIHandleAlloc false！" (full-width "!"), GBK.
const char kSelectAllocFailed[] = "DatabaseManage::select OCIHandleAlloc false\xA3\xA1";
// The same in UTF-8, for the journal.
const char kSelectAllocFailedUtf8[] = "DatabaseManage::select OCIHandleAlloc false\xEF\xBC\x81";

// The record of the batches a site holds, written in the batch's own
// transaction: a run that never heard whether its commit went through asks
// it before sending the batch again, so no line is stored twice.
const char kRecordDeliverySql[] = "INSERT INTO DBU.NTPDELIVERIES (BATCH, NODE, RUNTIME) VALUES (:1, :2, :3)";
const char kDeliveredSql[] = "SELECT COUNT(*) FROM DBU.NTPDELIVERIES WHERE BATCH = :1";
const sb4 kNoTable = 942;

template <typename Handle>
sword allocHandle(OCIEnv* env, Handle** slot, ub4 type)
{
    return OCIHandleAlloc(env, reinterpret_cast<void**>(slot), type, 0, nullptr);
}

template <typename Handle>
void freeHandle(Handle*& h, ub4 type)
{
    if (h)
        OCIHandleFree(h, type);
    h = nullptr;
}

void* chars(const std::string& s)
{
    return const_cast<char*>(s.data());
}

void* chars(const Text& s)
{
    return const_cast<char*>(s.data());
}

}  // namespace

int64_t getSecTime()
{
    return static_cast<int64_t>(::time(nullptr));
}

int64_t getCurrTime()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<int64_t>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

DatabaseManage::DatabaseManage(const std::string& path) : DatabaseManage(observeRun(path)) {}

DatabaseManage::DatabaseManage(const RunContext& run, const RawLogClaim::Limits& limits)
{
    if (getData(run, limits) < 0)
        diag("DatabaseManage get date false!");
}

int DatabaseManage::getData(const RunContext& run, const RawLogClaim::Limits& limits)
{
    analyzer = std::make_unique<AnalyzeLogFile>(run, limits);
    analyzed = true;
    if (analyzer->analyze(records, &lines) < 0 || records.empty()) {
        diag("DatabaseManage::getData NULL!");
        return -1;
    }
    return 0;
}

int DatabaseManage::insertAll()
{
    if (analyzer->readFailed()) {
        // The site hears what an empty raw log makes it hear; what waits
        // is kept for the next run.
        insert();
        return -1;
    }
    auto send = [&] {
        if (!analyzed)
            analyzer->analyze(records, &lines);  // a rejected line is said and skipped
        analyzed = true;
        return insert();
    };
    auto release = [&] {
        records.clear();
        lines.clear();
        analyzed = false;
    };
    return analyzer->deliverBatches(AnalyzeLogFile::Sink{send, release});
}

std::string DatabaseManage::errorText(sb4* code)
{
    OraText buf[512] = {};
    sb4 number = 0;
    // Not examined: when there is no error text the buffer stays empty, and
    // the empty text is what is printed.
    OCIErrorGet(errhp, 1, nullptr, &number, buf, sizeof buf, OCI_HTYPE_ERROR);
    buf[sizeof buf - 1] = 0;
    if (code)
        *code = number;
    return reinterpret_cast<const char*>(buf);
}

int DatabaseManage::init(const std::string& connect, const std::string& user, const std::string& password)
{
    OCIInitialize(OCI_DEFAULT, nullptr, nullptr, nullptr, nullptr);
    OCIEnvInit(&envhp, OCI_DEFAULT, 0, nullptr);
    allocHandle(envhp, &svchp, OCI_HTYPE_SVCCTX);
    allocHandle(envhp, &srvhp, OCI_HTYPE_SERVER);
    allocHandle(envhp, &authp, OCI_HTYPE_SESSION);
    allocHandle(envhp, &errhp, OCI_HTYPE_ERROR);
    allocHandle(envhp, &dschp, OCI_HTYPE_DESCRIBE);
    OCIServerAttach(srvhp, errhp, reinterpret_cast<const OraText*>(connect.data()), static_cast<sb4>(connect.size()),
                    OCI_DEFAULT);
    OCIAttrSet(authp, OCI_HTYPE_SESSION, chars(user), static_cast<ub4>(user.size()), OCI_ATTR_USERNAME, errhp);
    OCIAttrSet(authp, OCI_HTYPE_SESSION, chars(password), static_cast<ub4>(password.size()), OCI_ATTR_PASSWORD, errhp);
    OCIAttrSet(svchp, OCI_HTYPE_SVCCTX, srvhp, 0, OCI_ATTR_SERVER, errhp);
    OCIAttrSet(svchp, OCI_HTYPE_SVCCTX, authp, 0, OCI_ATTR_SESSION, errhp);
    if (OCISessionBegin(svchp, errhp, authp, OCI_CRED_RDBMS, OCI_DEFAULT) != 0)
        diag("DatabaseManage::insertLine init: ", errorText());
    return 0;
}

int DatabaseManage::insertLine(const AdjustTimeInfo& info)
{
    // Every row of a run has the run's time.
    const int64_t runtime = static_cast<int64_t>(analyzer->runTime());
    char sql[200] = {};
    memcpy(sql, kInsertSql, sizeof kInsertSql);

    // The previous row's statement (and its binds) is done with.
    freeHandle(stmthp, OCI_HTYPE_STMT);
    if (allocHandle(envhp, &stmthp, OCI_HTYPE_STMT) != 0)
        diag("DatabaseManage::insertLine OCIHandleAlloc false!");
    if (OCIStmtPrepare(stmthp, errhp, reinterpret_cast<const OraText*>(sql), 127, OCI_NTV_SYNTAX, OCI_DEFAULT) != 0) {
        diag("DatabaseManage::insertLine sql sqlerr: ", errorText());
        return -1;
    }

    char runtimeText[48] = {};
    snprintf(runtimeText, 24, "%ld", static_cast<long>(runtime));

    struct {
        void* value;
        size_t size;
    } values[6] = {
        {chars(info.node), info.node.size()},         {chars(info.time), info.time.size()},
        {chars(info.serverIp), info.serverIp.size()}, {chars(info.offset), info.offset.size()},
        {chars(info.pid), info.pid.size()},           {runtimeText, strlen(runtimeText)},
    };
    for (ub4 pos = 1; pos <= 6; ++pos) {
        OCIBindByPos(stmthp, &bindp[pos], errhp, pos, values[pos - 1].value, static_cast<sb4>(values[pos - 1].size),
                     SQLT_CHR, nullptr, nullptr, nullptr, 0, nullptr, OCI_DEFAULT);
    }
    return OCIStmtExecute(svchp, stmthp, errhp, 1, 0, nullptr, nullptr, OCI_DEFAULT) == 0 ? 0 : -1;
}

// Executes text (a statement of the delivery record) with the batch's
// identity and, for the record, the node and the run's time bound; with a
// count, fetches the one number it answers. 0, or -1 with code.
int DatabaseManage::deliveryStatement(const char* sqlText, size_t length, sb4& code, long* count)
{
    char sql[200] = {};
    memcpy(sql, sqlText, length);
    freeHandle(stmthp, OCI_HTYPE_STMT);
    allocHandle(envhp, &stmthp, OCI_HTYPE_STMT);
    char runtimeText[24] = {};
    snprintf(runtimeText, sizeof runtimeText, "%ld", static_cast<long>(analyzer->runTime()));
    const std::string node = records.empty() ? std::string() : std::string(records.front().node.view());
    const struct {
        const void* value;
        size_t size;
    } values[3] = {
        {batchIdentity.data(), batchIdentity.size()}, {node.data(), node.size()}, {runtimeText, strlen(runtimeText)}};
    char number[32] = {};
    OCIDefine* define = nullptr;
    bool ok = OCIStmtPrepare(stmthp, errhp, reinterpret_cast<const OraText*>(sql), static_cast<ub4>(length),
                             OCI_NTV_SYNTAX, OCI_DEFAULT) == 0;
    for (ub4 pos = 1; ok && pos <= (count ? 1u : 3u); ++pos)
        ok = OCIBindByPos(stmthp, &bindp[pos], errhp, pos, const_cast<void*>(values[pos - 1].value),
                          static_cast<sb4>(values[pos - 1].size), SQLT_CHR, nullptr, nullptr, nullptr, 0, nullptr,
                          OCI_DEFAULT) == 0;
    if (ok && count)
        ok = OCIDefineByPos(stmthp, &define, errhp, 1, number, sizeof number, SQLT_STR, nullptr, nullptr, nullptr,
                            OCI_DEFAULT) == 0;
    ok = ok && OCIStmtExecute(svchp, stmthp, errhp, count ? 0 : 1, 0, nullptr, nullptr, OCI_DEFAULT) == 0;
    if (ok && count) {
        sword rc = OCIStmtFetch(stmthp, errhp, 1, OCI_FETCH_NEXT, OCI_DEFAULT);
        ok = rc == OCI_SUCCESS || rc == OCI_NO_DATA;
        *count = rc == OCI_SUCCESS ? strtol(number, nullptr, 10) : 0;
    }
    if (!ok) {
        std::string error = errorText(&code);
        if (code != kNoTable)
            diag("DatabaseManage::insert delivery record: ", error);
        return -1;
    }
    return 0;
}

// The site keeps no record of delivered batches (a schema of an earlier
// version): every batch is still delivered, but one whose commit is not
// heard is sent again in full. Said once.
void DatabaseManage::deliveriesMissing()
{
    if (deliveries == Deliveries::Missing)
        return;
    deliveries = Deliveries::Missing;
    fputs("DatabaseManage::insert DBU.NTPDELIVERIES does not exist: a batch whose commit is not heard "
          "is sent again, and may be stored twice (sitedb init adds the table)\n",
          stderr);
}

int DatabaseManage::insertRows(const RowFailures& rows, size_t& failed, std::string& error, sb4& code)
{
    size_t n = 0;
    for (size_t i = 0; i < records.size(); ++i)
        n += rows.setAside(i) ? 0 : 1;
    diag("starting to insert: ", std::to_string(n), " >>>>>> ");
    size_t done = 0;
    for (size_t i = 0; i < records.size(); ++i) {
        if (rows.setAside(i))
            continue;
        const AdjustTimeInfo& info = records[i];
        if (insertLine(info) < 0) {
            error = errorText(&code);
            diag("DatabaseManage::insert has problem: time=", info.time, std::string(", pid=").append(info.pid.view()));
            // Ending a session commits: the partial batch must go first.
            OCITransRollback(svchp, errhp, OCI_DEFAULT);
            failed = i;
            return -1;
        }
        say(".");
        if (done++ % 20 == 0)
            say("\n");
    }
    if (!batchIdentity.empty() && deliveries != Deliveries::Missing) {
        if (deliveryStatement(kRecordDeliverySql, sizeof kRecordDeliverySql - 1, code, nullptr) != 0) {
            // A failed statement may have ended the transaction: the batch
            // is sent again, without the record when there is no table.
            OCITransRollback(svchp, errhp, OCI_DEFAULT);
            if (code != kNoTable) {
                diag("DatabaseManage::insert false!");
                failed = records.size();
                return -1;
            }
            deliveriesMissing();
            return insertRows(rows, failed, error, code);
        }
        deliveries = Deliveries::Kept;
    }
    if (OCITransCommit(svchp, errhp, OCI_DEFAULT) != 0) {
        diag("DatabaseManage::insert false!");
        OCITransRollback(svchp, errhp, OCI_DEFAULT);
        failed = records.size();
        return -1;
    }
    diag(" Finish insert!");
    return 0;
}

bool DatabaseManage::otherRowGoesIn(const RowFailures& rows, size_t failed)
{
    for (size_t i = 0; i < records.size(); ++i) {
        if (i == failed || rows.setAside(i))
            continue;
        bool in = insertLine(records[i]) == 0;
        OCITransRollback(svchp, errhp, OCI_DEFAULT);
        return in;
    }
    return true;  // no other row to tell by: the refusal counts as the row's
}

int DatabaseManage::insert()
{
    // Rows set aside in one run at the most; the next run goes on.
    const int kMostSetAside = 16;
    RowFailures rows(analyzer ? analyzer->stateDir() : std::string(), analyzer ? analyzer->batchId() : std::string(),
                     analyzer ? analyzer->runTime() : 0);
    batchIdentity.clear();
    if (analyzer && !records.empty()) {
        if (analyzer->identifyBatch(batchIdentity) != 0) {
            diag("DatabaseManage::insert false! the batch could not be noted in ", analyzer->stateDir());
            return -1;
        }
        // Sent before by a run that never heard the outcome: asked first.
        long count = 0;
        sb4 code = 0;
        if (analyzer->batchSentBefore() && deliveries != Deliveries::Missing) {
            if (deliveryStatement(kDeliveredSql, sizeof kDeliveredSql - 1, code, &count) != 0) {
                OCITransRollback(svchp, errhp, OCI_DEFAULT);
                if (code != kNoTable)
                    return -1;
                deliveriesMissing();
            } else if (count > 0) {
                diag("DatabaseManage::insert batch ", batchIdentity, " is in the site database already");
                return 0;
            }
        }
    }
    for (int setAside = 0;; ++setAside) {
        size_t failed = 0;
        std::string error;
        sb4 code = 0;
        if (insertRows(rows, failed, error, code) == 0) {
            for (size_t i = 0; analyzer && i < records.size(); ++i) {
                if (rows.setAside(i))
                    analyzer->leftOut(records[i]);
            }
            rows.clear();
            return 0;
        }
        if (failed >= records.size() || !analyzer || setAside >= kMostSetAside)
            return -1;
        bool dataError = isDataError(code);
        if (!dataError && (!mayBeTheRows(code) || !otherRowGoesIn(rows, failed) || rows.countRefusal(failed) < 3))
            return -1;
        const AdjustTimeInfo& info = records[failed];
        if (const Status s = rows.setAsideRow(failed, lines[failed], error); !s.ok()) {
            diag(s.line("DatabaseManage"));
            return -1;
        }
        // "DatabaseManage::insert set aside: time=..., pid=... in /var/lib/adjtimelog/dead-letters: ORA-..."
        diag("DatabaseManage::insert set aside: time=", info.time,
             std::string(", pid=").append(info.pid.view()) + " in " + rows.deadLetters() + ": " + error);
    }
}

int DatabaseManage::select(const std::string&, std::vector<AdjustTimeInfo>& out)
{
    char sql[200] = {};
    memcpy(sql, kSelectSql, sizeof kSelectSql);

    freeHandle(stmthp, OCI_HTYPE_STMT);
    if (allocHandle(envhp, &stmthp, OCI_HTYPE_STMT) != 0)
        diag(chinese(kSelectAllocFailed, kSelectAllocFailedUtf8));
    if (OCIStmtPrepare(stmthp, errhp, reinterpret_cast<const OraText*>(sql), 68, OCI_NTV_SYNTAX, OCI_DEFAULT) != 0) {
        diag("DatabaseManage::select sql sqlerr: ", errorText());
        return -1;
    }

    char node[256], time[256], serverIp[256], offset[256], pid[256];
    struct {
        char* buf;
        const char* failed;
    } columns[5] = {
        {node, "DatabaseManage::select node false!"},         {time, "DatabaseManage::select time false!"},
        {serverIp, "DatabaseManage::select serverIp false!"}, {offset, "DatabaseManage::select offset false!"},
        {pid, "DatabaseManage::select pid false!"},
    };
    OCIDefine* defines[5] = {};
    for (ub4 i = 0; i < 5; ++i) {
        columns[i].buf[0] = 0;
        if (OCIDefineByPos(stmthp, &defines[i], errhp, i + 2, columns[i].buf, 256, SQLT_STR, nullptr, nullptr, nullptr,
                           OCI_DEFAULT) != 0)
            diag(columns[i].failed);
    }

    if (OCIStmtExecute(svchp, stmthp, errhp, 0, 0, nullptr, nullptr, OCI_DEFAULT) != 0) {
        errorText();
        diag("DatabaseManage::select OCIStmtExecute false!");
        return -1;
    }
    for (;;) {
        sword rc = OCIStmtFetch(stmthp, errhp, 1, OCI_FETCH_NEXT, OCI_DEFAULT);
        if (rc == OCI_NO_DATA)
            break;
        if (rc != OCI_SUCCESS && rc != OCI_SUCCESS_WITH_INFO)
            return -1;  // a fetch that fails would fail forever
        AdjustTimeInfo info;
        info.node = node;
        info.time = time;
        info.serverIp = serverIp;
        info.offset = offset;
        info.pid = pid;
        out.push_back(info);
        diag("DatabaseManage::select adjusts.node = ", info.node);
    }
    return 0;
}

DatabaseManage::~DatabaseManage()
{
    records.clear();
    if (authp && svchp)
        OCISessionEnd(svchp, errhp, authp, OCI_DEFAULT);
    if (srvhp)
        OCIServerDetach(srvhp, errhp, OCI_DEFAULT);
    freeHandle(srvhp, OCI_HTYPE_SERVER);
    freeHandle(svchp, OCI_HTYPE_SVCCTX);
    freeHandle(errhp, OCI_HTYPE_ERROR);
    freeHandle(authp, OCI_HTYPE_SESSION);
    freeHandle(stmthp, OCI_HTYPE_STMT);
    freeHandle(dschp, OCI_HTYPE_DESCRIBE);
    freeHandle(envhp, OCI_HTYPE_ENV);
}

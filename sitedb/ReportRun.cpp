// sitedb report's run: its arguments, the password, one session of the
// client library, the rows streamed in index order and folded node by node,
// then the table and the page.
#include "Connect.h"
#include "Files.h"
#include "Password.h"
#include "SiteReport.h"
#include "oci.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unistd.h>

namespace {

// A value bound to a placeholder: a text or an integer.
struct Bound {
    bool isText = false;
    std::string text;
    long long i = 0;
};

// One session of the client library, ended with its owner.
class Session {
public:
    Session() = default;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session()
    {
        if (stmt_)
            OCIHandleFree(stmt_, OCI_HTYPE_STMT);
        if (began_)
            OCISessionEnd(svc_, err_, ses_, OCI_DEFAULT);
        if (attached_)
            OCIServerDetach(srv_, err_, OCI_DEFAULT);
        for (auto [h, type] : {std::pair<void*, ub4>{ses_, OCI_HTYPE_SESSION},
                               {svc_, OCI_HTYPE_SVCCTX},
                               {srv_, OCI_HTYPE_SERVER},
                               {err_, OCI_HTYPE_ERROR},
                               {env_, OCI_HTYPE_ENV}}) {
            if (h)
                OCIHandleFree(h, type);
        }
    }

    bool open(const std::string& connect, const std::string& user, const std::string& password)
    {
        OCIInitialize(OCI_DEFAULT, nullptr, nullptr, nullptr, nullptr);
        if (OCIEnvInit(&env_, OCI_DEFAULT, 0, nullptr) != OCI_SUCCESS ||
            OCIHandleAlloc(env_, reinterpret_cast<void**>(&err_), OCI_HTYPE_ERROR, 0, nullptr) != OCI_SUCCESS ||
            OCIHandleAlloc(env_, reinterpret_cast<void**>(&srv_), OCI_HTYPE_SERVER, 0, nullptr) != OCI_SUCCESS ||
            OCIHandleAlloc(env_, reinterpret_cast<void**>(&svc_), OCI_HTYPE_SVCCTX, 0, nullptr) != OCI_SUCCESS ||
            OCIHandleAlloc(env_, reinterpret_cast<void**>(&ses_), OCI_HTYPE_SESSION, 0, nullptr) != OCI_SUCCESS)
            return false;
        attached_ = OCIServerAttach(srv_, err_, reinterpret_cast<const OraText*>(connect.data()),
                                    static_cast<sb4>(connect.size()), OCI_DEFAULT) == OCI_SUCCESS;
        if (!attached_)
            return false;
        OCIAttrSet(ses_, OCI_HTYPE_SESSION, const_cast<char*>(user.data()), static_cast<ub4>(user.size()),
                   OCI_ATTR_USERNAME, err_);
        OCIAttrSet(ses_, OCI_HTYPE_SESSION, const_cast<char*>(password.data()), static_cast<ub4>(password.size()),
                   OCI_ATTR_PASSWORD, err_);
        OCIAttrSet(svc_, OCI_HTYPE_SVCCTX, srv_, 0, OCI_ATTR_SERVER, err_);
        OCIAttrSet(svc_, OCI_HTYPE_SVCCTX, ses_, 0, OCI_ATTR_SESSION, err_);
        began_ = OCISessionBegin(svc_, err_, ses_, OCI_CRED_RDBMS, OCI_DEFAULT) == OCI_SUCCESS;
        return began_;
    }

    // Runs a query with values bound at :1, :2, ... and hands each row's
    // columns (as texts; NULL as empty) to take, one row at a time.
    template <typename Take>
    bool query(const std::string& sql, std::vector<Bound> values, int columns, Take take)
    {
        if (stmt_)
            OCIHandleFree(stmt_, OCI_HTYPE_STMT);
        stmt_ = nullptr;
        if (OCIHandleAlloc(env_, reinterpret_cast<void**>(&stmt_), OCI_HTYPE_STMT, 0, nullptr) != OCI_SUCCESS ||
            OCIStmtPrepare(stmt_, err_, reinterpret_cast<const OraText*>(sql.data()), static_cast<ub4>(sql.size()),
                           OCI_NTV_SYNTAX, OCI_DEFAULT) != OCI_SUCCESS)
            return false;
        for (size_t k = 0; k < values.size(); ++k) {
            OCIBind* bind = nullptr;
            Bound& b = values[k];
            sword rc = b.isText ? OCIBindByPos(stmt_, &bind, err_, static_cast<ub4>(k + 1), b.text.data(),
                                               static_cast<sb4>(b.text.size()), SQLT_CHR, nullptr, nullptr, nullptr, 0,
                                               nullptr, OCI_DEFAULT)
                                : OCIBindByPos(stmt_, &bind, err_, static_cast<ub4>(k + 1), &b.i, sizeof b.i, SQLT_INT,
                                               nullptr, nullptr, nullptr, 0, nullptr, OCI_DEFAULT);
            if (rc != OCI_SUCCESS)
                return false;
        }
        const size_t kWidth = 4096;
        std::vector<std::vector<char>> buf(static_cast<size_t>(columns), std::vector<char>(kWidth));
        std::vector<sb2> null(static_cast<size_t>(columns));
        for (size_t c = 0; c < buf.size(); ++c) {
            OCIDefine* def = nullptr;
            if (OCIDefineByPos(stmt_, &def, err_, static_cast<ub4>(c + 1), buf[c].data(), kWidth, SQLT_STR, &null[c],
                               nullptr, nullptr, OCI_DEFAULT) != OCI_SUCCESS)
                return false;
        }
        if (OCIStmtExecute(svc_, stmt_, err_, 0, 0, nullptr, nullptr, OCI_DEFAULT) != OCI_SUCCESS)
            return false;
        std::vector<std::string> row(static_cast<size_t>(columns));
        for (;;) {
            sword rc = OCIStmtFetch(stmt_, err_, 1, OCI_FETCH_NEXT, OCI_DEFAULT);
            if (rc == OCI_NO_DATA)
                return true;
            if (rc != OCI_SUCCESS && rc != OCI_SUCCESS_WITH_INFO)
                return false;
            for (size_t c = 0; c < row.size(); ++c) {
                if (null[c] == -1)
                    row[c].clear();
                else
                    row[c].assign(buf[c].data());
            }
            take(row);
        }
    }

    // The last error: its code (ORA-nnnnn) and text.
    int error(std::string& text) const
    {
        OraText buf[512] = {};
        sb4 code = 0;
        OCIErrorGet(err_, 1, nullptr, &code, buf, sizeof buf, OCI_HTYPE_ERROR);
        text = reinterpret_cast<const char*>(buf);
        return static_cast<int>(code);
    }

private:
    OCIEnv* env_ = nullptr;
    OCIError* err_ = nullptr;
    OCIServer* srv_ = nullptr;
    OCISvcCtx* svc_ = nullptr;
    OCISession* ses_ = nullptr;
    OCIStmt* stmt_ = nullptr;
    bool attached_ = false, began_ = false;
};

int reportUsage()
{
    fputs("usage: sitedb report [--since 1d|7d|DATE] [--silent 15m] [--html FILE] [--format table|tsv|json]\n"
          "                     [--sort attention|name] [--user U] [--password-file FILE] [CONNECT]\n",
          stderr);
    return 2;
}

// Opens the session with the password the operator gave (--password-file,
// or --password), else with none, so that a PostgreSQL URI's libpq finds its
// own (the URI, PGPASSWORD, PGPASSFILE, ~/.pgpass); when the server still
// asks for one, a terminal is asked, and only then is the built-in default
// tried. A missing password is said as such.
std::unique_ptr<Session> openSession(const std::string& connect, const std::string& user, const std::string& given,
                                     const std::string& builtIn)
{
    std::string why;
    int code = 0;
    auto attempt = [&](const std::string& password) {
        auto db = std::make_unique<Session>();
        if (db->open(connect, user, password))
            return db;
        code = db->error(why);
        return std::unique_ptr<Session>();
    };
    std::unique_ptr<Session> db = attempt(given);
    if (db || !given.empty() || code != 1005) {
        if (!db)
            fprintf(stderr, "sitedb: %s\n", why.c_str());
        return db;
    }
    std::string typed;
    if (dmoci::isPostgresUri(connect) && promptPassword("Password for user " + user + ": ", typed)) {
        db = attempt(typed);
        explicit_bzero(typed.data(), typed.size());
        if (!db)
            fprintf(stderr, "sitedb: %s\n", why.c_str());
        return db;
    }
    db = attempt(builtIn);
    if (!db)
        fprintf(stderr,
                "sitedb: no password for %s: none was given (--password-file, the URI, PGPASSWORD, PGPASSFILE, "
                "~/.pgpass or a terminal), and the built-in one was refused: %s\n",
                user.c_str(), why.c_str());
    return db;
}

}  // namespace

int runReport(const std::vector<std::string>& args, const std::string& defaultConnect, const std::string& defaultUser,
              const std::string& defaultPassword, long long now, uid_t self)
{
    std::string connect = defaultConnect, user = defaultUser, password, htmlFile, format = "table";
    ReportPeriod period;
    period.now = now;
    period.since = now - 86400;
    SortOrder order = SortOrder::Attention;
    bool connectGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        bool hasValue = i + 1 < args.size();
        if (a == "--since" && hasValue) {
            const std::string& v = args[++i];
            long long s = parseSpan(v);
            period.since = s >= 0 ? now - s : parseDate(v);
            if (period.since < 0)
                return reportUsage();
        } else if (a == "--silent" && hasValue) {
            period.silentSeconds = parseSpan(args[++i]);
            if (period.silentSeconds < 0)
                return reportUsage();
        } else if (a == "--html" && hasValue) {
            htmlFile = args[++i];
        } else if (a == "--format" && hasValue) {
            format = args[++i];
            if (format != "table" && format != "tsv" && format != "json")
                return reportUsage();
        } else if (a == "--sort" && hasValue) {
            const std::string& v = args[++i];
            if (v != "attention" && v != "name")
                return reportUsage();
            order = v == "name" ? SortOrder::Name : SortOrder::Attention;
        } else if (a == "--user" && hasValue) {
            user = args[++i];
        } else if (a == "--password" && hasValue) {
            password = args[++i];  // seen by every user's ps: --password-file is the way
        } else if (a == "--password-file" && hasValue) {
            std::string why;
            if (!readPasswordFile(args[++i], password, why)) {
                fprintf(stderr, "sitedb: %s\n", why.c_str());
                return 1;
            }
        } else if (!connectGiven && !a.empty() && a[0] != '-') {
            connect = a;
            connectGiven = true;
        } else {
            return reportUsage();
        }
    }
    period.timelines = !htmlFile.empty();
    std::unique_ptr<Session> session = openSession(connect, user, password, defaultPassword);
    explicit_bzero(password.data(), password.size());
    if (!session)
        return 1;
    Session& db = *session;

    // The period's rows, in the order they were stored: an event is stored
    // after it happened, so those of the period were stored since its
    // start. The order of NTPID is each node's order of upload, and the
    // order the rows lie in, so the rows are read straight through.
    FleetFold fleet(period);
    bool ok = db.query("SELECT NODE, TIME, SERVERIP, OFFSET, PID, RUNTIME FROM DBU.NTPADJUSTS "
                       "WHERE RUNTIME >= :1 ORDER BY NTPID",
                       {Bound{false, "", period.since}}, 6, [&](const std::vector<std::string>& r) {
                           fleet.add(r[0], r[1], r[2], r[3], r[4], strtoll(r[5].c_str(), nullptr, 10));
                       });
    std::vector<NodeSummary> nodes = fleet.finish();
    // A node whose rows of the period are all in the future: its last
    // report is older than the period.
    for (NodeSummary& n : nodes) {
        if (!ok || n.lastReport != 0)
            continue;
        ok = db.query("SELECT MAX(RUNTIME) FROM DBU.NTPADJUSTS WHERE NODE = :1 AND RUNTIME <= :2",
                      {Bound{true, n.node, 0}, Bound{false, "", now + kFutureSeconds}}, 1,
                      [&](const std::vector<std::string>& r) { n.lastReport = strtoll(r[0].c_str(), nullptr, 10); });
        n.silent = period.silentSeconds >= 0 && (n.lastReport == 0 || now - n.lastReport > period.silentSeconds);
    }
    if (!ok) {
        std::string why;
        db.error(why);
        fprintf(stderr, "sitedb: %s\n", why.c_str());
        return 1;
    }
    sortNodes(nodes, order);
    std::string out = format == "json" ? formatJson(nodes) : format == "tsv" ? formatTsv(nodes) : formatTable(nodes);
    fwrite(out.data(), 1, out.size(), stdout);
    if (fflush(stdout) != 0) {
        perror("sitedb: standard output");
        return 1;
    }
    if (!htmlFile.empty()) {
        // The page is the operator's to serve: 0644, whole or absent, and
        // never written through whatever another user put at its name.
        std::string why;
        if (publishFile(htmlFile, formatHtml(nodes, period), 0644, self, false, why) != 0) {
            fprintf(stderr, "sitedb: %s\n", why.c_str());
            return 1;
        }
    }
    return 0;
}

// The interface functions of the stand-in client library.

#include "Connect.h"
#include "Handles.h"
#include "SqliteLib.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

using dmoci::Failure;

namespace {

template <typename H>
H* valid(const void* p, ub4 type)
{
    auto* h = static_cast<H*>(const_cast<void*>(p));
    return h && h->magic == dmoci::kMagic && h->type == type ? h : nullptr;
}

sword fail(OCIError* errhp, Failure failure)
{
    if (valid<OCIError>(errhp, OCI_HTYPE_ERROR))
        errhp->error = std::move(failure);
    return OCI_ERROR;
}

// The session's database, when the service context has a session.
std::shared_ptr<dmoci::Database> sessionDb(OCISvcCtx* svchp)
{
    if (!valid<OCISvcCtx>(svchp, OCI_HTYPE_SVCCTX) ||
        !valid<OCISession>(svchp->session, OCI_HTYPE_SESSION))
        return nullptr;
    return svchp->session->db;
}

// The session's PostgreSQL connection, when it has one.
std::shared_ptr<dmoci::PgSession> sessionPg(OCISvcCtx* svchp)
{
    if (!valid<OCISvcCtx>(svchp, OCI_HTYPE_SVCCTX) ||
        !valid<OCISession>(svchp->session, OCI_HTYPE_SESSION))
        return nullptr;
    return svchp->session->pg;
}

const Failure kNotLoggedOn{1012, "not logged on"};

// A caller that runs one statement per row frees its handle and allocates
// a new one for each row: freed statement handles are kept for the next
// allocation, with their binds, instead of going back to the heap. A kept
// handle is no valid handle until it is handed out again.
std::vector<std::unique_ptr<OCIStmt>>& spareStmts()
{
    static std::vector<std::unique_ptr<OCIStmt>> spare;
    return spare;
}

OCIStmt* takeStmt()
{
    auto& spare = spareStmts();
    if (spare.empty())
        return new OCIStmt;
    OCIStmt* st = spare.back().release();
    spare.pop_back();
    st->magic = dmoci::kMagic;
    return st;
}

void releaseRunning(OCIStmt* st);

// What a statement forgets when it is prepared again: its execution, binds,
// defines and row count.
void forgetExecution(OCIStmt* st)
{
    releaseRunning(st);
    st->dropBinds();
    st->defines.clear();
    st->rowCount = 0;
}

void giveBackStmt(OCIStmt* st)
{
    auto& spare = spareStmts();
    if (spare.size() >= 4) {
        releaseRunning(st);
        delete st;
        return;
    }
    forgetExecution(st);
    st->magic = 0;
    st->error = {};
    st->text.clear();
    st->db.reset();
    st->query = st->exhausted = false;
    st->pgRow = 0;
    spare.emplace_back(st);
}

void releaseRunning(OCIStmt* st)
{
    st->pgRows.reset();
    if (st->running && !st->db.expired())
        dmoci::sq().sqlite3_reset(st->running);
    st->running = nullptr;
    if (st->own) {
        dmoci::sq().sqlite3_finalize(st->own);
        st->own = nullptr;
    }
}

// The caller's variables need not be aligned: values are copied, not cast.
template <typename T>
T loadAs(const void* p)
{
    T v;
    memcpy(&v, p, sizeof v);
    return v;
}

template <typename T>
void storeAs(void* p, T v)
{
    memcpy(p, &v, sizeof v);
}

// The characters of a character bind; false when it is NULL (a zero-length
// character value is NULL, as the server treats it).
bool charValue(const OCIBind& b, const char*& p, size_t& n)
{
    p = static_cast<const char*>(b.value);
    if (b.dty == SQLT_STR)
        n = p && b.size > 0 ? strnlen(p, static_cast<size_t>(b.size)) : 0;
    else
        n = b.actualLength ? *b.actualLength : static_cast<size_t>(b.size > 0 ? b.size : 0);
    return n > 0 && p;
}

bool bindValue(sqlite3_stmt* s, const OCIBind& b, Failure& failure)
{
    int i = static_cast<int>(b.position);
    if (b.indicator && *b.indicator == -1)
        return dmoci::sq().sqlite3_bind_null(s, i) == SQLITE_OK;
    const char* p = static_cast<const char*>(b.value);
    switch (b.dty) {
    case SQLT_CHR:
    case SQLT_AFC:
    case SQLT_LNG:
    case SQLT_STR: {
        size_t n;
        if (!charValue(b, p, n))
            return dmoci::sq().sqlite3_bind_null(s, i) == SQLITE_OK;
        return dmoci::sq().sqlite3_bind_text(s, i, p, static_cast<int>(n), SQLITE_STATIC) == SQLITE_OK;
    }
    case SQLT_INT: {
        long long v;
        switch (b.size) {
        case 1: v = loadAs<signed char>(p); break;  // NOLINT(bugprone-signed-char-misuse,cert-str34-c)
        case 2: v = loadAs<short>(p); break;
        case 4: v = loadAs<int>(p); break;
        case 8: v = loadAs<long long>(p); break;
        default: failure = {3115, "unsupported integer size"}; return false;
        }
        return dmoci::sq().sqlite3_bind_int64(s, i, v) == SQLITE_OK;
    }
    case SQLT_FLT: {
        double v;
        switch (b.size) {
        case 4: v = loadAs<float>(p); break;
        case 8: v = loadAs<double>(p); break;
        default: failure = {3115, "unsupported float size"}; return false;
        }
        return dmoci::sq().sqlite3_bind_double(s, i, v) == SQLITE_OK;
    }
    default:
        failure = {3115, "unsupported network datatype or representation"};
        return false;
    }
}

// Copies a column's text into a character define. Returns false when it
// was cut to fit the buffer.
bool storeText(OCIDefine& define, const char* text, size_t n)
{
    OCIDefine* d = &define;
    if (!text)
        n = 0;
    size_t room = d->size > 0 ? static_cast<size_t>(d->size) : 0;
    if (d->dty == SQLT_STR && room > 0)
        room -= 1;  // the terminator
    size_t copied = n < room ? n : room;
    if (copied)
        memcpy(d->value, text, copied);
    if (d->dty == SQLT_STR && d->size > 0)
        static_cast<char*>(d->value)[copied] = 0;
    if (d->returnedLength)
        *d->returnedLength = static_cast<ub2>(copied);
    if (copied == n)
        return true;
    if (d->indicator)
        *d->indicator = static_cast<sb2>(n > 32767 ? -2 : static_cast<long>(n));
    if (d->returnCode)
        *d->returnCode = 1406;
    return false;
}

// The current PostgreSQL row into the defines; every value comes as text.
bool fillDefinesPg(OCIStmt* st)
{
    bool whole = true;
    const dmoci::PgRows& rows = *st->pgRows;
    for (auto& d : st->defines) {
        int col = static_cast<int>(d->position) - 1;
        if (col >= rows.columns() || !d->value)
            continue;
        bool isNull = rows.isNull(st->pgRow, col);
        if (d->indicator)
            *d->indicator = isNull ? -1 : 0;
        if (d->returnCode)
            *d->returnCode = isNull ? 1405 : 0;
        const char* text = rows.value(st->pgRow, col);
        if (d->dty == SQLT_INT) {
            long long v = strtoll(text, nullptr, 10);
            if (d->size == 8) storeAs<long long>(d->value, v);
            else if (d->size == 4) storeAs<int>(d->value, static_cast<int>(v));
            else if (d->size == 2) storeAs<short>(d->value, static_cast<short>(v));
        } else if (d->dty == SQLT_FLT) {
            double v = strtod(text, nullptr);
            if (d->size == 8) storeAs<double>(d->value, v);
            else if (d->size == 4) storeAs<float>(d->value, static_cast<float>(v));
        } else {
            whole = storeText(*d, text, rows.length(st->pgRow, col)) && whole;
        }
    }
    return whole;
}

// Copies the current row into the defines. Returns false when a value was
// cut to fit its buffer.
bool fillDefines(sqlite3_stmt* s, OCIStmt* st)
{
    bool whole = true;
    int columns = dmoci::sq().sqlite3_column_count(s);
    for (auto& d : st->defines) {
        int col = static_cast<int>(d->position) - 1;
        if (col >= columns || !d->value)
            continue;
        bool isNull = dmoci::sq().sqlite3_column_type(s, col) == SQLITE_NULL;
        if (d->indicator)
            *d->indicator = isNull ? -1 : 0;
        if (d->returnCode)
            *d->returnCode = isNull ? 1405 : 0;
        switch (d->dty) {
        case SQLT_INT: {
            long long v = dmoci::sq().sqlite3_column_int64(s, col);
            if (d->size == 8) storeAs<long long>(d->value, v);
            else if (d->size == 4) storeAs<int>(d->value, static_cast<int>(v));
            else if (d->size == 2) storeAs<short>(d->value, static_cast<short>(v));
            break;
        }
        case SQLT_FLT:
            if (d->size == 8) storeAs<double>(d->value, dmoci::sq().sqlite3_column_double(s, col));
            else if (d->size == 4) storeAs<float>(d->value, static_cast<float>(dmoci::sq().sqlite3_column_double(s, col)));
            break;
        default: {
            // The text first: sqlite3_column_bytes then counts its bytes.
            const char* text = reinterpret_cast<const char*>(dmoci::sq().sqlite3_column_text(s, col));
            whole = storeText(*d, text, static_cast<size_t>(dmoci::sq().sqlite3_column_bytes(s, col))) && whole;
        }
        }
    }
    return whole;
}

sword fetchOne(OCIStmt* st, OCIError* errhp)
{
    if (st->pgRows) {
        if (st->pgRow >= st->pgRows->rows()) {
            st->exhausted = true;
            return OCI_NO_DATA;
        }
        ++st->rowCount;
        bool whole = fillDefinesPg(st);
        ++st->pgRow;
        return whole ? OCI_SUCCESS : OCI_SUCCESS_WITH_INFO;
    }
    auto db = st->db.lock();
    if (!st->running || !db)
        return fail(errhp, {24338, "statement handle not executed"});
    if (st->exhausted)
        return OCI_NO_DATA;
    int rc = dmoci::sq().sqlite3_step(st->running);
    if (rc == SQLITE_ROW) {
        ++st->rowCount;
        return fillDefines(st->running, st) ? OCI_SUCCESS : OCI_SUCCESS_WITH_INFO;
    }
    if (rc == SQLITE_DONE) {
        st->exhausted = true;
        dmoci::sq().sqlite3_reset(st->running);
        return OCI_NO_DATA;
    }
    Failure failure = db->lastError();
    dmoci::sq().sqlite3_reset(st->running);
    st->exhausted = true;
    return fail(errhp, failure);
}

sword endTransaction(OCISvcCtx* svchp, OCIError* errhp, bool commit)
{
    if (!valid<OCISvcCtx>(svchp, OCI_HTYPE_SVCCTX))
        return OCI_INVALID_HANDLE;
    Failure failure;
    if (auto pg = sessionPg(svchp)) {
        bool ok = commit ? pg->commit(failure) : pg->rollback(failure);
        return ok ? OCI_SUCCESS : fail(errhp, failure);
    }
    auto db = sessionDb(svchp);
    if (!db)
        return fail(errhp, kNotLoggedOn);
    bool ok = commit ? db->commit(failure) : db->rollback(failure);
    return ok ? OCI_SUCCESS : fail(errhp, failure);
}

// A bound value as PostgreSQL's text form; false for NULL.
bool textOf(const OCIBind& b, std::string& text, Failure& failure)
{
    if (b.indicator && *b.indicator == -1)
        return false;
    const char* p = static_cast<const char*>(b.value);
    switch (b.dty) {
    case SQLT_CHR:
    case SQLT_AFC:
    case SQLT_LNG:
    case SQLT_STR: {
        size_t n;
        if (!charValue(b, p, n))
            return false;
        if (memchr(p, 0, n)) {
            // libpq hands values over as C strings: a NUL would cut the
            // value short without a word. Refused, as the server refuses
            // a NUL in text.
            failure = {29275, "partial multibyte character (a NUL byte, which the server stores in no text)"};
            return false;
        }
        text.assign(p, n);
        return true;
    }
    case SQLT_INT:
        switch (b.size) {
        case 1: text = std::to_string(loadAs<signed char>(p)); return true;  // NOLINT(bugprone-signed-char-misuse,cert-str34-c)
        case 2: text = std::to_string(loadAs<short>(p)); return true;
        case 4: text = std::to_string(loadAs<int>(p)); return true;
        case 8: text = std::to_string(loadAs<long long>(p)); return true;
        default: break;
        }
        break;
    case SQLT_FLT: {
        char buf[40];
        if (b.size == 4 || b.size == 8) {
            snprintf(buf, sizeof buf, "%.17g", b.size == 4 ? static_cast<double>(loadAs<float>(p)) : loadAs<double>(p));
            text = buf;
            return true;
        }
        break;
    }
    default:
        break;
    }
    failure = {3115, "unsupported network datatype or representation"};
    return false;
}

sword executePg(dmoci::PgSession& pg, OCIStmt* stmtp, OCIError* errhp, ub4 iters,
                ub4 mode)
{
    Failure failure;
    int wanted = pg.parameters(stmtp->text, failure);
    if (wanted < 0)
        return fail(errhp, failure);
    std::vector<std::string> texts(static_cast<size_t>(wanted));
    std::vector<const char*> values(static_cast<size_t>(wanted), nullptr);
    std::vector<bool> bound(static_cast<size_t>(wanted) + 1, false);
    for (auto& b : stmtp->binds) {
        if (b->position > static_cast<ub4>(wanted))
            return fail(errhp, {1036, "illegal variable name/number"});
        size_t i = b->position - 1;
        failure = {};
        if (textOf(*b, texts[i], failure))
            values[i] = texts[i].c_str();
        else if (failure.code)
            return fail(errhp, failure);
        bound[b->position] = true;
    }
    for (int i = 1; i <= wanted; ++i) {
        if (!bound[static_cast<size_t>(i)])
            return fail(errhp, {1008, "not all variables bound"});
    }
    std::shared_ptr<dmoci::PgRows> rows;
    unsigned changed = 0;
    if (!pg.execute(stmtp->text, values, rows, changed, failure))
        return fail(errhp, failure);
    stmtp->exhausted = false;
    stmtp->rowCount = 0;
    stmtp->query = rows != nullptr;
    if (stmtp->query) {
        stmtp->pgRows = std::move(rows);
        stmtp->pgRow = 0;
        return iters > 0 ? fetchOne(stmtp, errhp) : OCI_SUCCESS;
    }
    if (iters == 0)
        return fail(errhp, {24333, "zero iteration count"});
    stmtp->rowCount = changed;
    if ((mode & OCI_COMMIT_ON_SUCCESS) && !pg.commit(failure))
        return fail(errhp, failure);
    return OCI_SUCCESS;
}

}  // namespace

extern "C" {

sword OCIInitialize(ub4, void*, void* (*)(void*, size_t), void* (*)(void*, void*, size_t),
                    void (*)(void*, void*))
{
    return OCI_SUCCESS;  // SQLite is started with the first session on a file
}

sword OCIEnvInit(OCIEnv** envp, ub4, size_t, void** usrmempp)
{
    if (!envp)
        return OCI_INVALID_HANDLE;
    *envp = new OCIEnv;
    if (usrmempp)
        *usrmempp = nullptr;
    return OCI_SUCCESS;
}

sword OCIEnvCreate(OCIEnv** envhpp, ub4 mode, void* ctxp, void* (*m)(void*, size_t),
                   void* (*r)(void*, void*, size_t), void (*f)(void*, void*), size_t xtramem_sz,
                   void** usrmempp)
{
    OCIInitialize(mode, ctxp, m, r, f);
    return OCIEnvInit(envhpp, mode, xtramem_sz, usrmempp);
}

sword OCIHandleAlloc(const void* parenth, void** hndlpp, const ub4 type, const size_t,
                     void** usrmempp)
{
    if (!valid<OCIEnv>(parenth, OCI_HTYPE_ENV) || !hndlpp)
        return OCI_INVALID_HANDLE;
    if (usrmempp)
        *usrmempp = nullptr;
    dmoci::Handle* h = nullptr;
    switch (type) {
    case OCI_HTYPE_ERROR: h = new OCIError; break;
    case OCI_HTYPE_SVCCTX: h = new OCISvcCtx; break;
    case OCI_HTYPE_STMT: h = takeStmt(); break;
    case OCI_HTYPE_DESCRIBE: h = new OCIDescribe; break;
    case OCI_HTYPE_SERVER: h = new OCIServer; break;
    case OCI_HTYPE_SESSION: h = new OCISession; break;
    default: return OCI_INVALID_HANDLE;
    }
    *hndlpp = h;
    return OCI_SUCCESS;
}

sword OCIHandleFree(void* hndlp, const ub4 type)
{
    auto* h = valid<dmoci::Handle>(hndlp, type);
    if (!h || type == OCI_HTYPE_BIND || type == OCI_HTYPE_DEFINE)
        return OCI_INVALID_HANDLE;
    if (type == OCI_HTYPE_STMT) {
        giveBackStmt(static_cast<OCIStmt*>(h));
        return OCI_SUCCESS;
    }
    delete h;  // a session freed without its end closes without commit
    return OCI_SUCCESS;
}

sword OCIServerAttach(OCIServer* srvhp, OCIError* errhp, const OraText* dblink, sb4 dblink_len,
                      ub4)
{
    if (!valid<OCIServer>(srvhp, OCI_HTYPE_SERVER))
        return OCI_INVALID_HANDLE;
    srvhp->attached = false;
    srvhp->connect = dblink && dblink_len > 0
                         ? std::string(reinterpret_cast<const char*>(dblink), static_cast<size_t>(dblink_len))
                         : std::string();
    srvhp->postgres = dmoci::isPostgresUri(srvhp->connect);
    if (srvhp->postgres) {
        // The server is reached when the session begins.
        srvhp->attachFailure = {};
        srvhp->attached = true;
        return OCI_SUCCESS;
    }
    std::string why;
    if (!dmoci::databaseFile(srvhp->connect, srvhp->file, why)) {
        srvhp->attachFailure = {12154, "TNS:could not resolve the connect identifier specified (" + why + ")"};
        return fail(errhp, srvhp->attachFailure);
    }
    if (access(srvhp->file.c_str(), F_OK) != 0) {
        srvhp->attachFailure = {12514, "TNS:listener does not currently know of service requested in "
                                       "connect descriptor (\"" + srvhp->connect + "\": no database " +
                                       srvhp->file + ")"};
        return fail(errhp, srvhp->attachFailure);
    }
    srvhp->attachFailure = {};
    srvhp->attached = true;
    return OCI_SUCCESS;
}

sword OCIServerDetach(OCIServer* srvhp, OCIError*, ub4)
{
    if (!valid<OCIServer>(srvhp, OCI_HTYPE_SERVER))
        return OCI_INVALID_HANDLE;
    srvhp->attached = false;
    return OCI_SUCCESS;
}

sword OCIAttrSet(void* trgthndlp, ub4 trghndltyp, void* attributep, ub4 size, ub4 attrtype,
                 OCIError* errhp)
{
    if (auto* s = valid<OCISession>(trgthndlp, OCI_HTYPE_SESSION)) {
        std::string value = attributep ? std::string(static_cast<const char*>(attributep), size) : "";
        if (attrtype == OCI_ATTR_USERNAME)
            s->user = value;
        else if (attrtype == OCI_ATTR_PASSWORD)
            s->password = value;
        else
            return fail(errhp, {24315, "illegal attribute type"});
        return OCI_SUCCESS;
    }
    if (auto* c = valid<OCISvcCtx>(trgthndlp, OCI_HTYPE_SVCCTX)) {
        if (attrtype == OCI_ATTR_SERVER)
            c->server = valid<OCIServer>(attributep, OCI_HTYPE_SERVER);
        else if (attrtype == OCI_ATTR_SESSION)
            c->session = valid<OCISession>(attributep, OCI_HTYPE_SESSION);
        else
            return fail(errhp, {24315, "illegal attribute type"});
        return OCI_SUCCESS;
    }
    if (valid<OCIStmt>(trgthndlp, OCI_HTYPE_STMT) && trghndltyp == OCI_HTYPE_STMT &&
        attrtype == OCI_ATTR_PREFETCH_ROWS)
        return OCI_SUCCESS;
    return OCI_INVALID_HANDLE;
}

sword OCIAttrGet(const void* trgthndlp, ub4, void* attributep, ub4* sizep, ub4 attrtype,
                 OCIError* errhp)
{
    auto* st = valid<OCIStmt>(trgthndlp, OCI_HTYPE_STMT);
    if (!st)
        return OCI_INVALID_HANDLE;
    if (attrtype != OCI_ATTR_ROW_COUNT || !attributep)
        return fail(errhp, {24315, "illegal attribute type"});
    *static_cast<ub4*>(attributep) = st->rowCount;
    if (sizep)
        *sizep = sizeof(ub4);
    return OCI_SUCCESS;
}

sword OCISessionBegin(OCISvcCtx* svchp, OCIError* errhp, OCISession* usrhp, ub4 credt, ub4)
{
    if (!valid<OCISvcCtx>(svchp, OCI_HTYPE_SVCCTX) || !valid<OCISession>(usrhp, OCI_HTYPE_SESSION))
        return OCI_INVALID_HANDLE;
    if (credt != OCI_CRED_RDBMS)
        return fail(errhp, {1017, "invalid username/password; logon denied"});
    OCIServer* srv = valid<OCIServer>(svchp->server, OCI_HTYPE_SERVER);
    if (!srv || !srv->attached)
        return fail(errhp, srv && srv->attachFailure.code ? srv->attachFailure
                                                          : Failure{12541, "TNS:no listener"});
    Failure failure;
    if (srv->postgres) {
        auto pg = std::make_shared<dmoci::PgSession>();
        if (!pg->open(srv->connect, usrhp->user, usrhp->password, failure))
            return fail(errhp, failure);
        usrhp->pg = std::move(pg);
        svchp->session = usrhp;
        return OCI_SUCCESS;
    }
    auto db = std::make_shared<dmoci::Database>();
    if (!db->open(srv->file, srv->connect, usrhp->user, usrhp->password, failure))
        return fail(errhp, failure);
    usrhp->db = std::move(db);
    svchp->session = usrhp;
    return OCI_SUCCESS;
}

sword OCISessionEnd(OCISvcCtx* svchp, OCIError* errhp, OCISession* usrhp, ub4)
{
    OCISession* s = valid<OCISession>(usrhp, OCI_HTYPE_SESSION);
    if (!s && valid<OCISvcCtx>(svchp, OCI_HTYPE_SVCCTX))
        s = svchp->session;
    if (!s)
        return OCI_INVALID_HANDLE;
    // Ending a session commits what it did, as the server does.
    Failure failure;
    if (s->pg) {
        bool ok = s->pg->commit(failure);
        s->pg.reset();
        return ok ? OCI_SUCCESS : fail(errhp, failure);
    }
    if (!s->db)
        return fail(errhp, kNotLoggedOn);
    bool ok = s->db->commit(failure);
    s->db.reset();
    return ok ? OCI_SUCCESS : fail(errhp, failure);
}

sword OCIErrorGet(void* hndlp, ub4 recordno, OraText*, sb4* errcodep, OraText* bufp, ub4 bufsiz,
                  ub4 type)
{
    auto* h = static_cast<dmoci::Handle*>(hndlp);
    if (!h || h->magic != dmoci::kMagic || h->type != type ||
        (type != OCI_HTYPE_ERROR && type != OCI_HTYPE_ENV))
        return OCI_INVALID_HANDLE;
    if (recordno != 1 || h->error.code == 0)
        return OCI_NO_DATA;
    if (errcodep)
        *errcodep = h->error.code;
    if (bufp && bufsiz > 0)
        snprintf(reinterpret_cast<char*>(bufp), bufsiz, "ORA-%05d: %s", h->error.code,
                 h->error.text.c_str());
    return OCI_SUCCESS;
}

sword OCIStmtPrepare(OCIStmt* stmtp, OCIError*, const OraText* stmt, ub4 stmt_len, ub4, ub4)
{
    if (!valid<OCIStmt>(stmtp, OCI_HTYPE_STMT) || !stmt)
        return OCI_INVALID_HANDLE;
    forgetExecution(stmtp);
    stmtp->text.assign(reinterpret_cast<const char*>(stmt), stmt_len);
    return OCI_SUCCESS;
}

sword OCIBindByPos(OCIStmt* stmtp, OCIBind** bindp, OCIError* errhp, ub4 position, void* valuep,
                   sb4 value_sz, ub2 dty, void* indp, ub2* alenp, ub2*, ub4 maxarr_len, ub4*,
                   ub4)
{
    if (!valid<OCIStmt>(stmtp, OCI_HTYPE_STMT) || !bindp)
        return OCI_INVALID_HANDLE;
    if (position == 0)
        return fail(errhp, {1036, "illegal variable name/number"});
    if (maxarr_len != 0)
        return fail(errhp, {3115, "array binds are not supported"});
    OCIBind* b = nullptr;
    for (auto& existing : stmtp->binds) {
        if (existing->position == position)
            b = existing.get();
    }
    if (!b)
        b = stmtp->newBind();
    b->position = position;
    b->value = valuep;
    b->size = value_sz;
    b->dty = dty;
    b->indicator = static_cast<sb2*>(indp);
    b->actualLength = alenp;
    *bindp = b;
    return OCI_SUCCESS;
}

sword OCIDefineByPos(OCIStmt* stmtp, OCIDefine** defnp, OCIError* errhp, ub4 position,
                     void* valuep, sb4 value_sz, ub2 dty, void* indp, ub2* rlenp, ub2* rcodep,
                     ub4)
{
    if (!valid<OCIStmt>(stmtp, OCI_HTYPE_STMT) || !defnp)
        return OCI_INVALID_HANDLE;
    if (position == 0)
        return fail(errhp, {1007, "variable not in select list"});
    stmtp->defines.push_back(std::make_unique<OCIDefine>());
    OCIDefine* d = stmtp->defines.back().get();
    d->position = position;
    d->value = valuep;
    d->size = value_sz;
    d->dty = dty;
    d->indicator = static_cast<sb2*>(indp);
    d->returnedLength = rlenp;
    d->returnCode = rcodep;
    *defnp = d;
    return OCI_SUCCESS;
}

sword OCIStmtExecute(OCISvcCtx* svchp, OCIStmt* stmtp, OCIError* errhp, ub4 iters, ub4,
                     const OCISnapshot*, OCISnapshot*, ub4 mode)
{
    if (!valid<OCISvcCtx>(svchp, OCI_HTYPE_SVCCTX) || !valid<OCIStmt>(stmtp, OCI_HTYPE_STMT))
        return OCI_INVALID_HANDLE;
    releaseRunning(stmtp);
    if (auto pg = sessionPg(svchp))
        return executePg(*pg, stmtp, errhp, iters, mode);
    auto db = sessionDb(svchp);
    if (!db)
        return fail(errhp, kNotLoggedOn);

    Failure failure;
    sqlite3_stmt* s = db->prepare(stmtp->text, failure);
    if (!s)
        return fail(errhp, failure);
    if (dmoci::sq().sqlite3_stmt_busy(s)) {
        // The cached statement is another handle's open cursor.
        if (dmoci::sq().sqlite3_prepare_v2(db->handle(), dmoci::sq().sqlite3_sql(s), -1, &stmtp->own, nullptr) != SQLITE_OK)
            return fail(errhp, db->lastError());
        s = stmtp->own;
    }
    stmtp->db = db;
    stmtp->query = dmoci::sq().sqlite3_column_count(s) > 0;
    stmtp->exhausted = false;
    stmtp->rowCount = 0;
    if (!stmtp->query && iters == 0)
        return fail(errhp, {24333, "zero iteration count"});

    // Every position is bound anew before each step: a statement handle
    // holds one bind per position, so as many binds as places, none past
    // the last, means all of them.
    int wanted = dmoci::sq().sqlite3_bind_parameter_count(s);
    for (auto& b : stmtp->binds) {
        if (b->position > static_cast<ub4>(wanted))
            return fail(errhp, {1036, "illegal variable name/number"});
        if (!bindValue(s, *b, failure))
            return fail(errhp, failure.code ? failure : db->lastError());
    }
    if (stmtp->binds.size() != static_cast<size_t>(wanted))
        return fail(errhp, {1008, "not all variables bound"});

    if (!dmoci::sq().sqlite3_stmt_readonly(s) && !db->beginIfNeeded(failure))
        return fail(errhp, failure);

    stmtp->running = s;
    if (stmtp->query)
        return iters > 0 ? fetchOne(stmtp, errhp) : OCI_SUCCESS;

    int rc = dmoci::sq().sqlite3_step(s);
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) {
        failure = db->lastError();
        dmoci::sq().sqlite3_reset(s);
        stmtp->running = nullptr;
        db->noteStatementFailure();
        return fail(errhp, failure);
    }
    stmtp->rowCount = static_cast<ub4>(dmoci::sq().sqlite3_changes(db->handle()));
    dmoci::sq().sqlite3_reset(s);
    stmtp->running = nullptr;
    if (mode & OCI_COMMIT_ON_SUCCESS) {
        if (!db->commit(failure))
            return fail(errhp, failure);
    }
    return OCI_SUCCESS;
}

sword OCIStmtFetch(OCIStmt* stmtp, OCIError* errhp, ub4 nrows, ub2, ub4)
{
    if (!valid<OCIStmt>(stmtp, OCI_HTYPE_STMT))
        return OCI_INVALID_HANDLE;
    if (nrows == 0) {
        releaseRunning(stmtp);  // cancels the cursor
        return OCI_SUCCESS;
    }
    if (nrows != 1)
        return fail(errhp, {3115, "array fetches are not supported"});
    return fetchOne(stmtp, errhp);
}

sword OCITransCommit(OCISvcCtx* svchp, OCIError* errhp, ub4)
{
    return endTransaction(svchp, errhp, true);
}

sword OCITransRollback(OCISvcCtx* svchp, OCIError* errhp, ub4)
{
    return endTransaction(svchp, errhp, false);
}

}  // extern "C"

// The interface functions of the stand-in client library: the handles,
// their checks and the dispatch to the session's driver (Driver.h), which
// does the backend's part.

#include "Connect.h"
#include "Handles.h"
#include "Values.h"

#include <cstdio>
#include <cstdlib>

using dmoci::Failure;

const dmoci::Driver& dmoci::driverFor(const std::string& connect)
{
    return isPostgresUri(connect) ? kPostgresDriver : kSqliteDriver;
}

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

// The driver's session behind a service context, when it has one begun.
OCISession* session(OCISvcCtx* svchp)
{
    if (!valid<OCISvcCtx>(svchp, OCI_HTYPE_SVCCTX))
        return nullptr;
    OCISession* s = valid<OCISession>(svchp->session, OCI_HTYPE_SESSION);
    return s && s->session ? s : nullptr;
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

// What a statement forgets when it is prepared again: its execution, binds,
// defines and row count.
void forgetExecution(OCIStmt* st)
{
    st->closeCursor();
    st->dropBinds();
    st->defines.clear();
    st->rowCount = 0;
}

void giveBackStmt(OCIStmt* st)
{
    auto& spare = spareStmts();
    if (spare.size() >= 4) {
        delete st;
        return;
    }
    forgetExecution(st);
    st->magic = 0;
    st->error = {};
    st->text.clear();
    st->exhausted = false;
    spare.emplace_back(st);
}

// Copies the current row into the defines. Returns false when a value was
// cut to fit its buffer.
bool fillDefines(OCIStmt* st)
{
    bool whole = true;
    int columns = st->driver->columns(st->cursor);
    for (auto& d : st->defines) {
        int col = static_cast<int>(d->position) - 1;
        if (col >= columns || !d->value)
            continue;
        whole = dmoci::storeInDefine(*d, st->driver->column(st->cursor, col, dmoci::kindOfDefine(*d))) && whole;
    }
    return whole;
}

sword fetchOne(OCIStmt* st, OCIError* errhp)
{
    if (!st->cursor)
        return fail(errhp, {24338, "statement handle not executed"});
    if (st->exhausted)
        return OCI_NO_DATA;
    Failure failure;
    int rc = st->driver->fetch(st->cursor, failure);
    if (rc > 0) {
        ++st->rowCount;
        return fillDefines(st) ? OCI_SUCCESS : OCI_SUCCESS_WITH_INFO;
    }
    st->exhausted = true;
    return rc == 0 ? OCI_NO_DATA : fail(errhp, failure);
}

sword endTransaction(OCISvcCtx* svchp, OCIError* errhp, bool commit)
{
    if (!valid<OCISvcCtx>(svchp, OCI_HTYPE_SVCCTX))
        return OCI_INVALID_HANDLE;
    OCISession* s = session(svchp);
    if (!s)
        return fail(errhp, kNotLoggedOn);
    Failure failure;
    bool ok = commit ? s->driver->commit(s->session, failure) : s->driver->rollback(s->session, failure);
    // A fault for the tests of the callers: the commit went through, but
    // its answer is lost on the way back, as when a connection drops.
    if (ok && commit && getenv("DMOCI_FAULT_LOSE_COMMIT_ANSWER"))
        return fail(errhp, Failure{3113, "end-of-file on communication channel (the commit's answer was lost)"});
    return ok ? OCI_SUCCESS : fail(errhp, failure);
}

}  // namespace

extern "C" {

sword OCIInitialize(ub4, void*, void* (*)(void*, size_t), void* (*)(void*, void*, size_t), void (*)(void*, void*))
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

sword OCIEnvCreate(OCIEnv** envhpp, ub4 mode, void* ctxp, void* (*m)(void*, size_t), void* (*r)(void*, void*, size_t),
                   void (*f)(void*, void*), size_t xtramem_sz, void** usrmempp)
{
    OCIInitialize(mode, ctxp, m, r, f);
    return OCIEnvInit(envhpp, mode, xtramem_sz, usrmempp);
}

sword OCIHandleAlloc(const void* parenth, void** hndlpp, const ub4 type, const size_t, void** usrmempp)
{
    if (!valid<OCIEnv>(parenth, OCI_HTYPE_ENV) || !hndlpp)
        return OCI_INVALID_HANDLE;
    if (usrmempp)
        *usrmempp = nullptr;
    dmoci::Handle* h = nullptr;
    switch (type) {
    case OCI_HTYPE_ERROR:
        h = new OCIError;
        break;
    case OCI_HTYPE_SVCCTX:
        h = new OCISvcCtx;
        break;
    case OCI_HTYPE_STMT:
        h = takeStmt();
        break;
    case OCI_HTYPE_DESCRIBE:
        h = new OCIDescribe;
        break;
    case OCI_HTYPE_SERVER:
        h = new OCIServer;
        break;
    case OCI_HTYPE_SESSION:
        h = new OCISession;
        break;
    default:
        return OCI_INVALID_HANDLE;
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

sword OCIServerAttach(OCIServer* srvhp, OCIError* errhp, const OraText* dblink, sb4 dblink_len, ub4)
{
    if (!valid<OCIServer>(srvhp, OCI_HTYPE_SERVER))
        return OCI_INVALID_HANDLE;
    srvhp->attached = false;
    srvhp->connect = dblink && dblink_len > 0
                         ? std::string(reinterpret_cast<const char*>(dblink), static_cast<size_t>(dblink_len))
                         : std::string();
    srvhp->driver = &dmoci::driverFor(srvhp->connect);
    srvhp->attachFailure = {};
    if (!srvhp->driver->attach(srvhp->connect, srvhp->target, srvhp->attachFailure))
        return fail(errhp, srvhp->attachFailure);
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

sword OCIAttrSet(void* trgthndlp, ub4 trghndltyp, void* attributep, ub4 size, ub4 attrtype, OCIError* errhp)
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
    if (valid<OCIStmt>(trgthndlp, OCI_HTYPE_STMT) && trghndltyp == OCI_HTYPE_STMT && attrtype == OCI_ATTR_PREFETCH_ROWS)
        return OCI_SUCCESS;
    return OCI_INVALID_HANDLE;
}

sword OCIAttrGet(const void* trgthndlp, ub4, void* attributep, ub4* sizep, ub4 attrtype, OCIError* errhp)
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
        return fail(errhp, srv && srv->attachFailure.code ? srv->attachFailure : Failure{12541, "TNS:no listener"});
    Failure failure;
    dmoci::Session* begun = srv->driver->open(srv->target, srv->connect, usrhp->user, usrhp->password, failure);
    if (!begun)
        return fail(errhp, failure);
    usrhp->end();
    usrhp->driver = srv->driver;
    usrhp->session = begun;
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
    if (!s->session)
        return fail(errhp, kNotLoggedOn);
    // Ending a session commits what it did, as the server does.
    Failure failure;
    bool ok = s->driver->commit(s->session, failure);
    s->end();
    return ok ? OCI_SUCCESS : fail(errhp, failure);
}

sword OCIErrorGet(void* hndlp, ub4 recordno, OraText*, sb4* errcodep, OraText* bufp, ub4 bufsiz, ub4 type)
{
    auto* h = static_cast<dmoci::Handle*>(hndlp);
    if (!h || h->magic != dmoci::kMagic || h->type != type || (type != OCI_HTYPE_ERROR && type != OCI_HTYPE_ENV))
        return OCI_INVALID_HANDLE;
    if (recordno != 1 || h->error.code == 0)
        return OCI_NO_DATA;
    if (errcodep)
        *errcodep = h->error.code;
    if (bufp && bufsiz > 0)
        snprintf(reinterpret_cast<char*>(bufp), bufsiz, "ORA-%05d: %s", h->error.code, h->error.text.c_str());
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

sword OCIBindByPos(OCIStmt* stmtp, OCIBind** bindp, OCIError* errhp, ub4 position, void* valuep, sb4 value_sz, ub2 dty,
                   void* indp, ub2* alenp, ub2*, ub4 maxarr_len, ub4*, ub4)
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

sword OCIDefineByPos(OCIStmt* stmtp, OCIDefine** defnp, OCIError* errhp, ub4 position, void* valuep, sb4 value_sz,
                     ub2 dty, void* indp, ub2* rlenp, ub2* rcodep, ub4)
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

sword OCIStmtExecute(OCISvcCtx* svchp, OCIStmt* stmtp, OCIError* errhp, ub4 iters, ub4, const OCISnapshot*,
                     OCISnapshot*, ub4 mode)
{
    if (!valid<OCISvcCtx>(svchp, OCI_HTYPE_SVCCTX) || !valid<OCIStmt>(stmtp, OCI_HTYPE_STMT))
        return OCI_INVALID_HANDLE;
    stmtp->closeCursor();
    OCISession* s = session(svchp);
    if (!s)
        return fail(errhp, kNotLoggedOn);
    const dmoci::Driver& driver = *s->driver;

    Failure failure;
    int wanted = 0;
    bool query = false;
    dmoci::Statement* statement = driver.prepare(s->session, stmtp->text, wanted, query, failure);
    if (!statement)
        return fail(errhp, failure);
    if (!query && iters == 0)
        return fail(errhp, {24333, "zero iteration count"});

    // A statement handle holds one bind per position: as many binds as
    // places, none past the last, means all of them.
    std::vector<dmoci::Value>& values = stmtp->values;
    values.assign(static_cast<size_t>(wanted), dmoci::Value());
    for (auto& b : stmtp->binds) {
        if (b->position > static_cast<ub4>(wanted))
            return fail(errhp, {1036, "illegal variable name/number"});
        if (!dmoci::valueOfBind(*b, values[b->position - 1], failure))
            return fail(errhp, failure);
    }
    if (stmtp->binds.size() != static_cast<size_t>(wanted))
        return fail(errhp, {1008, "not all variables bound"});

    dmoci::Cursor* cursor = nullptr;
    unsigned changed = 0;
    if (!driver.execute(s->session, statement, values, cursor, changed, failure))
        return fail(errhp, failure);
    stmtp->exhausted = false;
    stmtp->rowCount = 0;
    if (cursor) {
        stmtp->driver = &driver;
        stmtp->cursor = cursor;
        return iters > 0 ? fetchOne(stmtp, errhp) : OCI_SUCCESS;
    }
    stmtp->rowCount = changed;
    if ((mode & OCI_COMMIT_ON_SUCCESS) && !driver.commit(s->session, failure))
        return fail(errhp, failure);
    return OCI_SUCCESS;
}

sword OCIStmtFetch(OCIStmt* stmtp, OCIError* errhp, ub4 nrows, ub2, ub4)
{
    if (!valid<OCIStmt>(stmtp, OCI_HTYPE_STMT))
        return OCI_INVALID_HANDLE;
    if (nrows == 0) {
        stmtp->closeCursor();  // cancels the cursor
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

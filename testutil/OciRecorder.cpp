#include "OciRecorder.h"
#include "oci.h"

#include <cstdio>
#include <cstring>

namespace ocirecorder {

std::vector<std::string> calls;
std::map<void*, unsigned> liveHandles;
std::vector<std::vector<std::string>> rows;

namespace {

std::map<std::string, int> failAt;
std::map<std::string, int> seen;
bool fetchFails = false;
size_t nextRow = 0;
struct {
    unsigned position = 0;
    std::string bytes;
    int code = 0;
} refused;
int lastCode = 1017;

struct BoundValue {
    const void* where;
    std::string bytes;
};
std::map<unsigned, BoundValue> bound;

struct Defined {
    char* buf;
    int size;
};
std::map<unsigned, Defined> defined;

// Records the call; returns the status it is to give.
sword record(const std::string& function, const std::string& args)
{
    calls.push_back(args.empty() ? function : function + " " + args);
    int n = ++seen[function];
    auto it = failAt.find(function);
    return it != failAt.end() && it->second == n ? OCI_ERROR : OCI_SUCCESS;
}

template <typename... Args>
std::string fmt(const char* f, Args... args)
{
    char buf[1024];
    snprintf(buf, sizeof buf, f, args...);
    return buf;
}

void* newHandle(unsigned type)
{
    void* h = new char[1]();
    liveHandles[h] = type;
    return h;
}

}  // namespace

void failCall(const std::string& function, int nth)
{
    failAt[function] = nth;
}

void failFetch(bool on)
{
    fetchFails = on;
}

void refuseRows(unsigned position, const std::string& bytes, int code)
{
    refused.position = position;
    refused.bytes = bytes;
    refused.code = code;
}

void reset()
{
    calls.clear();
    for (auto& h : liveHandles)
        delete[] static_cast<char*>(h.first);
    liveHandles.clear();
    rows.clear();
    failAt.clear();
    seen.clear();
    fetchFails = false;
    nextRow = 0;
    refused.position = 0;
    lastCode = 1017;
    bound.clear();
    defined.clear();
}

std::vector<std::string> callsOf(const std::string& prefix)
{
    std::vector<std::string> out;
    for (auto& c : calls) {
        if (c.compare(0, prefix.size(), prefix) == 0)
            out.push_back(c);
    }
    return out;
}

}  // namespace ocirecorder

using namespace ocirecorder;

extern "C" {

sword OCIInitialize(ub4 mode, void* ctxp, void* (*m)(void*, size_t), void* (*r)(void*, void*, size_t),
                    void (*f)(void*, void*))
{
    return record("OCIInitialize", fmt("mode=%u ctx=%d callbacks=%d", mode, ctxp != nullptr,
                                       m != nullptr || r != nullptr || f != nullptr));
}

sword OCIEnvInit(OCIEnv** envp, ub4 mode, size_t xtramem_sz, void** usrmempp)
{
    *envp = static_cast<OCIEnv*>(newHandle(OCI_HTYPE_ENV));
    return record("OCIEnvInit", fmt("mode=%u xtra=%zu usrmem=%d", mode, xtramem_sz, usrmempp != nullptr));
}

sword OCIEnvCreate(OCIEnv** envhpp, ub4 mode, void*, void* (*)(void*, size_t), void* (*)(void*, void*, size_t),
                   void (*)(void*, void*), size_t xtramem_sz, void** usrmempp)
{
    return OCIEnvInit(envhpp, mode, xtramem_sz, usrmempp);
}

sword OCIHandleAlloc(const void* parenth, void** hndlpp, const ub4 type, const size_t xtramem_sz, void** usrmempp)
{
    bool envParent =
        liveHandles.count(const_cast<void*>(parenth)) && liveHandles[const_cast<void*>(parenth)] == OCI_HTYPE_ENV;
    sword rc = record("OCIHandleAlloc", fmt("type=%u parent=%s xtra=%zu usrmem=%d", type, envParent ? "env" : "other",
                                            xtramem_sz, usrmempp != nullptr));
    *hndlpp = rc == OCI_SUCCESS ? newHandle(type) : nullptr;
    return rc;
}

sword OCIHandleFree(void* hndlp, const ub4 type)
{
    auto it = liveHandles.find(hndlp);
    bool known = it != liveHandles.end() && it->second == type;
    sword rc = record("OCIHandleFree", fmt("type=%u%s", type, known ? "" : " NOT-ALLOCATED"));
    if (known) {
        delete[] static_cast<char*>(hndlp);
        liveHandles.erase(it);
    }
    if (type == OCI_HTYPE_STMT)
        bound.clear();
    return rc;
}

sword OCIServerAttach(OCIServer*, OCIError*, const OraText* dblink, sb4 dblink_len, ub4 mode)
{
    return record("OCIServerAttach",
                  fmt("len=%d mode=%u %.*s", dblink_len, mode, dblink_len, reinterpret_cast<const char*>(dblink)));
}

sword OCIServerDetach(OCIServer*, OCIError*, ub4 mode)
{
    return record("OCIServerDetach", fmt("mode=%u", mode));
}

sword OCIAttrSet(void* trgthndlp, ub4 trghndltyp, void* attributep, ub4 size, ub4 attrtype, OCIError*)
{
    bool handleValue = liveHandles.count(attributep) != 0;
    std::string value = handleValue ? "<handle>" : std::string(static_cast<const char*>(attributep), size);
    bool targetOk = liveHandles.count(trgthndlp) && liveHandles[trgthndlp] == trghndltyp;
    return record("OCIAttrSet", fmt("target=%u%s attr=%u size=%u %s", trghndltyp, targetOk ? "" : "?", attrtype, size,
                                    value.c_str()));
}

sword OCIAttrGet(const void*, ub4, void*, ub4*, ub4 attrtype, OCIError*)
{
    return record("OCIAttrGet", fmt("attr=%u", attrtype));
}

sword OCISessionBegin(OCISvcCtx*, OCIError*, OCISession*, ub4 credt, ub4 mode)
{
    return record("OCISessionBegin", fmt("cred=%u mode=%u", credt, mode));
}

sword OCISessionEnd(OCISvcCtx*, OCIError*, OCISession*, ub4 mode)
{
    return record("OCISessionEnd", fmt("mode=%u", mode));
}

sword OCIErrorGet(void* hndlp, ub4 recordno, OraText* sqlstate, sb4* errcodep, OraText* bufp, ub4 bufsiz, ub4 type)
{
    bool errHandle = liveHandles.count(hndlp) && liveHandles[hndlp] == OCI_HTYPE_ERROR;
    record("OCIErrorGet", fmt("record=%u sqlstate=%d bufsiz=%u type=%u%s", recordno, sqlstate != nullptr, bufsiz, type,
                              errHandle ? "" : " NOT-ERROR-HANDLE"));
    *errcodep = lastCode;
    snprintf(reinterpret_cast<char*>(bufp), bufsiz, "ORA-%05d: injected failure", lastCode);
    return OCI_SUCCESS;
}

sword OCIStmtPrepare(OCIStmt*, OCIError*, const OraText* stmt, ub4 stmt_len, ub4 language, ub4 mode)
{
    return record("OCIStmtPrepare", fmt("len=%u syntax=%u mode=%u %.*s", stmt_len, language, mode,
                                        static_cast<int>(stmt_len), reinterpret_cast<const char*>(stmt)));
}

sword OCIBindByPos(OCIStmt*, OCIBind** bindp, OCIError*, ub4 position, void* valuep, sb4 value_sz, ub2 dty, void* indp,
                   ub2* alenp, ub2* rcodep, ub4 maxarr_len, ub4* curelep, ub4 mode)
{
    bound[position] = {valuep, std::string(static_cast<const char*>(valuep), static_cast<size_t>(value_sz))};
    *bindp = reinterpret_cast<OCIBind*>(&bound[position]);
    return record("OCIBindByPos",
                  fmt("pos=%u len=%d dty=%u ind=%d alen=%d rcode=%d maxarr=%u curele=%d mode=%u [%.*s]", position,
                      value_sz, dty, indp != nullptr, alenp != nullptr, rcodep != nullptr, maxarr_len,
                      curelep != nullptr, mode, value_sz, static_cast<const char*>(valuep)));
}

sword OCIDefineByPos(OCIStmt*, OCIDefine** defnp, OCIError*, ub4 position, void* valuep, sb4 value_sz, ub2 dty,
                     void* indp, ub2* rlenp, ub2* rcodep, ub4 mode)
{
    defined[position] = {static_cast<char*>(valuep), value_sz};
    *defnp = reinterpret_cast<OCIDefine*>(&defined[position]);
    return record("OCIDefineByPos", fmt("pos=%u dty=%u ind=%d rlen=%d rcode=%d mode=%u", position, dty, indp != nullptr,
                                        rlenp != nullptr, rcodep != nullptr, mode));
}

sword OCIStmtExecute(OCISvcCtx*, OCIStmt*, OCIError*, ub4 iters, ub4 rowoff, const OCISnapshot* snap_in,
                     OCISnapshot* snap_out, ub4 mode)
{
    // Bound values must still hold what they held when they were bound.
    bool intact = true;
    for (auto& b : bound)
        intact = intact && memcmp(b.second.where, b.second.bytes.data(), b.second.bytes.size()) == 0;
    nextRow = 0;
    sword rc =
        record("OCIStmtExecute", fmt("iters=%u rowoff=%u snaps=%d mode=%u%s", iters, rowoff,
                                     snap_in != nullptr || snap_out != nullptr, mode, intact ? "" : " BINDS-CHANGED"));
    lastCode = 1017;
    auto b = bound.find(refused.position);
    if (refused.position && b != bound.end() && (refused.bytes.empty() || b->second.bytes == refused.bytes)) {
        lastCode = refused.code;
        return OCI_ERROR;
    }
    return rc;
}

sword OCIStmtFetch(OCIStmt*, OCIError*, ub4 nrows, ub2 orientation, ub4 mode)
{
    sword rc = record("OCIStmtFetch", fmt("rows=%u orientation=%u mode=%u", nrows, orientation, mode));
    if (rc != OCI_SUCCESS || fetchFails)
        return OCI_ERROR;
    if (nextRow >= rows.size())
        return OCI_NO_DATA;
    const auto& row = rows[nextRow++];
    for (unsigned pos = 2; pos <= 6; ++pos) {
        auto d = defined.find(pos);
        if (d != defined.end() && d->second.size > 0)
            snprintf(d->second.buf, static_cast<size_t>(d->second.size), "%s", row[pos - 2].c_str());
    }
    return OCI_SUCCESS;
}

sword OCITransCommit(OCISvcCtx*, OCIError*, ub4 flags)
{
    return record("OCITransCommit", fmt("flags=%u", flags));
}

sword OCITransRollback(OCISvcCtx*, OCIError*, ub4 flags)
{
    return record("OCITransRollback", fmt("flags=%u", flags));
}

}  // extern "C"

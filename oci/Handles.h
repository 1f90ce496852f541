// What the stand-in keeps behind each handle of the interface. Handles are
// created and released by the caller through OCIHandleAlloc/OCIHandleFree,
// as with any client library; binds and defines belong to their statement.
#pragma once

#include "Driver.h"
#include "oci.h"

#include <memory>
#include <string>
#include <vector>

namespace dmoci {

const ub4 kMagic = 0x444d4f43;

struct Handle {
    explicit Handle(ub4 t) : type(t) {}
    virtual ~Handle() { magic = 0; }
    ub4 magic = kMagic;
    ub4 type;
    Failure error;  // the last error recorded on this handle
};

}  // namespace dmoci

struct OCIEnv : dmoci::Handle {
    OCIEnv() : Handle(OCI_HTYPE_ENV) {}
};

struct OCIError : dmoci::Handle {
    OCIError() : Handle(OCI_HTYPE_ERROR) {}
};

struct OCIServer : dmoci::Handle {
    OCIServer() : Handle(OCI_HTYPE_SERVER) {}
    bool attached = false;
    std::string connect;
    const dmoci::Driver* driver = nullptr;
    std::string target;  // where the driver goes: a file, or the URI
    dmoci::Failure attachFailure;
};

struct OCISession : dmoci::Handle {
    OCISession() : Handle(OCI_HTYPE_SESSION) {}
    ~OCISession() override { end(); }
    std::string user;
    std::string password;
    // The driver's session while it is begun.
    const dmoci::Driver* driver = nullptr;
    dmoci::Session* session = nullptr;
    // Ends it without a commit (a session freed without its end).
    void end()
    {
        if (session)
            driver->close(session);
        session = nullptr;
    }
};

struct OCISvcCtx : dmoci::Handle {
    OCISvcCtx() : Handle(OCI_HTYPE_SVCCTX) {}
    OCIServer* server = nullptr;
    OCISession* session = nullptr;
};

struct OCIDescribe : dmoci::Handle {
    OCIDescribe() : Handle(OCI_HTYPE_DESCRIBE) {}
};

struct OCIBind : dmoci::Handle {
    OCIBind() : Handle(OCI_HTYPE_BIND) {}
    ub4 position = 0;
    void* value = nullptr;
    sb4 size = 0;
    ub2 dty = 0;
    sb2* indicator = nullptr;
    ub2* actualLength = nullptr;
};

struct OCIDefine : dmoci::Handle {
    OCIDefine() : Handle(OCI_HTYPE_DEFINE) {}
    ub4 position = 0;
    void* value = nullptr;
    sb4 size = 0;
    ub2 dty = 0;
    sb2* indicator = nullptr;
    ub2* returnedLength = nullptr;
    ub2* returnCode = nullptr;
};

struct OCIStmt : dmoci::Handle {
    OCIStmt() : Handle(OCI_HTYPE_STMT) {}
    std::string text;
    std::vector<std::unique_ptr<OCIBind>> binds;
    std::vector<std::unique_ptr<OCIBind>> spareBinds;  // of earlier prepares, for reuse
    OCIBind* newBind()
    {
        if (spareBinds.empty())
            return binds.emplace_back(std::make_unique<OCIBind>()).get();
        binds.push_back(std::move(spareBinds.back()));
        spareBinds.pop_back();
        return binds.back().get();  // its fields are all set by the bind
    }
    void dropBinds()
    {
        for (auto& b : binds)
            spareBinds.push_back(std::move(b));
        binds.clear();
    }
    std::vector<std::unique_ptr<OCIDefine>> defines;
    std::vector<dmoci::Value> values;  // of the last execution, by position
    // The rows of the last execution of a query, read through its driver.
    const dmoci::Driver* driver = nullptr;
    dmoci::Cursor* cursor = nullptr;
    bool exhausted = false;
    ub4 rowCount = 0;
    void closeCursor()
    {
        if (cursor)
            driver->closeCursor(cursor);
        cursor = nullptr;
    }
    ~OCIStmt() override { closeCursor(); }
};

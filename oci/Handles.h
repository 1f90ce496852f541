// What the stand-in keeps behind each handle of the interface. Handles are
// created and released by the caller through OCIHandleAlloc/OCIHandleFree,
// as with any client library; binds and defines belong to their statement.
#pragma once

#include "Database.h"
#include "Postgres.h"
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
    std::string file;
    bool postgres = false;  // the connect string is a libpq URI
    dmoci::Failure attachFailure;
};

struct OCISession : dmoci::Handle {
    OCISession() : Handle(OCI_HTYPE_SESSION) {}
    std::string user;
    std::string password;
    std::shared_ptr<dmoci::Database> db;
    std::shared_ptr<dmoci::PgSession> pg;
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
    // The compiled statement of the last execution: the session's cached one,
    // or one of its own when the cached one was busy with another cursor.
    sqlite3_stmt* running = nullptr;
    sqlite3_stmt* own = nullptr;
    std::weak_ptr<dmoci::Database> db;
    std::shared_ptr<dmoci::PgRows> pgRows;  // a query's rows on PostgreSQL
    int pgRow = 0;
    bool query = false;
    bool exhausted = false;
    ub4 rowCount = 0;
};

#include "catalogue/sqlite_handle.h"

#include <cstring>

#include "platform/system.h"

namespace zudorhost {

Connection openConnection(const std::string &path, int flags, std::string &error)
{
    sqlite3 *db = nullptr;
    const int code = sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, os::sqliteFileLayer());
    Connection owned(db);
    if (code != SQLITE_OK) {
        error = describeFailure(db, code);
        return nullptr;
    }
    sqlite3_extended_result_codes(db, 1);
    return owned;
}

bool execute(sqlite3 *db, const char *sql, std::string &error)
{
    const int code = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    if (code == SQLITE_OK)
        return true;
    error = describeFailure(db, code);
    return false;
}

std::string describeFailure(sqlite3 *db, int code)
{
    switch (code & 0xFF) {
    case SQLITE_FULL: return "the disk is full";
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB: return "the catalogue is corrupt (" + std::string(sqlite3_errstr(code)) + ")";
    case SQLITE_READONLY: return "the catalogue cannot be written (read-only)";
    default: break;
    }
    std::string message = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code);
    if ((code & 0xFF) == SQLITE_IOERR || (code & 0xFF) == SQLITE_CANTOPEN) {
        const int system = db != nullptr ? sqlite3_system_errno(db) : 0;
        if (system != 0)
            message += " (" + std::string(std::strerror(system)) + ")";
    }
    return message;
}

bool Statement::prepare(sqlite3 *db, const char *sql, std::string &error)
{
    sqlite3_stmt *stmt = nullptr;
    const int code = sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    stmt_.reset(stmt);
    if (code == SQLITE_OK)
        return true;
    error = describeFailure(db, code);
    return false;
}

} // namespace zudorhost

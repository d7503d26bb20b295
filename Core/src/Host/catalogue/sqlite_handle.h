// The little of SQLite's C interface the catalogue uses, with its handles released by owners
// and every failure handed back as a value: a step's result code, and the connection's
// message for it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <sqlite3.h>

namespace zudorhost {

struct CloseConnection {
    void operator()(sqlite3 *db) const { sqlite3_close_v2(db); }
};
using Connection = std::unique_ptr<sqlite3, CloseConnection>;

// Opens path with flags (SQLITE_OPEN_*); on failure says why.
Connection openConnection(const std::string &path, int flags, std::string &error);

// Runs statements that return no rows; false with the message on failure.
bool execute(sqlite3 *db, const char *sql, std::string &error);

// What a failed call means, in words a user can act on.
std::string describeFailure(sqlite3 *db, int code);

class Statement {
public:
    Statement() = default;
    bool prepare(sqlite3 *db, const char *sql, std::string &error);

    Statement &bind(int index, int64_t value)
    {
        sqlite3_bind_int64(stmt_.get(), index, value);
        return *this;
    }
    Statement &bind(int index, const char *text, size_t length)
    {
        if (text == nullptr)
            sqlite3_bind_null(stmt_.get(), index);
        else
            sqlite3_bind_text64(stmt_.get(), index, text, length, SQLITE_STATIC, SQLITE_UTF8);
        return *this;
    }
    Statement &bind(int index, const std::string &text) { return bind(index, text.data(), text.size()); }
    // Bytes as a BLOB, compared byte by byte: a path's exact bytes, whatever their encoding.
    Statement &bindBytes(int index, const char *bytes, size_t length)
    {
        sqlite3_bind_blob64(stmt_.get(), index, length != 0 ? bytes : "", length, SQLITE_STATIC);
        return *this;
    }
    Statement &bindBytes(int index, const std::string &bytes) { return bindBytes(index, bytes.data(), bytes.size()); }
    Statement &bindNull(int index)
    {
        sqlite3_bind_null(stmt_.get(), index);
        return *this;
    }

    // SQLITE_ROW, SQLITE_DONE, or the failure's code. A statement that is done or failed is
    // reset, ready to be bound and run again.
    int step()
    {
        const int code = sqlite3_step(stmt_.get());
        if (code != SQLITE_ROW)
            sqlite3_reset(stmt_.get());
        return code;
    }
    // Runs a statement that returns no rows; SQLITE_DONE or the failure's code.
    int run()
    {
        int code = step();
        if (code == SQLITE_ROW) {
            sqlite3_reset(stmt_.get());
            code = SQLITE_DONE;
        }
        return code;
    }
    void reset() { sqlite3_reset(stmt_.get()); }

    bool isNull(int column) const { return sqlite3_column_type(stmt_.get(), column) == SQLITE_NULL; }
    int64_t integer(int column) const { return sqlite3_column_int64(stmt_.get(), column); }
    const char *text(int column, size_t &length) const
    {
        const auto *bytes = reinterpret_cast<const char *>(sqlite3_column_text(stmt_.get(), column));
        length = size_t(sqlite3_column_bytes(stmt_.get(), column));
        return bytes;
    }
    const char *bytes(int column, size_t &length) const
    {
        const auto *data = static_cast<const char *>(sqlite3_column_blob(stmt_.get(), column));
        length = size_t(sqlite3_column_bytes(stmt_.get(), column));
        return data;
    }
    std::string string(int column) const
    {
        size_t n;
        const char *text = this->text(column, n);
        return text != nullptr ? std::string(text, n) : std::string();
    }

private:
    struct Finalize {
        void operator()(sqlite3_stmt *stmt) const { sqlite3_finalize(stmt); }
    };
    std::unique_ptr<sqlite3_stmt, Finalize> stmt_;
};

} // namespace zudorhost

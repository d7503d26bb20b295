// Rows the writer has gathered, read by SQLite as a table: `INSERT INTO t SELECT ... FROM
// zudor_feed(?1)`, with the feed bound as a pointer, adds a batch's rows to a table in one run of
// one statement. A statement a row costs SQLite its setup, its savepoints and a fresh search of
// the b-tree every time; one statement keeps its cursor at the end of the tree, where rows in
// the order of their keys go.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/sqlite_handle.h"

namespace zudorhost {

class RowFeed {
public:
    static constexpr int kMaxColumns = 18;
    static constexpr const char *kPointerType = "zudor_feed";

    explicit RowFeed(int columns) : columns_(columns) {}

    // The cells of a row, in column order; texts and bytes are not copied, and must stay put
    // until the feed is cleared.
    RowFeed &integer(int64_t value) { return add({Cell::Integer, nullptr, 0, value}); }
    RowFeed &text(const char *text, size_t length)
    {
        return add(text != nullptr ? Cell{Cell::Text, text, length, 0} : Cell{});
    }
    RowFeed &bytes(const char *bytes, size_t length) { return add({Cell::Bytes, bytes, length, 0}); }
    RowFeed &null() { return add({}); }
    // A text the feed keeps a copy of, for one made on the way.
    RowFeed &ownText(std::string_view text);

    size_t rows() const { return cells_.size() / size_t(columns_); }
    // The bytes of the texts it keeps.
    size_t bytes() const { return owned_.size(); }
    // Gives the rows in the order of their first column, an integer.
    void orderByFirst();
    bool empty() const { return cells_.empty(); }
    void clear();
    // The cell's value as a result of SQLite's.
    void result(sqlite3_context *context, size_t row, int column) const;

private:
    struct Cell {
        enum Type : uint8_t { Null, Integer, Text, Bytes, Owned } type = Null;
        const char *data = nullptr; // Owned: its offset in owned_
        size_t size = 0;
        int64_t integer = 0;
    };
    RowFeed &add(const Cell &cell)
    {
        cells_.push_back(cell);
        return *this;
    }

    int columns_;
    std::vector<Cell> cells_;
    std::string owned_;
    std::vector<size_t> order_; // where rows are given in another order than added
};

// Makes zudor_feed(feed) known to db, for this connection only; nothing is kept in the file.
bool registerRowFeed(sqlite3 *db, std::string &error);

// Runs insert, an `INSERT ... SELECT ... FROM zudor_feed(?1)`, over feed's rows and clears it.
int insertFed(Statement &insert, RowFeed &feed);

} // namespace zudorhost

#include "catalogue/row_feed.h"

#include <algorithm>

namespace zudorhost {

RowFeed &RowFeed::ownText(std::string_view text)
{
    const size_t at = owned_.size();
    owned_.append(text.data(), text.size());
    return add({Cell::Owned, reinterpret_cast<const char *>(at), text.size(), 0});
}

void RowFeed::clear()
{
    cells_.clear();
    owned_.clear();
    order_.clear();
}

void RowFeed::orderByFirst()
{
    order_.resize(rows());
    for (size_t i = 0; i < order_.size(); ++i)
        order_[i] = i;
    const size_t width = size_t(columns_);
    std::stable_sort(order_.begin(), order_.end(),
                     [&](size_t a, size_t b) { return cells_[a * width].integer < cells_[b * width].integer; });
}

void RowFeed::result(sqlite3_context *context, size_t row, int column) const
{
    if (column >= columns_) {
        sqlite3_result_null(context);
        return;
    }
    if (!order_.empty())
        row = order_[row];
    const Cell &cell = cells_[row * size_t(columns_) + size_t(column)];
    switch (cell.type) {
    case Cell::Null: sqlite3_result_null(context); break;
    case Cell::Integer: sqlite3_result_int64(context, cell.integer); break;
    case Cell::Text: sqlite3_result_text64(context, cell.data, cell.size, SQLITE_STATIC, SQLITE_UTF8); break;
    case Cell::Bytes: sqlite3_result_blob64(context, cell.size != 0 ? cell.data : "", cell.size, SQLITE_STATIC); break;
    case Cell::Owned:
        sqlite3_result_text64(context, owned_.data() + reinterpret_cast<size_t>(cell.data), cell.size, SQLITE_STATIC,
                              SQLITE_UTF8);
        break;
    }
}

namespace {

// zudor_feed(feed): an eponymous table of kMaxColumns untyped columns, c0 on, and the feed as
// its hidden argument; a feed of fewer columns gives nulls in the rest.
struct FeedCursor : sqlite3_vtab_cursor {
    const RowFeed *feed = nullptr;
    size_t row = 0;
};

std::string feedDeclaration()
{
    std::string sql = "CREATE TABLE x(";
    for (int i = 0; i < RowFeed::kMaxColumns; ++i)
        sql += "c" + std::to_string(i) + ", ";
    return sql + "feed HIDDEN)";
}

int feedConnect(sqlite3 *db, void *, int, const char *const *, sqlite3_vtab **table, char **)
{
    static const std::string declaration = feedDeclaration();
    const int code = sqlite3_declare_vtab(db, declaration.c_str());
    if (code != SQLITE_OK)
        return code;
    // Never from a view or trigger a file could bring.
    sqlite3_vtab_config(db, SQLITE_VTAB_DIRECTONLY);
    *table = new sqlite3_vtab{};
    return SQLITE_OK;
}

int feedDisconnect(sqlite3_vtab *table)
{
    delete table;
    return SQLITE_OK;
}

int feedBestIndex(sqlite3_vtab *, sqlite3_index_info *info)
{
    // Only with its feed given.
    for (int i = 0; i < info->nConstraint; ++i) {
        const auto &constraint = info->aConstraint[i];
        if (constraint.iColumn == RowFeed::kMaxColumns && constraint.op == SQLITE_INDEX_CONSTRAINT_EQ &&
            constraint.usable) {
            info->aConstraintUsage[i].argvIndex = 1;
            info->aConstraintUsage[i].omit = 1;
            info->estimatedCost = 1;
            return SQLITE_OK;
        }
    }
    return SQLITE_CONSTRAINT;
}

int feedOpen(sqlite3_vtab *, sqlite3_vtab_cursor **cursor)
{
    *cursor = new FeedCursor;
    return SQLITE_OK;
}

int feedClose(sqlite3_vtab_cursor *cursor)
{
    delete static_cast<FeedCursor *>(cursor);
    return SQLITE_OK;
}

int feedFilter(sqlite3_vtab_cursor *base, int, const char *, int argc, sqlite3_value **argv)
{
    auto *cursor = static_cast<FeedCursor *>(base);
    cursor->feed = argc == 1 ? static_cast<const RowFeed *>(sqlite3_value_pointer(argv[0], RowFeed::kPointerType))
                             : nullptr;
    cursor->row = 0;
    return SQLITE_OK;
}

int feedNext(sqlite3_vtab_cursor *cursor)
{
    ++static_cast<FeedCursor *>(cursor)->row;
    return SQLITE_OK;
}

int feedEof(sqlite3_vtab_cursor *base)
{
    const auto *cursor = static_cast<FeedCursor *>(base);
    return cursor->feed == nullptr || cursor->row >= cursor->feed->rows();
}

int feedColumn(sqlite3_vtab_cursor *base, sqlite3_context *context, int column)
{
    const auto *cursor = static_cast<FeedCursor *>(base);
    if (column < RowFeed::kMaxColumns)
        cursor->feed->result(context, cursor->row, column);
    else
        sqlite3_result_null(context);
    return SQLITE_OK;
}

int feedRowid(sqlite3_vtab_cursor *cursor, sqlite3_int64 *rowid)
{
    *rowid = sqlite3_int64(static_cast<FeedCursor *>(cursor)->row);
    return SQLITE_OK;
}

sqlite3_module feedModule()
{
    sqlite3_module module{};
    module.xConnect = feedConnect; // no xCreate: eponymous only
    module.xBestIndex = feedBestIndex;
    module.xDisconnect = feedDisconnect;
    module.xOpen = feedOpen;
    module.xClose = feedClose;
    module.xFilter = feedFilter;
    module.xNext = feedNext;
    module.xEof = feedEof;
    module.xColumn = feedColumn;
    module.xRowid = feedRowid;
    return module;
}

} // namespace

bool registerRowFeed(sqlite3 *db, std::string &error)
{
    static const sqlite3_module module = feedModule();
    if (sqlite3_create_module_v2(db, "zudor_feed", &module, nullptr, nullptr) == SQLITE_OK)
        return true;
    error = describeFailure(db, sqlite3_errcode(db));
    return false;
}

int insertFed(Statement &insert, RowFeed &feed)
{
    if (feed.empty())
        return SQLITE_DONE;
    const int code = insert.bindPointer(1, &feed, RowFeed::kPointerType).run();
    feed.clear();
    return code;
}

} // namespace zudorhost

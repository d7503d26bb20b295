#include "catalogue/catalogue_writer.h"

#include <algorithm>

#include "catalogue/batch_entries.h"
#include "zudor_host/record_events.h"
#include "zudor_host/text_encoding.h"

namespace zudorhost {

namespace {

// A table's rows from a feed of as many columns as the table names. OR FAIL, as a statement
// that may undo itself alone takes a savepoint, at which the full-text index writes what it
// holds as a segment of its own; a failure fails the whole transaction anyway.
std::string fedInsert(const char *table, int columns)
{
    std::string sql = std::string("INSERT OR FAIL INTO ") + table + " SELECT ";
    for (int i = 0; i < columns; ++i)
        sql += (i != 0 ? ", c" : "c") + std::to_string(i);
    return sql + " FROM zudor_feed(?1)";
}

} // namespace

bool CatalogueWriter::prepare(std::string &error)
{
    db_ = catalogue_.db();
    sqlite3 *db = db_;
    // The writer alone copies the log into the database, every 8 MiB of it, and so starts it
    // afresh: a log that only grows slows every read of a page. A second connection taking
    // checkpoints beside it would be faster, but SQLite before 3.51.3 (Debian 12 has 3.40)
    // can lose committed pages when two connections checkpoint while one of them resets the
    // log.
    Statement look;
    if (!look.prepare(db, "SELECT (SELECT page_size FROM pragma_page_size),"
                          " (SELECT coalesce(max(id), 0) + 1 FROM documents)", error))
        return false;
    const int code = look.step();
    if (code != SQLITE_ROW)
        return failed(code, error);
    const int64_t pageSize = std::max<int64_t>(look.integer(0), 512);
    nextId_ = look.integer(1);
    look.reset();
    const std::string checkpoints = "PRAGMA wal_autocheckpoint=" + std::to_string((int64_t(8) << 20) / pageSize);
    if (!execute(db, checkpoints.c_str(), error) || !registerRowFeed(db, error))
        return false;
    return loader_.prepare(db, catalogue_.schema(), error) &&
           feedDocuments_.prepare(db,
                                  fedInsert("documents(id, input, ord, source, sourceBytes, size, modified, inode,"
                                            " checked, etag, summary, title, author, createTime, packetBytes, packet,"
                                            " error, warnings)", 18).c_str(),
                                  error) &&
           feedProperties_.prepare(db, fedInsert("properties(document, seq, name, value)", 4).c_str(), error) &&
           feedXmp_.prepare(db, fedInsert("xmp_properties(document, seq, path, value)", 4).c_str(), error) &&
           feedSearch_.prepare(db, fedInsert("search(rowid, title, author, properties, xmp)", 5).c_str(), error) &&
           feedSkipped_.prepare(db, fedInsert("skipped(id, input, ord, source, sourceBytes, size, modified, inode,"
                                              " checked, etag)", 10).c_str(), error) &&
           // An index without its content forgets a row only when told the row's own values.
           dropSearch_.prepare(db, "INSERT INTO search(search, rowid, title, author, properties, xmp)"
                                   " VALUES ('delete', ?1, ?2, ?3, ?4, ?5)", error) &&
           dropDocument_.prepare(db, "DELETE FROM documents WHERE id = ?1", error) &&
           dropProperties_.prepare(db, "DELETE FROM properties WHERE document = ?1", error) &&
           dropXmp_.prepare(db, "DELETE FROM xmp_properties WHERE document = ?1", error) &&
           dropSkipped_.prepare(db, "DELETE FROM skipped WHERE id = ?1", error) &&
           findListed_.prepare(db, "SELECT id, 0 FROM documents WHERE input = ?1 AND key = ?2 UNION ALL "
                                   "SELECT id, 1 FROM skipped WHERE input = ?1 AND key = ?2", error) &&
           orderDocument_.prepare(db, "UPDATE documents SET ord = ?2 WHERE id = ?1", error) &&
           orderSkipped_.prepare(db, "UPDATE skipped SET ord = ?2 WHERE id = ?1", error);
}

bool CatalogueWriter::flush(std::string &error)
{
    const std::pair<Statement *, RowFeed *> tables[] = {{&feedDocuments_, &documents_},
                                                        {&feedProperties_, &properties_},
                                                        {&feedXmp_, &xmpProperties_},
                                                        {&feedSkipped_, &skipped_}};
    for (const auto &table : tables) {
        const int code = insertFed(*table.first, *table.second);
        if (code != SQLITE_DONE)
            return failed(code, error);
    }
    return true;
}

bool CatalogueWriter::flushSearch(std::string &error)
{
    // The index takes rows in the order of their ids, or writes what it holds first.
    search_.orderByFirst();
    listedInFeed_.clear();
    const int code = insertFed(feedSearch_, search_);
    return code == SQLITE_DONE || failed(code, error);
}

void CatalogueWriter::dropFeeds()
{
    listedInFeed_.clear();
    for (RowFeed *feed : {&documents_, &properties_, &xmpProperties_, &search_, &skipped_})
        feed->clear();
}

bool CatalogueWriter::failed(int code, std::string &error)
{
    error = describeFailure(db_, code);
    return false;
}

bool CatalogueWriter::begin(std::string &error) { return execute(db_, "BEGIN IMMEDIATE", error); }

bool CatalogueWriter::commit(std::string &error)
{
    if (flushSearch(error) && execute(db_, "COMMIT", error))
        return true;
    dropFeeds();
    return false;
}

void CatalogueWriter::rollback()
{
    if (sqlite3_get_autocommit(db_) == 0) {
        std::string ignored;
        execute(db_, "ROLLBACK", ignored);
    }
}

bool CatalogueWriter::removeDocument(int64_t id, std::string &error)
{
    if (!loader_.load(id, stored_, error))
        return false;
    searchColumns(stored_, columns_);
    dropSearch_.bind(1, id);
    for (int i = 0; i < 4; ++i)
        dropSearch_.bind(i + 2, columns_[i]);
    int code;
    if ((code = dropSearch_.run()) != SQLITE_DONE || (code = dropProperties_.bind(1, id).run()) != SQLITE_DONE ||
        (code = dropXmp_.bind(1, id).run()) != SQLITE_DONE || (code = dropDocument_.bind(1, id).run()) != SQLITE_DONE)
        return failed(code, error);
    return true;
}

bool CatalogueWriter::removeRow(int64_t id, bool skipped, std::string &error)
{
    if (!skipped)
        return removeDocument(id, error);
    const int code = dropSkipped_.bind(1, id).run();
    return code == SQLITE_DONE || failed(code, error);
}

bool CatalogueWriter::apply(PendingChanges &changes, std::string &error)
{
    int code;
    for (const PendingChanges::Gone &gone : changes.gone) {
        if (!removeRow(gone.row, gone.skipped, error))
            return false;
        counts.removed += !gone.skipped;
    }
    for (const PendingChanges::Order &order : changes.orders) {
        Statement &update = order.skipped ? orderSkipped_ : orderDocument_;
        if ((code = update.bind(1, order.row).bind(2, order.order).run()) != SQLITE_DONE)
            return failed(code, error);
    }
    changes.gone.clear();
    changes.orders.clear();
    return true;
}

// Where a file is and what it was: input, ord, source (and where it is not UTF-8, its exact
// bytes), then size, modified, inode, checked and etag: a local file's first four, a remote
// object's size, checked and ETag.
void CatalogueWriter::feedFile(RowFeed &feed, const EntryHeader &header, const char *source)
{
    feed.integer(header.input);
    header.order >= 0 ? feed.integer(header.order) : feed.null();
    size_t n = header.sourceLength;
    const char *text = asUtf8(source, n, mended_);
    text == source ? feed.text(text, n).null() : feed.ownText(mended_).bytes(source, header.sourceLength);
    if (header.takenNs == 0) {
        feed.null().null().null().null().null();
        return;
    }
    feed.integer(int64_t(header.size));
    if (header.etagLength != 0) {
        feed.null().null().integer(header.takenNs).text(source + header.sourceLength, header.etagLength);
        return;
    }
    feed.integer(header.modifiedNs).integer(int64_t(header.inode)).integer(header.takenNs).null();
}

void CatalogueWriter::insertSkipped(const EntryHeader &header, const char *source, int64_t id)
{
    id != 0 ? skipped_.integer(id) : skipped_.null();
    feedFile(skipped_, header, source);
}

void CatalogueWriter::insertDocument(const EntryHeader &header, const char *source, int64_t id)
{
    const RecordFields &f = collector_.fields;
    const int64_t row = id != 0 ? id : nextId_++;
    RowFeed &add = documents_;
    add.integer(row);
    feedFile(add, header, source);
    add.text(f.summary.data(), f.summary.size()).text(f.title.data(), f.title.size());
    add.text(f.author.data(), f.author.size()).text(f.createTime.data(), f.createTime.size());
    f.hasXmp ? add.integer(int64_t(f.packetBytes)) : add.null();
    add.text(f.packet.data(), f.packet.size()).text(f.error.data(), f.error.size());
    if (f.warnings.empty()) {
        add.null();
    } else {
        warningsJson(f.warnings, warnings_);
        add.ownText(warnings_);
    }
    const std::pair<RowFeed *, const std::vector<std::pair<std::string_view, std::string_view>> *> lists[] = {
        {&properties_, &f.properties}, {&xmpProperties_, &f.xmpProperties}};
    for (const auto &list : lists) {
        int64_t seq = 0;
        for (const auto &pair : *list.second)
            list.first->integer(row).integer(seq++).text(pair.first.data(), pair.first.size())
                .text(pair.second.data(), pair.second.size());
    }
    search_.integer(row);
    for (std::string_view column : searchText_)
        search_.ownText(column);
}

bool CatalogueWriter::apply(const char *entries, size_t size, std::string &error)
{
    // The feeds but the index's point into entries: written before it goes, or dropped. The
    // index's rows go in one statement before the commit, unless they grow large.
    if (applyEntries(entries, size, error) && flush(error) &&
        (search_.bytes() < kSearchFeedBytes || flushSearch(error)))
        return true;
    dropFeeds();
    return false;
}

bool CatalogueWriter::applyEntries(const char *entries, size_t size, std::string &error)
{
    for (size_t at = 0; at < size;) {
        EntryHeader header;
        std::memcpy(&header, entries + at, sizeof header);
        const char *source = entries + at + sizeof header;
        at += sizeof header + header.sourceLength + header.etagLength;
        if (header.kind == EntryKind::Record) {
            at += readSearchText(entries + at, searchText_);
            at += replayRecord(entries + at, size - at, collector_);
        }
        if (header.kind == EntryKind::Unchanged)
            ++counts.unchanged;
        if (header.kind == EntryKind::Unchanged || header.kind == EntryKind::UnchangedSkipped)
            continue;
        // A list may name a file twice; the catalogue keeps it once, at its last line. The
        // second removes the first's rows, which must be in their tables by then, index and all.
        if (header.order >= 0) {
            const std::string key = std::to_string(header.input) + '/' + std::string(source, header.sourceLength);
            if (!listedInFeed_.insert(key).second &&
                !(flush(error) && flushSearch(error) && listedInFeed_.insert(key).second))
                return false;
        }
        int64_t oldRow = header.oldRow;
        bool oldSkipped = (header.oldSkipped & kOldSkipped) != 0;
        if (oldRow == 0 && header.order >= 0) {
            const int code = findListed_.bind(1, header.input).bindBytes(2, source, header.sourceLength).step();
            if (code == SQLITE_ROW) {
                oldRow = findListed_.integer(0);
                oldSkipped = findListed_.integer(1) != 0;
                findListed_.reset();
            } else if (code != SQLITE_DONE) {
                return failed(code, error);
            }
        }
        if (oldRow != 0 && !removeRow(oldRow, oldSkipped, error))
            return false;
        // A document keeps its row, so that the catalogue's order of rows stays the walk's.
        const int64_t keep = oldRow != 0 && !oldSkipped ? oldRow : 0;
        if (header.kind == EntryKind::Skipped) {
            counts.removed += keep != 0;
            insertSkipped(header, source, oldSkipped ? oldRow : 0);
            continue;
        }
        ++(keep == 0 ? counts.added : (header.oldSkipped & kRecent) != 0 ? counts.reread : counts.changed);
        insertDocument(header, source, keep);
    }
    return true;
}

bool CatalogueWriter::removeDocuments(Statement &ids, std::string &error)
{
    // The ids first: each removal reads the record back to take it out of the index.
    std::vector<int64_t> found;
    int code;
    while ((code = ids.step()) == SQLITE_ROW)
        found.push_back(ids.integer(0));
    if (code != SQLITE_DONE)
        return failed(code, error);
    for (int64_t id : found)
        if (!removeDocument(id, error))
            return false;
    counts.removed += found.size();
    return true;
}

bool CatalogueWriter::removeKeys(int64_t input, const std::vector<KeyRange> &ranges, uint64_t &rows,
                                 std::string &error)
{
    const std::string where = ranges.empty() ? " WHERE input = ?1" : " WHERE input = ?1 AND key >= ?2 AND key < ?3";
    Statement documents, skipped;
    if (!documents.prepare(db_, ("SELECT id FROM documents" + where).c_str(), error) ||
        !skipped.prepare(db_, ("DELETE FROM skipped" + where).c_str(), error))
        return false;
    const std::vector<KeyRange> all(1);
    for (const KeyRange &range : ranges.empty() ? all : ranges) {
        documents.bind(1, input);
        skipped.bind(1, input);
        if (range.bounded) {
            documents.bindBytes(2, range.low).bindBytes(3, range.high);
            skipped.bindBytes(2, range.low).bindBytes(3, range.high);
        }
        const uint64_t before = counts.removed;
        if (!removeDocuments(documents, error))
            return false;
        const int code = skipped.run();
        if (code != SQLITE_DONE)
            return failed(code, error);
        rows += counts.removed - before + uint64_t(sqlite3_changes(db_));
    }
    return true;
}

bool CatalogueWriter::mergeInput(int64_t from, int64_t into, std::string &error)
{
    // A file both inputs hold stays once, as the one it goes to holds it.
    Statement twice;
    if (!twice.prepare(db_, "SELECT id FROM documents AS d WHERE input = ?1 AND (EXISTS (SELECT 1 FROM documents"
                            " WHERE input = ?2 AND key = d.key) OR EXISTS (SELECT 1 FROM skipped WHERE input = ?2"
                            " AND key = d.key))", error))
        return false;
    const uint64_t removed = counts.removed;
    if (!removeDocuments(twice.bind(1, from).bind(2, into), error))
        return false;
    counts.removed = removed; // the file is still held
    const char *moves[] = {
        ("DELETE FROM skipped WHERE input = ?1 AND (key IN (SELECT key FROM documents WHERE input = ?2)"
         " OR key IN (SELECT key FROM skipped WHERE input = ?2))"),
        "UPDATE documents SET input = ?2 WHERE input = ?1",
        "UPDATE skipped SET input = ?2 WHERE input = ?1",
        "DELETE FROM inputs WHERE id = ?1 AND ?2 IS NOT NULL",
    };
    for (const char *sql : moves) {
        Statement move;
        if (!move.prepare(db_, sql, error))
            return false;
        const int code = move.bind(1, from).bind(2, into).run();
        if (code != SQLITE_DONE)
            return failed(code, error);
    }
    return true;
}

} // namespace zudorhost

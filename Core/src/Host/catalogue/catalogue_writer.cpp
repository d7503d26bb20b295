#include "catalogue/catalogue_writer.h"

#include "catalogue/batch_entries.h"
#include "zudor_host/record_events.h"
#include "zudor_host/text_encoding.h"

namespace zudorhost {

bool CatalogueWriter::prepare(std::string &error)
{
    db_ = catalogue_.db();
    sqlite3 *db = db_;
    // The writer alone copies the log into the database, every 8 MiB of it, and so starts it
    // afresh: a log that only grows slows every read of a page. A second connection taking
    // checkpoints beside it would be faster, but SQLite before 3.51.3 (Debian 12 has 3.40)
    // can lose committed pages when two connections checkpoint while one of them resets the
    // log.
    return execute(db, "PRAGMA wal_autocheckpoint=2048", error) && loader_.prepare(db, catalogue_.schema(), error) &&
           addDocument_.prepare(db,
                                "INSERT INTO documents(id, input, ord, source, sourceBytes, size, modified, inode,"
                                " checked, etag, summary, title, author, createTime, packetBytes, packet, error, warnings)"
                                " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17, ?18)",
                                error) &&
           prepareRows(addProperty_, "properties", error) && prepareRows(addXmp_, "xmp_properties", error) &&
           addSearch_.prepare(db, "INSERT INTO search(rowid, title, author, properties, xmp)"
                                  " VALUES (?1, ?2, ?3, ?4, ?5)", error) &&
           // An index without its content forgets a row only when told the row's own values.
           dropSearch_.prepare(db, "INSERT INTO search(search, rowid, title, author, properties, xmp)"
                                   " VALUES ('delete', ?1, ?2, ?3, ?4, ?5)", error) &&
           addSkipped_.prepare(db, "INSERT INTO skipped(id, input, ord, source, sourceBytes, size, modified, inode,"
                                   " checked, etag) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)", error) &&
           dropDocument_.prepare(db, "DELETE FROM documents WHERE id = ?1", error) &&
           dropProperties_.prepare(db, "DELETE FROM properties WHERE document = ?1", error) &&
           dropXmp_.prepare(db, "DELETE FROM xmp_properties WHERE document = ?1", error) &&
           dropSkipped_.prepare(db, "DELETE FROM skipped WHERE id = ?1", error) &&
           findListed_.prepare(db, "SELECT id, 0 FROM documents WHERE input = ?1 AND key = ?2 UNION ALL "
                                   "SELECT id, 1 FROM skipped WHERE input = ?1 AND key = ?2", error) &&
           orderDocument_.prepare(db, "UPDATE documents SET ord = ?2 WHERE id = ?1", error) &&
           orderSkipped_.prepare(db, "UPDATE skipped SET ord = ?2 WHERE id = ?1", error);
}

bool CatalogueWriter::prepareRows(Statement (&insert)[2], const char *table, std::string &error)
{
    // A statement a row, and one of kRowsAtOnce rows: SQLite runs each statement through its
    // machine once, so the properties of a document go in a few steps, not one each.
    std::string many = std::string("INSERT INTO ") + table + " VALUES (?, ?, ?, ?)";
    const std::string one = many;
    for (int i = 1; i < kRowsAtOnce; ++i)
        many += ", (?, ?, ?, ?)";
    return insert[0].prepare(db_, one.c_str(), error) && insert[1].prepare(db_, many.c_str(), error);
}

bool CatalogueWriter::insertRows(Statement (&insert)[2], int64_t document,
                                 const std::vector<std::pair<std::string_view, std::string_view>> &rows,
                                 std::string &error)
{
    for (size_t at = 0; at < rows.size();) {
        const bool many = rows.size() - at >= size_t(kRowsAtOnce);
        Statement &statement = insert[many];
        for (int i = 0, n = many ? kRowsAtOnce : 1; i < n; ++i, ++at) {
            statement.bind(4 * i + 1, document).bind(4 * i + 2, int64_t(at));
            statement.bind(4 * i + 3, rows[at].first.data(), rows[at].first.size());
            statement.bind(4 * i + 4, rows[at].second.data(), rows[at].second.size());
        }
        const int code = statement.run();
        if (code != SQLITE_DONE)
            return failed(code, error);
    }
    return true;
}

bool CatalogueWriter::failed(int code, std::string &error)
{
    error = describeFailure(db_, code);
    return false;
}

bool CatalogueWriter::begin(std::string &error) { return execute(db_, "BEGIN IMMEDIATE", error); }

bool CatalogueWriter::commit(std::string &error) { return execute(db_, "COMMIT", error); }

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

// size, modified, inode, checked and etag from the column first on: a local file's first four,
// a remote object's size, checked and ETag.
void CatalogueWriter::bindIdentity(Statement &statement, int first, const EntryHeader &header, const char *etag)
{
    for (int i = 0; i < 5; ++i)
        statement.bindNull(first + i);
    if (header.takenNs == 0)
        return;
    statement.bind(first, int64_t(header.size)).bind(first + 3, header.takenNs);
    if (header.etagLength != 0) {
        statement.bind(first + 4, etag, header.etagLength);
        return;
    }
    statement.bind(first + 1, header.modifiedNs).bind(first + 2, int64_t(header.inode));
}

// The record's file as source, and where it is not UTF-8, its exact bytes beside it.
void CatalogueWriter::bindSource(Statement &statement, int first, const char *source, size_t length)
{
    size_t n = length;
    const char *text = asUtf8(source, n, mended_);
    statement.bind(first, text, n);
    text == source ? statement.bindNull(first + 1) : statement.bindBytes(first + 1, source, length);
}

bool CatalogueWriter::insertSkipped(const EntryHeader &header, const char *source, int64_t id, std::string &error)
{
    id != 0 ? addSkipped_.bind(1, id) : addSkipped_.bindNull(1);
    addSkipped_.bind(2, header.input);
    header.order >= 0 ? addSkipped_.bind(3, header.order) : addSkipped_.bindNull(3);
    bindSource(addSkipped_, 4, source, header.sourceLength);
    bindIdentity(addSkipped_, 6, header, source + header.sourceLength);
    const int code = addSkipped_.run();
    return code == SQLITE_DONE || failed(code, error);
}

bool CatalogueWriter::insertDocument(const EntryHeader &header, const char *source, int64_t id, std::string &error)
{
    const RecordFields &f = collector_.fields;
    Statement &add = addDocument_;
    id != 0 ? add.bind(1, id) : add.bindNull(1);
    add.bind(2, header.input);
    header.order >= 0 ? add.bind(3, header.order) : add.bindNull(3);
    bindSource(add, 4, source, header.sourceLength);
    bindIdentity(add, 6, header, source + header.sourceLength);
    add.bind(11, f.summary.data(), f.summary.size()).bind(12, f.title.data(), f.title.size());
    add.bind(13, f.author.data(), f.author.size()).bind(14, f.createTime.data(), f.createTime.size());
    f.hasXmp ? add.bind(15, int64_t(f.packetBytes)) : add.bindNull(15);
    add.bind(16, f.packet.data(), f.packet.size()).bind(17, f.error.data(), f.error.size());
    if (f.warnings.empty()) {
        add.bindNull(18);
    } else {
        warningsJson(f.warnings, warnings_);
        add.bind(18, warnings_);
    }
    int code = add.run();
    if (code != SQLITE_DONE)
        return failed(code, error);
    const int64_t row = sqlite3_last_insert_rowid(db_);
    if (!insertRows(addProperty_, row, f.properties, error) || !insertRows(addXmp_, row, f.xmpProperties, error))
        return false;
    searchColumns(f, columns_);
    addSearch_.bind(1, row);
    for (int i = 0; i < 4; ++i)
        addSearch_.bind(i + 2, columns_[i]);
    code = addSearch_.run();
    return code == SQLITE_DONE || failed(code, error);
}

bool CatalogueWriter::apply(const char *entries, size_t size, std::string &error)
{
    for (size_t at = 0; at < size;) {
        EntryHeader header;
        std::memcpy(&header, entries + at, sizeof header);
        const char *source = entries + at + sizeof header;
        at += sizeof header + header.sourceLength + header.etagLength;
        if (header.kind == EntryKind::Record)
            at += replayRecord(entries + at, size - at, collector_);
        if (header.kind == EntryKind::Unchanged)
            ++counts.unchanged;
        if (header.kind == EntryKind::Unchanged || header.kind == EntryKind::UnchangedSkipped)
            continue;
        int64_t oldRow = header.oldRow;
        bool oldSkipped = header.oldSkipped != 0;
        if (oldRow == 0 && header.order >= 0) {
            // A list may name a file twice; the catalogue keeps it once, at its last line.
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
            if (!insertSkipped(header, source, oldSkipped ? oldRow : 0, error))
                return false;
            continue;
        }
        ++(keep != 0 ? counts.changed : counts.added);
        if (!insertDocument(header, source, keep, error))
            return false;
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

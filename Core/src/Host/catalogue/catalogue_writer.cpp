#include "catalogue/catalogue_writer.h"

#include "catalogue/batch_entries.h"
#include "zudor_host/record_events.h"

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
    return execute(db, "PRAGMA wal_autocheckpoint=2048", error) && loader_.prepare(db, error) &&
           addDocument_.prepare(db,
                                "INSERT INTO documents(id, input, ord, source, size, modified, inode, checked, etag,"
                                " summary, title, author, createTime, packetBytes, packet, error)"
                                " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16)",
                                error) &&
           prepareRows(addProperty_, "properties", error) && prepareRows(addXmp_, "xmp_properties", error) &&
           addSearch_.prepare(db, "INSERT INTO search(rowid, title, author, properties, xmp)"
                                  " VALUES (?1, ?2, ?3, ?4, ?5)", error) &&
           // An index without its content forgets a row only when told the row's own values.
           dropSearch_.prepare(db, "INSERT INTO search(search, rowid, title, author, properties, xmp)"
                                   " VALUES ('delete', ?1, ?2, ?3, ?4, ?5)", error) &&
           addSkipped_.prepare(db, "INSERT INTO skipped(id, input, ord, source, size, modified, inode, checked, etag)"
                                   " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)", error) &&
           dropDocument_.prepare(db, "DELETE FROM documents WHERE id = ?1", error) &&
           dropProperties_.prepare(db, "DELETE FROM properties WHERE document = ?1", error) &&
           dropXmp_.prepare(db, "DELETE FROM xmp_properties WHERE document = ?1", error) &&
           dropSkipped_.prepare(db, "DELETE FROM skipped WHERE id = ?1", error) &&
           findListed_.prepare(db, "SELECT id, 0 FROM documents WHERE input = ?1 AND source = ?2 UNION ALL "
                                   "SELECT id, 1 FROM skipped WHERE input = ?1 AND source = ?2", error) &&
           addInput_.prepare(db, "INSERT INTO inputs(id, kind, path, position) VALUES (?1, ?2, ?3, ?4)", error) &&
           moveInput_.prepare(db, "UPDATE inputs SET position = ?2 WHERE id = ?1", error) &&
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
    for (const PendingChanges::InputRow &input : changes.inputs) {
        code = input.isNew ? addInput_.bind(1, input.id).bind(2, int64_t(input.kind)).bind(3, input.path)
                                 .bind(4, input.position).run()
                           : moveInput_.bind(1, input.id).bind(2, input.position).run();
        if (code != SQLITE_DONE)
            return failed(code, error);
    }
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
    changes.inputs.clear();
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

bool CatalogueWriter::insertSkipped(const EntryHeader &header, const char *source, int64_t id, std::string &error)
{
    id != 0 ? addSkipped_.bind(1, id) : addSkipped_.bindNull(1);
    addSkipped_.bind(2, header.input);
    header.order >= 0 ? addSkipped_.bind(3, header.order) : addSkipped_.bindNull(3);
    addSkipped_.bind(4, source, header.sourceLength);
    bindIdentity(addSkipped_, 5, header, source + header.sourceLength);
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
    add.bind(4, source, header.sourceLength);
    bindIdentity(add, 5, header, source + header.sourceLength);
    add.bind(10, f.summary.data(), f.summary.size()).bind(11, f.title.data(), f.title.size());
    add.bind(12, f.author.data(), f.author.size()).bind(13, f.createTime.data(), f.createTime.size());
    f.hasXmp ? add.bind(14, int64_t(f.packetBytes)) : add.bindNull(14);
    add.bind(15, f.packet.data(), f.packet.size()).bind(16, f.error.data(), f.error.size());
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
            const int code = findListed_.bind(1, header.input).bind(2, source, header.sourceLength).step();
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

bool CatalogueWriter::sweep(const std::vector<int64_t> &named, std::string &error)
{
    std::string list;
    for (int64_t id : named)
        list += (list.empty() ? "" : ",") + std::to_string(id);
    Statement orphans;
    if (!orphans.prepare(db_, ("SELECT id FROM documents WHERE input NOT IN (" + list + ")").c_str(), error))
        return false;
    std::vector<int64_t> ids;
    int code;
    while ((code = orphans.step()) == SQLITE_ROW)
        ids.push_back(orphans.integer(0));
    if (code != SQLITE_DONE)
        return failed(code, error);
    for (int64_t id : ids)
        if (!removeDocument(id, error))
            return false;
    counts.removed += ids.size();
    const std::string drop = "DELETE FROM skipped WHERE input NOT IN (" + list + "); DELETE FROM inputs WHERE id NOT IN (" +
                             list + ");";
    return execute(db_, drop.c_str(), error);
}

} // namespace zudorhost

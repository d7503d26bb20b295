// The catalogue's one writer: applies the workers' entries and the source's findings in
// transactions, removes what a run forgets, and counts what changed.
#pragma once

#include <string>
#include <vector>

#include "catalogue/catalogue_db.h"
#include "catalogue/catalogue_plan.h"
#include "catalogue/catalogue_source.h"
#include "catalogue/stored_record.h"

namespace zudorhost {

class CatalogueWriter {
public:
    explicit CatalogueWriter(CatalogueDb &catalogue) : catalogue_(catalogue) {}
    bool prepare(std::string &error);

    bool begin(std::string &error);
    bool commit(std::string &error);
    void rollback();

    bool apply(PendingChanges &changes, std::string &error);
    bool apply(const char *entries, size_t size, std::string &error);

    // Removes input's documents and skipped files whose keys lie in ranges (every one when
    // there are none), counting the documents as removed; rows is how many went.
    bool removeKeys(int64_t input, const std::vector<KeyRange> &ranges, uint64_t &rows, std::string &error);
    // Moves the rows of input from to input into, but for those whose key into has already,
    // which go, and drops from.
    bool mergeInput(int64_t from, int64_t into, std::string &error);
    bool removeDocument(int64_t id, std::string &error);
    sqlite3 *db() { return db_; }

    CatalogueCounts counts;

private:
    static constexpr int kRowsAtOnce = 8;
    bool prepareRows(Statement (&insert)[2], const char *table, std::string &error);
    bool insertRows(Statement (&insert)[2], int64_t document,
                    const std::vector<std::pair<std::string_view, std::string_view>> &rows, std::string &error);
    bool failed(int code, std::string &error);
    bool removeDocuments(Statement &ids, std::string &error);
    bool removeRow(int64_t id, bool skipped, std::string &error);
    bool insertDocument(const struct EntryHeader &header, const char *source, int64_t id, std::string &error);
    bool insertSkipped(const struct EntryHeader &header, const char *source, int64_t id, std::string &error);
    void bindIdentity(Statement &statement, int first, const struct EntryHeader &header, const char *etag);
    void bindSource(Statement &statement, int first, const char *source, size_t length);

    CatalogueDb &catalogue_;
    sqlite3 *db_ = nullptr;
    Statement addDocument_, addProperty_[2], addXmp_[2], addSearch_, addSkipped_, dropSearch_;
    Statement dropDocument_, dropProperties_, dropXmp_, dropSkipped_, findListed_;
    Statement orderDocument_, orderSkipped_;
    RecordLoader loader_;
    RecordFields stored_;
    FieldCollector collector_;
    std::string columns_[4];
    std::string mended_, warnings_;
};

} // namespace zudorhost

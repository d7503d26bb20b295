// The catalogue's one writer: applies the workers' entries and the source's findings in
// transactions, and counts what changed.
#pragma once

#include <string>
#include <vector>

#include "catalogue/catalogue_db.h"
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
    // Removes the inputs this run did not name, with their documents.
    bool sweep(const std::vector<int64_t> &named, std::string &error);

    CatalogueCounts counts;

private:
    static constexpr int kRowsAtOnce = 8;
    bool prepareRows(Statement (&insert)[2], const char *table, std::string &error);
    bool insertRows(Statement (&insert)[2], int64_t document,
                    const std::vector<std::pair<std::string_view, std::string_view>> &rows, std::string &error);
    bool failed(int code, std::string &error);
    bool removeDocument(int64_t id, std::string &error);
    bool removeRow(int64_t id, bool skipped, std::string &error);
    bool insertDocument(const struct EntryHeader &header, const char *source, int64_t id, std::string &error);
    bool insertSkipped(const struct EntryHeader &header, const char *source, int64_t id, std::string &error);
    void bindIdentity(Statement &statement, int first, const struct EntryHeader &header, const char *etag);

    CatalogueDb &catalogue_;
    sqlite3 *db_ = nullptr;
    Statement addDocument_, addProperty_[2], addXmp_[2], addSearch_, addSkipped_, dropSearch_;
    Statement dropDocument_, dropProperties_, dropXmp_, dropSkipped_, findListed_;
    Statement addInput_, moveInput_, orderDocument_, orderSkipped_;
    RecordLoader loader_;
    RecordFields stored_;
    FieldCollector collector_;
    std::string columns_[4];
};

} // namespace zudorhost

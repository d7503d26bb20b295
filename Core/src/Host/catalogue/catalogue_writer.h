// The catalogue's one writer: applies the workers' entries and the source's findings in
// transactions, removes what a run forgets, and counts what changed.
#pragma once

#include <string>
#include <unordered_set>
#include <vector>

#include "catalogue/catalogue_db.h"
#include "catalogue/input_keys.h"
#include "catalogue/source_findings.h"
#include "catalogue/row_feed.h"
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
    static constexpr size_t kSearchFeedBytes = size_t(16) << 20;
    bool failed(int code, std::string &error);
    bool applyEntries(const char *entries, size_t size, std::string &error);
    bool flush(std::string &error);
    bool flushSearch(std::string &error);
    void dropFeeds();
    bool removeDocuments(Statement &ids, std::string &error);
    bool removeRow(int64_t id, bool skipped, std::string &error);
    void insertDocument(const struct EntryHeader &header, const char *source, int64_t id);
    void insertSkipped(const struct EntryHeader &header, const char *source, int64_t id);
    void feedFile(RowFeed &feed, const struct EntryHeader &header, const char *source);

    CatalogueDb &catalogue_;
    sqlite3 *db_ = nullptr;
    // What a batch adds, gathered and written a table at a time at the end of the batch.
    RowFeed documents_{18}, properties_{4}, xmpProperties_{4}, search_{5}, skipped_{10};
    Statement feedDocuments_, feedProperties_, feedXmp_, feedSearch_, feedSkipped_;
    std::unordered_set<std::string> listedInFeed_; // listed files added since the index was written
    int64_t nextId_ = 1; // the id of the next new document
    Statement dropSearch_, dropDocument_, dropProperties_, dropXmp_, dropSkipped_, findListed_;
    Statement orderDocument_, orderSkipped_;
    RecordLoader loader_;
    RecordFields stored_;
    FieldCollector collector_;
    std::string columns_[4];
    std::string_view searchText_[4]; // the record's, as its worker made it
    std::string mended_, warnings_;
};

} // namespace zudorhost

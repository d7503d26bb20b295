// The inputs of a catalogue run, each file matched with what the catalogue holds of it. A
// directory's walk, and an S3 prefix's listing, come in the byte order of their paths, which is
// the order of the catalogue's index on the paths' exact bytes, so the two are merged like
// sorted lists over the keys the input covers: a row the walk passes by is a file that is
// gone. A list's files are looked up one by one, and its rows not met are gone at its end. A
// listed key whose size and ETag are the ones kept is unchanged at once: it is neither
// fetched nor read.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "catalogue/catalogue_db.h"
#include "catalogue/input_keys.h"
#include "catalogue/source_findings.h"
#include "zudor_host/inputs.h"
#include "zudor_host/remote.h"

namespace zudorhost {

class CatalogueSource : public InputSource {
public:
    CatalogueSource(CatalogueDb &catalogue, CatalogueInputs inputs, const RemoteOptions &remote);
    ~CatalogueSource() override;
    // Reads the inputs as the plan settled them.
    bool start(const RunPlan &plan, std::string &error);
    bool next(InputItem &item) override;

    // Moves what was found so far into `into`; may be called while another thread reads.
    void takeChanges(PendingChanges &into);
    // Whether reading the catalogue failed.
    bool failed(std::string &error) const;

private:
    struct Row {
        std::string key;
        int64_t id = 0;
        int64_t order = -1;
        bool skipped = false;
        FileIdentity identity;
    };

    bool startInput();
    void endInput();
    void matchWalked(const InputItem &item, CatalogueRef &ref);
    void matchListed(const InputItem &item, CatalogueRef &ref);
    bool refill();
    bool page(Statement &statement, const KeyRange &range, const std::string &after);
    void readRow(const Statement &from, Row &into);
    void matched(const Row &row, CatalogueRef &ref);
    void gone(const Row &row);
    void fail(int code);

    CatalogueDb &catalogue_;
    CatalogueInputs inputs_;
    Connection db_;
    // The pages of an input's rows: all of them, and the first and further pages of a range.
    Statement pageAll_, pageFrom_, pageAfter_, lookup_, remember_, unmet_, forget_;

    RemoteOptions remote_;
    std::vector<RunTarget> targets_;
    size_t index_ = 0;
    std::unique_ptr<InputSource> walk_, current_; // the input's walk or list; its keys listed
    const RunTarget *target_ = nullptr;
    std::vector<KeyRange> ranges_; // of the rows still to page through
    size_t rangeAt_ = 0;
    int64_t line_ = 0;
    std::vector<Row> rows_;
    size_t rowAt_ = 0, rowCount_ = 0;
    bool pagedRange_ = false; // a page of the current range was read
    bool exhausted_ = false;  // the current range has no rows left
    std::string key_;

    mutable std::mutex lock_; // guards what follows
    PendingChanges changes_;
    std::string error_;
};

} // namespace zudorhost

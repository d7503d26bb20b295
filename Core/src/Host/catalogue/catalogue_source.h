// The inputs of a catalogue run, each file matched with what the catalogue holds of it. A
// directory's walk, and an S3 prefix's listing, come in the byte order of their paths, which is
// the order of the catalogue's index, so the two are merged like sorted lists: a row the walk
// passes by is a file that is gone. A list's files are looked up one by one, and its rows not
// met are gone at its end. A listed key whose size and ETag are the ones kept is unchanged
// at once: it is neither fetched nor read.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "catalogue/catalogue_db.h"
#include "zudor_host/inputs.h"
#include "zudor_host/remote.h"

namespace zudorhost {

// What the source finds for the writer besides the files themselves.
struct PendingChanges {
    struct Gone {
        int64_t row;
        bool skipped;
    };
    struct InputRow {
        int64_t id;
        InputKind kind;
        std::string path;
        int64_t position;
        bool isNew;
    };
    struct Order {
        int64_t row;
        bool skipped;
        int64_t order;
    };
    std::vector<Gone> gone;
    std::vector<InputRow> inputs;
    std::vector<Order> orders;
    void append(PendingChanges &other);
};

class CatalogueSource : public InputSource {
public:
    CatalogueSource(CatalogueDb &catalogue, CatalogueInputs inputs, const RemoteOptions &remote);
    ~CatalogueSource() override;
    bool start(std::string &error);
    bool next(InputItem &item) override;

    // Moves what was found so far into `into`; may be called while another thread reads.
    void takeChanges(PendingChanges &into);
    // After the end: the inputs this run named, and whether reading the catalogue failed.
    std::vector<int64_t> namedInputs() const;
    bool failed(std::string &error) const;

private:
    struct Row {
        std::string source;
        int64_t id = 0;
        int64_t order = -1;
        bool skipped = false;
        FileIdentity identity;
    };

    bool startInput();
    void endInput();
    void matchWalked(InputItem &item);
    void matchListed(InputItem &item);
    bool refill();
    void readRow(const Statement &from, Row &into);
    void matched(const Row &row, InputItem &item);
    void gone(const Row &row);
    void fail(int code);

    CatalogueDb &catalogue_;
    CatalogueInputs inputs_;
    Connection db_;
    Statement findInput_, lastInput_, page_, lookup_, remember_, unmet_, forget_;

    RemoteOptions remote_;
    size_t index_ = 0;
    std::unique_ptr<InputSource> walk_, current_; // the input's walk or list; its keys listed
    InputKind kind_ = InputKind::Path;
    int64_t input_ = 0, nextInput_ = 1, line_ = 0;
    std::vector<Row> rows_;
    size_t rowAt_ = 0, rowCount_ = 0;
    bool exhausted_ = false;
    std::string key_;

    mutable std::mutex lock_; // guards what follows
    PendingChanges changes_;
    std::vector<int64_t> named_;
    std::string error_;
};

} // namespace zudorhost

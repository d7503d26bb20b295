// One document's life through the reader table, and what it gave: a view of the reader's own
// blocks, good until the driver's next document.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "zudor/reader.h"
#include "zudor_host/inputs.h"
#include "zudor_host/services.h"
#include "zudor_host/stream.h"

namespace zudorhost {

enum class SummaryState { Complete, Partial, None };
const char *summaryName(SummaryState state);

// What one document gave. Every pointer stays valid until the driver's next document or
// finish(): the strings and the list are the reader's own blocks, not copies. The strings
// are the file's bytes, zero-terminated, in no particular encoding.
struct DocumentView {
    const InputItem *input = nullptr;
    const char *error = nullptr; // null, or why the file gave no summary
    bool skipped = false;        // not a TIFF, met in a directory walk: no record at all
    SummaryState summary = SummaryState::None;
    const char *title = nullptr;
    const char *author = nullptr;
    uint64_t createTime = 0; // FILETIME ticks; 0 when the reader gave none
    const PropertyEntry *properties = nullptr;
    size_t propertyCount = 0;
    const HostXmpRecord *xmp = nullptr; // the last packet's record, or null
    const char *text = nullptr;         // the reader's text record (Retrieval::TextRecord)
    size_t textLength = 0;
    StreamCounts counts;
};

// What the driver asks the reader for: the summary and XMP record, or the reader's own text
// record, which does not depend on the file.
enum class Retrieval { Summary, TextRecord };

struct DriverOptions {
    XmpMode xmpMode = XmpMode::Parsed;
    int64_t maxRequest = kDefaultMaxRequest;
    bool anyFile = false; // hand every file to the reader, whatever its first bytes
    Retrieval retrieval = Retrieval::Summary;
};

// Takes documents through one reader table with one host; one per thread.
class DocumentDriver {
public:
    DocumentDriver(const ReaderInterface &table, const DriverOptions &options);
    ~DocumentDriver();
    DocumentDriver(const DocumentDriver &) = delete;
    DocumentDriver &operator=(const DocumentDriver &) = delete;

    const DocumentView &read(const InputItem &input);
    // A document already in memory; data is read in place, not copied.
    const DocumentView &readBytes(const InputItem &input, const void *data, size_t size);
    // Gives back everything the last document holds.
    void finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace zudorhost

// One document's life through the reader table, and what it gave: a view of the reader's own
// blocks, good until the driver's next document.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "zudor/reader.h"
#include "zudor_host/inputs.h"
#include "zudor_host/remote.h"
#include "zudor_host/stream_counts.h"
#include "zudor_host/xmp_mode.h"

namespace zudorhost {

// The host's record of an XMP packet, which the record walk reads (opaque here).
struct HostXmpRecord;
class ReaderWorkers; // isolation.h
// The driver proper, the library's own (opaque here): DocumentDriver hands everything to it.
class DriverCore;

enum class SummaryState { Complete, Partial, None };
const char *summaryName(SummaryState state);

// What one document gave. Every pointer stays valid until the driver's next document or
// finish(): the strings and the list are the reader's own blocks, not copies. The strings
// are the file's bytes, zero-terminated, in no particular encoding.
struct DocumentView {
    const InputItem *input = nullptr;
    const char *error = nullptr; // null, or why the file gave no summary
    bool skipped = false;        // not a TIFF, met in a directory walk: no record at all
    bool bigTiff = false;        // a BigTIFF, which the reader does not read
    // Not read: the run's catalogue holds the file as it is, its record or that it was skipped.
    bool unchanged = false;
    FileIdentity identity; // taken before the file was read, where a catalogue keeps the run
    SummaryState summary = SummaryState::None;
    const char *title = nullptr;
    const char *author = nullptr;
    uint64_t createTime = 0; // FILETIME ticks; 0 when the reader gave none
    const PropertyEntry *properties = nullptr;
    size_t propertyCount = 0;
    const HostXmpRecord *xmp = nullptr; // the last packet's record, or null
    const char *text = nullptr;         // the reader's text record (Retrieval::TextRecord)
    size_t textLength = 0;
    // What the host saw go wrong while the reader read a document that gave a summary: why
    // one is partial or none, and what was left out of a complete one. Sentences in UTF-8.
    const std::string *warnings = nullptr;
    size_t warningCount = 0;
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
    RemoteOptions remote; // how remote inputs are fetched
    // Say why a record is not complete (DocumentView::warnings); off for a pass that only
    // finds which bytes the reader reads.
    bool explain = true;
    // The zone DateTimes are read in (a TimeZoneLease per document), empty for the process's
    // own. A reader process reads in the zone it was started in, and ignores this.
    std::string timeZone;
    // The bytes this process may hold where a cap holds it (a reader process); 0: none. A
    // request the system refused is then blamed on the cap.
    uint64_t memoryCap = 0;
};

// What reads documents for a front end: the driver in this process, or a reader in worker
// processes of its own (isolation.h). Each view holds until the next read or finish().
class DocumentReader {
public:
    virtual ~DocumentReader() = default;
    // A file, standard input, or a remote document through the bytes fetched for it
    // (fetchDocument).
    virtual const DocumentView &read(const InputItem &input) = 0;
    // A document already in memory; data is read in place, not copied.
    virtual const DocumentView &readBytes(const InputItem &input, const void *data, size_t size) = 0;
    // The inputs the next reads will name, in this order, which stay where they are until
    // then: a reader in another process may start on them at once.
    virtual void expect(const InputItem *, size_t) {}
    // Gives back everything the last document holds.
    virtual void finish() = 0;
};

// Takes documents through one reader table with one host; one per thread.
class DocumentDriver : public DocumentReader {
public:
    DocumentDriver(const ReaderInterface &table, const DriverOptions &options);
    ~DocumentDriver() override;
    DocumentDriver(const DocumentDriver &) = delete;
    DocumentDriver &operator=(const DocumentDriver &) = delete;

    // A file, standard input, or a remote document through the bytes fetched for it
    // (fetchDocument, for one on its own).
    const DocumentView &read(const InputItem &input) override;
    // A document already in memory; data is read in place, not copied.
    const DocumentView &readBytes(const InputItem &input, const void *data, size_t size) override;
    // Gives back everything the last document holds.
    void finish() override;

private:
    std::unique_ptr<DriverCore> core_;
};

// A remote document fetched on its own (a URL read alone, as zudor.read reads one), through
// the same stage as a run's: item then carries its bytes for DocumentReader::read, or item is
// a failed input that says why. options are those of the reader that reads it; where that
// reader reads in worker processes, workers are those (isolation.h), and the stage's probe
// reads there too, so that no untrusted parsing happens in this process.
void fetchDocument(InputItem &item, const ReaderInterface &table, const DriverOptions &options,
                   std::shared_ptr<ReaderWorkers> workers = nullptr);

} // namespace zudorhost

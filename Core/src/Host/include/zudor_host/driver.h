// One document's life through the reader table, and what it gave: a view of the reader's own
// blocks, good until the driver's next document.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "zudor/reader.h"
#include "zudor_host/inputs.h"
#include "zudor_host/remote.h"
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
    bool bigTiff = false;        // a BigTIFF, which the reader does not read
    // Not read: the file is as the catalogue knew it (InputItem::catalogue), which holds its
    // record, or knew it as skipped.
    bool unchanged = false;
    FileIdentity identity; // taken before the file was read, when DriverOptions::identity
    SummaryState summary = SummaryState::None;
    const char *title = nullptr;
    const char *author = nullptr;
    uint64_t createTime = 0; // FILETIME ticks; 0 when the reader gave none
    const PropertyEntry *properties = nullptr;
    size_t propertyCount = 0;
    const HostXmpRecord *xmp = nullptr; // the last packet's record, or null
    // A record kept elsewhere (a catalogue's) has the packet's properties listed here; its
    // xmp record has neither a document nor a packet.
    const PropertyEntry *xmpProperties = nullptr;
    size_t xmpPropertyCount = 0;
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
    // Take each file's identity before reading it, and read no file whose identity is the one
    // its input's catalogue reference holds.
    bool identity = false;
    RemoteOptions remote; // how remote inputs are fetched
};

// What reads documents for a front end: the driver in this process, or a reader in worker
// processes of its own (isolation.h). Each view holds until the next read or finish().
class DocumentReader {
public:
    virtual ~DocumentReader() = default;
    // A file, standard input, or a remote document: its fetched bytes (input.remote), or for a
    // URL not fetched yet, fetched now.
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

    const DocumentView &read(const InputItem &input) override;
    const DocumentView &readBytes(const InputItem &input, const void *data, size_t size) override;
    // A regular file of size bytes opened by another process, its descriptor taken over.
    const DocumentView &readDescriptor(const InputItem &input, int descriptor, uint64_t size);
    // A remote document through its fetched windows; the fetch stage's probe asks, after it,
    // for the first read they could not serve.
    const DocumentView &readRemote(const InputItem &input, const RemoteDocument &document);
    bool missedRemoteRead(uint64_t &offset, uint64_t &length) const;
    void finish() override;

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace zudorhost

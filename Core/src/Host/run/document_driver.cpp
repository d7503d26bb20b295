// One document's life through the reader table: identify the file, allocate a context, bind
// the stream, both retrievals, then release and free. The result is a view of the reader's
// own blocks, good until the next document.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "../io/remote/remote_document.h"
#include "../io/remote/remote_stream.h"
#include "../io/remote/url.h"
#include "fetch_stage.h"
#include "zudor_host/driver.h"
#include "zudor_host/host_slots.h"
#include "zudor_host/module.h"
#include "zudor_host/platform.h"

namespace zudorhost {
namespace {

// Pre-filled into every buffer the reader may write, to tell a written block from an
// untouched one: a written summary always holds zero bytes.
constexpr uint8_t kMarker = 0xA5;

template <typename Block> bool filledWith(const Block &block, uint8_t byte)
{
    const auto *bytes = reinterpret_cast<const uint8_t *>(&block);
    return std::all_of(bytes, bytes + sizeof block, [byte](uint8_t b) { return b == byte; });
}

// No honest request outgrows the file by much: a value or packet is at most the file's size,
// and the property array, entry buffer and directory set stay within a few times the bytes
// that describe them. Refusing more spares the host from zeroing hundreds of megabytes for a
// count that a short read will contradict a moment later.
int64_t documentCap(uint64_t fileSize, int64_t ceiling)
{
    constexpr uint64_t kSlack = 1 << 20;
    const uint64_t cap = fileSize > (uint64_t(ceiling) - kSlack) / 8 ? uint64_t(ceiling)
                                                                      : kSlack + 8 * fileSize;
    return int64_t(std::min(cap, uint64_t(ceiling)));
}

} // namespace

const char *summaryName(SummaryState state)
{
    switch (state) {
    case SummaryState::Complete: return "complete";
    case SummaryState::Partial: return "partial";
    case SummaryState::None: break;
    }
    return "none";
}

struct DocumentDriver::State {
    State(const ReaderInterface &t, const DriverOptions &o) : table(t), options(o), host(o.xmpMode, o.maxRequest) {}

    const DocumentView &fail(const std::string &why)
    {
        error = why;
        view.error = error.c_str();
        return view;
    }

    void start(const InputItem &input)
    {
        finish();
        view = DocumentView{};
        view.input = &input;
    }

    void finish()
    {
        if (ctx != nullptr) {
            SummaryInfo scratch{};
            table.getSummaryInfo(ctx, &scratch, 1);
            table.freeContext(ctx);
            ctx = nullptr;
        }
        host.endDocument();
        stream.close();
        remote = nullptr;
    }

    // The stream the document is read through: the file's or memory's, or a remote one's.
    InputStream *input() { return remote ? remoteStream.stream() : stream.stream(); }
    const uint8_t *head(size_t &length) const { return remote ? remoteStream.head(length) : stream.head(length); }
    uint64_t size() const { return remote ? remoteStream.size() : stream.size(); }
    const StreamCounts &counts() const { return remote ? remoteStream.counts() : stream.counts(); }

    const DocumentView &run()
    {
        const bool summary = options.retrieval == Retrieval::Summary;
        if (!options.anyFile && summary) {
            size_t length = 0;
            const uint8_t *first = head(length);
            const DocumentKind kind = identify(first, length);
            // A BigTIFF is a TIFF the user will look for, walked or named: it gets its record.
            if (kind == DocumentKind::BigTiff) {
                view.bigTiff = true;
                return fail("BigTIFF is not supported");
            }
            if (kind != DocumentKind::Tiff) {
                view.skipped = view.input->origin == InputOrigin::Walked;
                return fail("not a TIFF file");
            }
        }
        host.setMaxRequest(documentCap(size(), options.maxRequest));
        uint32_t status = 0;
        ctx = table.allocateContext(0, 0, &status, host.services(), 0);
        if (ctx == nullptr)
            return fail("cannot allocate a reader context");
        if (!summary)
            textRecord();
        else if (table.initDoc(ctx, 0, 0, input()) != TIF_STATUS_OK)
            fail("cannot read the TIFF header (shorter than 8 bytes)");
        else
            summarize();
        view.counts = counts();
        return view;
    }

    void summarize()
    {
        // Whichever retrieval comes first reads the file; a walk that failed leaves the buffer
        // as it was, and a second retrieval tells a partial summary from none.
        XmpInfo xmp;
        std::memset(&summaryBlock, kMarker, sizeof summaryBlock);
        std::memset(&xmp, kMarker, sizeof xmp);
        table.getSummaryInfo(ctx, &summaryBlock, 0);
        const bool first = !filledWith(summaryBlock, kMarker);
        table.getXmpInfo(ctx, &xmp, 0);
        host.claimXmpRecords();
        if (!first)
            table.getSummaryInfo(ctx, &summaryBlock, 0);
        const bool second = !first && !filledWith(summaryBlock, kMarker);
        view.summary = first ? SummaryState::Complete : second ? SummaryState::Partial : SummaryState::None;
        if (first || second) {
            view.title = summaryBlock.title;
            view.author = summaryBlock.author;
            view.createTime = filetimeFromBytes(summaryBlock.createTime);
            if (summaryBlock.properties != nullptr && summaryBlock.properties->count > 0) {
                view.properties = summaryBlock.properties->entries;
                view.propertyCount = size_t(summaryBlock.properties->count);
            }
        }
        if (!filledWith(xmp, kMarker) && !filledWith(xmp, 0))
            view.xmp = host.recordOf(xmp);
    }

    // The text record does not depend on the file; opening it only reports a bad name.
    void textRecord()
    {
        uint32_t status = 0;
        std::memset(&text, 0, sizeof text);
        table.fillBuffer(ctx, reinterpret_cast<uint8_t *>(&text), 0, &status, 0);
        view.text = text.text;
        view.textLength = text.textLength <= sizeof text.text ? text.textLength : 0;
        view.summary = SummaryState::Complete;
    }

    // A URL that no fetch stage has fetched (zudor.read): fetched here, on its own.
    const DocumentView &fetchAndRead(const InputItem &input);
    const DocumentView &runRemote(const RemoteDocument &document);

    const ReaderInterface &table;
    DriverOptions options;
    ReferenceHost host;
    FileStream stream;
    RemoteStream remoteStream;
    const RemoteDocument *remote = nullptr;
    InputItem fetched; // what fetchAndRead fetched, until the next document
    DocumentView view;
    std::string error;
    std::vector<char> standardInput;
    TifContext *ctx = nullptr;
    SummaryInfo summaryBlock;
    TextOutputRecord text;
};

DocumentDriver::DocumentDriver(const ReaderInterface &table, const DriverOptions &options)
    : state_(std::make_unique<State>(table, options))
{
}

DocumentDriver::~DocumentDriver() { state_->finish(); }

void DocumentDriver::finish() { state_->finish(); }

const DocumentView &DocumentDriver::read(const InputItem &input)
{
    State &s = *state_;
    s.start(input);
    std::string why;
    switch (input.origin) {
    case InputOrigin::Failed:
        return s.fail(input.error);
    case InputOrigin::StandardInput:
        if (!readStandardInput(s.standardInput, uint64_t(s.options.maxRequest), why))
            return s.fail(why);
        s.stream.openMemory(s.standardInput.data(), s.standardInput.size());
        break;
    case InputOrigin::Named:
    case InputOrigin::Walked:
        if (input.catalogue.unchanged) {
            s.view.unchanged = true;
            s.view.skipped = input.catalogue.skipped;
            return s.view;
        }
        if (input.remote)
            return readRemote(input, *input.remote);
        if (isRemoteInput(input.path))
            return s.fetchAndRead(input);
        if (s.options.identity && input.catalogue.row != 0 && fileIdentity(input.path, s.view.identity) &&
            unchangedSince(input.catalogue.identity, s.view.identity)) {
            s.view.unchanged = true;
            s.view.skipped = input.catalogue.skipped;
            return s.view;
        }
        if (!s.stream.open(input.path, why, s.options.identity ? &s.view.identity : nullptr)) {
            s.view.identity = FileIdentity{}; // nothing was read: try again next time
            return s.fail(why);
        }
        break;
    }
    return s.run();
}

const DocumentView &DocumentDriver::readRemote(const InputItem &input, const RemoteDocument &document)
{
    state_->start(input);
    return state_->runRemote(document);
}

const DocumentView &DocumentDriver::State::runRemote(const RemoteDocument &document)
{
    if (!document.error.empty())
        return fail(document.error);
    if (options.identity) {
        // The object as its first answer gave it: what was read is never older than this.
        view.identity.size = document.size;
        view.identity.etag = document.etag;
        view.identity.takenNs = document.etag.empty() ? 0 : wallClockNs();
    }
    remote = &document;
    remoteStream.open(document);
    run();
    // The probe found every byte this pass reads, or its own pass would have missed too: a
    // miss here is a fault of ours, said in the record rather than read as a short file.
    if (remoteStream.missed() && view.error == nullptr)
        fail("a read fell outside the fetched bytes");
    return view;
}

bool DocumentDriver::missedRemoteRead(uint64_t &offset, uint64_t &length) const
{
    const State &s = *state_;
    offset = s.remoteStream.missOffset();
    length = s.remoteStream.missLength();
    return s.remote != nullptr && s.remoteStream.missed();
}

const DocumentView &DocumentDriver::State::fetchAndRead(const InputItem &input)
{
    std::string why;
    const bool got = fetchAlone(input, makeDocumentProbe(table, options), options.remote, fetched, why);
    view.input = &fetched;
    return got ? runRemote(*fetched.remote) : fail(why);
}

bool fetchAlone(const InputItem &input, std::unique_ptr<DocumentProbe> probe, const RemoteOptions &options,
                InputItem &fetched, std::string &why)
{
    struct One : InputSource {
        const InputItem *item;
        bool next(InputItem &out) override
        {
            if (item == nullptr)
                return false;
            out = *item;
            item = nullptr;
            return true;
        }
    } one;
    one.item = &input;
    fetched = InputItem{};
    RemoteUrl url;
    if (parseRemoteUrl(input.path, url, why) && url.scheme == UrlScheme::S3 && url.prefix) {
        fetched = input;
        why = "an S3 prefix names many documents, not one";
        return false;
    }
    FetchStage stage(one, std::move(probe), options);
    const bool got = stage.next(fetched);
    if (!got || fetched.origin == InputOrigin::Failed || !fetched.remote) {
        fetched.path = redactUrl(input.path);
        why = got ? fetched.error : "cannot fetch";
        return false;
    }
    return true;
}

namespace {

// The probe is a driver of its own in raw XMP mode, the cheapest: the reads do not depend on
// how packets are parsed.
class DriverProbe : public DocumentProbe {
public:
    DriverProbe(const ReaderInterface &table, DriverOptions options) : driver_(table, raw(options)) {}
    bool miss(const InputItem &item, const RemoteDocument &document, uint64_t &offset, uint64_t &length) override
    {
        driver_.readRemote(item, document);
        const bool missed = driver_.missedRemoteRead(offset, length);
        driver_.finish();
        return missed;
    }

private:
    static DriverOptions raw(DriverOptions options)
    {
        options.xmpMode = XmpMode::Raw;
        return options;
    }
    DocumentDriver driver_;
};

} // namespace

std::unique_ptr<DocumentProbe> makeDocumentProbe(const ReaderInterface &table, const DriverOptions &options)
{
    return std::make_unique<DriverProbe>(table, options);
}

const DocumentView &DocumentDriver::readBytes(const InputItem &input, const void *data, size_t size)
{
    State &s = *state_;
    s.start(input);
    s.stream.openMemory(data, size);
    return s.run();
}

const DocumentView &DocumentDriver::readDescriptor(const InputItem &input, int descriptor, uint64_t size)
{
    State &s = *state_;
    s.start(input);
    s.stream.adopt(descriptor, size);
    return s.run();
}

} // namespace zudorhost

// One document's life through the reader table: identify the file, allocate a context, bind
// the stream, both retrievals, then release and free. The result is a view of the reader's
// own blocks, good until the next document.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "io/remote/remote_document.h"
#include "io/remote/remote_stream.h"
#include "run/standard_input.h"
#include "platform/system.h"
#include "run/document_explain.h"
#include "run/driver_core.h"
#include "run/input_carried.h"
#include "run/keeper.h"
#include "zudor_host/driver.h"
#include "hostcalls/host_slots.h"
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

struct DriverCore::State {
    State(const ReaderInterface &t, const DriverOptions &o, DocumentKeeper *k, os::Opener *given)
        : table(t), options(o), keeper(k), host(o.xmpMode, o.maxRequest),
          own(given == nullptr ? std::make_unique<os::Opener>() : nullptr), opener(given != nullptr ? *given : *own)
    {
    }

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
        current = &stream;
    }

    // The stream the document is read through.
    InputStream *input() { return current->stream(); }
    const uint8_t *head(size_t &length) const { return current->head(length); }
    uint64_t size() const { return current->size(); }
    const StreamCounts &counts() const { return current->counts(); }

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

    // Says why a summary is not complete, once the view is settled.
    const DocumentView &explain()
    {
        warnings.clear();
        if (!options.explain || view.error != nullptr || options.retrieval != Retrieval::Summary)
            return view;
        DocumentEvidence evidence;
        evidence.incomplete = view.summary != SummaryState::Complete;
        evidence.xmpMode = options.xmpMode;
        evidence.host = host.notes();
        evidence.shortRead = current->shortRead();
        evidence.size = size();
        evidence.memoryCap = options.memoryCap;
        if (!evidence.incomplete && evidence.host.xmpTurnedDown == 0)
            return view;
        explainDocument(evidence, input(), warnings);
        view.warnings = warnings.data();
        view.warningCount = warnings.size();
        return view;
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

    const DocumentView &runRemote(const RemoteDocument &document);

    // Whether the run's keeper holds the input as it is now, from what its listing said or,
    // for a local file it knows, one look at it; the view then says so.
    bool heldAsItIs(const InputItem &input)
    {
        if (keeper == nullptr || !carriedBy(input).keeperTag)
            return false;
        const DocumentKeeper::Held held = keeper->holds(input, &opener, view.identity);
        if (held == DocumentKeeper::Held::No)
            return false;
        view.unchanged = true;
        view.skipped = held == DocumentKeeper::Held::Skipped;
        return true;
    }

    const ReaderInterface &table;
    DriverOptions options;
    DocumentKeeper *keeper; // the run's, or null
    ReferenceHost host;
    std::unique_ptr<os::Opener> own; // where the caller gave none
    os::Opener &opener;
    FileStream stream;
    RemoteStream remoteStream;
    const RemoteDocument *remote = nullptr;
    DocumentStream *current = &stream; // the file's or memory's, or a remote document's
    DocumentView view;
    std::string error;
    std::vector<std::string> warnings;
    std::vector<char> standardInput;
    TifContext *ctx = nullptr;
    SummaryInfo summaryBlock;
    TextOutputRecord text;
};

DriverCore::DriverCore(const ReaderInterface &table, const DriverOptions &options, DocumentKeeper *keeper,
                       os::Opener *opener)
    : state_(std::make_unique<State>(table, options, keeper, opener))
{
}

DriverCore::~DriverCore() { state_->finish(); }

void DriverCore::finish() { state_->finish(); }

const DocumentView &DriverCore::read(const InputItem &input)
{
    State &s = *state_;
    const TimeZoneLease zone(s.options.timeZone);
    s.start(input);
    std::string why;
    switch (input.origin) {
    case InputOrigin::Failed:
        return s.fail(input.error);
    case InputOrigin::StandardInput:
        if (!readStandardInput(s.standardInput, uint64_t(s.options.maxRequest),
                               !s.options.anyFile && s.options.retrieval == Retrieval::Summary, why))
            return s.fail(why);
        s.stream.openMemory(s.standardInput.data(), s.standardInput.size());
        break;
    case InputOrigin::Named:
    case InputOrigin::Walked:
        if (s.heldAsItIs(input))
            return s.view;
        if (const RemoteDocument *remote = carriedBy(input).remote.get())
            return s.runRemote(*remote);
        if (isRemoteInput(input.path))
            return s.fail("a URL is read once fetched (fetchDocument)");
        if (!s.stream.open(s.opener, input.path, why, s.keeper != nullptr ? &s.view.identity : nullptr)) {
            s.view.identity = FileIdentity{}; // nothing was read: try again next time
            return s.fail(why);
        }
        break;
    }
    s.run();
    return s.explain();
}

const DocumentView &DriverCore::State::runRemote(const RemoteDocument &document)
{
    if (!document.error.empty())
        return fail(document.error);
    if (keeper != nullptr) {
        // The object as its first answer gave it: what was read is never older than this.
        view.identity.size = document.size;
        view.identity.etag = document.etag;
        view.identity.takenNs = document.etag.empty() ? 0 : opener.system().wallClockNs();
    }
    remote = &document;
    remoteStream.open(document);
    current = &remoteStream;
    run();
    // The probe found every byte this pass reads, or its own pass would have missed too: a
    // miss here is a fault of ours, said in the record rather than read as a short file.
    if (remoteStream.missed() && view.error == nullptr)
        fail("a read fell outside the fetched bytes");
    return explain();
}

const DocumentView &DriverCore::readFetched(const InputItem &input, const RemoteDocument &document)
{
    state_->start(input);
    return state_->runRemote(document);
}

bool DriverCore::missed(uint64_t &offset, uint64_t &length) const
{
    const State &s = *state_;
    offset = s.remoteStream.missOffset();
    length = s.remoteStream.missLength();
    return s.remote != nullptr && s.remoteStream.missed();
}

const DocumentView &DriverCore::readBytes(const InputItem &input, const void *data, size_t size)
{
    State &s = *state_;
    const TimeZoneLease zone(s.options.timeZone);
    s.start(input);
    s.stream.openMemory(data, size);
    s.run();
    return s.explain();
}

const DocumentView &DriverCore::readHanded(const InputItem &input, int descriptor, uint64_t size)
{
    State &s = *state_;
    const TimeZoneLease zone(s.options.timeZone);
    s.start(input);
    s.stream.adopt(descriptor, size);
    s.run();
    return s.explain();
}

DocumentDriver::DocumentDriver(const ReaderInterface &table, const DriverOptions &options)
    : core_(std::make_unique<DriverCore>(table, options))
{
}

DocumentDriver::~DocumentDriver() = default;

const DocumentView &DocumentDriver::read(const InputItem &input) { return core_->read(input); }

const DocumentView &DocumentDriver::readBytes(const InputItem &input, const void *data, size_t size)
{
    return core_->readBytes(input, data, size);
}

void DocumentDriver::finish() { core_->finish(); }

} // namespace zudorhost

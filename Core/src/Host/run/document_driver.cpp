// One document's life through the reader table: identify the file, allocate a context, bind
// the stream, both retrievals, then release and free. The result is a view of the reader's
// own blocks, good until the next document.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

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
    }

    const DocumentView &run()
    {
        const bool summary = options.retrieval == Retrieval::Summary;
        if (!options.anyFile && summary) {
            size_t length = 0;
            const uint8_t *head = stream.head(length);
            const DocumentKind kind = identify(head, length);
            if (kind != DocumentKind::Tiff) {
                view.skipped = view.input->origin == InputOrigin::Walked;
                return fail(kind == DocumentKind::BigTiff ? "BigTIFF is not supported" : "not a TIFF file");
            }
        }
        host.setMaxRequest(documentCap(stream.size(), options.maxRequest));
        uint32_t status = 0;
        ctx = table.allocateContext(0, 0, &status, host.services(), 0);
        if (ctx == nullptr)
            return fail("cannot allocate a reader context");
        if (!summary)
            textRecord();
        else if (table.initDoc(ctx, 0, 0, stream.stream()) != TIF_STATUS_OK)
            fail("cannot read the TIFF header (shorter than 8 bytes)");
        else
            summarize();
        view.counts = stream.counts();
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

    const ReaderInterface &table;
    DriverOptions options;
    ReferenceHost host;
    FileStream stream;
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
        if (!s.stream.open(input.path, why))
            return s.fail(why);
        break;
    }
    return s.run();
}

const DocumentView &DocumentDriver::readBytes(const InputItem &input, const void *data, size_t size)
{
    State &s = *state_;
    s.start(input);
    s.stream.openMemory(data, size);
    return s.run();
}

} // namespace zudorhost

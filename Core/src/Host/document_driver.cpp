// One document's life through the reader table: identify the file, allocate a context, bind
// the stream, both retrievals, then release and free. The result is a view of the reader's
// own blocks, good until the next document.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "zudor_host/host_slots.h"
#include "zudor_host/zudor_host.h"

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

// Standard input whole, as the reader seeks; more than the cap is refused.
bool readStandardInput(std::vector<char> &into, int64_t cap, std::string &error)
{
    into.clear();
    size_t used = 0;
    while (true) {
        if (into.size() - used < 65536)
            into.resize(std::max<size_t>(into.size() * 2, 65536));
        const ssize_t got = ::read(STDIN_FILENO, into.data() + used, into.size() - used);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            error = std::string("cannot read standard input: ") + std::strerror(errno);
            return false;
        }
        if (got == 0)
            break;
        used += size_t(got);
        if (used > uint64_t(cap)) {
            error = "standard input is larger than the largest request granted";
            return false;
        }
    }
    into.resize(used);
    return true;
}

} // namespace

DocumentKind identify(const uint8_t *head, size_t size)
{
    if (size < 4 || !((head[0] == 'I' && head[1] == 'I') || (head[0] == 'M' && head[1] == 'M')))
        return DocumentKind::Other;
    const unsigned version = head[0] == 'I' ? head[2] | head[3] << 8 : head[2] << 8 | head[3];
    return version == 42 ? DocumentKind::Tiff : version == 43 ? DocumentKind::BigTiff : DocumentKind::Other;
}

const char *summaryName(SummaryState state)
{
    switch (state) {
    case SummaryState::Complete: return "complete";
    case SummaryState::Partial: return "partial";
    case SummaryState::None: break;
    }
    return "none";
}

DocumentDriver::DocumentDriver(const ReaderInterface &table, const DriverOptions &options)
    : table_(table), options_(options), host_(options.xmpMode, options.maxRequest)
{
}

DocumentDriver::~DocumentDriver() { finish(); }

void DocumentDriver::finish()
{
    if (ctx_ != nullptr) {
        SummaryInfo scratch{};
        table_.getSummaryInfo(ctx_, &scratch, 1);
        table_.freeContext(ctx_);
        ctx_ = nullptr;
    }
    host_.endDocument();
    stream_.close();
}

const DocumentView &DocumentDriver::fail(const std::string &why)
{
    error_ = why;
    view_.error = error_.c_str();
    return view_;
}

const DocumentView &DocumentDriver::read(const InputItem &input)
{
    finish();
    view_ = DocumentView{};
    view_.input = &input;
    std::string why;
    switch (input.origin) {
    case InputOrigin::Failed:
        return fail(input.error);
    case InputOrigin::StandardInput:
        if (!readStandardInput(standardInput_, options_.maxRequest, why))
            return fail(why);
        stream_.openMemory(standardInput_.data(), standardInput_.size());
        break;
    case InputOrigin::Named:
    case InputOrigin::Walked:
        if (!stream_.open(input.path, why))
            return fail(why);
        break;
    }
    return run();
}

const DocumentView &DocumentDriver::readBytes(const InputItem &input, const void *data, size_t size)
{
    finish();
    view_ = DocumentView{};
    view_.input = &input;
    stream_.openMemory(data, size);
    return run();
}

const DocumentView &DocumentDriver::run()
{
    if (!options_.anyFile && !options_.textOutput) {
        size_t length = 0;
        const uint8_t *head = stream_.head(length);
        const DocumentKind kind = identify(head, length);
        if (kind != DocumentKind::Tiff) {
            view_.skipped = view_.input->origin == InputOrigin::Walked;
            return fail(kind == DocumentKind::BigTiff ? "BigTIFF is not supported" : "not a TIFF file");
        }
    }
    host_.setMaxRequest(documentCap(stream_.size(), options_.maxRequest));
    uint32_t status = 0;
    ctx_ = table_.allocateContext(0, 0, &status, host_.services(), 0);
    if (ctx_ == nullptr)
        return fail("cannot allocate a reader context");
    if (options_.textOutput)
        textRecord(ctx_);
    else if (table_.initDoc(ctx_, 0, 0, stream_.stream()) != TIF_STATUS_OK)
        fail("cannot read the TIFF header (shorter than 8 bytes)");
    else
        summarize(ctx_);
    view_.counts = stream_.counts();
    return view_;
}

void DocumentDriver::summarize(TifContext *ctx)
{
    // Whichever retrieval comes first reads the file; a walk that failed leaves the buffer
    // as it was, and a second retrieval tells a partial summary from none.
    XmpInfo xmp;
    std::memset(&summary_, kMarker, sizeof summary_);
    std::memset(&xmp, kMarker, sizeof xmp);
    table_.getSummaryInfo(ctx, &summary_, 0);
    const bool first = !filledWith(summary_, kMarker);
    table_.getXmpInfo(ctx, &xmp, 0);
    host_.claimXmpRecords();
    if (!first)
        table_.getSummaryInfo(ctx, &summary_, 0);
    const bool second = !first && !filledWith(summary_, kMarker);
    view_.summary = first ? SummaryState::Complete : second ? SummaryState::Partial : SummaryState::None;
    if (first || second) {
        view_.title = summary_.title;
        view_.author = summary_.author;
        view_.createTime = filetimeFromBytes(summary_.createTime);
        if (summary_.properties != nullptr && summary_.properties->count > 0) {
            view_.properties = summary_.properties->entries;
            view_.propertyCount = size_t(summary_.properties->count);
        }
    }
    if (!filledWith(xmp, kMarker) && !filledWith(xmp, 0))
        view_.xmp = host_.recordOf(xmp);
}

// The text record does not depend on the file; opening it only reports a bad name.
void DocumentDriver::textRecord(TifContext *ctx)
{
    uint32_t status = 0;
    std::memset(&text_, 0, sizeof text_);
    table_.fillBuffer(ctx, reinterpret_cast<uint8_t *>(&text_), 0, &status, 0);
    view_.text = text_.text;
    view_.textLength = text_.textLength <= sizeof text_.text ? text_.textLength : 0;
    view_.summary = SummaryState::Complete;
}

} // namespace zudorhost

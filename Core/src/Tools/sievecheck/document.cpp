#include "document.h"

#include <algorithm>
#include <cstring>

#include "text_encoding.h"
#include "zudor_host/host_slots.h"

namespace sievecheck {
namespace {

// Pre-filled into every buffer the reader may write, to tell a written block from an
// untouched one: a written summary always holds zero bytes.
constexpr uint8_t kMarker = 0xA5;

template <typename Block> bool untouched(const Block &block)
{
    const auto *bytes = reinterpret_cast<const uint8_t *>(&block);
    for (size_t i = 0; i < sizeof block; ++i)
        if (bytes[i] != kMarker)
            return false;
    return true;
}

template <typename Block> void mark(Block &block) { std::memset(&block, kMarker, sizeof block); }

template <typename Block> bool allZero(const Block &block)
{
    const auto *bytes = reinterpret_cast<const uint8_t *>(&block);
    for (size_t i = 0; i < sizeof block; ++i)
        if (bytes[i] != 0)
            return false;
    return true;
}

std::optional<std::string> stringOf(const char *text)
{
    if (text == nullptr)
        return std::nullopt;
    return toUtf8(text);
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

void DocumentDriver::collectSummary(const SummaryInfo &summary, DocumentResult &result)
{
    result.title = stringOf(summary.title);
    result.author = stringOf(summary.author);
    result.createTime = zudorhost::filetimeFromBytes(summary.createTime);
    if (summary.properties == nullptr)
        return;
    const PropertyList &list = *summary.properties;
    result.properties.reserve(size_t(std::max(list.count, 0)));
    for (int32_t i = 0; i < list.count; ++i) {
        const PropertyEntry &entry = list.entries[i];
        result.properties.emplace_back(toUtf8(entry.name != nullptr ? entry.name : ""),
                                       toUtf8(entry.value != nullptr ? entry.value : ""));
    }
}

void DocumentDriver::collectXmp(const XmpInfo &info, DocumentResult &result)
{
    if (untouched(info) || allZero(info))
        return;
    XmpResult xmp;
    const zudorhost::HostXmpRecord *record = host_.recordOf(info);
    if (record != nullptr) {
        xmp.packetBytes = record->packetBytes;
        xmp.raw = record->packet != nullptr;
        if (xmp.raw)
            xmp.packet = toUtf8(record->packet);
        else
            for (auto &[path, value] : zudorhost::xmpProperties(record->document))
                xmp.properties.emplace_back(toUtf8(path.c_str()), toUtf8(value.c_str()));
    }
    result.xmp = std::move(xmp);
}

bool DocumentDriver::open(const std::string &path, DocumentResult &result)
{
    result.file = path;
    std::string why;
    if (file_.open(path, why)) {
        host_.setMaxRequest(documentCap(file_.size(), maxRequest_));
        return true;
    }
    result.error = "cannot open: " + why;
    return false;
}

TifContext *DocumentDriver::allocate(DocumentResult &result)
{
    uint32_t status = 0;
    TifContext *ctx = table_.allocateContext(0, 0, &status, host_.services(), 0);
    if (ctx == nullptr)
        result.error = "cannot allocate a reader context";
    return ctx;
}

DocumentResult DocumentDriver::summarize(const std::string &path)
{
    DocumentResult result;
    TifContext *ctx = open(path, result) ? allocate(result) : nullptr;
    if (ctx == nullptr) {
        file_.close();
        return result;
    }
    if (table_.initDoc(ctx, 0, 0, file_.stream()) != TIF_STATUS_OK) {
        result.error = "cannot read the TIFF header (shorter than 8 bytes)";
    } else {
        SummaryInfo summary;
        XmpInfo xmp;
        mark(summary);
        mark(xmp);
        table_.getSummaryInfo(ctx, &summary, 0);
        const bool first = !untouched(summary);
        table_.getXmpInfo(ctx, &xmp, 0);
        if (!first)
            table_.getSummaryInfo(ctx, &summary, 0);
        const bool second = !first && !untouched(summary);
        result.summary = first ? SummaryState::Complete
                       : second ? SummaryState::Partial : SummaryState::None;
        if (first || second)
            collectSummary(summary, result);
        collectXmp(xmp, result);
    }
    SummaryInfo scratch{};
    table_.getSummaryInfo(ctx, &scratch, 1);
    table_.freeContext(ctx);
    host_.endDocument();
    result.counts = file_.counts();
    file_.close();
    return result;
}

// The text record does not depend on the file; opening it only reports a bad name.
DocumentResult DocumentDriver::textOutput(const std::string &path)
{
    DocumentResult result;
    const bool opened = open(path, result);
    file_.close();
    TifContext *ctx = opened ? allocate(result) : nullptr;
    if (ctx == nullptr)
        return result;
    uint32_t status = 0;
    TextOutputRecord record;
    std::memset(&record, 0, sizeof record);
    table_.fillBuffer(ctx, reinterpret_cast<uint8_t *>(&record), 0, &status, 0);
    const uint32_t length = record.textLength <= sizeof record.text ? record.textLength : 0;
    result.text.assign(record.text, length);
    result.summary = SummaryState::Complete;
    table_.freeContext(ctx);
    return result;
}

} // namespace sievecheck

// The XMP slot: each packet becomes a host-owned record: the host's own listing of it (parsed
// mode), the XMP toolkit's document (toolkit mode), or a copy of its text (raw mode).
#include <cstring>

#include "hostcalls/arena.h"
#include "hostcalls/xmp_reading.h"
#include "xmp/xmp_toolkit.h"
#include "hostcalls/host_slots.h"
#include "hostcalls/reference_host.h"

namespace zudorhost {

namespace {

// Waiting texts past this are read at once, the newest that lists kept, so that the copies of a
// document of many packets never pile up.
constexpr uint64_t kWaitingBudget = uint64_t(4) << 20;
constexpr size_t kKeptListing = size_t(1) << 20;

void releaseRecord(HostXmpRecord *record, Arena &arena)
{
    if (record->mode == uint32_t(XmpMode::Toolkit))
        freeXmpDocument(record->document);
    else if (record->document != nullptr)
        arena.release(record->document);
    if (record->packet != nullptr)
        arena.release(const_cast<char *>(record->packet));
    arena.release(record);
}

HostXmpRecord *newRecord(Arena &arena, XmpMode mode, uint64_t packetBytes, uint64_t sequence)
{
    auto *record = static_cast<HostXmpRecord *>(arena.allocate(sizeof(HostXmpRecord)));
    if (record != nullptr) {
        std::memset(record, 0, sizeof *record);
        record->magic = kXmpRecordMagic;
        record->mode = static_cast<uint32_t>(mode);
        record->packetBytes = packetBytes;
        record->sequence = sequence;
    }
    return record;
}

} // namespace

XmpReading &ReferenceHost::xmpReading()
{
    if (xmp_ == nullptr)
        xmp_ = std::make_unique<XmpReading>();
    return *xmp_;
}

// The listed record for a waiting text, or null when the lister turns it down or it does not fit.
HostXmpRecord *ReferenceHost::readPacket(const HostXmpRecord &face, const char *text)
{
    XmpReading &reading = xmpReading();
    // The listing is the host's own allocation, held to the same cap as the reader's.
    reading.lister.setLimit(size_t(maxRequest_));
    const XmpListStatus status = reading.lister.list(text, size_t(face.packetBytes), reading.listing);
    if (status != XmpListStatus::Listed) {
        noteTurnedDown(face.packetBytes, status == XmpListStatus::OutOfMemory, false);
        return nullptr;
    }
    const OutputBuffer &bytes = reading.listing.bytes;
    auto *block = static_cast<ListingBlock *>(arena_->allocate(sizeof(ListingBlock) + bytes.size()));
    HostXmpRecord *record = block != nullptr ? newRecord(*arena_, XmpMode::Parsed, face.packetBytes, face.sequence) : nullptr;
    if (record == nullptr) {
        if (block != nullptr)
            arena_->release(block);
        noteTurnedDown(face.packetBytes, true, false);
        return nullptr;
    }
    block->bytes = bytes.size();
    if (bytes.size() != 0) // an empty listing may have no buffer at all
        std::memcpy(block + 1, bytes.data(), bytes.size());
    record->document = block;
    // One huge packet must not keep its buffer's size for every packet after it.
    reading.listing.bytes.trim(kKeptListing);
    return record;
}

// Reads the waiting texts newest first until one lists; that one becomes the fallback, and
// every waiting text goes. Returns the fallback, which the caller may take.
HostXmpRecord *ReferenceHost::readWaiting()
{
    XmpReading &reading = xmpReading();
    HostXmpRecord *found = nullptr;
    for (size_t i = reading.waiting.size(); i-- > 0 && found == nullptr;)
        found = readPacket(*reading.waiting[i].record, reading.waiting[i].text);
    if (found != nullptr) {
        if (reading.fallback != nullptr)
            releaseRecord(reading.fallback, *arena_);
        reading.fallback = found;
    }
    dropWaiting();
    return reading.fallback;
}

void ReferenceHost::dropWaiting()
{
    for (const XmpReading::Waiting &waiting : xmp_->waiting)
        arena_->release(waiting.text);
    xmp_->waiting.clear();
    xmp_->waitingBytes = 0;
}

// The records made since the last hand-over but the newest, which the reader has dropped.
void ReferenceHost::dropOlderRecords()
{
    if (records_.size() <= claimed_ + 1)
        return;
    for (size_t i = claimed_; i + 1 < records_.size(); ++i)
        releaseRecord(records_[i], *arena_);
    records_.erase(records_.begin() + long(claimed_), records_.end() - 1);
}

// Copies the text (raw mode), keeps it waiting (parsed mode) or has the toolkit parse it;
// false when the packet is turned down or does not fit.
bool ReferenceHost::fillXmpRecord(HostXmpRecord &record, const char *packet, uint64_t textBytes)
{
    if (mode_ == XmpMode::Toolkit)
        return (record.document = parseXmpDocument(packet, size_t(textBytes))) != nullptr;
    auto *copy = static_cast<char *>(arena_->allocate(textBytes + 1));
    if (copy == nullptr)
        return false;
    std::memcpy(copy, packet, textBytes);
    copy[textBytes] = '\0';
    if (mode_ == XmpMode::Raw) {
        record.packet = copy;
    } else {
        XmpReading &reading = xmpReading();
        reading.waiting.push_back({&record, copy});
        reading.waitingBytes += textBytes;
    }
    return true;
}

XmpInfo *ReferenceHost::makeXmpRecord(const char *packet, uint32_t size)
{
    // size counts the terminator the reader added.
    const uint64_t textBytes = size > 0 ? size - 1 : 0;
    HostXmpRecord *record = newRecord(*arena_, mode_, textBytes, ++made_);
    if (record == nullptr)
        return nullptr;
    if (!fillXmpRecord(*record, packet, textBytes)) {
        noteTurnedDown(textBytes, mode_ != XmpMode::Toolkit, true);
        arena_->release(record);
        return nullptr;
    }
    // The reader drops the record it held for the new one; a waiting one stays until it is read.
    if (records_.size() > claimed_ && mode_ != XmpMode::Parsed) {
        releaseRecord(records_.back(), *arena_);
        records_.pop_back();
    }
    records_.push_back(record);
    if (mode_ == XmpMode::Parsed && xmp_->waitingBytes > kWaitingBudget) {
        readWaiting();
        dropOlderRecords();
    }
    return reinterpret_cast<XmpInfo *>(record);
}

// The newest record since the last hand-over reads as the newest of its waiting texts that
// lists, or the fallback; the records before it, which the reader dropped, go.
void ReferenceHost::claimXmpRecords()
{
    if (mode_ == XmpMode::Parsed && records_.size() > claimed_) {
        XmpReading &reading = xmpReading();
        reading.readAs.emplace_back(records_.back(), readWaiting());
        reading.fallback = nullptr;
        dropOlderRecords();
    }
    claimed_ = records_.size();
}

void ReferenceHost::noteTurnedDown(uint64_t packetBytes, bool tooLarge, bool stoppedReader)
{
    if (notes_.xmpTurnedDown++ == 0) {
        notes_.xmpTurnedDownBytes = packetBytes;
        notes_.xmpTooLarge = tooLarge;
    }
    notes_.xmpStoppedReader = notes_.xmpStoppedReader || stoppedReader;
}

void ReferenceHost::endDocument()
{
    notes_ = HostNotes{};
    if (xmp_ != nullptr) {
        dropWaiting();
        XmpReading &reading = *xmp_;
        for (auto &read : reading.readAs)
            if (read.second != nullptr)
                releaseRecord(read.second, *arena_);
        reading.readAs.clear();
        if (reading.fallback != nullptr)
            releaseRecord(reading.fallback, *arena_);
        reading.fallback = nullptr;
    }
    for (HostXmpRecord *record : records_)
        releaseRecord(record, *arena_);
    records_.clear();
    claimed_ = 0;
    made_ = 0;
    arena_->reset();
}

const HostXmpRecord *ReferenceHost::recordOf(const XmpInfo &info)
{
    HostXmpRecord candidate;
    std::memcpy(&candidate, &info, sizeof candidate);
    for (size_t i = 0; i < records_.size(); ++i) {
        HostXmpRecord *record = records_[i];
        if (std::memcmp(record, &candidate, sizeof candidate) != 0)
            continue;
        if (record->mode != uint32_t(XmpMode::Parsed))
            return record;
        // A parsed record reads as what its hand-over made of it; the newest not yet handed
        // over is handed over now, and an older one the reader has dropped.
        if (i + 1 == records_.size() && i >= claimed_)
            claimXmpRecords();
        for (const auto &read : xmp_->readAs)
            if (read.first == record)
                return read.second;
        return nullptr;
    }
    return nullptr;
}

int32_t parseXmp(HostServices *host, XmpInfo **result, uint64_t *, const char *packet,
                 uint32_t size, uint32_t)
{
    *result = ReferenceHost::fromHeap(&host->hostHeap)->makeXmpRecord(packet, size);
    return *result != nullptr ? 0 : 1;
}

} // namespace zudorhost

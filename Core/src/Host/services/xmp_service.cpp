// The XMP slot: each packet becomes a host-owned record: the host's own listing of it (parsed
// mode), the XMP toolkit's document (toolkit mode), or a copy of its text (raw mode).
#include <cstring>

#include "services/arena.h"
#include "services/xmp_reading.h"
#include "zudor_host/host_slots.h"
#include "zudor_host/services.h"

namespace zudorhost {

namespace {

// A listing in the document's arena: its size, then its bytes.
struct ListingBlock {
    uint64_t bytes;
    const char *data() const { return reinterpret_cast<const char *>(this + 1); }
};

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

} // namespace

// False when the packet is turned down, or its record does not fit.
bool ReferenceHost::fillXmpRecord(HostXmpRecord &record, const char *packet, uint64_t textBytes)
{
    switch (mode_) {
    case XmpMode::Raw: {
        auto *copy = static_cast<char *>(arena_->allocate(textBytes + 1));
        if (copy == nullptr)
            return false;
        std::memcpy(copy, packet, textBytes);
        copy[textBytes] = '\0';
        record.packet = copy;
        return true;
    }
    case XmpMode::Parsed: {
        if (xmp_ == nullptr)
            xmp_ = std::make_unique<XmpReading>();
        // The listing is the host's own allocation, held to the same cap as the reader's.
        xmp_->lister.setLimit(size_t(maxRequest_));
        if (xmp_->lister.list(packet, size_t(textBytes), xmp_->listing) != XmpListStatus::Listed)
            return false;
        const std::string &bytes = xmp_->listing.bytes;
        auto *block = static_cast<ListingBlock *>(arena_->allocate(sizeof(ListingBlock) + bytes.size()));
        if (block == nullptr)
            return false;
        block->bytes = bytes.size();
        std::memcpy(block + 1, bytes.data(), bytes.size());
        record.document = block;
        return true;
    }
    case XmpMode::Toolkit:
        return (record.document = parseXmpDocument(packet, size_t(textBytes))) != nullptr;
    }
    return false;
}

XmpInfo *ReferenceHost::makeXmpRecord(const char *packet, uint32_t size)
{
    // size counts the terminator the reader added.
    const uint64_t textBytes = size > 0 ? size - 1 : 0;
    auto *record = static_cast<HostXmpRecord *>(arena_->allocate(sizeof(HostXmpRecord)));
    if (record == nullptr)
        return nullptr;
    std::memset(record, 0, sizeof *record);
    record->magic = kXmpRecordMagic;
    record->mode = static_cast<uint32_t>(mode_);
    record->packetBytes = textBytes;
    record->sequence = ++made_;
    if (!fillXmpRecord(*record, packet, textBytes)) {
        arena_->release(record);
        return nullptr;
    }
    if (records_.size() > claimed_) {
        releaseRecord(records_.back(), *arena_);
        records_.pop_back();
    }
    records_.push_back(record);
    return reinterpret_cast<XmpInfo *>(record);
}

void ReferenceHost::endDocument()
{
    for (HostXmpRecord *record : records_)
        releaseRecord(record, *arena_);
    records_.clear();
    claimed_ = 0;
    made_ = 0;
    arena_->reset();
}

const HostXmpRecord *ReferenceHost::recordOf(const XmpInfo &info) const
{
    HostXmpRecord candidate;
    std::memcpy(&candidate, &info, sizeof candidate);
    for (const HostXmpRecord *record : records_)
        if (std::memcmp(record, &candidate, sizeof candidate) == 0)
            return record;
    return nullptr;
}

void forEachXmpProperty(const HostXmpRecord &record, XmpPropertyVisitor visit, void *state)
{
    if (record.mode == uint32_t(XmpMode::Toolkit)) {
        forEachToolkitProperty(record.document, visit, state);
    } else if (record.mode == uint32_t(XmpMode::Parsed) && record.document != nullptr) {
        const auto &block = *static_cast<const ListingBlock *>(record.document);
        visitXmpListing(block.data(), size_t(block.bytes), visit, state);
    }
}

int32_t parseXmp(HostServices *host, XmpInfo **result, uint64_t *, const char *packet,
                 uint32_t size, uint32_t)
{
    *result = ReferenceHost::fromHeap(&host->hostHeap)->makeXmpRecord(packet, size);
    return *result != nullptr ? 0 : 1;
}

} // namespace zudorhost

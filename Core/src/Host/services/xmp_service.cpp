// The XMP slot: each packet becomes a host-owned record, parsed with the XMP toolkit
// (xmp_parsed_*.cpp) or kept as text.
#include <cstring>

#include "services/arena.h"
#include "services/xmp_toolkit.h"
#include "zudor_host/host_slots.h"
#include "zudor_host/services.h"

namespace zudorhost {

namespace {

void releaseRecord(HostXmpRecord *record, Arena &arena)
{
    freeXmpDocument(record->document);
    if (record->packet != nullptr)
        arena.release(const_cast<char *>(record->packet));
    arena.release(record);
}

} // namespace

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
    if (mode_ == XmpMode::Raw) {
        auto *copy = static_cast<char *>(arena_->allocate(textBytes + 1));
        if (copy == nullptr) {
            arena_->release(record);
            return nullptr;
        }
        std::memcpy(copy, packet, textBytes);
        copy[textBytes] = '\0';
        record->packet = copy;
    } else {
        record->document = parseXmpDocument(packet, textBytes);
        if (record->document == nullptr) {
            arena_->release(record);
            return nullptr;
        }
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

int32_t parseXmp(HostServices *host, XmpInfo **result, uint64_t *, const char *packet,
                 uint32_t size, uint32_t)
{
    *result = ReferenceHost::fromHeap(&host->hostHeap)->makeXmpRecord(packet, size);
    return *result != nullptr ? 0 : 1;
}

} // namespace zudorhost

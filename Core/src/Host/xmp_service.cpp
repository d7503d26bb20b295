// The XMP slot: each packet becomes a host-owned record, parsed with the XMP toolkit
// (xmp_parsed_*.cpp) or kept as text.
#include <cstring>

#include "xmp_toolkit.h"
#include "zudor_host/host_slots.h"
#include "zudor_host/reference_host.h"

namespace zudorhost {

namespace {

void releaseRecord(HostXmpRecord *record)
{
    freeXmpDocument(record->document);
    delete[] record->packet;
    delete record;
}

} // namespace

XmpInfo *ReferenceHost::makeXmpRecord(const char *packet, uint32_t size)
{
    // size counts the terminator the reader added.
    const uint64_t textBytes = size > 0 ? size - 1 : 0;
    auto *record = new HostXmpRecord{};
    record->magic = kXmpRecordMagic;
    record->mode = static_cast<uint32_t>(mode_);
    record->packetBytes = textBytes;
    record->sequence = records_.size() + 1;
    if (mode_ == XmpMode::Raw) {
        char *copy = new char[textBytes + 1];
        std::memcpy(copy, packet, textBytes);
        copy[textBytes] = '\0';
        record->packet = copy;
    } else {
        record->document = parseXmpDocument(packet, textBytes);
        if (record->document == nullptr) {
            delete record;
            return nullptr;
        }
    }
    records_.push_back(record);
    return reinterpret_cast<XmpInfo *>(record);
}

void ReferenceHost::endDocument()
{
    for (HostXmpRecord *record : records_)
        releaseRecord(record);
    records_.clear();
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

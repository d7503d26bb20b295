// A packet's record: made from a catalogue's rows or a reader process's view, and walked.
#include "records/xmp_record.h"

#include <cstring>

#include "xmp/xmp_toolkit.h"

namespace zudorhost {

void startListing(std::string &block) { block.assign(sizeof(ListingBlock), '\0'); }

void addListedProperty(std::string &block, std::string_view path, std::string_view value)
{
    const uint32_t lengths[2] = {uint32_t(path.size()), uint32_t(value.size())};
    block.append(reinterpret_cast<const char *>(lengths), sizeof lengths);
    block.append(path).push_back('\0');
    block.append(value).push_back('\0');
}

HostXmpRecord listedRecord(std::string &block, uint64_t packetBytes)
{
    const uint64_t bytes = block.size() - sizeof(ListingBlock);
    std::memcpy(&block[0], &bytes, sizeof bytes);
    return HostXmpRecord{kXmpRecordMagic, uint32_t(XmpMode::Parsed), packetBytes, &block[0], nullptr, 0, 1};
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

} // namespace zudorhost

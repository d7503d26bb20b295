// A packet's XMP record as the host hands it to the reader and takes it back: its layout, and
// the walk of its properties that every record writer takes. Here, below the host's services,
// so that what writes and keeps records (the record walk, the catalogue, a reader process's
// view) needs only the record, not the host that makes one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "xmp/xmp_lister.h"
#include "zudor/host.h"
#include "zudor_host/xmp_mode.h"

namespace zudorhost {

// The host's 48-byte XMP record, as the reader hands it back from slot 11. Everything it
// points to belongs to the host and lives until endDocument().
struct HostXmpRecord {
    uint32_t magic;         // kXmpRecordMagic
    uint32_t mode;          // an XmpMode
    uint64_t packetBytes;   // the packet's text, its terminating zero not counted
    void *document;         // the listing (Parsed) or the toolkit's document (Toolkit), else null
    const char *packet;     // the host's copy of the text in raw mode, else null
    uint64_t reserved;      // zero
    uint64_t sequence;      // 1 for the document's first packet, 2 for the next, ...
};
static_assert(sizeof(HostXmpRecord) == sizeof(XmpInfo), "the record fills XmpInfo");
static_assert(offsetof(HostXmpRecord, packetBytes) == 8, "packetBytes at 8");
static_assert(offsetof(HostXmpRecord, document) == 16, "document at 16");
static_assert(offsetof(HostXmpRecord, packet) == 24, "packet at 24");
static_assert(offsetof(HostXmpRecord, reserved) == 32, "reserved at 32");
static_assert(offsetof(HostXmpRecord, sequence) == 40, "sequence at 40");

constexpr uint32_t kXmpRecordMagic = 0x504D5848; // "HXMP" in memory order

// A parsed-mode record's listing: its size, then its bytes.
struct ListingBlock {
    uint64_t bytes;
    const char *data() const { return reinterpret_cast<const char *>(this + 1); }
};

// Visits the simple properties of a packet's record as (path, value) in the toolkit's order,
// with their lengths; the strings are UTF-8 and valid only during the call. A raw record has
// none. (XmpPropertyVisitor is the lister's.)
void forEachXmpProperty(const HostXmpRecord &record, XmpPropertyVisitor visit, void *state);

// A parsed-mode record over properties listed by its caller (a catalogue's rows), walked as the
// lister's own listings are: block holds them, and the caller keeps it while the record is used.
void startListing(std::string &block);
void addListedProperty(std::string &block, std::string_view path, std::string_view value);
HostXmpRecord listedRecord(std::string &block, uint64_t packetBytes);

} // namespace zudorhost

// The reference host, the library's own: the services a host hands the reader (heap, time conversion, XMP),
// implemented over the C allocator and the host's own XMP lister (or, when asked, the XMP
// toolkit). One host serves one thread; give each worker its own.
#pragma once

#include <cstdint>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "zudor/host.h"
#include "zudor_host/driver.h"

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

struct Arena;
struct XmpReading;

// What went wrong in the host's services during a document, kept so that a record can say why
// it is not complete: the first request refused, and the XMP packets turned down.
struct HostNotes {
    bool refused = false;     // a request was refused
    bool outOfMemory = false; // ... because the system had no memory for it, not by the cap
    int64_t asked = 0;        // its size in bytes; negative: a size that overflowed
    int64_t cap = 0;          // the largest request granted then
    uint64_t xmpTurnedDown = 0;       // packets that did not parse (or list within the cap)
    uint64_t xmpTurnedDownBytes = 0;  // the first one's size
    bool xmpTooLarge = false;         // the first one's listing outgrew the cap
    bool xmpStoppedReader = false;    // one was turned down as the reader handed it over
};

class ReferenceHost {
public:
    explicit ReferenceHost(XmpMode mode = XmpMode::Parsed,
                           int64_t maxRequest = kDefaultMaxRequest);
    ~ReferenceHost();
    ReferenceHost(const ReferenceHost &) = delete;
    ReferenceHost &operator=(const ReferenceHost &) = delete;

    HostServices *services() { return &services_; }
    XmpMode xmpMode() const { return mode_; }
    int64_t maxRequest() const { return maxRequest_; }
    void setMaxRequest(int64_t bytes) { maxRequest_ = bytes; }

    // What went wrong since the document began; cleared by endDocument().
    const HostNotes &notes() const { return notes_; }
    void noteRefusal(int64_t asked, bool outOfMemory);
    void noteTurnedDown(uint64_t packetBytes, bool tooLarge, bool stoppedReader);

    // Releases every XMP record made since the last call, the ones a later packet replaced
    // in the reader's context among them, and takes back the document's heap blocks at once:
    // call it only after the reader's context is freed.
    void endDocument();

    // The record behind an XmpInfo the reader handed over, or null when it is not one of
    // this host's live records (all zero, say). In parsed mode the packet is read here, when
    // it has not been (see claimXmpRecords), and the record is the listing's; null when the
    // lister turned down the packet and every one before it since the last hand-over.
    const HostXmpRecord *recordOf(const XmpInfo &info);

    // Says that the reader has handed over its XMP record: every record made so far stays
    // until endDocument(). Until then, a packet's record replaces the previous one made since
    // the last claim, which only the reader's context held and which it drops for the new
    // one, so a document of many packets keeps one at a time, not all of them. In parsed mode
    // the packets wait unread until then and are read newest first until one lists, as the
    // reader keeps the last packet the service did not turn down.
    void claimXmpRecords();

    // Called by the XMP slot.
    XmpInfo *makeXmpRecord(const char *packet, uint32_t size);

    // Allocator state, reached from the heap slots through hostHeap.
    static ReferenceHost *fromHeap(void *heap) { return *static_cast<ReferenceHost **>(heap); }
    Arena &arena() { return *arena_; }

private:
    bool fillXmpRecord(HostXmpRecord &record, const char *packet, uint64_t textBytes);
    XmpReading &xmpReading();
    HostXmpRecord *readPacket(const HostXmpRecord &face, const char *text);
    HostXmpRecord *readWaiting();
    void dropWaiting();
    void dropOlderRecords();

    HostServices services_;
    XmpMode mode_;
    int64_t maxRequest_;
    HostNotes notes_;
    std::vector<HostXmpRecord *> records_;
    size_t claimed_ = 0;
    uint64_t made_ = 0;
    std::unique_ptr<Arena> arena_;
    std::unique_ptr<XmpReading> xmp_; // the lister and the packets waiting for it, in parsed mode
};

// Visits the simple properties of a packet's record as (path, value) in the toolkit's order,
// with their lengths; the strings are UTF-8 and valid only during the call. A raw record has
// none.
using XmpPropertyVisitor = void (*)(void *state, const char *path, size_t pathLength, const char *value,
                                    size_t valueLength);
void forEachXmpProperty(const HostXmpRecord &record, XmpPropertyVisitor visit, void *state);

// A parsed-mode record over properties listed by its caller (a catalogue's rows), walked as the
// lister's own listings are: block holds them, and the caller keeps it while the record is used.
void startListing(std::string &block);
void addListedProperty(std::string &block, std::string_view path, std::string_view value);
HostXmpRecord listedRecord(std::string &block, uint64_t packetBytes);

} // namespace zudorhost

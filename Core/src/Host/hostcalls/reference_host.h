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

#include "records/xmp_record.h"
#include "zudor/host.h"
#include "zudor_host/stream_counts.h"
#include "zudor_host/xmp_mode.h"

namespace zudorhost {

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

} // namespace zudorhost

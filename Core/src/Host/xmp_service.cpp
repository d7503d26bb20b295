// The XMP slot: each packet becomes a host-owned record, parsed with the XMP toolkit or kept
// as text. The toolkit's error state is per thread and it needs one initialisation per
// process; after that, distinct documents may be parsed on distinct threads at once.
#include <cstring>
#include <iostream>
#include <mutex>
#include <streambuf>

#include <exempi/xmp.h>

#include "arena.h"
#include "zudor_host/host_slots.h"
#include "zudor_host/reference_host.h"

namespace zudorhost {

namespace {

// Swallows what the toolkit writes to std::cerr (a line for every packet that fails to
// parse), so nothing of it reaches the terminal unless the host asks for it.
class DiscardingBuffer : public std::streambuf {
protected:
    int overflow(int c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char *, std::streamsize n) override { return n; }
};


void releaseRecord(HostXmpRecord *record, Arena &arena)
{
    if (record->document != nullptr)
        xmp_free(static_cast<XmpPtr>(record->document));
    if (record->packet != nullptr)
        arena.release(const_cast<char *>(record->packet));
    arena.release(record);
}

} // namespace

bool initXmpToolkit(bool showDiagnostics)
{
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [&] {
        // Never destroyed: std::cerr is flushed after every static object is gone.
        if (!showDiagnostics)
            std::cerr.rdbuf(new DiscardingBuffer);
        ready = xmp_init();
    });
    return ready;
}

// Leaf properties without qualifiers; schema nodes come back with an empty path.
void forEachXmpProperty(const void *document, XmpPropertyVisitor visit, void *state)
{
    XmpIteratorPtr iter = document == nullptr ? nullptr
        : xmp_iterator_new(static_cast<XmpPtr>(const_cast<void *>(document)), nullptr, nullptr,
                           XMP_ITER_OMITQUALIFIERS);
    if (iter == nullptr)
        return;
    XmpStringPtr schema = xmp_string_new();
    XmpStringPtr path = xmp_string_new();
    XmpStringPtr value = xmp_string_new();
    uint32_t options = 0;
    while (xmp_iterator_next(iter, schema, path, value, &options)) {
        const char *name = xmp_string_cstr(path);
        const char *text = xmp_string_cstr(value);
        if (XMP_IS_PROP_SIMPLE(options) && name != nullptr && name[0] != '\0')
            visit(state, name, text != nullptr ? text : "");
    }
    xmp_string_free(value);
    xmp_string_free(path);
    xmp_string_free(schema);
    xmp_iterator_free(iter);
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
        XmpPtr xmp = initXmpToolkit() ? xmp_new_empty() : nullptr;
        if (xmp == nullptr || !xmp_parse(xmp, packet, textBytes)) {
            if (xmp != nullptr)
                xmp_free(xmp);
            arena_->release(record);
            return nullptr;
        }
        record->document = xmp;
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

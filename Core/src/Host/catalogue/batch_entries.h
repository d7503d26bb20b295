// What the workers write of each input for the catalogue's writer: a fixed header, the path,
// a remote object's ETag, and for a document read, its record's walk as events.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "catalogue/catalogue_source.h"
#include "io/remote/url.h"
#include "zudor_host/driver.h"
#include "zudor_host/output_buffer.h"
#include "zudor_host/remote.h"

namespace zudorhost {

enum class EntryKind : uint8_t {
    Record,          // read: the record's events follow
    Skipped,         // read, and no TIFF: skipped
    Unchanged,       // not read: the catalogue's record stands
    UnchangedSkipped // not read: still skipped
};

struct EntryHeader {
    EntryKind kind;
    uint8_t oldSkipped;
    uint16_t etagLength; // a remote object's ETag follows the path
    uint32_t sourceLength;
    int64_t input;
    int64_t order;
    int64_t oldRow;
    uint64_t size;
    int64_t modifiedNs;
    uint64_t inode;
    int64_t takenNs;
};
static_assert(sizeof(EntryHeader) == 64, "a header is copied as it is");
static_assert(offsetof(EntryHeader, input) == 8, "input at 8");

// The header of doc's input, then the path as the walk met it (a URL without its secrets,
// which the fetch has left out already of every document it fetched).
inline EntryKind writeEntryHeader(const DocumentView &doc, OutputBuffer &out, std::string &scratch)
{
    const InputItem &item = *doc.input;
    const bool url = isRemoteInput(item.path);
    if (url)
        scratch = redactUrl(item.path);
    const std::string &path = url ? scratch : item.path;
    EntryHeader header{};
    header.kind = doc.unchanged ? (doc.skipped ? EntryKind::UnchangedSkipped : EntryKind::Unchanged)
                                : (doc.skipped ? EntryKind::Skipped : EntryKind::Record);
    const CatalogueRef &ref = *catalogueRefOf(item);
    header.oldSkipped = ref.skipped;
    header.input = ref.input;
    header.order = ref.order;
    header.oldRow = ref.row;
    header.size = doc.identity.size;
    header.modifiedNs = doc.identity.modifiedNs;
    header.inode = doc.identity.inode;
    header.takenNs = doc.identity.takenNs;
    header.sourceLength = uint32_t(path.size() + item.directory);
    // An ETag too long to keep leaves the object unknown, to be read again next time.
    const std::string &etag = doc.identity.etag;
    if (etag.size() > UINT16_MAX)
        header.takenNs = 0;
    header.etagLength = etag.size() > UINT16_MAX ? 0 : uint16_t(etag.size());
    out.append(reinterpret_cast<const char *>(&header), sizeof header);
    out.append(path.data(), path.size());
    if (item.directory)
        out.push('/'); // sorts where the walk met it
    out.append(etag.data(), header.etagLength);
    return header.kind;
}

} // namespace zudorhost

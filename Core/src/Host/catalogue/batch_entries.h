// What the workers write of each input for the catalogue's writer: a fixed header, the path,
// a remote object's ETag, and for a document read, the text its full-text index takes, then its
// record's walk as events.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "catalogue/source_findings.h"
#include "catalogue/stored_record.h"
#include "io/remote/url.h"
#include "zudor_host/driver.h"
#include "zudor_host/output_buffer.h"
#include "zudor_host/remote.h"

namespace zudorhost {

constexpr uint8_t kOldSkipped = 1, kRecent = 2;

enum class EntryKind : uint8_t {
    Record,          // read: the index's text and the record's events follow
    Skipped,         // read, and no TIFF: skipped
    Unchanged,       // not read: the catalogue's record stands
    UnchangedSkipped // not read: still skipped
};

struct EntryHeader {
    EntryKind kind;
    uint8_t oldSkipped; // kOldSkipped, and kRecent where the file is as its row says, re-read
                        // only because it was modified too recently to trust its time
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
    header.oldSkipped = uint8_t((ref.skipped ? kOldSkipped : 0) |
                                (ref.row != 0 && ref.identity.known() && ref.identity.size == doc.identity.size &&
                                         ref.identity.modifiedNs == doc.identity.modifiedNs &&
                                         ref.identity.inode == doc.identity.inode && ref.identity.etag.empty() &&
                                         doc.identity.etag.empty()
                                     ? kRecent
                                     : 0));
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

// Whether entries hold only inputs that were not read, counting the unchanged documents among
// them: such a batch leaves the catalogue as it is.
inline bool onlyUnchanged(const char *entries, size_t size, uint64_t &unchanged)
{
    uint64_t found = 0;
    for (size_t at = 0; at < size;) {
        EntryHeader header;
        std::memcpy(&header, entries + at, sizeof header);
        if (header.kind != EntryKind::Unchanged && header.kind != EntryKind::UnchangedSkipped)
            return false;
        found += header.kind == EntryKind::Unchanged;
        at += sizeof header + header.sourceLength + header.etagLength;
    }
    unchanged = found;
    return true;
}

// The four columns of the index for fields, as their lengths and their bytes. Made on the
// worker, where the writer's thread would otherwise spend a sixth of its time on them.
inline void writeSearchText(const RecordFields &fields, OutputBuffer &out, std::string (&columns)[4])
{
    searchColumns(fields, columns);
    for (const std::string &column : columns) {
        const auto length = uint32_t(column.size());
        out.append(reinterpret_cast<const char *>(&length), sizeof length);
    }
    for (const std::string &column : columns)
        out.append(column.data(), column.size());
}

// The columns writeSearchText wrote at data; returns the bytes they took.
inline size_t readSearchText(const char *data, std::string_view (&columns)[4])
{
    uint32_t lengths[4];
    std::memcpy(lengths, data, sizeof lengths);
    size_t at = sizeof lengths;
    for (int i = 0; i < 4; ++i) {
        columns[i] = std::string_view(data + at, lengths[i]);
        at += lengths[i];
    }
    return at;
}

} // namespace zudorhost

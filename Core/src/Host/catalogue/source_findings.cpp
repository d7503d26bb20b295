#include "catalogue/source_findings.h"

namespace zudorhost {

bool unchangedSince(const FileIdentity &before, const FileIdentity &now)
{
    // FAT keeps times to 2 s; most file systems stamp from a clock that ticks every few ms.
    constexpr int64_t kCoarsestStampNs = int64_t(2000000000);
    if (!before.known() || !now.known() || before.size != now.size)
        return false;
    if (!before.etag.empty() || !now.etag.empty())
        return before.etag == now.etag;
    return before.modifiedNs == now.modifiedNs && before.inode == now.inode &&
           before.modifiedNs < before.takenNs - kCoarsestStampNs;
}

void PendingChanges::append(PendingChanges &other)
{
    gone.insert(gone.end(), other.gone.begin(), other.gone.end());
    orders.insert(orders.end(), other.orders.begin(), other.orders.end());
    other.gone.clear();
    other.orders.clear();
}

} // namespace zudorhost

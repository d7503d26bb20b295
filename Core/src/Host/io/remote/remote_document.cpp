#include "io/remote/remote_document.h"

#include <algorithm>
#include <cstring>

namespace zudorhost {

void RemoteDocument::addWindow(uint64_t start, std::vector<char> bytes)
{
    if (bytes.empty())
        return;
    uint64_t end = start + bytes.size();
    // The windows that overlap or touch the new one become one with it.
    auto first = std::lower_bound(windows.begin(), windows.end(), start,
                                  [](const FetchedWindow &w, uint64_t at) { return w.end() < at; });
    auto last = first;
    while (last != windows.end() && last->start <= end)
        ++last;
    if (first == last) {
        windows.insert(first, FetchedWindow{start, std::move(bytes)});
        return;
    }
    const uint64_t mergedStart = std::min(start, first->start);
    end = std::max(end, (last - 1)->end());
    std::vector<char> merged(size_t(end - mergedStart));
    for (auto w = first; w != last; ++w)
        std::memcpy(merged.data() + (w->start - mergedStart), w->bytes.data(), w->bytes.size());
    // The new bytes go in last: where they overlap older ones they are the same object's.
    std::memcpy(merged.data() + (start - mergedStart), bytes.data(), bytes.size());
    const auto at = windows.erase(first, last);
    windows.insert(at, FetchedWindow{mergedStart, std::move(merged)});
}

const FetchedWindow *RemoteDocument::covering(uint64_t offset, uint64_t length) const
{
    auto w = std::upper_bound(windows.begin(), windows.end(), offset,
                              [](uint64_t at, const FetchedWindow &x) { return at < x.start; });
    if (w == windows.begin())
        return nullptr;
    --w;
    return offset + length <= w->end() ? &*w : nullptr;
}

WindowPlan planWindow(const RemoteDocument &document, uint64_t offset, uint64_t length)
{
    const uint64_t size = document.size;
    const uint64_t window = std::min<uint64_t>(uint64_t(kLaterWindowBytes) << (document.misses / 4),
                                               kLargestWindowBytes);
    WindowPlan plan;
    if (length >= window) {
        plan.start = offset;
        plan.length = std::min(length, size - std::min(size, offset));
        return plan;
    }
    // The read in the middle, moved inside the document where it ends or starts near an edge.
    const uint64_t before = (window - length) / 2;
    uint64_t start = offset > before ? offset - before : 0;
    uint64_t end = std::min(size, start + window);
    start = end > window ? std::min(start, end - window) : 0;
    // Bytes already held at either end of the window are not fetched again.
    for (const FetchedWindow &w : document.windows) {
        if (w.start <= start && w.end() > start && w.end() <= offset)
            start = w.end();
        if (w.start < end && w.end() >= end && w.start >= offset + length)
            end = w.start;
    }
    plan.start = start;
    plan.length = end > start ? end - start : 0;
    return plan;
}

} // namespace zudorhost

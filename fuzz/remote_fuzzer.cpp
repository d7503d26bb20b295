// What a server answers is hostile input too: S3 listings (XML, URL-encoded keys), the
// Content-Range and Retry-After fields, URLs and what is shown of them, and the windows a
// document's reads are planned and served through. The first byte picks the part.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "io/remote/http_fields.h"
#include "io/remote/remote_document.h"
#include "io/remote/s3_listing.h"
#include "io/remote/url.h"

using namespace zudorhost;

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

void listing(const uint8_t *data, size_t size)
{
    // Cut where the bytes say: expat must take any split of the answer.
    const size_t cut = size == 0 ? 0 : data[0] % size;
    ListingParser parser;
    const char *text = reinterpret_cast<const char *>(data);
    if (parser.feed(text, cut, false))
        parser.feed(text + cut, size - cut, true);
    // Each entry stands for a <Contents> element of the answer.
    check(parser.entries.size() * 10 <= size);
}

void fields(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    ContentRange range;
    if (parseContentRange(text, range))
        check(range.unsatisfied ? range.first == 0 && range.last == 0 : range.first <= range.last && range.last < range.total);
    check(parseRetryAfter(text, 1700000000) >= -1);
    std::string decoded;
    check(percentDecode(percentEncode(text, size > 0 && (data[0] & 1)), decoded, false) && decoded == text);
}

// Whether a parameter of the query, as a server splits it, is one that signs or carries a token.
bool secretShown(const std::string &shown)
{
    const size_t query = shown.find('?');
    if (query == std::string::npos || query > shown.find('#'))
        return false;
    const size_t end = std::min(shown.size(), shown.find('#', query));
    for (size_t start = query + 1; start < end;) {
        const size_t stop = std::min(end, shown.find('&', start));
        std::string name = shown.substr(start, std::min(stop, shown.find('=', start)) - start);
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return char(std::tolower(c)); });
        if (name == "x-amz-signature" || name == "x-amz-credential" || name == "sig" || name == "token")
            return true;
        start = stop + 1;
    }
    return false;
}

void urls(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    const std::string shown = redactUrl(text);
    check(redactUrl(shown) == shown);
    check(!isRemoteInput(text) || !secretShown(shown));
    RemoteUrl url;
    std::string why;
    if (parseRemoteUrl(text, url, why))
        check(url.shown == shown && (url.scheme != UrlScheme::S3 || !url.bucket.empty()));
}

// Windows added and planned in any order must stay sorted, apart, and serve exactly the bytes
// that were added, as a byte map of the document says.
void windows(const uint8_t *data, size_t size)
{
    RemoteDocument doc;
    doc.size = 4096;
    std::vector<int> map(doc.size, -1);
    for (size_t i = 0; i + 4 <= size; i += 4) {
        const uint64_t start = (data[i] | data[i + 1] << 8) % doc.size;
        const uint64_t length = std::min<uint64_t>(data[i + 2] * 8 + 1, doc.size - start);
        if (data[i + 3] & 1) {
            const WindowPlan plan = planWindow(doc, start, length);
            check(plan.start + plan.length <= doc.size);
            check(plan.length == 0 || (plan.start <= start + length && plan.start + plan.length >= start));
            continue;
        }
        std::vector<char> bytes(length, char(data[i + 3]));
        std::fill(map.begin() + long(start), map.begin() + long(start + length), data[i + 3]);
        doc.addWindow(start, std::move(bytes));
        for (size_t w = 0; w < doc.windows.size(); ++w)
            check(w == 0 || doc.windows[w - 1].end() < doc.windows[w].start);
    }
    for (uint64_t at = 0; at < doc.size; ++at) {
        const FetchedWindow *w = doc.covering(at, 1);
        check((w != nullptr) == (map[at] >= 0));
        check(w == nullptr || uint8_t(w->bytes[at - w->start]) == uint8_t(map[at]));
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    switch (data[0] % 4) {
    case 0: listing(data + 1, size - 1); break;
    case 1: fields(data + 1, size - 1); break;
    case 2: urls(data + 1, size - 1); break;
    default: windows(data + 1, size - 1); break;
    }
    return 0;
}

#include "io/remote/object_fetch.h"

#include <algorithm>
#include <functional>

#include "io/remote/aws_config.h"
#include "io/remote/http_fields.h"
#include "io/remote/sigv4.h"
#include "platform/system.h"

namespace zudorhost {

namespace {

// A listing page is read whole before its keys are taken; S3 pages are about 300 KB.
constexpr uint64_t kListingBytes = 32 << 20;

std::string rangeHeader(uint64_t start, uint64_t length)
{
    return "Range: bytes=" + std::to_string(start) + "-" + std::to_string(start + length - 1);
}

} // namespace

// Where S3 requests go and how each attempt is signed, resolved at the first S3 request.
struct S3Access {
    S3Settings settings;
    std::unique_ptr<SigV4Signer> signer;

    S3Access(bool noSignRequest) : settings(resolveS3Settings(processAwsSources(), noSignRequest))
    {
        if (settings.sign && settings.problem.empty())
            signer = std::make_unique<SigV4Signer>(settings.credentials, settings.region, "s3");
    }

    // Signs each attempt afresh: its time is part of the signature.
    std::function<void(std::vector<std::string> &)> signing(const std::string &host, const std::string &path,
                                                              std::vector<std::pair<std::string, std::string>> query)
    {
        if (!signer)
            return nullptr;
        SigV4Signer *with = signer.get();
        return [with, host, path, query](std::vector<std::string> &headers) {
            SignableRequest request;
            request.host = host;
            request.canonicalPath = path;
            request.query = query;
            for (std::string &line : with->sign(request, amzDate(os::native().wallClockNs() / 1000000000)))
                headers.push_back(std::move(line));
        };
    }
};

ObjectFetcher::ObjectFetcher(const RemoteOptions &options, RemoteCounters &counters)
    : options_(options), transfers_(transferOptions(options), counters)
{
}

ObjectFetcher::~ObjectFetcher() = default;

const std::string &ObjectFetcher::s3Problem()
{
    if (!s3_)
        s3_ = std::make_unique<S3Access>(options_.noSignRequest);
    return s3_->settings.problem;
}

void ObjectFetcher::fetchWindow(WindowFetch &f)
{
    Transfer &t = f.transfer;
    t = Transfer{};
    t.owner = &f;
    f.failure.clear();
    t.keepLimit = f.length;
    t.headers.push_back(rangeHeader(f.start, f.length));
    if (!f.first) {
        // Every later range must come from the object the first answer came from. A weak
        // ETag never matches If-Match, which compares strongly: the date serves then, and
        // the answer's ETag is compared all the same.
        const std::string &etag = f.document->etag;
        if (!etag.empty() && etag.compare(0, 2, "W/") != 0)
            t.headers.push_back("If-Match: " + etag);
        else if (!f.document->lastModified.empty())
            t.headers.push_back("If-Unmodified-Since: " + f.document->lastModified);
    }
    if (f.url->scheme == UrlScheme::S3) {
        s3Problem();
        const S3Location where = locateBucket(s3_->settings, f.url->bucket);
        const std::string key = percentEncode(f.url->key, true);
        t.url = where.base + key;
        t.sign = s3_->signing(where.host, where.pathPrefix + key, {});
        t.followRedirects = false;
    } else {
        t.url = f.first || f.fetchUrl.empty() ? f.url->text : f.fetchUrl;
    }
    transfers_.start(&t);
}

void ObjectFetcher::fetchListingPage(ListingFetch &f)
{
    s3Problem();
    const S3Location where = locateBucket(s3_->settings, f.url->bucket);
    // The bucket itself, without the slash a key would follow.
    const std::string path =
        where.pathPrefix.size() > 1 ? where.pathPrefix.substr(0, where.pathPrefix.size() - 1) : where.pathPrefix;
    const auto query = listObjectsQuery(f.url->key, f.token);
    std::string url = where.base.substr(0, where.base.size() - where.pathPrefix.size()) + path + "?";
    for (size_t i = 0; i < query.size(); ++i)
        url += (i ? "&" : "") + query[i].first + "=" + query[i].second;
    Transfer &t = f.transfer;
    t = Transfer{};
    t.owner = &f;
    f.failure.clear();
    t.url = url;
    t.sign = s3_->signing(where.host, path, query);
    t.followRedirects = false;
    t.keepLimit = kListingBytes;
    transfers_.start(&t);
}

void ObjectFetcher::poll(std::vector<ObjectFetch *> &done, int timeoutMs)
{
    finished_.clear();
    transfers_.poll(finished_, timeoutMs);
    for (Transfer *t : finished_) {
        auto *fetch = static_cast<ObjectFetch *>(t->owner);
        if (fetch->kind == ObjectFetch::Kind::Window)
            windowAnswered(*static_cast<WindowFetch *>(fetch));
        else
            listingAnswered(*static_cast<ListingFetch *>(fetch));
        done.push_back(fetch);
    }
}

void ObjectFetcher::listingAnswered(ListingFetch &f)
{
    Transfer &t = f.transfer;
    f.more = false;
    if (!t.error.empty() || t.status != 200) {
        f.failure = "cannot list: " + (t.error.empty() ? "HTTP " + std::to_string(t.status) : t.error);
        return;
    }
    ListingParser page;
    if (!page.feed(t.body.data(), t.body.size(), true) || t.cut) {
        f.failure = "cannot list: the listing is malformed";
        return;
    }
    const std::string &prefix = f.url->key;
    for (ListingParser::Entry &e : page.entries)
        if (!e.key.empty() && e.key.back() != '/' && e.key.compare(0, prefix.size(), prefix) == 0)
            f.keys.push_back(std::move(e));
    if (page.truncated) {
        if (page.nextToken.empty() || page.nextToken == f.token) {
            f.failure = "cannot list: the listing gives no way on";
            return;
        }
        f.token = page.nextToken;
        f.more = true;
    }
    t.body = std::vector<char>();
}

namespace {

// The first answer: the size, the first window, and what later ranges must match.
bool takeFirstAnswer(Transfer &t, RemoteDocument &doc, std::string &why)
{
    ContentRange range;
    if (t.status == 416 && parseContentRange(t.contentRange, range) && range.unsatisfied) {
        if (range.total != 0) {
            why = "the server refused the first range";
            return false;
        }
        doc.size = 0; // an empty object
        return true;
    }
    if (!t.error.empty()) {
        why = t.error;
        return false;
    }
    doc.etag = t.etag;
    doc.lastModified = t.lastModified;
    if (t.status == 206) {
        if (!parseContentRange(t.contentRange, range) || range.unsatisfied || range.first != 0 ||
            t.body.size() != range.last + 1) {
            why = "the server's answer to a range request is malformed";
            return false;
        }
        doc.size = range.total;
    } else if (t.status == 200) {
        // The whole object came for a range: keep the window's worth and drop the rest.
        doc.rangesIgnored = true;
        if (!t.cut)
            doc.size = t.body.size();
        else if (!t.contentLength.empty())
            doc.size = std::strtoull(t.contentLength.c_str(), nullptr, 10);
        else {
            why = "the server ignores range requests and does not say how large the file is";
            return false;
        }
        if (doc.size < t.body.size()) {
            why = "truncated response";
            return false;
        }
    } else {
        why = "unexpected answer: HTTP " + std::to_string(t.status);
        return false;
    }
    doc.addWindow(0, std::move(t.body));
    return true;
}

bool takeLaterAnswer(Transfer &t, RemoteDocument &doc, uint64_t wantStart, std::string &why)
{
    if (!t.error.empty()) {
        why = t.error;
        return false;
    }
    ContentRange range;
    if (t.status == 200) {
        why = "the server ignored a range request";
        return false;
    }
    if (t.status != 206 || !parseContentRange(t.contentRange, range) || range.unsatisfied) {
        why = "unexpected answer: HTTP " + std::to_string(t.status);
        return false;
    }
    // A server that does not check If-Match still gives itself away.
    if (range.total != doc.size || (!doc.etag.empty() && !t.etag.empty() && t.etag != doc.etag)) {
        why = "changed while being read";
        return false;
    }
    if (range.first != wantStart || t.body.size() != range.last - range.first + 1) {
        why = "the server's answer to a range request is malformed";
        return false;
    }
    doc.addWindow(range.first, std::move(t.body));
    return true;
}

} // namespace

void ObjectFetcher::windowAnswered(WindowFetch &f)
{
    Transfer &t = f.transfer;
    RemoteDocument &doc = *f.document;
    doc.counts.requests += t.attempts;
    doc.counts.retries += t.attempts - 1;
    doc.counts.bytesFetched += t.received;
    if (f.first)
        f.fetchUrl = t.effectiveUrl;
    f.first ? takeFirstAnswer(t, doc, f.failure) : takeLaterAnswer(t, doc, f.start, f.failure);
    f.first = false;
    t.body = std::vector<char>();
}

} // namespace zudorhost

#include "io/remote/s3_listing.h"

#include <cstdlib>
#include <expat.h>

#include "io/remote/url.h"

namespace zudorhost {
namespace {

bool pathIs(const std::vector<std::string> &path, std::initializer_list<const char *> names)
{
    if (path.size() != names.size())
        return false;
    size_t i = 0;
    for (const char *name : names)
        if (path[i++] != name)
            return false;
    return true;
}

} // namespace

std::vector<std::pair<std::string, std::string>> listObjectsQuery(const std::string &prefix,
                                                                  const std::string &continuationToken)
{
    std::vector<std::pair<std::string, std::string>> query = {
        {"list-type", "2"}, {"encoding-type", "url"}, {"max-keys", "1000"}};
    if (!prefix.empty())
        query.push_back({"prefix", percentEncode(prefix, false)});
    if (!continuationToken.empty())
        query.push_back({"continuation-token", percentEncode(continuationToken, false)});
    return query;
}

ListingParser::ListingParser() : parser_(XML_ParserCreate("UTF-8"))
{
    XML_Parser parser = static_cast<XML_Parser>(parser_);
    XML_SetUserData(parser, this);
    XML_SetElementHandler(parser, onStart, onEnd);
    XML_SetCharacterDataHandler(parser, onText);
}

ListingParser::~ListingParser() { XML_ParserFree(static_cast<XML_Parser>(parser_)); }

bool ListingParser::feed(const char *data, size_t size, bool last)
{
    if (malformed)
        return false;
    if (XML_Parse(static_cast<XML_Parser>(parser_), data, int(size), last) != XML_STATUS_OK)
        malformed = true;
    else if (last)
        finishPage();
    return !malformed;
}

void ListingParser::onStart(void *self, const char *name, const char **)
{
    auto &p = *static_cast<ListingParser *>(self);
    p.path_.emplace_back(name);
    p.text_.clear();
    if (pathIs(p.path_, {"ListBucketResult", "Contents"}))
        p.entries.emplace_back();
}

void ListingParser::onText(void *self, const char *text, int length)
{
    auto &p = *static_cast<ListingParser *>(self);
    // Only leaves matter, and none of them is long; a hostile answer cannot grow this much.
    if (p.text_.size() < 65536)
        p.text_.append(text, size_t(length));
}

void ListingParser::onEnd(void *self, const char *)
{
    auto &p = *static_cast<ListingParser *>(self);
    const std::vector<std::string> &path = p.path_;
    if (pathIs(path, {"ListBucketResult", "Contents", "Key"}) && !p.entries.empty())
        p.entries.back().key = p.text_;
    else if (pathIs(path, {"ListBucketResult", "Contents", "Size"}) && !p.entries.empty())
        p.entries.back().size = std::strtoull(p.text_.c_str(), nullptr, 10);
    else if (pathIs(path, {"ListBucketResult", "Contents", "ETag"}) && !p.entries.empty())
        p.entries.back().etag = p.text_;
    else if (pathIs(path, {"ListBucketResult", "IsTruncated"}))
        p.truncated = p.text_ == "true";
    else if (pathIs(path, {"ListBucketResult", "NextContinuationToken"}))
        p.nextToken = p.text_;
    else if (pathIs(path, {"ListBucketResult", "EncodingType"}))
        p.urlEncoded_ = p.text_ == "url";
    else if (pathIs(path, {"Error", "Code"}))
        p.errorCode = p.text_;
    p.path_.pop_back();
    p.text_.clear();
}

// Keys come URL-encoded only when the store says so: not every S3-compatible store does.
void ListingParser::finishPage()
{
    if (!urlEncoded_)
        return;
    std::string decoded;
    for (Entry &entry : entries) {
        if (!percentDecode(entry.key, decoded, true)) {
            malformed = true;
            return;
        }
        entry.key.swap(decoded);
    }
}

} // namespace zudorhost

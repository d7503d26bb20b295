// ListObjectsV2: the request for one page of keys under a prefix, and the answer's XML
// (a page of keys, or an S3 error document), read with expat as the bytes come.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zudorhost {

// The query of one page: every key under prefix, 1,000 at most, URL-encoded in the answer
// so that any key survives XML. Parameters are encoded as they are sent and signed.
std::vector<std::pair<std::string, std::string>> listObjectsQuery(const std::string &prefix,
                                                                  const std::string &continuationToken);

class ListingParser {
public:
    ListingParser();
    ~ListingParser();
    ListingParser(const ListingParser &) = delete;
    ListingParser &operator=(const ListingParser &) = delete;

    // false once the XML is malformed; last ends the document.
    bool feed(const char *data, size_t size, bool last);

    struct Entry {
        std::string key; // decoded
        uint64_t size = 0;
        std::string etag; // as a GET's ETag header gives it, quotes and all
    };
    std::vector<Entry> entries;
    bool truncated = false;
    std::string nextToken;
    std::string errorCode; // of an <Error> document
    bool malformed = false;

private:
    static void onStart(void *self, const char *name, const char **attributes);
    static void onEnd(void *self, const char *name);
    static void onText(void *self, const char *text, int length);
    void finishPage();

    void *parser_;
    std::vector<std::string> path_;
    std::string text_;
    bool urlEncoded_ = false;
};

} // namespace zudorhost

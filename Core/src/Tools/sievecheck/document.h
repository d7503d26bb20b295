// One document taken through its whole life in the reader, and what came out of it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "zudor/reader.h"
#include "zudor_host/file_stream.h"
#include "zudor_host/reference_host.h"

namespace sievecheck {

using NamedValues = std::vector<std::pair<std::string, std::string>>;

enum class SummaryState { Complete, Partial, None };

struct XmpResult {
    uint64_t packetBytes = 0;
    bool raw = false;
    NamedValues properties; // parsed mode
    std::string packet;     // raw mode
};

struct DocumentResult {
    std::string file;
    std::string error; // empty when the file opened and its header was read
    SummaryState summary = SummaryState::None;
    std::optional<std::string> title;
    std::optional<std::string> author;
    uint64_t createTime = 0; // FILETIME ticks; 0 when the reader gave none
    NamedValues properties;
    std::optional<XmpResult> xmp;
    std::string text; // the reader's text output, in text-output mode
    zudorhost::StreamCounts counts;
};

// Drives documents through one reader table with one host; one per thread.
class DocumentDriver {
public:
    DocumentDriver(const ReaderInterface &table, zudorhost::ReferenceHost &host)
        : table_(table), host_(host), maxRequest_(host.maxRequest()) {}

    DocumentResult summarize(const std::string &path);
    DocumentResult textOutput(const std::string &path);

private:
    bool open(const std::string &path, DocumentResult &result);
    TifContext *allocate(DocumentResult &result);
    void collectSummary(const SummaryInfo &summary, DocumentResult &result);
    void collectXmp(const XmpInfo &info, DocumentResult &result);

    const ReaderInterface &table_;
    zudorhost::ReferenceHost &host_;
    zudorhost::FileStream file_;
    int64_t maxRequest_;
};

} // namespace sievecheck

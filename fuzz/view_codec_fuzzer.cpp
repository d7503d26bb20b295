// What a reader process may send its parent, whoever wrote it: bytes that decode as a view make
// records (the summary and the text record, in JSON) that parse, in valid UTF-8, and encode to a
// view that decodes again with the same fields. Bytes that do not decode are refused, without
// a read past them.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "run/isolation/view_codec.h"
#include "hostcalls/reference_host.h"
#include "zudor_host/record_writers.h"

using namespace zudorhost;

namespace {

std::unique_ptr<RecordWriter> summaries, textRecords;
InputItem input;

[[noreturn]] void fail(const char *what, const std::string &detail)
{
    std::fprintf(stderr, "%s: %s\n", what, detail.c_str());
    std::abort();
}

// One JSON object on a line of its own.
void checkRecord(RecordWriter &writer, const DocumentView &view)
{
    OutputBuffer out;
    writer.write(view, out);
    const std::string line(out.data(), out.size());
    if (line.empty() || line.back() != '\n' || line.find('\n') != line.size() - 1)
        fail("a record that is not one line", line);
    const nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
    if (record.is_discarded() || !record.is_object())
        fail("a record that is not a JSON object in UTF-8", line);
}

bool sameText(const char *a, const char *b) { return a == b || (a && b && std::strcmp(a, b) == 0); }

using Listing = std::vector<std::pair<std::string, std::string>>;

Listing listed(const HostXmpRecord &xmp)
{
    Listing properties;
    forEachXmpProperty(xmp, [](void *state, const char *path, size_t pathLength, const char *value,
                               size_t valueLength) {
        static_cast<Listing *>(state)->emplace_back(std::string(path, pathLength), std::string(value, valueLength));
    }, &properties);
    return properties;
}

bool sameXmp(const HostXmpRecord *a, const HostXmpRecord *b)
{
    if (a == nullptr || b == nullptr)
        return a == b;
    return a->mode == b->mode && a->packetBytes == b->packetBytes && a->sequence == b->sequence &&
           sameText(a->packet, b->packet) && listed(*a) == listed(*b);
}

// The first field in which b differs from a, or null. The strings are compared as C strings
// where the record walk reads them so.
const char *firstDifference(const DocumentView &a, const DocumentView &b)
{
    if (!sameText(a.error, b.error) || a.skipped != b.skipped || a.bigTiff != b.bigTiff)
        return "error, skipped or bigTiff";
    if (a.summary != b.summary || !sameText(a.title, b.title) || !sameText(a.author, b.author) ||
        a.createTime != b.createTime)
        return "summary, title, author or createTime";
    if (a.propertyCount != b.propertyCount)
        return "propertyCount";
    for (size_t i = 0; i < a.propertyCount; ++i)
        if (!sameText(a.properties[i].name, b.properties[i].name) || !sameText(a.properties[i].value, b.properties[i].value))
            return "properties";
    if (!sameXmp(a.xmp, b.xmp))
        return "xmp";
    if ((a.text == nullptr) != (b.text == nullptr) || a.textLength != b.textLength ||
        (a.text && std::memcmp(a.text, b.text, a.textLength) != 0))
        return "text";
    if (a.warningCount != b.warningCount || !std::equal(a.warnings, a.warnings + a.warningCount, b.warnings))
        return "warnings";
    if (a.counts.reads != b.counts.reads || a.counts.seeks != b.counts.seeks || a.counts.bytesRead != b.counts.bytesRead)
        return "counts";
    return nullptr;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    input.path = "fuzzed.tif";
    summaries = summaryWriter(RecordFormat::Json);
    textRecords = textRecordWriter(RecordFormat::Json);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    DocumentView view;
    view.input = &input;
    isolation::DecodedView decoded;
    if (!decoded.decode(reinterpret_cast<const char *>(data), size, view))
        return 0;
    checkRecord(*summaries, view);
    checkRecord(*textRecords, view);

    OutputBuffer encoded;
    isolation::encodeView(view, encoded);
    DocumentView again;
    again.input = &input;
    isolation::DecodedView decodedAgain;
    if (!decodedAgain.decode(encoded.data(), encoded.size(), again))
        fail("a view encoded that does not decode", std::to_string(encoded.size()) + " bytes");
    if (const char *field = firstDifference(view, again))
        fail("a view that decodes again with other fields", field);
    return 0;
}

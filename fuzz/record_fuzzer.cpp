// One document read as every front end reads it, through the reference host's driver: a record
// that is not complete always says why, with a reason of its own (never the sentence for a
// reason the host did not see), in valid UTF-8; and the host's own walk of the directories,
// which gives those reasons, finds no fault in a file the reader read whole. The first byte
// picks the XMP mode and the cap.
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "io/file_stream.h"
#include "run/document_explain.h"
#include "zudor/reader.h"
#include "zudor_host/driver.h"
#include "zudor_host/platform.h"
#include "zudor_host/text_encoding.h"

using namespace zudorhost;

static ReaderInterface table;
static std::unique_ptr<DocumentDriver> drivers[4];

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    std::string ignored; // the same date converts the same way on every machine
    setTimeZone("UTC0", ignored);
    tifGetReaderInterface(&table);
    for (int i = 0; i < 4; ++i) {
        DriverOptions options;
        options.xmpMode = i % 2 == 0 ? XmpMode::Parsed : XmpMode::Raw;
        options.maxRequest = i < 2 ? kDefaultMaxRequest : 4096; // the small cap refuses what grows
        options.anyFile = true;
        drivers[i] = std::make_unique<DocumentDriver>(table, options);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return -1;
    DocumentDriver &driver = *drivers[data[0] % 4];
    InputItem item;
    item.path = "fuzzed.tif";
    const DocumentView &doc = driver.readBytes(item, data + 1, size - 1);
    const bool incomplete = doc.error == nullptr && doc.summary != SummaryState::Complete;
    bool explained = !incomplete;
    for (size_t i = 0; i < doc.warningCount; ++i) {
        const std::string &warning = doc.warnings[i];
        size_t n = warning.size();
        std::string scratch;
        if (asUtf8(warning.data(), n, scratch) != warning.data()) {
            std::fprintf(stderr, "a warning that is not UTF-8: %s\n", warning.c_str());
            std::abort();
        }
        explained = explained || warning != "the reader gave no summary, for a reason the host did not see";
    }
    if (!explained) {
        std::fprintf(stderr, "a %s record without a reason of its own\n", summaryName(doc.summary));
        std::abort();
    }
    if (doc.error == nullptr && doc.summary == SummaryState::Complete) {
        FileStream stream;
        stream.openMemory(data + 1, size - 1);
        const std::string fault = firstDirectoryFault(stream.stream(), size - 1);
        if (!fault.empty()) {
            std::fprintf(stderr, "a complete record, yet the host's walk finds: %s\n", fault.c_str());
            std::abort();
        }
    }
    driver.finish();
    return 0;
}

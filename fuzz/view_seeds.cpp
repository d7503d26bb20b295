// Writes the views reader processes send for documents, encoded as they send them: the seeds of
// view_codec_fuzzer. Each document is read in parsed mode, in raw mode under a small cap (which
// refuses what grows, so some views carry warnings), and for its text record.
//   view_seeds DIR FILE...
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "run/isolation/view_codec.h"
#include "zudor/reader.h"
#include "zudor_host/driver.h"

using namespace zudorhost;

namespace {

struct Way {
    const char *name;
    XmpMode mode;
    int64_t maxRequest;
    Retrieval retrieval;
};

const Way kWays[] = {
    {"parsed", XmpMode::Parsed, kDefaultMaxRequest, Retrieval::Summary},
    {"raw-capped", XmpMode::Raw, 4096, Retrieval::Summary},
    {"text", XmpMode::Parsed, kDefaultMaxRequest, Retrieval::TextRecord},
};

bool writeFile(const std::string &path, const OutputBuffer &bytes)
{
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f) != 0) {
        std::perror(path.c_str());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: view_seeds DIR FILE...\n");
        return 2;
    }
    ReaderInterface table;
    tifGetReaderInterface(&table);
    int written = 0;
    for (const Way &way : kWays) {
        DriverOptions options;
        options.xmpMode = way.mode;
        options.maxRequest = way.maxRequest;
        options.retrieval = way.retrieval;
        options.anyFile = true;
        DocumentDriver driver(table, options);
        for (int i = 2; i < argc; ++i) {
            std::ifstream in(argv[i], std::ios::binary);
            if (!in) {
                std::fprintf(stderr, "cannot read %s\n", argv[i]);
                return 1;
            }
            const std::vector<char> document{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
            InputItem item;
            item.path = argv[i];
            OutputBuffer encoded;
            isolation::encodeView(driver.readBytes(item, document.data(), document.size()), encoded);
            driver.finish();
            const std::string name = std::string(argv[i]).substr(std::string(argv[i]).find_last_of('/') + 1);
            if (!writeFile(std::string(argv[1]) + "/" + way.name + "-" + name, encoded))
                return 1;
            ++written;
        }
    }
    std::printf("%d seed views in %s\n", written, argv[1]);
    return 0;
}

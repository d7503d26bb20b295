// Every packet under the paths given lists the same under the host's lister and under the
// XMP toolkit: the packets the reader hands the XMP service for each TIFF file, and each
// .xmp file as a packet of its own. Prints a report of each difference and the totals; exits
// 1 on any difference, 77 (skipped) when the first path does not exist.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "reader_fixture.h"
#include "test_host.h"
#include "xmp_toolkit_oracle.h"
#include "zudor/reader.h"

namespace fs = std::filesystem;

namespace {

std::vector<uint8_t> readFile(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool isTiff(const std::vector<uint8_t> &bytes)
{
    return bytes.size() >= 4 && ((bytes[0] == 'I' && bytes[1] == 'I' && bytes[2] == 42 && bytes[3] == 0) ||
                                 (bytes[0] == 'M' && bytes[1] == 'M' && bytes[2] == 0 && bytes[3] == 42));
}

// The texts the reader hands the XMP service while it reads the document.
std::vector<std::string> packetsOf(const std::vector<uint8_t> &document)
{
    const ReaderInterface &reader = testhost::reader();
    testhost::TestHost host;
    testhost::MemoryStream stream(document);
    uint32_t status = 0;
    TifContext *ctx = reader.allocateContext(1, 2, &status, host.services(), 3);
    if (ctx != nullptr) {
        SummaryInfo summary;
        if (reader.initDoc(ctx, 0, 0, stream.stream()) == TIF_STATUS_OK) {
            reader.getSummaryInfo(ctx, &summary, 0);
            reader.getSummaryInfo(ctx, nullptr, 1);
        }
        reader.freeContext(ctx);
    }
    std::vector<std::string> packets;
    for (const auto &call : host.xmpCalls)
        packets.push_back(call.packet.substr(0, call.packet.empty() ? 0 : call.packet.size() - 1));
    return packets;
}

struct Totals {
    size_t files = 0, packets = 0, listed = 0, refused = 0, threw = 0, differ = 0, properties = 0, direct = 0;
};

void check(const std::string &name, const std::string &packet, Totals &totals)
{
    ++totals.packets;
    const xmporacle::Listing toolkit = xmporacle::toolkitListing(packet.data(), packet.size());
    const xmporacle::Listing lister = xmporacle::listerListing(packet.data(), packet.size());
    totals.listed += toolkit.status == xmporacle::Listing::Listed;
    totals.refused += toolkit.status == xmporacle::Listing::Refused;
    totals.threw += toolkit.status == xmporacle::Listing::Threw;
    totals.properties += size_t(std::count(lister.bytes.begin(), lister.bytes.end(), '\0') / 2);
    std::string difference = xmporacle::compare(toolkit, lister);
    if (difference.empty())
        difference = xmporacle::quickAgainstExpat(packet.data(), packet.size());
    bool direct = false;
    if (difference.empty())
        difference = xmporacle::directAgainstTrees(packet.data(), packet.size(), &direct);
    totals.direct += direct;
    if (difference.empty())
        return;
    if (++totals.differ <= 20)
        std::printf("DIFFERENT %s (%zu bytes)\n%s\n", name.c_str(), packet.size(), difference.c_str());
}

void checkFile(const fs::path &path, Totals &totals)
{
    const std::vector<uint8_t> bytes = readFile(path);
    ++totals.files;
    if (isTiff(bytes)) {
        const std::vector<std::string> packets = packetsOf(bytes);
        for (size_t i = 0; i < packets.size(); ++i)
            check(path.string() + " packet " + std::to_string(i + 1), packets[i], totals);
    } else if (path.extension() == ".xmp") {
        check(path.string(), std::string(bytes.begin(), bytes.end()), totals);
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PATH...\n", argv[0]);
        return 2;
    }
    if (!fs::exists(argv[1])) {
        std::printf("%s is missing: skipped\n", argv[1]);
        return 77;
    }
    Totals totals;
    for (int i = 1; i < argc; ++i) {
        std::vector<fs::path> files;
        if (fs::is_directory(argv[i])) {
            for (const auto &entry : fs::recursive_directory_iterator(argv[i]))
                if (entry.is_regular_file())
                    files.push_back(entry.path());
            std::sort(files.begin(), files.end());
        } else {
            files.push_back(argv[i]);
        }
        for (const fs::path &file : files)
            checkFile(file, totals);
    }
    std::printf("%zu files, %zu packets: %zu listed (%zu properties; %zu read directly), %zu refused, %zu where the "
                "toolkit threw; %zu different\n",
                totals.files, totals.packets, totals.listed, totals.properties, totals.direct, totals.refused, totals.threw,
                totals.differ);
    return totals.differ == 0 && totals.packets > 0 ? 0 : 1;
}

// In-process comparison: the module's walk over documents held in memory, against libtiff
// reading the same bytes through TIFFClientOpen. Both sides fetch the same things: every
// directory, the eleven textual tags and the XMP packet.
//
//   zudor_inprocess --corpus DIR --scaling DIR [Google Benchmark flags]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <type_traits>
#include <vector>

#include <benchmark/benchmark.h>
#include <tiffio.h>

#include "zudor/reader.h"
#include "hostcalls/reference_host.h"

namespace {

namespace fs = std::filesystem;

struct Document {
    std::string name;
    std::vector<uint8_t> bytes;
    uint64_t ifds = 0;
    uint64_t entries = 0;
};

using DocumentSet = std::vector<Document>;

// Counts the chain's IFDs and their entries, for the per-IFD and per-entry figures.
void countLayout(Document &doc)
{
    const std::vector<uint8_t> &b = doc.bytes;
    if (b.size() < 8)
        return;
    const bool little = b[0] == 'I';
    auto u16 = [&](size_t at) { return little ? b[at] | b[at + 1] << 8 : b[at] << 8 | b[at + 1]; };
    auto u32 = [&](size_t at) {
        return little ? uint32_t(u16(at)) | uint32_t(u16(at + 2)) << 16
                      : uint32_t(u16(at)) << 16 | uint32_t(u16(at + 2));
    };
    for (uint64_t offset = u32(4); offset != 0 && offset + 2 <= b.size();) {
        const uint64_t n = u16(offset);
        const uint64_t next = offset + 2 + 12 * n;
        ++doc.ifds;
        doc.entries += n;
        if (next + 4 > b.size())
            break;
        offset = u32(next);
    }
}

DocumentSet load(const std::vector<fs::path> &paths)
{
    DocumentSet set;
    for (const fs::path &path : paths) {
        std::ifstream in(path, std::ios::binary);
        Document doc;
        doc.name = path.filename().string();
        doc.bytes.assign(std::istreambuf_iterator<char>(in), {});
        countLayout(doc);
        set.push_back(std::move(doc));
    }
    return set;
}

std::vector<fs::path> filesIn(const fs::path &dir, const std::string &prefix)
{
    std::vector<fs::path> found;
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(dir, ec))
        if (entry.is_regular_file() && entry.path().filename().string().rfind(prefix, 0) == 0)
            found.push_back(entry.path());
    std::sort(found.begin(), found.end());
    return found;
}

// --- the module, through a memory stream and the reference host -------------------------

struct MemoryStream {
    InputStream record; // first, so the reader's stream pointer is ours
    const uint8_t *data;
    uint64_t size;
    uint64_t position;
    uint64_t reads, seeks, bytes;
};

uint32_t memoryRead(InputStream *stream, void *buffer, uint32_t count)
{
    auto *m = reinterpret_cast<MemoryStream *>(stream);
    ++m->reads;
    const uint64_t available = m->position < m->size ? m->size - m->position : 0;
    const uint32_t n = uint32_t(std::min<uint64_t>(count, available));
    if (n != 0)
        std::memcpy(buffer, m->data + m->position, n);
    m->position += n;
    m->bytes += n;
    return n;
}

int32_t memorySeek(InputStream *stream, uint32_t offset, uint32_t)
{
    auto *m = reinterpret_cast<MemoryStream *>(stream);
    ++m->seeks;
    m->position = offset;
    return 0;
}

struct ModuleReader {
    ReaderInterface table{};
    // Raw packets: the host keeps a copy, as libtiff does, and parses nothing.
    zudorhost::ReferenceHost host{zudorhost::XmpMode::Raw};
    MemoryStream stream{};
    uint64_t found = 0;
    std::string problem; // never set: the module reads every document it is given

    ModuleReader()
    {
        tifGetReaderInterface(&table);
        stream.record.streamRead = memoryRead;
        stream.record.streamSeek = memorySeek;
    }

    bool read(const Document &doc)
    {
        stream.data = doc.bytes.data();
        stream.size = doc.bytes.size();
        stream.position = 0;
        uint32_t status = 0;
        TifContext *ctx = table.allocateContext(0, 0, &status, host.services(), 0);
        SummaryInfo summary{};
        XmpInfo xmp{};
        if (table.initDoc(ctx, 0, 0, &stream.record) == TIF_STATUS_OK) {
            table.getSummaryInfo(ctx, &summary, 0);
            table.getXmpInfo(ctx, &xmp, 0);
            found += summary.properties != nullptr ? uint64_t(summary.properties->count) : 0;
            found += summary.title != nullptr;
        }
        table.getSummaryInfo(ctx, &summary, 1);
        table.freeContext(ctx);
        host.endDocument();
        return true;
    }
};

// --- libtiff over the same bytes ----------------------------------------------------------

struct MemoryFile {
    const uint8_t *data;
    toff_t size;
    toff_t position;
};

tmsize_t tiffRead(thandle_t h, void *buffer, tmsize_t n)
{
    auto *f = static_cast<MemoryFile *>(h);
    const toff_t available = f->position < f->size ? f->size - f->position : 0;
    const tmsize_t got = tmsize_t(std::min<toff_t>(toff_t(n), available));
    if (got > 0)
        std::memcpy(buffer, f->data + f->position, size_t(got));
    f->position += toff_t(got);
    return got;
}

tmsize_t tiffWrite(thandle_t, void *, tmsize_t) { return 0; }

toff_t tiffSeek(thandle_t h, toff_t offset, int whence)
{
    auto *f = static_cast<MemoryFile *>(h);
    if (whence == SEEK_CUR)
        offset += f->position;
    else if (whence == SEEK_END)
        offset += f->size;
    f->position = offset;
    return offset;
}

int tiffClose(thandle_t) { return 0; }
toff_t tiffSize(thandle_t h) { return static_cast<MemoryFile *>(h)->size; }

// libtiff reads straight from the bytes, as it does from a mapped file: its fastest way.
int tiffMap(thandle_t h, void **base, toff_t *size)
{
    auto *f = static_cast<MemoryFile *>(h);
    *base = const_cast<uint8_t *>(f->data);
    *size = f->size;
    return 1;
}

void tiffUnmap(thandle_t, void *, toff_t) {}

constexpr ttag_t kTextTags[] = {
    TIFFTAG_DOCUMENTNAME, TIFFTAG_IMAGEDESCRIPTION, TIFFTAG_MAKE, TIFFTAG_MODEL,
    TIFFTAG_SOFTWARE, TIFFTAG_DATETIME, TIFFTAG_ARTIST, TIFFTAG_HOSTCOMPUTER,
    TIFFTAG_INKNAMES, TIFFTAG_TARGETPRINTER, TIFFTAG_COPYRIGHT};

struct LibtiffReader {
    uint64_t found = 0;
    std::string problem; // why read() last returned false

    // false when libtiff refuses the file (it takes no IFD of more than 4,096 entries) or
    // stops before the chain's last IFD: its time would be that of reading less.
    bool read(const Document &doc)
    {
        MemoryFile file{doc.bytes.data(), doc.bytes.size(), 0};
        TIFF *tif = TIFFClientOpen("memory", "r", &file, tiffRead, tiffWrite, tiffSeek, tiffClose,
                                   tiffSize, tiffMap, tiffUnmap);
        if (tif == nullptr) {
            problem = "refused " + doc.name;
            return false;
        }
        uint64_t directories = 0;
        do {
            ++directories;
            for (ttag_t tag : kTextTags) {
                const char *value = nullptr;
                if (TIFFGetField(tif, tag, &value) == 1 && value != nullptr)
                    ++found;
            }
            uint32_t length = 0;
            const void *packet = nullptr;
            if (TIFFGetField(tif, TIFFTAG_XMLPACKET, &length, &packet) == 1)
                benchmark::DoNotOptimize(packet);
        } while (TIFFReadDirectory(tif));
        TIFFClose(tif);
        if (directories != doc.ifds) {
            problem = "read " + std::to_string(directories) + " of the " + std::to_string(doc.ifds) +
                      " IFDs of " + doc.name;
            return false;
        }
        return true;
    }
};

template <typename Reader>
void readAll(benchmark::State &state, const DocumentSet *set)
{
    uint64_t ifds = 0, entries = 0;
    for (const Document &doc : *set)
        ifds += doc.ifds, entries += doc.entries;
    Reader check;
    for (const Document &doc : *set)
        if (!check.read(doc)) {
            state.SkipWithError((check.problem.empty() ? "cannot read " + doc.name : check.problem).c_str());
            return;
        }
    Reader reader;
    for (auto _ : state)
        for (const Document &doc : *set)
            reader.read(doc);
    benchmark::DoNotOptimize(reader.found);
    using benchmark::Counter;
    const auto perItem = Counter::kIsIterationInvariantRate | Counter::kInvert;
    state.counters["s_per_doc"] = Counter(double(set->size()), perItem);
    state.counters["s_per_ifd"] = Counter(double(ifds), perItem);
    state.counters["s_per_entry"] = Counter(double(entries), perItem);
    state.counters["docs"] = double(set->size());
    state.counters["ifds"] = double(ifds);
    state.counters["entries"] = double(entries);
    if constexpr (std::is_same_v<Reader, ModuleReader>) {
        const double calls = double(state.iterations()) * double(set->size());
        state.counters["reads_per_doc"] = double(reader.stream.reads) / calls;
        state.counters["seeks_per_doc"] = double(reader.stream.seeks) / calls;
        state.counters["bytes_per_doc"] = double(reader.stream.bytes) / calls;
    }
}

std::deque<DocumentSet> gSets; // kept alive, and in place, for the registered benchmarks

void registerSet(const std::string &name, DocumentSet set)
{
    if (set.empty())
        return;
    gSets.push_back(std::move(set));
    const DocumentSet *kept = &gSets.back();
    benchmark::RegisterBenchmark(("zudor/" + name).c_str(), readAll<ModuleReader>, kept);
    benchmark::RegisterBenchmark(("libtiff/" + name).c_str(), readAll<LibtiffReader>, kept);
}

} // namespace

int main(int argc, char **argv)
{
    // As sievecheck does: with TZ unset the C library rereads the zone file at every mktime.
    setenv("TZ", ":/etc/localtime", 0);
    benchmark::Initialize(&argc, argv);
    fs::path corpus, scaling;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--corpus") == 0)
            corpus = argv[i + 1];
        else if (std::strcmp(argv[i], "--scaling") == 0)
            scaling = argv[i + 1];
        else {
            std::fprintf(stderr, "usage: %s --corpus DIR --scaling DIR [benchmark flags]\n", argv[0]);
            return 2;
        }
    }
    TIFFSetWarningHandler(nullptr);
    TIFFSetErrorHandler(nullptr);

    if (!corpus.empty()) {
        const auto all = filesIn(corpus, "");
        const auto small = filesIn(corpus, "doc-");
        const auto big = filesIn(corpus, "pages-");
        registerSet("corpus", load(all));
        registerSet("small", load(small));
        registerSet("pages", load(big));
    }
    if (!scaling.empty())
        for (const char *kind : {"chain-", "wide-"}) {
            auto files = filesIn(scaling, kind);
            // By size, so the curve reads from left to right.
            std::sort(files.begin(), files.end(), [](const fs::path &a, const fs::path &b) {
                return fs::file_size(a) < fs::file_size(b);
            });
            for (const fs::path &file : files)
                registerSet(file.stem().string(), load({file}));
        }
    if (gSets.empty()) {
        std::fprintf(stderr, "nothing to measure: give --corpus and/or --scaling\n");
        return 2;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

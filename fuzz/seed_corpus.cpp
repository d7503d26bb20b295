// Writes the seed documents: both byte orders, every dispatched tag, inline and out-of-line
// values, chains, loops, XMP packets small and large, hostile counts and truncations.
//   seed_corpus DIR            plain TIFF files (for the tools)
//   seed_corpus DIR --script   each behind a neutral script prefix (for document_fuzzer)
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "fuzz_script.h"
#include "tiff_builder.h"

using namespace testhost;

namespace {

using Bytes = std::vector<uint8_t>;

const char *kPacket =
    "<?xpacket begin=\"\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?><x:xmpmeta xmlns:x=\"adobe:ns:meta/\">"
    "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description "
    "rdf:about=\"\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\"><dc:format>image/tiff"
    "</dc:format></rdf:Description></rdf:RDF></x:xmpmeta><?xpacket end=\"r\"?>";

// Every tag the walk dispatches, short values inline and long ones stored after the IFD.
TiffBuilder &everyTag(TiffBuilder &b)
{
    return b.ascii(269, "Document").ascii(270, "desc").ascii(271, "Mk").ascii(272, "Model X")
        .ascii(305, "sw").ascii(306, "2024:02:29 13:45:00").ascii(315, "Artist")
        .ascii(316, "host").ascii(333, "cmyk").ascii(337, "pr").ascii(33432, "(c) nobody");
}

struct Seed {
    const char *name;
    std::function<void(TiffBuilder &)> build;
    size_t keep = SIZE_MAX; // cut to this many bytes
};

const Seed kSeeds[] = {
    {"every-tag", [](TiffBuilder &b) { everyTag(b); }},
    {"repeats", [](TiffBuilder &b) {
         b.ascii(269, "one").ascii(269, "two").ascii(306, "2001:01:01 00:00:00").ascii(306, "2002:02:02 02:02:02")
             .ascii(315, "first").ascii(315, "second");
     }},
    {"chain", [](TiffBuilder &b) { everyTag(b.ascii(271, "a").ifd().ascii(272, "bb").raw(256, kLong, 1, 640).ifd()); }},
    {"long-loop", [](TiffBuilder &b) {
         for (uint32_t i = 0; i < 40; ++i)
             b.ifd().raw(256, kLong, 1, i);
         b.ascii(305, "sw").linkTo(20);
     }},
    {"pair-loop", [](TiffBuilder &b) { b.ascii(305, "s").ifd().ascii(316, "h").linkTo(0); }},
    {"xmp-packet", [](TiffBuilder &b) { b.ascii(271, "m").bytes(700, kUndefined, kPacket, true); }},
    {"xmp-large", [](TiffBuilder &b) { b.bytes(700, kUndefined, kPacket + std::string(70000, ' ')); }},
    {"xmp-ascii-two-ifds", [](TiffBuilder &b) { b.bytes(700, kAscii, kPacket).ifd().bytes(700, kUndefined, "<x/>"); }},
    {"bad-dates", [](TiffBuilder &b) {
         b.ascii(306, "2024:13:45 99:99:99").ascii(306, "1969:12:31 23:59:59").ifd().ascii(306, "abc")
             .bytes(306, kUndefined, std::string("2024:01:01 00:00:00\0", 20));
     }},
    {"odd-values", [](TiffBuilder &b) {
         b.bytes(270, kAscii, std::string("\0AB\0", 4)).bytes(271, kAscii, "").bytes(272, kAscii, "no-nul")
             .bytes(285, kAscii, std::string(300, 'p'));
     }},
    {"empty-ifd", [](TiffBuilder &b) { b.ifd().ifd().ascii(271, "m"); }},
    {"hostile-counts", [](TiffBuilder &b) {
         b.ascii(271, "m").raw(272, kAscii, 0xFFFFFFFF, 8).raw(700, kUndefined, 0x7FFFFFFF, 8);
     }},
    {"past-the-end", [](TiffBuilder &b) { b.ascii(271, "m").raw(272, kAscii, 9, 0xFFFFFFF0).nextOffset(1 << 20); }},
    {"cut-entries", [](TiffBuilder &b) { everyTag(b); }, 8 + 2 + 12 * 5 + 3},
};

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || (argc == 3 && std::strcmp(argv[2], "--script") != 0) || argc > 3) {
        std::fprintf(stderr, "usage: seed_corpus DIR [--script]\n");
        return 2;
    }
    const bool script = argc == 3;
    int written = 0;
    for (const Seed &seed : kSeeds) {
        for (bool le : {true, false}) {
            TiffBuilder b(le);
            seed.build(b);
            Bytes bytes = b.build();
            bytes.resize(std::min(bytes.size(), seed.keep));
            if (script)
                bytes.insert(bytes.begin(), kNeutralScript, kNeutralScript + kScriptBytes);
            const std::string path = std::string(argv[1]) + "/" + (le ? "ii-" : "mm-") + seed.name + ".tif";
            std::FILE *f = std::fopen(path.c_str(), "wb");
            if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f) != 0) {
                std::perror(path.c_str());
                return 1;
            }
            ++written;
        }
    }
    std::printf("%d seed documents in %s\n", written, argv[1]);
    return 0;
}

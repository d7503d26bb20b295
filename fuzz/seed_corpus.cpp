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
    std::function<Bytes(bool littleEndian)> make;
};

Bytes built(bool le, const std::function<void(TiffBuilder &)> &build)
{
    TiffBuilder b(le);
    build(b);
    return b.build();
}

Bytes cut(Bytes bytes, size_t length)
{
    bytes.resize(std::min(length, bytes.size()));
    return bytes;
}

const std::vector<Seed> &seeds()
{
    static const std::vector<Seed> all = {
        {"every-tag", [](bool le) { return built(le, [](TiffBuilder &b) { everyTag(b); }); }},
        {"repeats", [](bool le) {
             return built(le, [](TiffBuilder &b) {
                 b.ascii(269, "one").ascii(269, "two").ascii(306, "2001:01:01 00:00:00")
                     .ascii(306, "2002:02:02 02:02:02").ascii(315, "first").ascii(315, "second");
             });
         }},
        {"chain", [](bool le) {
             return built(le, [](TiffBuilder &b) {
                 b.ascii(271, "a");
                 b.ifd().ascii(272, "bb").raw(256, kLong, 1, 640);
                 everyTag(b.ifd()).raw(257, kShort, 1, 480);
             });
         }},
        {"long-loop", [](bool le) {
             return built(le, [](TiffBuilder &b) {
                 for (uint32_t i = 0; i < 40; ++i)
                     b.ifd().raw(256, kLong, 1, i);
                 b.ascii(305, "sw").linkTo(20);
             });
         }},
        {"self-loop", [](bool le) { return built(le, [](TiffBuilder &b) { b.ascii(305, "s").linkTo(0); }); }},
        {"pair-loop", [](bool le) {
             return built(le, [](TiffBuilder &b) { b.ascii(305, "s"); b.ifd().ascii(316, "h").linkTo(0); });
         }},
        {"xmp-inline", [](bool le) { return built(le, [](TiffBuilder &b) { b.bytes(700, kUndefined, "<x/>"); }); }},
        {"xmp-packet", [](bool le) {
             return built(le, [](TiffBuilder &b) { b.ascii(271, "m").bytes(700, kUndefined, kPacket, true); });
         }},
        {"xmp-large", [](bool le) {
             return built(le, [](TiffBuilder &b) {
                 b.bytes(700, kUndefined, kPacket + std::string(70000, ' '));
             });
         }},
        {"xmp-ascii-two-ifds", [](bool le) {
             return built(le, [](TiffBuilder &b) {
                 b.bytes(700, kAscii, kPacket);
                 b.ifd().bytes(700, kUndefined, "<second/>");
             });
         }},
        {"bad-dates", [](bool le) {
             return built(le, [](TiffBuilder &b) {
                 b.ascii(306, "2024:13:45 99:99:99").ascii(306, "1969:12:31 23:59:59");
                 b.ifd().ascii(306, "abc").bytes(306, kUndefined, std::string("2024:01:01 00:00:00\0", 20));
             });
         }},
        {"odd-values", [](bool le) {
             return built(le, [](TiffBuilder &b) {
                 b.bytes(270, kAscii, std::string("\0AB\0", 4)).bytes(271, kAscii, "").bytes(272, kAscii, "no-nul")
                     .bytes(285, kAscii, std::string(300, 'p'));
             });
         }},
        {"empty-ifd", [](bool le) { return built(le, [](TiffBuilder &b) { b.ifd(); b.ifd().ascii(271, "m"); }); }},
        {"no-ifd", [](bool le) { return built(le, [](TiffBuilder &b) { b.firstIfdOffset(0); }); }},
        {"hostile-counts", [](bool le) {
             return built(le, [](TiffBuilder &b) {
                 b.ascii(271, "m").raw(272, kAscii, 0xFFFFFFFF, 8).raw(700, kUndefined, 0x7FFFFFFF, 8);
             });
         }},
        {"past-the-end", [](bool le) {
             return built(le, [](TiffBuilder &b) { b.ascii(271, "m").raw(272, kAscii, 9, 0xFFFFFFF0).nextOffset(1 << 20); });
         }},
        {"cut-header", [](bool le) { return cut(built(le, [](TiffBuilder &b) { everyTag(b); }), 6); }},
        {"cut-entries", [](bool le) { return cut(built(le, [](TiffBuilder &b) { everyTag(b); }), 8 + 2 + 12 * 5 + 3); }},
        {"cut-next-offset", [](bool le) { return cut(built(le, [](TiffBuilder &b) { everyTag(b); }), 8 + 2 + 12 * 11 + 2); }},
    };
    return all;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || (argc == 3 && std::strcmp(argv[2], "--script") != 0) || argc > 3) {
        std::fprintf(stderr, "usage: seed_corpus DIR [--script]\n");
        return 2;
    }
    const bool script = argc == 3;
    int written = 0;
    for (const Seed &seed : seeds()) {
        for (bool le : {true, false}) {
            Bytes bytes = seed.make(le);
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

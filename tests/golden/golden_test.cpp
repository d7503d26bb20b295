// The records a host reads (summary block, property list, XMP record, text record) dumped as
// text for a handful of documents. Every build, Linux or Windows, must reproduce records.txt
// byte for byte; pointers show only as set or null, followed by what they point to.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "reader_fixture.h"

using namespace testhost;

namespace {

struct Fixture {
    const char *name;
    const char *tz;
    TiffBuilder tiff;
};

std::vector<Fixture> fixtures()
{
    std::vector<Fixture> all;
    TiffBuilder every;
    every.ascii(269, "Document name").ascii(270, "Image description").ascii(271, "Make")
        .ascii(272, "Model").ascii(305, "Software 1.0").ascii(306, "2024:02:29 13:45:00")
        .ascii(315, "Artist").ascii(316, "Host computer").ascii(333, "Cyan\0Magenta")
        .ascii(337, "Target printer").ascii(33432, "(c) nobody")
        .bytes(700, kUndefined, "<x:xmpmeta>every tag</x:xmpmeta>");
    all.push_back({"every tag, little-endian", "UTC0", every});

    TiffBuilder chain(false);
    chain.ascii(315, "First artist").ascii(306, "2024:07:01 12:00:00").ascii(271, "Mk")
        .ifd().ascii(315, "Second artist").ascii(306, "1999:12:31 23:59:59")
        .ascii(269, "Late title").bytes(700, kUndefined, std::string(300, 'x'), true);
    all.push_back({"chain of two, big-endian", "CET-1", chain});

    TiffBuilder odd;
    odd.ascii(272, "Caf\xE9 \xFF\x01").ascii(305, "").ascii(271, "ab")
        .bytes(270, kUndefined, "not text\0", false).ascii(33432, "left\0right")
        .ascii(306, "2024:13:01 00:00:00");
    all.push_back({"odd bytes", "EST5", odd});

    return all;
}

void hex(std::ostream &out, const void *data, size_t size, const std::vector<size_t> &pointers = {})
{
    const auto *bytes = static_cast<const uint8_t *>(data);
    char cell[4];
    for (size_t at = 0; at < size; at += 8) {
        out << (at % 32 == 0 ? "  " : " ");
        bool isPointer = false;
        for (size_t p : pointers)
            isPointer = isPointer || p == at;
        void *pointer = nullptr;
        if (isPointer)
            std::memcpy(&pointer, bytes + at, sizeof pointer);
        for (size_t i = at; i < at + 8 && i < size; ++i) {
            std::snprintf(cell, sizeof cell, "%02x", bytes[i]);
            out << (isPointer ? (pointer != nullptr ? "pp" : "..") : cell);
        }
        if (at % 32 == 24 || at + 8 >= size)
            out << '\n';
    }
}

std::string quoted(const char *s) { return s == nullptr ? "null" : "\"" + escaped(s) + "\""; }

void dumpSummary(std::ostream &out, const SummaryInfo &s)
{
    hex(out, &s, sizeof s, {offsetof(SummaryInfo, title), offsetof(SummaryInfo, author),
                            offsetof(SummaryInfo, properties)});
    out << "  title " << quoted(s.title) << "\n  author " << quoted(s.author) << '\n';
    if (s.properties == nullptr)
        return;
    out << "  list\n";
    hex(out, s.properties, sizeof *s.properties, {offsetof(PropertyList, entries)});
    for (int32_t i = 0; i < s.properties->count; ++i) {
        const PropertyEntry &e = s.properties->entries[i];
        hex(out, &e, sizeof e, {offsetof(PropertyEntry, value), offsetof(PropertyEntry, name)});
        out << "  " << quoted(e.name) << " = " << quoted(e.value) << '\n';
    }
}

std::string dumpAll()
{
    std::ostringstream out;
    for (Fixture &f : fixtures()) {
        setTimeZone(f.tz);
        TestHost host;
        MemoryStream stream(f.tiff.build());
        TifContext *ctx = reader().allocateContext(0x1111, 0x2222, nullptr, host.services(), 0x33);
        out << "== " << f.name << " (TZ=" << f.tz << ")\ninitDoc "
            << reader().initDoc(ctx, 0xDEADBEEF, 0xFEED, stream.stream()) << '\n';

        TextOutputRecord text = markedBuffer<TextOutputRecord>();
        uint32_t status = 0;
        reader().fillBuffer(ctx, reinterpret_cast<uint8_t *>(&text), 0, &status, 0);
        out << "text record, status " << status << '\n';
        hex(out, &text, sizeof text);

        SummaryInfo summary = markedBuffer<SummaryInfo>();
        status = reader().getSummaryInfo(ctx, &summary, 0);
        out << "summary " << (untouched(summary) ? "untouched" : "written") << ", status " << status << '\n';
        if (!untouched(summary))
            dumpSummary(out, summary);

        XmpInfo xmp = markedBuffer<XmpInfo>();
        status = reader().getXmpInfo(ctx, &xmp, 0);
        out << "xmp " << (untouched(xmp) ? "untouched" : "written") << ", status " << status << '\n';
        if (!untouched(xmp))
            hex(out, &xmp, sizeof xmp);

        reader().getSummaryInfo(ctx, nullptr, 1);
        reader().freeContext(ctx);
        out << "heap requests " << host.requests() << ", left " << host.liveBlocks() << ", misuse "
            << host.misuse().size() << "\n\n";
    }
    setTimeZone("UTC0");
    return out.str();
}

TEST(Golden, RecordsMatchTheCheckedInDump)
{
    const std::string actual = dumpAll();
    std::ifstream file(ZUDOR_GOLDEN_FILE, std::ios::binary);
    ASSERT_TRUE(file) << "cannot read " << ZUDOR_GOLDEN_FILE;
    std::stringstream stored;
    stored << file.rdbuf();
    std::string expected = stored.str();
    expected.erase(std::remove(expected.begin(), expected.end(), '\r'), expected.end());
    if (expected != actual)
        std::ofstream("records.actual.txt", std::ios::binary) << actual;
    EXPECT_EQ(expected, actual) << "the whole dump is in records.actual.txt";
}

} // namespace

// The records a host reads (summary block, property list, XMP record, text record) dumped as
// text for a handful of documents. Every build, Linux or Windows, must reproduce records.txt
// byte for byte; pointers show only as set or null, followed by what they point to.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "reader_fixture.h"
#include "tiff_builder.h"

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

    TiffBuilder loop;
    loop.bytes(700, kUndefined, "<one/>").ascii(316, "h").ifd().bytes(700, kUndefined, "<two/>")
        .linkTo(0);
    all.push_back({"loop back to the first directory", "UTC0", loop});

    TiffBuilder failed;
    failed.ascii(269, "Kept title").ascii(306, "2024:02:29 13:45").ascii(271, "never read");
    all.push_back({"short date fails the walk", "UTC0", failed});
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
        Document doc(f.tiff.build());
        out << "== " << f.name << " (TZ=" << f.tz << ")\ninitDoc " << doc.open() << '\n';

        TextOutputRecord text = markedBuffer<TextOutputRecord>();
        uint32_t textStatus = 0;
        reader().fillBuffer(doc.ctx, reinterpret_cast<uint8_t *>(&text), 0, &textStatus, 0);
        out << "text record, status " << textStatus << '\n';
        hex(out, &text, sizeof text);

        SummaryInfo summary;
        const bool summaryWritten = doc.summary(&summary);
        out << "summary " << (summaryWritten ? "written" : "untouched") << ", status "
            << doc.lastStatus << '\n';
        if (summaryWritten)
            dumpSummary(out, summary);

        XmpInfo xmp;
        const bool xmpWritten = doc.xmp(&xmp);
        out << "xmp " << (xmpWritten ? "written" : "untouched") << ", status " << doc.lastStatus
            << '\n';
        if (xmpWritten)
            hex(out, &xmp, sizeof xmp);

        doc.close();
        out << "heap requests " << doc.host.requests() << ", left " << doc.host.liveBlocks()
            << ", misuse " << doc.host.misuse().size() << "\n\n";
    }
    setTimeZone("UTC0");
    return out.str();
}

std::string withoutCarriageReturns(std::string s)
{
    s.erase(std::remove(s.begin(), s.end(), '\r'), s.end());
    return s;
}

TEST(Golden, RecordsMatchTheCheckedInDump)
{
    const std::string actual = dumpAll();
    std::ifstream file(ZUDOR_GOLDEN_FILE, std::ios::binary);
    ASSERT_TRUE(file) << "cannot read " << ZUDOR_GOLDEN_FILE;
    std::stringstream expected;
    expected << file.rdbuf();
    if (withoutCarriageReturns(expected.str()) == actual)
        return;

    std::ofstream("records.actual.txt", std::ios::binary) << actual;
    std::istringstream want(withoutCarriageReturns(expected.str())), got(actual);
    std::string wantLine, gotLine;
    int line = 1;
    while (std::getline(want, wantLine) && std::getline(got, gotLine) && wantLine == gotLine)
        ++line;
    ADD_FAILURE() << "the dump differs from " << ZUDOR_GOLDEN_FILE << " at line " << line
                  << "; the whole dump is in records.actual.txt\n  expected: " << wantLine
                  << "\n  actual:   " << gotLine;
}

} // namespace

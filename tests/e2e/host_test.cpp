// The reference host's services, each against what the reader relies on.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hostcalls/host_slots.h"
#include "hostcalls/reference_host.h"
#include "io/file_stream.h"
#include "platform/system.h"
#include "run/document_explain.h"
#include "run/isolation/view_codec.h"
#include "tiff_builder.h"
#include "zudor/reader.h"
#include "zudor_host/driver.h"
#include "zudor_host/record_writers.h"

using namespace zudorhost;

namespace {

const char *kPacket =
    "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
    "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description rdf:about=\"\" "
    "xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\" xmp:Rating=\"3\"><xmp:Label>red</xmp:Label>"
    "</rdf:Description></rdf:RDF></x:xmpmeta>";

XmpInfo *parse(ReferenceHost &host, const std::string &packet)
{
    XmpInfo *record = nullptr;
    uint64_t auxiliary = 0;
    host.services()->hostParseXmp(host.services(), &record, &auxiliary, packet.c_str(),
                                  uint32_t(packet.size() + 1), 1);
    return record;
}

} // namespace

TEST(ReferenceHeap, RefusesNegativeAndOversizedRequestsAndGrantsZero)
{
    ReferenceHost host(XmpMode::Raw, 1000);
    HostServices *s = host.services();
    void *heap = &s->hostHeap;
    EXPECT_EQ(s->hostAlloc(heap, -1), nullptr);
    EXPECT_EQ(s->hostAlloc(heap, INT64_MIN), nullptr);
    EXPECT_EQ(s->hostAlloc(heap, 1001), nullptr);
    EXPECT_EQ(s->hostCalloc(heap, 1001, 1), nullptr);
    EXPECT_EQ(s->hostCalloc(heap, INT64_MAX, 2), nullptr); // count x size overflows
    EXPECT_EQ(s->hostCalloc(heap, 2, -1), nullptr);
    EXPECT_EQ(s->hostRealloc(heap, nullptr, 1001), nullptr);
    for (void *zero : {s->hostAlloc(heap, 0), s->hostCalloc(heap, 0, 12), s->hostCalloc(heap, 5, 0)}) {
        EXPECT_NE(zero, nullptr);
        s->hostFree(heap, zero);
    }
    // Realloc keeps the contents; a refused resize has already given the old block back
    // (the leak checkers of the sanitized run see it if not).
    auto *block = static_cast<char *>(s->hostRealloc(heap, nullptr, 4));
    std::memcpy(block, "abc", 4);
    block = static_cast<char *>(s->hostRealloc(heap, block, 900));
    EXPECT_STREQ(block, "abc");
    EXPECT_EQ(s->hostResize(heap, block, 5000), nullptr);
    void *grown = s->hostResize(heap, s->hostAlloc(heap, 8), 1000);
    EXPECT_NE(grown, nullptr);
    s->hostFree(heap, grown);
}

TEST(ReferenceTime, WritesFiletimeLittleEndianAndSaturates)
{
    struct Case {
        int64_t seconds;
        uint64_t ticks;
    } cases[] = {
        {0, 116444736000000000ULL},
        {1709214300, 116444736000000000ULL + 1709214300ULL * 10000000ULL}, // 2024-02-29 13:45 UTC
        {32535215999, 116444736000000000ULL + 32535215999ULL * 10000000ULL},
        {-11644473600, 0},
        {INT64_MIN, 0},
        {INT64_MAX, uint64_t(INT64_MAX)},
    };
    for (const Case &c : cases) {
        uint8_t out[8];
        std::memset(out, 0xEE, sizeof out);
        convertTime(c.seconds, out);
        EXPECT_EQ(filetimeFromBytes(out), c.ticks) << c.seconds;
        EXPECT_EQ(out[0], uint8_t(c.ticks)) << "least significant byte first";
    }
}

// The property array grows one entry at a time; however the host spreads its growth, every
// entry written before must be there after each step.
TEST(ReferenceHeap, ReallocGrowingByOneEntryKeepsEveryEntry)
{
    ReferenceHost host(XmpMode::Raw);
    HostServices *s = host.services();
    uint32_t *entries = nullptr;
    std::vector<void *> copies; // what the reader allocates between two growths
    for (uint32_t n = 1; n <= 3000; ++n) {
        entries = static_cast<uint32_t *>(s->hostRealloc(&s->hostHeap, entries, int64_t(n) * 24));
        ASSERT_NE(entries, nullptr);
        entries[(n - 1) * 6] = n;
        copies.push_back(s->hostAlloc(&s->hostHeap, 16));
    }
    for (uint32_t n = 1; n <= 3000; ++n)
        ASSERT_EQ(entries[(n - 1) * 6], n);
    for (void *copy : copies)
        s->hostFree(&s->hostHeap, copy);
    s->hostFree(&s->hostHeap, entries);
}

// The host's lister and the toolkit, each behind the same record.
class ReferenceXmpReading : public testing::TestWithParam<XmpMode> {};
INSTANTIATE_TEST_SUITE_P(Modes, ReferenceXmpReading, testing::Values(XmpMode::Parsed, XmpMode::Toolkit),
                         [](const testing::TestParamInfo<XmpMode> &info) {
                             return info.param == XmpMode::Parsed ? "Lister" : "Toolkit";
                         });

// A record the reader handed over lives until the document ends; one that a later packet
// replaced before any hand-over goes at once.
TEST_P(ReferenceXmpReading, RecordsLiveUntilTheDocumentEnds)
{
    ReferenceHost host(GetParam());    XmpInfo *first = parse(host, kPacket);
    ASSERT_NE(first, nullptr);
    const XmpInfo claimed = *first;
    host.claimXmpRecords();
    const XmpInfo replaced = *parse(host, kPacket);
    XmpInfo *third = parse(host, kPacket);
    ASSERT_NE(third, nullptr);
    const HostXmpRecord *record = host.recordOf(*third);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->magic, kXmpRecordMagic);
    EXPECT_EQ(record->packetBytes, std::strlen(kPacket));
    EXPECT_EQ(record->sequence, 3u);
    std::vector<std::pair<std::string, std::string>> properties;
    forEachXmpProperty(*record, [](void *to, const char *path, size_t pathLength, const char *value,
                                   size_t valueLength) {
        static_cast<decltype(properties) *>(to)->emplace_back(std::string(path, pathLength),
                                                              std::string(value, valueLength));
    }, &properties);
    ASSERT_EQ(properties.size(), 2u);
    EXPECT_EQ(properties[0], (std::pair<std::string, std::string>{"xmp:Rating", "3"}));
    EXPECT_EQ(properties[1], (std::pair<std::string, std::string>{"xmp:Label", "red"}));

    EXPECT_NE(host.recordOf(claimed), nullptr);
    EXPECT_EQ(host.recordOf(replaced), nullptr);
    XmpInfo copy = *third;
    host.endDocument();
    EXPECT_EQ(host.recordOf(copy), nullptr);
    XmpInfo zero{};
    EXPECT_EQ(host.recordOf(zero), nullptr);
}

// A document's packets as the reader hands them to the service: it keeps the last record the
// service gave and hands that over. The record read is the last packet's that parses.
TEST_P(ReferenceXmpReading, TheRecordHandedOverIsTheLastPacketThatParses)
{
    auto packet = [](const char *label, size_t padding) {
        std::string text = kPacket;
        text.replace(text.find("red"), 3, label);
        return text + std::string(padding, ' ');
    };
    const std::string bad = "<x:xmpmeta><unclosed";
    const size_t big = size_t(1200) << 10; // five of these outgrow what the host lets wait unread
    struct Case {
        std::vector<std::string> packets;
        int last; // the index of the packet the record must be, -1 for none
    };
    const std::vector<Case> cases = {
        {{packet("one", 0), bad, packet("two", 7), bad}, 2},
        {{bad, bad}, -1},
        {{packet("one", 0), packet("a", big), packet("b", big), packet("c", big), packet("d", big), bad}, 4},
        {{packet("one", 0), packet("a", big), packet("b", big), packet("c", big), packet("d", big), bad, bad,
          packet("e", 3)}, 7},
    };
    for (size_t c = 0; c < cases.size(); ++c) {
        ReferenceHost host(GetParam());
        XmpInfo held{};
        for (const std::string &text : cases[c].packets)
            if (XmpInfo *info = parse(host, text))
                held = *info;
        host.claimXmpRecords();
        const XmpInfo zero{};
        const HostXmpRecord *record = std::memcmp(&held, &zero, sizeof held) != 0 ? host.recordOf(held) : nullptr;
        if (cases[c].last < 0) {
            EXPECT_EQ(record, nullptr) << c;
            continue;
        }
        ASSERT_NE(record, nullptr) << c;
        const std::string &expected = cases[c].packets[size_t(cases[c].last)];
        EXPECT_EQ(record->packetBytes, expected.size()) << c;
        EXPECT_EQ(record->sequence, uint64_t(cases[c].last + 1)) << c;
        std::string label;
        forEachXmpProperty(*record, [](void *to, const char *path, size_t, const char *value, size_t valueLength) {
            if (std::strcmp(path, "xmp:Label") == 0)
                static_cast<std::string *>(to)->assign(value, valueLength);
        }, &label);
        EXPECT_NE(expected.find("<xmp:Label>" + label + "<"), std::string::npos) << c << " " << label;
    }
}

TEST_P(ReferenceXmpReading, UnparsablePacketGetsNoRecordAndPrintsNothing)
{
    ReferenceHost host(GetParam());
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    // The lister reads a packet when its record is asked for; neither reads as one.
    for (const std::string &bad : {std::string("<x:xmpmeta><rdf:RDF><unclosed"), std::string("\xff\xfe garbage", 10)}) {
        XmpInfo *info = parse(host, bad);
        EXPECT_TRUE(info == nullptr || host.recordOf(*info) == nullptr);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(ReferenceXmp, RawModeKeepsItsOwnCopy)
{
    ReferenceHost host(XmpMode::Raw);
    std::string packet = "<not parsed at all>";
    XmpInfo *info = parse(host, packet);
    ASSERT_NE(info, nullptr);
    packet.assign(packet.size(), 'x'); // the reader frees its packet right after the call
    const HostXmpRecord *record = host.recordOf(*info);
    ASSERT_NE(record, nullptr);
    EXPECT_STREQ(record->packet, "<not parsed at all>");
    EXPECT_EQ(record->document, nullptr);
}

// A reader process is not trusted: what it sends that is not UTF-8, a warning or the text
// record, reaches the records mended, as every other string of a reader's does.
TEST(IsolatedView, StringsFromTheReaderProcessReachTheRecordsAsUtf8)
{
    const std::string warning = "r\xE9sum\xE9";
    DocumentView sent;
    sent.summary = SummaryState::Partial;
    sent.text = "caf\xE9";
    sent.textLength = 4;
    sent.warnings = &warning;
    sent.warningCount = 1;
    OutputBuffer bytes;
    isolation::encodeView(sent, bytes);

    InputItem input;
    input.path = "a.tif";
    DocumentView view;
    view.input = &input;
    isolation::DecodedView decoded;
    ASSERT_TRUE(decoded.decode(bytes.data(), bytes.size(), view));
    OutputBuffer summary, text;
    summaryWriter(RecordFormat::Json)->write(view, summary);
    textRecordWriter(RecordFormat::Json)->write(view, text);
    EXPECT_EQ(std::string(summary.data(), summary.size()),
              "{\"file\":\"a.tif\",\"summary\":\"partial\",\"title\":null,\"author\":null,\"createTime\":null,"
              "\"properties\":[],\"xmp\":null,\"error\":null,\"warnings\":[\"r\xC3\xA9sum\xC3\xA9\"]}\n");
    EXPECT_EQ(std::string(text.data(), text.size()), "{\"file\":\"a.tif\",\"text\":\"caf\xC3\xA9\",\"error\":null}\n");
}

// A property whose name and value are both null (the module counted an entry it could not
// copy) costs four bytes a string: a view of such properties decodes as it was sent.
TEST(IsolatedView, PropertiesWithNeitherNameNorValueDecode)
{
    std::vector<PropertyEntry> properties(3, PropertyEntry{1, 1, nullptr, nullptr});
    DocumentView sent;
    sent.properties = properties.data();
    sent.propertyCount = properties.size();
    OutputBuffer bytes;
    isolation::encodeView(sent, bytes);
    DocumentView view;
    isolation::DecodedView decoded;
    ASSERT_TRUE(decoded.decode(bytes.data(), bytes.size(), view));
    EXPECT_EQ(view.propertyCount, 3u);
}

TEST(ReferenceFileStream, ReadsAtTheSoughtOffsetAndCounts)
{
    const std::string path = testing::TempDir() + "zudor_stream.bin";
    std::ofstream(path, std::ios::binary) << "0123456789";
    FileStream file;
    // Opened as a walk's worker opens: relative to the directory it keeps open.
    os::Opener opener;
    opener.keepDirectories();
    std::string error;
    ASSERT_TRUE(file.open(opener, path, error)) << error;
    InputStream *s = file.stream();
    char buffer[16] = {};
    EXPECT_EQ(s->streamRead(s, buffer, 4), 4u);
    EXPECT_STREQ(buffer, "0123");
    s->streamSeek(s, 8, 0);
    EXPECT_EQ(s->streamRead(s, buffer, 4), 2u) << "a read past the end comes up short";
    s->streamSeek(s, 0xFFFFFFF0u, 0);
    EXPECT_EQ(s->streamRead(s, buffer, 4), 0u);
    EXPECT_EQ(file.counts().reads, 3u);
    EXPECT_EQ(file.counts().seeks, 2u);
    EXPECT_EQ(file.counts().bytesRead, 6u);

    EXPECT_FALSE(file.open(opener, testing::TempDir() + "zudor_no_such_file", error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(file.open(opener, testing::TempDir(), error)) << "a directory is not a document";
    opener.letGo();
    std::remove(path.c_str());
}

// Pieces are served from a window of the file; those that straddle its end, lie before it,
// outgrow it or run past the end of the file must still come back exactly as the file holds them.
TEST(ReferenceFileStream, ServesEveryPieceAsTheFileHoldsIt)
{
    const std::string path = testing::TempDir() + "zudor_window.bin";
    std::string bytes(200000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = char(i * 7 + i / 251);
    std::ofstream(path, std::ios::binary) << bytes;
    FileStream file;
    os::Opener opener;
    std::string error;
    ASSERT_TRUE(file.open(opener, path, error)) << error;
    EXPECT_EQ(file.size(), bytes.size());
    const struct { uint32_t offset, length, expected; } pieces[] = {
        {0, 8, 8}, {65530, 12, 12}, {4095, 2, 2}, {70000, 100000, 100000}, {199990, 20, 10},
        {150000, 4, 4}, {3, 61440, 61440}, {200000, 4, 0}};
    InputStream *s = file.stream();
    std::vector<char> buffer(100000);
    for (const auto &piece : pieces) {
        s->streamSeek(s, piece.offset, 0);
        ASSERT_EQ(s->streamRead(s, buffer.data(), piece.length), piece.expected) << piece.offset;
        EXPECT_EQ(std::string(buffer.data(), piece.expected), bytes.substr(piece.offset, piece.expected))
            << piece.offset;
    }
    std::remove(path.c_str());
}

namespace {

// An ELF file of one class and byte order: its header, then its program headers, each a type
// and flags and zeros to the entry's size. phoff, phentsize and phnum are given as written.
std::string elfFile(bool wide, bool little, uint64_t tableAt, uint16_t entrySize, uint16_t entries,
                    const std::vector<std::pair<uint32_t, uint32_t>> &headers, size_t cutAt = std::string::npos)
{
    auto put = [little](std::string &into, size_t at, uint64_t value, size_t bytes) {
        if (into.size() < at + bytes)
            into.resize(at + bytes, '\0');
        for (size_t i = 0; i < bytes; ++i)
            into[at + (little ? i : bytes - 1 - i)] = char(value >> (8 * i));
    };
    std::string file = std::string("\x7f" "ELF") + char(wide ? 2 : 1) + char(little ? 1 : 2) + char(1);
    file.resize(wide ? 64 : 52, '\0');
    put(file, wide ? 32 : 28, tableAt, wide ? 8 : 4);
    put(file, wide ? 54 : 42, entrySize, 2);
    put(file, wide ? 56 : 44, entries, 2);
    for (size_t i = 0; i < headers.size(); ++i) {
        const size_t at = size_t(tableAt) + i * entrySize;
        put(file, at, headers[i].first, 4);
        put(file, at + (wide ? 4 : 24), headers[i].second, 4);
        file.resize(std::max(file.size(), at + entrySize), '\0');
    }
    return cutAt < file.size() ? file.substr(0, cutAt) : file;
}

} // namespace

// A library named by its path is looked at before the loader runs any of it: one that asks
// for an executable stack, or whose headers do not hold together, is refused with why.
TEST(LibraryLoading, RefusesAnExecutableStackAndMalformedHeadersWithWords)
{
    constexpr uint32_t kLoad = 1, kGnuStack = 0x6474e551, kRead = 4, kWrite = 2, kExecute = 1;
    const struct {
        const char *name;
        std::string bytes;
        const char *why; // the end of the error, or null where the loader is left to say
    } rows[] = {
        {"not ELF", "#!/bin/sh\necho not a library\n", "it is not an ELF file"},
        {"empty", "", "it is not an ELF file"},
        {"no such class", std::string("\x7f" "ELF\x03\x01\x01", 7) + std::string(57, '\0'),
         "its ELF header names no class or byte order it could have"},
        {"header cut short", elfFile(true, true, 64, 56, 1, {{kGnuStack, kRead | kWrite}}, 40),
         "its ELF header is cut short"},
        {"table past the end", elfFile(true, true, 4096, 56, 1, {}, 64), "its program headers lie beyond its end"},
        {"more entries than bytes", elfFile(true, true, 64, 56, 0xfffe, {{kGnuStack, kRead | kWrite}}),
         "its program headers lie beyond its end"},
        {"entries too small", elfFile(true, true, 64, 8, 1, {{kGnuStack, kRead | kWrite}}),
         "its program headers are smaller than their kind"},
        {"uncountable entries", elfFile(true, true, 64, 56, 0xffff, {}),
         "it has more program headers than its ELF header can count"},
        {"executable stack",
         elfFile(true, true, 64, 56, 2, {{kLoad, kRead}, {kGnuStack, kRead | kWrite | kExecute}}),
         "it asks for an executable stack"},
        {"executable stack, 32-bit big-endian",
         elfFile(false, false, 52, 32, 1, {{kGnuStack, kRead | kWrite | kExecute}}), "it asks for an executable stack"},
        {"stack not executable", elfFile(true, true, 64, 56, 1, {{kGnuStack, kRead | kWrite}}), nullptr},
#if defined(__x86_64__) || defined(__i386__)
        {"stack not said", elfFile(true, true, 64, 56, 1, {{kLoad, kRead}}), "it asks for an executable stack"},
#endif
    };
    const std::string file = testing::TempDir() + "zudor-library-check.so";
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        std::ofstream(file, std::ios::binary | std::ios::trunc) << row.bytes;
        std::string why;
        ASSERT_EQ(os::openLibrary(file, why), nullptr);
        if (row.why != nullptr)
            EXPECT_EQ(why, file + ": " + row.why);
        else // the loader's own complaint (this is no library it could load), not the check's
            EXPECT_EQ(why.rfind(file + ": it", 0), std::string::npos) << why;
    }
    std::remove(file.c_str());
}

// The host explains a record by a walk of its own: it follows the reader's rules
// (tiff_rules/walk_rules.h) but not the reader's code, as it weighs places against the file's
// size where the reader reads. Over these files the two must agree on whether the reader
// could read the whole chain.
TEST(DocumentExplanation, FindsAFaultExactlyWhereTheReaderFails)
{
    using testhost::TiffBuilder;
    struct Row {
        const char *name;
        std::vector<uint8_t> bytes;
        bool incomplete;
    };
    const std::string good = "2024:02:29 13:45:00";
    const std::vector<Row> rows = {
        {"clean", TiffBuilder().ifd().ascii(269, "Harbour").ascii(306, good).build(), false},
        {"clean, big-endian", TiffBuilder(false).ifd().ascii(269, "Harbour").ascii(306, good).build(), false},
        {"any mark but II is big-endian", TiffBuilder(false).byteOrderMark("XX").ifd().ascii(271, "NL").build(), false},
        {"little-endian bytes under another mark", TiffBuilder().byteOrderMark("XX").ifd().ascii(271, "NL").build(), true},
        {"date of the wrong length", TiffBuilder().ifd().ascii(306, "2024:02:29").build(), true},
        {"date not of the form", TiffBuilder(false).ifd().ascii(306, "the day after today").build(), true},
        {"date before 1970", TiffBuilder().ifd().ascii(306, "1901:12:13 20:45:52").build(), true},
        {"a later date is a property", TiffBuilder().ifd().ascii(306, good).ifd().ascii(306, "not a date").build(), false},
        {"a date that is not ASCII takes no role",
         TiffBuilder().ifd().bytes(306, testhost::kUndefined, good + '\0').ascii(306, "not a date").build(), true},
        {"ASCII value past the end", TiffBuilder().ifd().raw(271, testhost::kAscii, 30, 70000).build(), true},
        {"short ASCII value lies in its entry", TiffBuilder().ifd().raw(271, testhost::kAscii, 4, 70000).build(), false},
        {"five bytes lie elsewhere", TiffBuilder().ifd().raw(271, testhost::kAscii, 5, 70000).build(), true},
        {"other values are never read", TiffBuilder().ifd().raw(271, testhost::kShort, 30, 70000).build(), false},
        {"an XMP packet of any type is read", TiffBuilder().ifd().raw(700, testhost::kUndefined, 30, 70000).build(), true},
        {"a loop back to the first IFD", TiffBuilder().ifd().ascii(269, "a").ifd().ascii(271, "b").linkTo(0).build(), false},
        {"a loop to itself", TiffBuilder().ifd().ascii(269, "a").linkTo(0).build(), false},
        {"a link past the end", TiffBuilder().ifd().ascii(269, "a").nextOffset(90000).build(), true},
    };
    ReaderInterface table;
    tifGetReaderInterface(&table);
    DriverOptions options;
    options.anyFile = true;
    DocumentDriver driver(table, options);
    for (const Row &row : rows) {
        InputItem item;
        item.path = row.name;
        const DocumentView &doc = driver.readBytes(item, row.bytes.data(), row.bytes.size());
        EXPECT_EQ(doc.error, nullptr) << row.name;
        EXPECT_EQ(doc.summary != SummaryState::Complete, row.incomplete) << row.name;
        driver.finish();
        FileStream stream;
        stream.openMemory(row.bytes.data(), row.bytes.size());
        const std::string fault = firstDirectoryFault(stream.stream(), row.bytes.size());
        EXPECT_EQ(!fault.empty(), row.incomplete) << row.name << ": " << fault;
    }
}

// The header, the IFD walk with its dispatch, the property store and the date conversion, as
// a host sees them: one row per case, each a document, a scripted host and what it must see.
#include <gtest/gtest.h>

#include "life.h"
#include "reader_fixture.h"

using namespace testhost;

namespace {

const std::string kBig(70000, 'D');
const std::string kLongValue(300, 'L');

// 65537 bytes asked for and 2 delivered: the low 16 bits of the counts agree.
TiffBuilder cutBigValue() { return TiffBuilder().ascii(270, std::string(65537, 'x')); }

TiffBuilder sixThousandEntries()
{
    TiffBuilder b;
    b.ascii(270, kBig).bytes(700, kUndefined, "<x:xmpmeta>" + std::string(100000, ' ') + "</x:xmpmeta>").ifd();
    for (int i = 0; i < 6000; ++i)
        b.raw(static_cast<uint16_t>(40000 + i % 1000), kShort, 1, 1);
    return b.ascii(271, "after six thousand");
}

const Row kRows[] = {
    // The byte order: only "II" is little-endian.
    {"Intel", TiffBuilder().ascii(271, "mk"), {}, "i0 / -|-|-|Make=mk / 0", "r8 s8 r2 r12 s22 r4"},
    {"Motorola", TiffBuilder(false).ascii(271, "mk"), {}, "i0 / -|-|-|Make=mk / 0", "r8 s8 r2 r12 s22 r4"},
    {"LowerCaseMark", TiffBuilder(false).byteOrderMark("ii").ascii(271, "mk"), {}, "i0 / -|-|-|Make=mk / 0"},
    {"MarkIM", TiffBuilder(false).byteOrderMark("IM").ascii(271, "mk"), {}, "i0 / -|-|-|Make=mk / 0"},
    {"MarkMI", TiffBuilder(false).byteOrderMark("MI").ascii(271, "mk"), {}, "i0 / -|-|-|Make=mk / 0"},
    {"NoIfd", TiffBuilder().firstIfdOffset(0), {}, "i0 / -|-|-| / 0", "r8"},
    {"SevenBytes", TiffBuilder().firstIfdOffset(0), {}, "i6 / -|-|-| / 0", "r8", "", "", 7},
    // The walk reads the chain once; later retrievals hand over what it gathered.
    {"ChainReadOnce", TiffBuilder(false).ascii(271, "one").ifd().ifd().ascii(272, "three"), {"ISSX"},
     "i0 / -|-|-|Make=one,Model=three / -|-|-|Make=one,Model=three / 0",
     "r8 s8 r2 r12 s22 r4 s26 r2 r0 s28 r4 s32 r2 r12 s50 r6 s46 r4"},
    // One read per entry array, one seek and read per value over 4 bytes, none for shorter.
    {"StreamEconomy",
     TiffBuilder().ascii(271, "abc").raw(256, kLong, 1, 640).ascii(272, "longer model").ifd().bytes(700, kUndefined, "<x/>"),
     {}, "i0 / -|-|-|Make=abc,Model=longer model / #1", "r8 s8 r2 r36 s50 r13 s46 r4 s64 r2 r12 s78 r4", "",
     "<x/>\\x00"},
    {"InlineValuesAndPacket", TiffBuilder().ascii(271, "abc").bytes(700, kUndefined, "<a/>").ascii(272, ""), {},
     "i0 / -|-|-|Make=abc,Model= / #1", "r8 s8 r2 r36 s46 r4", "", "<a/>\\x00"},
    // The entry buffer is obtained at the first IFD, also for 0 entries, and grows only for a
    // larger one.
    {"EntryBufferGrowsOnly",
     TiffBuilder().raw(256, kLong, 1, 1).raw(257, kLong, 1, 1).ifd().raw(256, kLong, 1, 1).ifd().raw(300, kShort, 1, 1)
         .raw(301, kShort, 1, 1).raw(302, kShort, 1, 1).raw(303, kShort, 1, 1).raw(304, kShort, 1, 1),
     {}, "i0 / -|-|-| / 0", "", "c2x12 z60"},
    {"EmptyIfd", TiffBuilder().ifd().ifd().ascii(271, "second"), {}, "i0 / -|-|-|Make=second / 0",
     "r8 s8 r2 r0 s10 r4 s14 r2 r12 s32 r7 s28 r4", "c0x12"},
    {"EmptyIfdBufferRefused", TiffBuilder().ifd().ifd().ascii(271, "second"), {"ISX", 2}, "i0 / ~ / 0"},
    // A long value grows the value buffer to its length and a terminator; shorter ones reuse it.
    {"ValueBufferReused", TiffBuilder().ascii(271, "short").ascii(272, kLongValue).ascii(305, "mid value").ascii(316, "ab"),
     {}, "i0 / -|-|-|Make=short,Model=" + kLongValue + ",Software=mid value,Host Computer=ab / 0", "", "z302"},
    // Counts are compared in all 32 bits, so 64 KiB and more read whole, and a short read
    // whose low 16 bits agree is still short.
    {"LargeReadsWhole", sixThousandEntries(), {"IS"}, "i0 / -|-|-|Description=" + kBig + ",Make=after six thousand"},
    {"LargeReadCut", cutBigValue(), {"IS"}, "i0 / ~", "", "", "", 28},
    // Every packet reaches the service, a far one after a seek; the last record stays.
    {"EveryPacket",
     TiffBuilder().bytes(700, kUndefined, "<first/>").ifd().bytes(700, kUndefined, "<second packet, far from its IFD/>", true),
     {"IX"}, "i0 / #2", "", "", "<first/>\\x00 / <second packet, far from its IFD/>\\x00"},
    // A packet the service turns down is dropped and the walk goes on, no IFD dispatched twice.
    {"RejectedPacket",
     TiffBuilder().bytes(700, kUndefined, "<good/>").ifd().ascii(271, "before").bytes(700, kUndefined, "<bad/>")
         .ascii(272, "after").ifd().ascii(305, "next"),
     {"ISSX", 0, false, 0, 1}, "i0 / -|-|-|Make=before,Model=after,Software=next / -|-|-|Make=before,Model=after,Software=next / #1"},
    // Tag 700 of type ASCII goes to the service and is read once more as a value.
    {"XmpOfTypeAscii", TiffBuilder().bytes(700, kAscii, "<x:xmpmeta/>"), {"IX"}, "i0 / #1", "r8 s8 r2 r12 s26 r12 s26 r12 s22 r4"},
    // Short reads end the walk where they happen, also for a value no handler takes; a missing
    // next-IFD offset after dispatch leaves the walk at that IFD, which the next walk dispatches again.
    {"UnhandledValuePastEnd", TiffBuilder().raw(285, kAscii, 50, 100000), {}, "i0 / ~ / ~"},
    {"NextOffsetCut", TiffBuilder().ascii(271, "mk").ascii(315, "art"), {"ISS", 0, false, 4},
     "i0 / ~ / -|art|-|Make=mk,Make=mk"},
    // The eleven tags take their roles at their first occurrence; later ones become properties.
    {"RepeatedTags",
     TiffBuilder().ascii(269, "title 1").ascii(306, "2024:01:01 00:00:00").ascii(315, "artist 1").ifd()
         .ascii(269, "title 2").ascii(306, "2024:12:31 23:59:59").ascii(315, "artist 2").ascii(315, "artist 3"),
     {"IS"}, "i0 / title 1|artist 1|1704067200|Create_DTM=2024:12:31 23:59:59,Author=artist 2,Author=artist 3"},
    {"OnlyAsciiOfKnownTags",
     TiffBuilder().ascii(285, "page name").bytes(271, kUndefined, "not ascii\0").bytes(272, kShort, "ab").ascii(305, "kept"),
     {"IS"}, "i0 / -|-|-|Software=kept"},
    // A property value that starts with a zero byte is taken from its second byte on.
    {"LeadingZero",
     TiffBuilder().bytes(270, kAscii, std::string("\0AB\0", 4)).bytes(271, kAscii, std::string("\0", 1))
         .bytes(272, kAscii, std::string("\0A", 2)).bytes(305, kAscii, "AB").bytes(315, kAscii, std::string("\0hid", 4)),
     {"IS"}, "i0 / -||-|Description=AB,Make=,Model=A,Software=AB"},
    // A rejected date fails the walk, which examines no further entry but follows the chain:
    // the next retrieval copies what was gathered ...
    {"RejectedDateFollowsChain",
     TiffBuilder().ascii(271, "before").ascii(306, "not a date at all!!").ascii(272, "after").ifd().ascii(305, "next"),
     {"ISS"}, "i0 / ~ / -|-|-|Make=before", "r8 s8 r2 r36 s50 r7 s58 r20 s46 r4 s84 r2 r12 s98 r4"},
    // ... and a short read of a later IFD leaves the walk there, for the next one to dispatch.
    {"RejectedDateThenLaterIfdCut",
     TiffBuilder().ascii(271, "before").ascii(306, "not a date at all!!").ascii(272, "after").ifd().ascii(305, "next"),
     {"ISS", 0, false, 9}, "i0 / ~ / -|-|-|Make=before,Software=next"},
    // A walk that resumes at a later IFD converts its first DateTime again, and clears the time
    // an earlier walk set when it is rejected.
    {"ResumedWalkClearsTime",
     TiffBuilder().ascii(306, "2024:02:29 13:45:00").ifd().ascii(306, "bad"), {"ISSS", 0, false, 6},
     "i0 / ~ / ~ / -|-|-|"},
    // A second initDoc frees the old list; the title stays.
    {"SecondInitDoc", TiffBuilder().ascii(269, "T").ascii(271, "mk"), {"ISIS"}, "i0 / T|-|-|Make=mk / i0 / T|-|-|Make=mk"},
};

class Rows : public ::testing::TestWithParam<Row> {};
TEST_P(Rows, HostSeesWhatTheRowSays)
{
    setTimeZone("UTC0");
    checkRow(GetParam());
}
INSTANTIATE_TEST_SUITE_P(Extraction, Rows, ::testing::ValuesIn(kRows), [](const auto &i) { return std::string(i.param.name); });

struct DateCase {
    const char *tz;
    std::string text; // count bytes: padded with zeros, or cut
    uint32_t count;
    int64_t seconds; // -1 when the date must be rejected
};

const DateCase kDates[] = {
    {"UTC0", "2024:02:29 13:45:00", 20, 1709214300},
    {"EST5", "2024:02:29 13:45:00", 20, 1709214300 + 5 * 3600},
    {"CET-1", "2024:02:29 13:45:00", 20, 1709214300 - 3600},
    {"UTC0", "2024:02:29 13:45:00", 19, -1},
    {"UTC0", "2024:02:29 13:45:00", 21, -1},
    {"UTC0", "2024:1:2 3:4:5", 20, 1704164645},
    {"UTC0", "0000:00:00 00:00:00", 20, -1},
    {"UTC0", "    :  :     :  :  ", 20, -1},
    {"UTC0", "2024:13:01 00:00:00", 20, 1735689600},
    {"UTC0", "2024:-11:01 00:00:0", 20, 1672531200},
    {"UTC0", "1970:01:01 00:00:00", 20, 0},
    {"EST5", "1970:01:01 00:00:00", 20, 5 * 3600},
    {"CET-1", "1970:01:01 00:00:00", 20, -1},
    {"CET-1", "1970:01:01 01:00:00", 20, 0},
    {"UTC0", "1969:12:31 23:59:59", 20, -1},
    {"UTC0", "3000:12:31 23:59:59", 20, 32535215999},
    {"UTC0", "3001:01:01 00:00:00", 20, -1},
    // Numbers no int holds once 1900 or 1 is taken off: no overflow, just a rejection.
    {"UTC0", "1:2147483648:1 1:1:1", 20, -1},
    {"UTC0", "2147483648:1:1 1:1:1", 20, -1},
    {"UTC0", "-999999999:1:1 1:1:1", 20, -1},
};

void PrintTo(const DateCase &c, std::ostream *os) { *os << c.tz << " " << c.text; }

class Dates : public ::testing::TestWithParam<DateCase> {};

TEST_P(Dates, ConvertOrFailTheWalk)
{
    const DateCase &c = GetParam();
    setTimeZone(c.tz);
    std::string value = c.text;
    value.resize(c.count, '\0');
    const std::string time = c.seconds < 0 ? "~" : "-|-|" + std::to_string(c.seconds) + "|";
    checkRow({"date", TiffBuilder().bytes(306, kAscii, value), {"ISS"}, "i0 / " + time + " / -|-|" +
              (c.seconds < 0 ? "-" : std::to_string(c.seconds)) + "|"});
    setTimeZone("UTC0");
}

INSTANTIATE_TEST_SUITE_P(Texts, Dates, ::testing::ValuesIn(kDates));

} // namespace

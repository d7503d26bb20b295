// Files built to hurt: loops, huge chains and directories, counts and offsets at the edge of
// 32 bits, truncations. Each one is led through a whole life in both byte orders, and the
// small ones again under every refused allocation and every cut read; whatever happens, the
// invariants of hostile_life hold.
#include <functional>

#include <gtest/gtest.h>

#include "hostile_life.h"
#include "reader_fixture.h"
#include "tiff_builder.h"

using namespace testhost;

namespace {

constexpr uint32_t kFar = 1u << 20; // past the end of every file here

struct Case {
    const char *name;
    std::function<void(TiffBuilder &)> build;
    bool summaryWritten; // by the first retrieval
    bool sweep;          // small enough to fail at every request and every read
};

// A good entry first, so something is stored when the bad one strikes.
TiffBuilder &good(TiffBuilder &b) { return b.ascii(271, "maker").ascii(315, "by"); }

const Case kCases[] = {
    {"SelfLoop", [](TiffBuilder &b) { good(b.ifd()).linkTo(0); }, true, true},
    {"PairLoop", [](TiffBuilder &b) { good(b.ifd()); good(b.ifd()).linkTo(0); }, true, true},
    {"ThousandCycle",
     [](TiffBuilder &b) {
         for (uint32_t i = 0; i < 1000; ++i)
             b.ifd().raw(256, kLong, 1, i);
         b.ascii(305, "sw").linkTo(0);
     },
     true, false},
    {"FullIfd",
     [](TiffBuilder &b) {
         // 65,535 entries: every inline ASCII value goes through the value buffer.
         for (int i = 0; i < 65534; ++i)
             b.raw(285, kAscii, 3, 0x61626300);
         b.ascii(271, "maker");
     },
     true, false},
    {"AsciiCount7FFFFFFF", [](TiffBuilder &b) { good(b).raw(272, kAscii, 0x7FFFFFFF, 8); }, false, true},
    {"AsciiCountFFFFFFFF", [](TiffBuilder &b) { good(b).raw(272, kAscii, 0xFFFFFFFF, 8); }, false, true},
    {"AsciiCount7FFFFFFE", [](TiffBuilder &b) { good(b).raw(272, kAscii, 0x7FFFFFFE, 8); }, false, true},
    {"XmpCount7FFFFFFF", [](TiffBuilder &b) { good(b).raw(700, kUndefined, 0x7FFFFFFF, 8); }, false, true},
    {"XmpCountFFFFFFFF", [](TiffBuilder &b) { good(b).raw(700, kAscii, 0xFFFFFFFF, 8); }, false, true},
    {"FirstIfdPastEnd", [](TiffBuilder &b) { good(b).firstIfdOffset(kFar); }, false, true},
    {"NextIfdPastEnd", [](TiffBuilder &b) { good(b).nextOffset(kFar); }, false, true},
    {"ValuePastEnd", [](TiffBuilder &b) { good(b).raw(272, kAscii, 10, kFar); }, false, true},
    {"PacketPastEnd", [](TiffBuilder &b) { good(b).raw(700, kUndefined, 10, kFar); }, false, true},
    // Offset plus length beyond 2^32: nothing may wrap back into the file.
    {"IfdAtTopOfRange", [](TiffBuilder &b) { good(b).firstIfdOffset(0xFFFFFFFE); }, false, true},
    {"NextIfdWraps", [](TiffBuilder &b) { good(b).nextOffset(0xFFFFFFF0); }, false, true},
    {"ValueWraps", [](TiffBuilder &b) { good(b).raw(272, kAscii, 0x20, 0xFFFFFFF0); }, false, true},
    {"PacketWraps", [](TiffBuilder &b) { good(b).raw(700, kUndefined, 0x20, 0xFFFFFFF0); }, false, true},
    {"HeaderOnly", [](TiffBuilder &b) { b.firstIfdOffset(8); }, false, true},
    {"HeaderWithoutIfd", [](TiffBuilder &b) { b.firstIfdOffset(0); }, true, true},
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

std::vector<uint8_t> make(const Case &c, bool littleEndian)
{
    TiffBuilder b(littleEndian);
    c.build(b);
    return b.build();
}

LifeScript everyTwist()
{
    LifeScript s;
    s.xmpFirst = s.repeat = s.releaseBetween = s.reopen = s.textFirst = true;
    return s;
}

class Pathological : public ::testing::TestWithParam<Case> {};

TEST_P(Pathological, WholeLifeHoldsInBothByteOrders)
{
    for (bool le : {true, false}) {
        const std::vector<uint8_t> doc = make(GetParam(), le);
        for (const LifeScript &script : {LifeScript(), everyTwist()}) {
            const LifeResult r = liveHostileLife(reader(), doc, script);
            EXPECT_TRUE(r.violations.empty()) << (le ? "II\n" : "MM\n") << describe(r);
            EXPECT_EQ(r.summaryWritten, GetParam().summaryWritten) << (le ? "II" : "MM");
        }
    }
}

TEST_P(Pathological, EveryRefusalAndEveryCutReadHold)
{
    if (!GetParam().sweep)
        GTEST_SKIP() << "too large to sweep";
    for (bool le : {true, false}) {
        const std::vector<uint8_t> doc = make(GetParam(), le);
        const LifeResult clean = liveHostileLife(reader(), doc, everyTwist());
        for (long k = 1; k <= clean.requests; ++k) {
            for (bool onward : {false, true}) {
                LifeScript s = everyTwist();
                s.refuseRequest = k;
                s.refuseOnward = onward;
                const LifeResult r = liveHostileLife(reader(), doc, s);
                EXPECT_TRUE(r.violations.empty()) << "refusing " << k << (onward ? " on\n" : "\n") << describe(r);
            }
        }
        for (long k = 1; k <= clean.reads; ++k) {
            LifeScript s = everyTwist();
            s.cutRead = k;
            const LifeResult r = liveHostileLife(reader(), doc, s);
            EXPECT_TRUE(r.violations.empty()) << "cutting read " << k << "\n" << describe(r);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Files, Pathological, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Pathological, EmptyFileGivesEmptyBlocks)
{
    const LifeResult r = liveHostileLife(reader(), {}, everyTwist());
    EXPECT_TRUE(r.violations.empty()) << describe(r);
    EXPECT_EQ(r.initStatus, 6u);
    EXPECT_EQ(r.gathered, "-|-");
}

TEST(Pathological, TwoIfdFileCutAtEveryLength)
{
    for (bool le : {true, false}) {
        TiffBuilder b(le);
        b.ascii(269, "title").ascii(306, "2024:02:29 13:45:00").bytes(700, kUndefined, "<xmp/>");
        b.ifd().ascii(315, "artist").ascii(33432, "(c)").bytes(700, kUndefined, "<more/>", true);
        const std::vector<uint8_t> full = b.build();
        for (size_t length = 0; length <= full.size(); ++length) {
            const std::vector<uint8_t> cut(full.begin(), full.begin() + length);
            const LifeResult r = liveHostileLife(reader(), cut, everyTwist());
            EXPECT_TRUE(r.violations.empty()) << "cut at " << length << "\n" << describe(r);
        }
    }
}

// A chain of distinct IFDs costs reads and memory in proportion to its length; its time per
// IFD is measured by the scaling benchmark, not here.
TEST(Pathological, HundredThousandIfdChainIsLinear)
{
    TiffBuilder b;
    for (int i = 0; i < 100000; ++i)
        b.ifd().raw(256, kLong, 1, static_cast<uint32_t>(i));
    b.ascii(271, "last");
    const LifeResult large = liveHostileLife(reader(), b.build(), LifeScript());
    ASSERT_TRUE(large.violations.empty()) << describe(large);
    EXPECT_TRUE(large.summaryWritten);
    EXPECT_EQ(large.gathered, "-|-|Make=last");
    EXPECT_EQ(large.reads, 1 + 3 * 100000 + 1);
    EXPECT_LT(large.peakBytes, 32u * 100000) << "memory grows with the chain, no faster";
}

} // namespace

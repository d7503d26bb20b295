// Handing the summary and the XMP record to the host, in either order, repeated, released.
#include <gtest/gtest.h>

#include "life.h"
#include "reader_fixture.h"

using namespace testhost;

namespace {

TiffBuilder full()
{
    return TiffBuilder().ascii(269, "Title").ascii(315, "Artist").ascii(306, "2024:02:29 13:45:00").ascii(271, "Maker")
        .bytes(700, kUndefined, "<x:xmpmeta>packet</x:xmpmeta>");
}

const std::string kFull = "Title|Artist|1709214300|Make=Maker";

const Row kRows[] = {
    // The first retrieval reads the document; the XMP record changes owner; a release nulls
    // the pointers and keeps the time.
    {"SummaryFirst", full(), {"ISXXSRS"}, "i0 / " + kFull + " / #1 / 0 / " + kFull + " / -|-|1709214300|",
     "r8 s8 r2 r60 s74 r6 s80 r7 s88 r20 s108 r6 s114 r29 s70 r4"},
    {"XmpFirst", full(), {"IXSSRRS"}, "i0 / #1 / " + kFull + " / " + kFull + " / -|-|1709214300|",
     "r8 s8 r2 r60 s74 r6 s80 r7 s88 r20 s108 r6 s114 r29 s70 r4"},
    // Nothing to walk: a first IFD offset of 0, a short header, a context never bound.
    {"NoIfd", TiffBuilder().firstIfdOffset(0), {"ISX"}, "i0 / -|-|-| / 0"},
    {"ShortHeader", TiffBuilder().firstIfdOffset(0), {"ISX"}, "i6 / -|-|-| / 0", "", "", "", 3},
    {"NeverBound", full(), {"RSX"}, "-|-|-| / 0"},
    {"NoPacket", TiffBuilder().ascii(271, "mk"), {"IX"}, "i0 / 0"},
    // A failed walk leaves the buffer untouched and what it gathered in the context; the next
    // walk starts over at the same IFD.
    {"FailedWalk", TiffBuilder().ascii(271, "Maker").ascii(272, "Model name"), {"ISXS", 0, false, 5},
     "i0 / ~ / 0 / -|-|-|Make=Maker,Make=Maker,Model=Model name"},
    // A walk resumed after a release starts a fresh list.
    {"ResumedAfterRelease", TiffBuilder().ascii(271, "first ifd").ifd().ascii(272, "second ifd"), {"ISRS", 0, false, 8},
     "i0 / ~ / -|-|-|Model=second ifd"},
};

class Rows : public ::testing::TestWithParam<Row> {};

TEST_P(Rows, HostSeesWhatTheRowSays)
{
    setTimeZone("UTC0");
    checkRow(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Delivery, Rows, ::testing::ValuesIn(kRows), [](const auto &i) { return std::string(i.param.name); });

// The summary's blocks stay the context's until the release, even past freeContext.
TEST(Delivery, FreeContextReturnsTheContextAlone)
{
    TestHost host;
    MemoryStream stream(TiffBuilder().ascii(269, "T").ascii(315, "A").ascii(271, "M").build());
    TifContext *ctx = reader().allocateContext(0, 0, nullptr, host.services(), 0);
    ASSERT_EQ(reader().initDoc(ctx, 0, 0, stream.stream()), 0u);
    SummaryInfo s{};
    reader().getSummaryInfo(ctx, &s, 0);
    const size_t before = host.liveBlocks();
    EXPECT_EQ(reader().freeContext(ctx), 0u);
    EXPECT_EQ(host.liveBlocks(), before - 1);
    EXPECT_TRUE(host.owns(s.title) && host.owns(s.author) && host.owns(s.properties));
}

} // namespace

// The library's exports, the reader table and a context's life.
#include <gtest/gtest.h>

#include "context.h"
#include "reader_fixture.h"
#include "tiff_builder.h"

using namespace testhost;

namespace {

const char *const kExports[] = {"tifGetReaderInterface", "tifAllocateContext", "tifFillBuffer",
                                "tifFreeContext", "tifGetSummaryInfo", "tifInitDoc"};

TEST(ReaderTable, ExportsMatchTheSlotsTheyFill)
{
    for (const char *name : kExports)
        EXPECT_NE(moduleSymbol(name), nullptr) << name;
    EXPECT_EQ(moduleSymbol("tifGetXmpInfo"), nullptr) << "reachable only through slot 11";
    EXPECT_EQ(moduleSymbol("tifWalkIfds"), nullptr);

    const ReaderInterface &t = reader();
    EXPECT_EQ(reinterpret_cast<void *>(t.allocateContext), moduleSymbol("tifAllocateContext"));
    EXPECT_EQ(reinterpret_cast<void *>(t.freeContext), moduleSymbol("tifFreeContext"));
    EXPECT_EQ(reinterpret_cast<void *>(t.initDoc), moduleSymbol("tifInitDoc"));
    EXPECT_EQ(reinterpret_cast<void *>(t.fillBuffer), moduleSymbol("tifFillBuffer"));
    EXPECT_EQ(reinterpret_cast<void *>(t.getSummaryInfo), moduleSymbol("tifGetSummaryInfo"));
    EXPECT_NE(t.getXmpInfo, nullptr);
}

TEST(ReaderTable, LeavesTheHostsOwnSlotsAlone)
{
    auto get = reinterpret_cast<TifGetReaderInterfaceFn>(moduleSymbol("tifGetReaderInterface"));
    void *slots[TIF_SLOT_COUNT];
    for (void *&slot : slots)
        slot = reinterpret_cast<void *>(0x5EED5EED);
    get(reinterpret_cast<ReaderInterface *>(slots));
    void *first[TIF_SLOT_COUNT];
    std::memcpy(first, slots, sizeof slots);
    get(reinterpret_cast<ReaderInterface *>(slots));

    for (int i = 0; i < TIF_SLOT_COUNT; ++i) {
        const bool written = i <= 3 || i == 5 || i == 11;
        EXPECT_EQ(slots[i] != reinterpret_cast<void *>(0x5EED5EED), written) << "slot " << i;
        EXPECT_EQ(slots[i], first[i]) << "a second call writes the same values";
    }
}

TEST(ContextLife, NewContextHoldsOnlyWhatTheHostGave)
{
    TestHost host; // hands out garbage-filled blocks, so only real zeroing passes
    uint32_t status = 0;
    TifContext *ctx = reader().allocateContext(7, 8, &status, host.services(), 9);
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(status, 1u);
    EXPECT_EQ(host.blockSize(ctx), sizeof(TifContext));

    TifContext expected;
    std::memset(&expected, 0, sizeof expected);
    expected.hostParam1 = 7;
    expected.hostParam2 = 8;
    expected.host = host.services();
    expected.hostFlags = 9;
    EXPECT_EQ(std::memcmp(ctx, &expected, sizeof expected), 0);

    EXPECT_EQ(reader().freeContext(ctx), 0u);
    EXPECT_EQ(host.liveBlocks(), 0u);
    EXPECT_TRUE(host.misuse().empty()) << host.misuse().front();
}

TEST(ContextLife, RefusedContextIsNullAndStatusStillOne)
{
    TestHost host;
    host.refuseRequest(1);
    uint32_t status = 0;
    EXPECT_EQ(reader().allocateContext(1, 2, &status, host.services(), 3), nullptr);
    EXPECT_EQ(status, 1u);
}

TEST(ContextLife, NullContextCallsNoService)
{
    HostServices none; // every slot null: any call into it would crash
    std::memset(&none, 0, sizeof none);
    EXPECT_EQ(reader().freeContext(nullptr), 0u);
    for (uint32_t release : {0u, 1u, 0x80000000u}) {
        SummaryInfo summary = markedBuffer<SummaryInfo>();
        XmpInfo xmp = markedBuffer<XmpInfo>();
        EXPECT_EQ(reader().getSummaryInfo(nullptr, &summary, release), 6u);
        EXPECT_EQ(reader().getXmpInfo(nullptr, &xmp, release), 6u);
        EXPECT_TRUE(untouched(summary));
        EXPECT_TRUE(untouched(xmp));
    }
}

// Null pointers where the host must pass valid ones: an orderly return, nothing touched.
TEST(ContextLife, NullArgumentsReturnInOrder)
{
    auto get = reinterpret_cast<TifGetReaderInterfaceFn>(moduleSymbol("tifGetReaderInterface"));
    get(nullptr);
    EXPECT_EQ(reader().allocateContext(0, 0, nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(reader().initDoc(nullptr, 0, 0, nullptr), 6u);

    TestHost host;
    TifContext *ctx = reader().allocateContext(0, 0, nullptr, host.services(), 0);
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(reader().initDoc(ctx, 0, 0, nullptr), 6u);
    EXPECT_EQ(ctx->stream, nullptr);
    uint32_t status = 0;
    EXPECT_EQ(reader().fillBuffer(ctx, nullptr, 0, &status, 0), 0u);
    EXPECT_EQ(status, 100u);
    EXPECT_EQ(ctx->outCursor, nullptr);
    uint8_t buffer[62];
    EXPECT_EQ(reader().fillBuffer(nullptr, buffer, 0, nullptr, 0), 0u);
    reader().freeContext(ctx);
    EXPECT_EQ(host.liveBlocks(), 0u);
}

TEST(ContextLife, FreeContextReturnsTheContextAlone)
{
    Document doc(TiffBuilder().ascii(269, "T").ascii(315, "A").ascii(271, "M").build());
    ASSERT_EQ(doc.open(), 0u);
    SummaryInfo s;
    ASSERT_TRUE(doc.summary(&s));
    const size_t before = doc.host.liveBlocks();
    reader().freeContext(doc.ctx);
    doc.ctx = nullptr;
    EXPECT_EQ(doc.host.liveBlocks(), before - 1);
    EXPECT_TRUE(doc.host.owns(s.title));
    EXPECT_TRUE(doc.host.owns(s.author));
    EXPECT_TRUE(doc.host.owns(s.properties));
}

TEST(ContextLife, IgnoredArgumentsChangeNothing)
{
    const auto bytes = TiffBuilder().ascii(271, "Maker").build();
    SummaryInfo a, b;
    {
        TestHost host;
        MemoryStream stream(bytes);
        uint32_t status;
        TifContext *ctx = reader().allocateContext(0, 0, &status, host.services(), 0);
        ASSERT_EQ(reader().initDoc(ctx, 0, 0, stream.stream()), 0u);
        reader().getSummaryInfo(ctx, &a, 0);
        a.properties = nullptr;
        reader().getSummaryInfo(ctx, nullptr, 1);
        reader().freeContext(ctx);
    }
    Document doc(bytes); // passes odd values for every ignored argument
    ASSERT_EQ(doc.open(), 0u);
    ASSERT_TRUE(doc.summary(&b));
    EXPECT_EQ(propertiesOf(b).at(0).second, "Maker");
    b.properties = nullptr;
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
}

} // namespace

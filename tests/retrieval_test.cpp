// Handing the summary and the XMP record to the host, in either order, repeated, released.
#include <gtest/gtest.h>

#include "context.h"
#include "reader_fixture.h"
#include "tiff_builder.h"

using namespace testhost;

namespace {

const XmpInfo kNoRecord = {};

std::vector<uint8_t> fullDocument()
{
    return TiffBuilder()
        .ascii(269, "The title")
        .ascii(315, "The artist")
        .ascii(306, "2024:02:29 13:45:00")
        .ascii(271, "Maker")
        .bytes(700, kUndefined, "<x:xmpmeta>packet</x:xmpmeta>")
        .build();
}

TEST(Retrieval, EitherOrderReadsTheDocumentOnce)
{
    setTimeZone("UTC0");
    for (bool summaryFirst : {true, false}) {
        Document doc(fullDocument());
        ASSERT_EQ(doc.open(), 0u);
        SummaryInfo s;
        XmpInfo x;
        long readsAfterFirst;
        if (summaryFirst) {
            ASSERT_TRUE(doc.summary(&s));
            readsAfterFirst = doc.stream.reads();
            ASSERT_TRUE(doc.xmp(&x));
        } else {
            ASSERT_TRUE(doc.xmp(&x));
            readsAfterFirst = doc.stream.reads();
            ASSERT_TRUE(doc.summary(&s));
        }
        EXPECT_EQ(doc.stream.reads(), readsAfterFirst);
        EXPECT_EQ(doc.lastStatus, 0u);
        EXPECT_STREQ(s.title, "The title");
        EXPECT_STREQ(s.author, "The artist");
        EXPECT_EQ(secondsFromFileTime(s.createTime), 1709214300);
        const XmpInfo expected = TestHost::recordFor(0, "<x:xmpmeta>packet</x:xmpmeta>" + std::string(1, '\0'));
        EXPECT_EQ(std::memcmp(&x, &expected, sizeof x), 0);

        // Everything but the four filled fields is zero in the host's copy.
        SummaryInfo rest = s;
        rest.title = rest.author = nullptr;
        rest.properties = nullptr;
        std::memset(rest.createTime, 0, 8);
        EXPECT_EQ(std::memcmp(&rest, &(const SummaryInfo &)SummaryInfo{}, sizeof rest), 0);

        ASSERT_TRUE(doc.xmp(&x));
        EXPECT_EQ(std::memcmp(&x, &kNoRecord, sizeof x), 0) << "the record changed owner";
        SummaryInfo again;
        ASSERT_TRUE(doc.summary(&again));
        EXPECT_EQ(std::memcmp(&s, &again, sizeof s), 0);

        doc.release();
        EXPECT_EQ(doc.lastStatus, 0u);
        ASSERT_TRUE(doc.summary(&again));
        EXPECT_EQ(again.title, nullptr);
        EXPECT_EQ(again.author, nullptr);
        EXPECT_EQ(again.properties, nullptr);
        EXPECT_EQ(std::memcmp(again.createTime, s.createTime, 8), 0);
        doc.release();
        EXPECT_EQ(doc.host.liveBlocks(), 1u) << "only the context is left";
    }
}

TEST(Retrieval, XmpReleaseFlagDoesNothing)
{
    Document doc(fullDocument());
    ASSERT_EQ(doc.open(), 0u);
    XmpInfo x = markedBuffer<XmpInfo>();
    EXPECT_EQ(reader().getXmpInfo(doc.ctx, &x, 1), 0u);
    EXPECT_TRUE(untouched(x));
    EXPECT_EQ(doc.stream.reads(), 1);
    ASSERT_TRUE(doc.xmp(&x));
    EXPECT_NE(std::memcmp(&x, &kNoRecord, sizeof x), 0);
}

// A context with nothing to walk hands over an all-zero summary and record.
TEST(Retrieval, NothingToWalkGivesZeroBlocks)
{
    const std::vector<std::vector<uint8_t>> documents = {
        {'I', 'I', 42, 0, 0, 0, 0, 0}, // first IFD offset 0
        {'I', 'I', 42},                // short header
        TiffBuilder().ascii(271, "no xmp here").build(),
    };
    for (size_t i = 0; i < documents.size(); ++i) {
        Document doc(documents[i]);
        doc.open();
        XmpInfo x;
        ASSERT_TRUE(doc.xmp(&x));
        EXPECT_EQ(std::memcmp(&x, &kNoRecord, sizeof x), 0);
        if (i < 2) {
            SummaryInfo s;
            ASSERT_TRUE(doc.summary(&s));
            EXPECT_EQ(std::memcmp(&s, &(const SummaryInfo &)SummaryInfo{}, sizeof s), 0);
        }
    }
    // Never bound at all.
    TestHost host;
    uint32_t status;
    TifContext *ctx = reader().allocateContext(0, 0, &status, host.services(), 0);
    SummaryInfo s = markedBuffer<SummaryInfo>();
    EXPECT_EQ(reader().getSummaryInfo(ctx, &s, 0), 0u);
    EXPECT_EQ(std::memcmp(&s, &(const SummaryInfo &)SummaryInfo{}, sizeof s), 0);
    EXPECT_EQ(reader().getSummaryInfo(ctx, nullptr, 1), 0u) << "a release with nothing to free";
    reader().freeContext(ctx);
    EXPECT_EQ(host.liveBlocks(), 0u);
}

TEST(Retrieval, FailedWalkLeavesTheBufferAsTheHostLeftIt)
{
    Document doc(TiffBuilder().ascii(271, "Maker").ascii(272, "Model name").build());
    doc.stream.cutRead(5); // the second value
    ASSERT_EQ(doc.open(), 0u);
    SummaryInfo s;
    XmpInfo x;
    EXPECT_FALSE(doc.summary(&s));
    EXPECT_EQ(doc.lastStatus, 0u);
    EXPECT_EQ(doc.ctx->summary.properties->count, 1) << "what was gathered stays";
    ASSERT_TRUE(doc.xmp(&x)) << "the next walk starts over at the same IFD";
    EXPECT_EQ(propertiesOf(doc.ctx->summary).size(), 3u);
}

// A walk that stopped, a release, and a walk that resumes and meets a property.
TEST(Retrieval, WalkResumedAfterReleaseStartsAFreshList)
{
    TiffBuilder b;
    b.ascii(271, "first ifd").ifd().ascii(272, "second ifd");
    Document doc(b.build());
    doc.stream.cutRead(8); // the second IFD's entry array
    ASSERT_EQ(doc.open(), 0u);
    SummaryInfo s;
    EXPECT_FALSE(doc.summary(&s));
    doc.release();
    ASSERT_TRUE(doc.summary(&s));
    EXPECT_EQ(propertiesOf(s), (std::vector<std::pair<std::string, std::string>>{{"Model", "second ifd"}}));
    doc.close();
    EXPECT_EQ(doc.host.liveBlocks(), 0u);
}

TEST(Retrieval, ReleaseWithEmptyListFreesOnlyTheRecord)
{
    Document doc({'I', 'I', 42, 0, 0, 0, 0, 0});
    ASSERT_EQ(doc.open(), 0u);
    auto *list = static_cast<PropertyList *>(doc.host.services()->hostCalloc(&doc.host.services()->hostHeap, 1, 16));
    std::memset(list, 0, sizeof *list);
    doc.ctx->summary.properties = list;
    const size_t live = doc.host.liveBlocks();
    doc.release();
    EXPECT_EQ(doc.host.liveBlocks(), live - 1);
    EXPECT_TRUE(doc.host.misuse().empty());
}

} // namespace

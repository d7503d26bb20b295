// The IFD walk: chains, buffers, inline values, stream economy, XMP packets, loops, failures.
#include <gtest/gtest.h>

#include "context.h"
#include "reader_fixture.h"
#include "tiff_builder.h"

using namespace testhost;

namespace {

using Props = std::vector<std::pair<std::string, std::string>>;

std::string ops(const MemoryStream &stream, size_t from = 0)
{
    std::string out;
    for (size_t i = from; i < stream.log().size(); ++i)
        out += stream.log()[i].kind + std::to_string(stream.log()[i].value) + " ";
    return out;
}

TEST(Walk, FollowsTheChainToItsEndOnce)
{
    TiffBuilder b(false);
    b.ascii(271, "one").ifd().ifd().ascii(272, "three");
    Document doc(b.build());
    ASSERT_EQ(doc.open(), 0u);
    SummaryInfo s;
    ASSERT_TRUE(doc.summary(&s));
    EXPECT_EQ(propertiesOf(s), (Props{{"Make", "one"}, {"Model", "three"}}));
    EXPECT_EQ(doc.ctx->ifdOffset, 0u);

    const long reads = doc.stream.reads(), seeks = doc.stream.seeks();
    const long requests = doc.host.requests();
    SummaryInfo again;
    ASSERT_TRUE(doc.summary(&again));
    EXPECT_EQ(std::memcmp(&s, &again, sizeof s), 0);
    EXPECT_EQ(doc.stream.reads(), reads);
    EXPECT_EQ(doc.stream.seeks(), seeks);
    EXPECT_EQ(doc.host.requests(), requests);
}

// One read per entry array; one seek and one read per value over 4 bytes; none for shorter.
TEST(Walk, StreamAccessIsTheMinimumTheLayoutAllows)
{
    TiffBuilder b;
    b.ascii(271, "abc").raw(256, kLong, 1, 640).ascii(272, "longer model").ifd().bytes(700, kUndefined, "<x/>");
    Document doc(b.build());
    ASSERT_EQ(doc.open(), 0u);
    SummaryInfo s;
    ASSERT_TRUE(doc.summary(&s));
    const uint32_t first = b.ifdOffset(0), second = b.ifdOffset(1);
    const std::string expected = "r8 s" + std::to_string(first) + " r2 r36 s" +
                                 std::to_string(first + 2 + 36 + 4) + " r13 s" + std::to_string(first + 38) +
                                 " r4 s" + std::to_string(second) + " r2 r12 s" +
                                 std::to_string(second + 14) + " r4 ";
    EXPECT_EQ(ops(doc.stream), expected);
    EXPECT_EQ(doc.host.xmpCalls.at(0).packet, std::string("<x/>\0", 5));
}

TEST(Walk, EntryBufferIsObtainedOnceAndGrowsOnlyForALargerIfd)
{
    TiffBuilder b;
    b.raw(256, kLong, 1, 1).raw(257, kLong, 1, 1);
    b.ifd().raw(256, kLong, 1, 1);
    b.ifd();
    for (int i = 0; i < 5; ++i)
        b.raw(static_cast<uint16_t>(300 + i), kShort, 1, 1);
    Document doc(b.build());
    ASSERT_EQ(doc.open(), 0u);
    const long afterContext = doc.host.requests();
    SummaryInfo s;
    ASSERT_TRUE(doc.summary(&s));
    const auto &log = doc.host.requestLog();
    ASSERT_EQ(doc.host.requests() - afterContext, 2);
    EXPECT_EQ(log[afterContext].kind, 'c');
    EXPECT_EQ(log[afterContext].count, 2);
    EXPECT_EQ(log[afterContext].size, 12);
    EXPECT_EQ(log[afterContext + 1].kind, 'z');
    EXPECT_EQ(log[afterContext + 1].size, 60);
}

TEST(Walk, EmptyIfdStillAsksForItsEntryBuffer)
{
    TiffBuilder b;
    b.ifd().ifd().ascii(271, "second");
    Document doc(b.build());
    ASSERT_EQ(doc.open(), 0u);
    SummaryInfo s;
    ASSERT_TRUE(doc.summary(&s));
    EXPECT_EQ(doc.host.requestLog().at(1).count, 0);
    EXPECT_NE(ops(doc.stream).find("r2 r0 s" + std::to_string(b.ifdOffset(0) + 2) + " r4"), std::string::npos);
    EXPECT_EQ(propertiesOf(s), (Props{{"Make", "second"}}));

    Document refused(b.build());
    refused.host.refuseRequest(2);
    ASSERT_EQ(refused.open(), 0u);
    EXPECT_FALSE(refused.summary(&s));
}

// A long value followed by shorter ones: the buffer is reused, and no stale byte of the long
// value shows through a shorter one.
TEST(Walk, ValueBufferGrowsAndShorterValuesReuseIt)
{
    const std::string longValue(300, 'L');
    TiffBuilder b;
    b.ascii(271, "short").ascii(272, longValue).ascii(305, "mid value").ascii(316, "ab");
    Document doc(b.build());
    ASSERT_EQ(doc.open(), 0u);
    SummaryInfo s;
    ASSERT_TRUE(doc.summary(&s));
    EXPECT_EQ(propertiesOf(s),
              (Props{{"Make", "short"}, {"Model", longValue}, {"Software", "mid value"}, {"Host Computer", "ab"}}));
    long valueRequests = 0;
    for (const auto &r : doc.host.requestLog()) {
        if (r.kind == 'z') {
            EXPECT_EQ(r.size, 302);
            ++valueRequests;
        }
    }
    EXPECT_EQ(valueRequests, 1);
}

// Reads of 64 KiB and more compare all 32 bits of the count, both ways.
TEST(Walk, LargeValuesPacketsAndIfdsReadWhole)
{
    const std::string big(70000, 'D');
    const std::string packet = "<x:xmpmeta>" + std::string(100000, ' ') + "</x:xmpmeta>";
    TiffBuilder b;
    b.ascii(270, big).bytes(700, kUndefined, packet);
    b.ifd();
    for (int i = 0; i < 6000; ++i)
        b.raw(static_cast<uint16_t>(40000 + i % 1000), kShort, 1, 1);
    b.ascii(271, "after six thousand");
    Document doc(b.build());
    ASSERT_EQ(doc.open(), 0u);
    SummaryInfo s;
    ASSERT_TRUE(doc.summary(&s));
    EXPECT_EQ(propertiesOf(s), (Props{{"Description", big}, {"Make", "after six thousand"}}));
    ASSERT_EQ(doc.host.xmpCalls.size(), 1u);
    EXPECT_EQ(doc.host.xmpCalls[0].size, packet.size() + 1);

    // 65538 asked, 2 delivered: the low 16 bits agree, the count does not.
    std::vector<uint8_t> cut = TiffBuilder().ascii(270, std::string(65537, 'x')).build();
    cut.resize(cut.size() - 65536);
    Document truncated(cut);
    ASSERT_EQ(truncated.open(), 0u);
    EXPECT_FALSE(truncated.summary(&s));
    EXPECT_EQ(truncated.stream.log().back().value, 65538u);
}

TEST(Walk, ShortValuesComeFromTheEntryItself)
{
    TiffBuilder b;
    b.ascii(271, "abc").bytes(700, kUndefined, "<a/>").ascii(272, "");
    Document doc(b.build());
    ASSERT_EQ(doc.open(), 0u);
    SummaryInfo s;
    ASSERT_TRUE(doc.summary(&s));
    EXPECT_EQ(doc.stream.reads(), 1 + 3);
    EXPECT_EQ(doc.stream.seeks(), 2);
    EXPECT_EQ(propertiesOf(s), (Props{{"Make", "abc"}, {"Model", ""}}));
    EXPECT_EQ(doc.host.xmpCalls.at(0).packet, std::string("<a/>\0", 5));
}

TEST(Walk, EveryPacketGoesToTheHostAndTheLastRecordStays)
{
    const std::string first = "<first packet/>", second = "<second packet stored far away/>";
    TiffBuilder b;
    b.bytes(700, kUndefined, first).ifd().bytes(700, kUndefined, second, true).ascii(271, "m");
    Document doc(b.build());
    ASSERT_EQ(doc.open(), 0u);
    XmpInfo x;
    ASSERT_TRUE(doc.xmp(&x));
    ASSERT_EQ(doc.host.xmpCalls.size(), 2u);
    EXPECT_EQ(doc.host.xmpCalls[1].packet, second + '\0');
    EXPECT_EQ(doc.host.xmpCalls[1].size, second.size() + 1);
    EXPECT_EQ(doc.host.xmpCalls[1].mode, 1u);
    const XmpInfo expected = TestHost::recordFor(1, second + '\0');
    EXPECT_EQ(std::memcmp(&x, &expected, sizeof x), 0);
    EXPECT_EQ(doc.host.liveBlocks(), 5u) << "the context and the list's four blocks; no packet";
}

// A packet the host turns down is dropped and the walk goes on as for any other: the
// record of an earlier packet stays, and no IFD is dispatched twice.
TEST(Walk, RejectedPacketNeitherEndsTheWalkNorRepeatsProperties)
{
    TiffBuilder b;
    b.bytes(700, kUndefined, "<good/>").ifd().ascii(271, "before").bytes(700, kUndefined, "<bad packet/>")
        .ascii(272, "after").ifd().ascii(305, "next ifd");
    Document doc(b.build());
    doc.host.xmpRecordsToGive = 1;
    ASSERT_EQ(doc.open(), 0u);
    SummaryInfo s;
    ASSERT_TRUE(doc.summary(&s));
    EXPECT_EQ(doc.ctx->ifdOffset, 0u);
    EXPECT_EQ(propertiesOf(s), (Props{{"Make", "before"}, {"Model", "after"}, {"Software", "next ifd"}}));
    EXPECT_EQ(doc.host.xmpCalls.size(), 2u);
    ASSERT_TRUE(doc.summary(&s));
    EXPECT_EQ(propertiesOf(s).size(), 3u);
    XmpInfo x;
    ASSERT_TRUE(doc.xmp(&x));
    const XmpInfo expected = TestHost::recordFor(0, std::string("<good/>", 8));
    EXPECT_EQ(std::memcmp(&x, &expected, sizeof x), 0);
    EXPECT_EQ(doc.host.liveBlocks(), 9u) << "the context and the list's blocks; no packet";
}

struct LoopCase {
    const char *name;
    size_t ifds;
    size_t loopTo; // the last IFD links here
};

class Loops : public ::testing::TestWithParam<LoopCase> {};

// A chain that leads back to an IFD already read ends there, each IFD read once.
TEST_P(Loops, EndTheChainWithoutReadingAnIfdTwice)
{
    const LoopCase &c = GetParam();
    TiffBuilder b;
    for (size_t i = 0; i < c.ifds; ++i)
        b.ifd().ascii(271, "ifd " + std::to_string(i));
    b.linkTo(c.loopTo);
    Document doc(b.build());
    ASSERT_EQ(doc.open(), 0u);
    SummaryInfo s;
    ASSERT_TRUE(doc.summary(&s));
    EXPECT_EQ(s.properties->count, static_cast<int32_t>(c.ifds));
    EXPECT_EQ(doc.ctx->ifdOffset, 0u);
    EXPECT_EQ(doc.stream.reads(), static_cast<long>(1 + 4 * c.ifds)); // count, entries, value, next
    ASSERT_TRUE(doc.summary(&s));
    EXPECT_EQ(s.properties->count, static_cast<int32_t>(c.ifds));
    doc.close();
    EXPECT_EQ(doc.host.liveBlocks(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Chains, Loops,
                         ::testing::Values(LoopCase{"Self", 1, 0}, LoopCase{"Pair", 2, 0},
                                           LoopCase{"BackToMiddle", 5, 2},
                                           LoopCase{"ThousandCycle", 1000, 0}),
                         [](const auto &info) { return std::string(info.param.name); });

// Chains in and out of file order move the set of IFDs read from its ordered form to its
// hashed one, in the inline slots and in host blocks. Every loop must still end there, and a
// refused block for the set must end the walk at that IFD, leaking nothing.
TEST(Walk, LoopsEndInChainsInAndOutOfFileOrder)
{
    constexpr size_t n = 40;
    TiffBuilder probe; // the same IFDs, to know where each one lands
    for (size_t i = 0; i < n; ++i)
        probe.ifd().ascii(271, "ifd " + std::to_string(100 + i));
    std::vector<size_t> ascending, descending, lateTurn;
    for (size_t i = 0; i < n; ++i) {
        ascending.push_back(i);
        descending.push_back(n - 1 - i);
        lateTurn.push_back(i < 35 ? i : n + 34 - i); // 0..34, then 39 down to 35
    }
    const std::pair<std::vector<size_t>, size_t> chains[] = {
        {ascending, 7}, {descending, 20}, {lateTurn, 5}};
    for (const auto &[chain, loopTo] : chains) {
        std::vector<uint32_t> next(n);
        for (size_t k = 0; k + 1 < n; ++k)
            next[chain[k]] = probe.ifdOffset(chain[k + 1]);
        next[chain.back()] = probe.ifdOffset(loopTo);
        TiffBuilder b;
        b.firstIfdOffset(probe.ifdOffset(chain[0]));
        for (size_t i = 0; i < n; ++i)
            b.ifd().ascii(271, "ifd " + std::to_string(100 + i)).nextOffset(next[i]);
        const std::vector<uint8_t> bytes = b.build();

        Document doc(bytes);
        ASSERT_EQ(doc.open(), 0u);
        SummaryInfo s;
        ASSERT_TRUE(doc.summary(&s));
        EXPECT_EQ(s.properties->count, int32_t(n)) << "loop to " << loopTo;
        EXPECT_EQ(doc.ctx->ifdOffset, 0u);
        EXPECT_EQ(doc.stream.reads(), long(1 + 4 * n));
        doc.close();
        EXPECT_EQ(doc.host.liveBlocks(), 0u);

        // The set's own blocks are the only byte-sized requests of 256 bytes and more.
        const auto &log = doc.host.requestLog();
        for (size_t k = 0; k < log.size(); ++k) {
            if (log[k].kind != 'c' || log[k].size != 1 || log[k].count < 256)
                continue;
            Document refused(bytes);
            ASSERT_EQ(refused.open(), 0u);
            refused.host.refuseRequest(long(k) + 1);
            EXPECT_FALSE(refused.summary(&s)) << "loop to " << loopTo << ", request " << k + 1;
            EXPECT_NE(refused.ctx->ifdOffset, 0u);
            refused.close();
            EXPECT_EQ(refused.host.liveBlocks(), 0u);
            EXPECT_TRUE(refused.host.misuse().empty());
        }
    }
}

TEST(Walk, HundredThousandIfdsCostLinearTime)
{
    TiffBuilder b;
    for (int i = 0; i < 100000; ++i)
        b.ifd().raw(256, kLong, 1, static_cast<uint32_t>(i));
    b.ascii(271, "last");
    Document doc(b.build());
    ASSERT_EQ(doc.open(), 0u);
    SummaryInfo s;
    ASSERT_TRUE(doc.summary(&s));
    EXPECT_EQ(doc.stream.reads(), 1 + 3 * 100000 + 1);
    EXPECT_LT(doc.host.requests(), 40) << "the table of IFDs read doubles, it does not creep";
    doc.close();
    EXPECT_EQ(doc.host.liveBlocks(), 0u);
}

TEST(Walk, ShortReadsEndTheWalkWhereTheyHappen)
{
    SummaryInfo s;
    // An unhandled tag whose value lies past the end still fails the walk.
    Document pastEnd(TiffBuilder().raw(285, kAscii, 50, 100000).build());
    ASSERT_EQ(pastEnd.open(), 0u);
    EXPECT_FALSE(pastEnd.summary(&s));
    EXPECT_EQ(pastEnd.lastStatus, 0u);

    // A missing next-IFD offset: the IFD is dispatched, the walk fails and stays there, and
    // the next walk dispatches it again.
    TiffBuilder b;
    b.ascii(271, "mk").ascii(315, "art");
    std::vector<uint8_t> bytes = b.build();
    bytes.resize(b.ifdOffset(0) + 2 + 24 + 2);
    Document noNext(bytes);
    ASSERT_EQ(noNext.open(), 0u);
    EXPECT_FALSE(noNext.summary(&s));
    EXPECT_EQ(noNext.ctx->ifdOffset, b.ifdOffset(0));
    EXPECT_FALSE(noNext.summary(&s));
    EXPECT_EQ(noNext.ctx->summary.properties->count, 2);
    EXPECT_STREQ(noNext.ctx->summary.author, "art");
}

TEST(Walk, SaturatedCountsAreRefusedByTheHost)
{
    for (uint32_t count : {0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
        for (uint16_t tag : {uint16_t(271), uint16_t(700)}) {
            Document doc(TiffBuilder().raw(tag, tag == 700 ? kUndefined : kAscii, count, 64).build());
            ASSERT_EQ(doc.open(), 0u);
            SummaryInfo s;
            EXPECT_FALSE(doc.summary(&s));
            EXPECT_EQ(doc.host.requestLog().back().count, INT32_MIN) << count;
        }
    }
}

TEST(Walk, XmpTagOfTypeAsciiIsReadTwice)
{
    Document doc(TiffBuilder().bytes(700, kAscii, "<x:xmpmeta/>").build());
    ASSERT_EQ(doc.open(), 0u);
    SummaryInfo s;
    ASSERT_TRUE(doc.summary(&s));
    EXPECT_EQ(doc.host.xmpCalls.size(), 1u);
    EXPECT_EQ(doc.stream.reads(), 1 + 2 + 2 + 1);
    EXPECT_EQ(s.properties, nullptr);
}

} // namespace

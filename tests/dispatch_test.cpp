// The eleven textual tags and where each one's value goes.
#include <gtest/gtest.h>

#include "context.h"
#include "reader_fixture.h"
#include "tiff_builder.h"

using namespace testhost;

namespace {

struct Outcome {
    std::string title, author;
    int64_t createTime = 0; // seconds, 0 when none
    std::vector<std::pair<std::string, std::string>> properties;
    bool written = false;
};

Outcome summarize(const TiffBuilder &builder)
{
    setTimeZone("UTC0");
    Document doc(builder.build());
    Outcome out;
    EXPECT_EQ(doc.open(), 0u);
    SummaryInfo s;
    out.written = doc.summary(&s);
    if (!out.written)
        doc.summary(&s);
    out.title = s.title ? s.title : "";
    out.author = s.author ? s.author : "";
    static const uint8_t zero[8] = {};
    if (std::memcmp(s.createTime, zero, 8) != 0)
        out.createTime = secondsFromFileTime(s.createTime);
    out.properties = propertiesOf(s);
    doc.close();
    EXPECT_EQ(doc.host.liveBlocks(), 0u);
    EXPECT_TRUE(doc.host.misuse().empty());
    return out;
}

struct TagCase {
    uint16_t tag;
    const char *propertyName; // null for the title, author and date roles
};

class EachTag : public ::testing::TestWithParam<TagCase> {};

TEST_P(EachTag, GoesToItsRole)
{
    const TagCase &c = GetParam();
    const std::string text = c.tag == 306 ? "2024:02:29 13:45:00" : "value of the tag";
    for (bool little : {true, false}) {
        Outcome out = summarize(TiffBuilder(little).ascii(c.tag, text));
        EXPECT_TRUE(out.written);
        if (c.tag == 269) {
            EXPECT_EQ(out.title, text);
        } else if (c.tag == 315) {
            EXPECT_EQ(out.author, text);
        } else if (c.tag == 306) {
            EXPECT_EQ(out.createTime, 1709214300);
        } else {
            ASSERT_EQ(out.properties.size(), 1u);
            EXPECT_EQ(out.properties[0].first, c.propertyName);
            EXPECT_EQ(out.properties[0].second, text);
        }
        if (c.propertyName != nullptr) {
            EXPECT_TRUE(out.title.empty() && out.author.empty() && out.createTime == 0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Tags, EachTag,
                         ::testing::Values(TagCase{269, nullptr}, TagCase{270, "Description"},
                                           TagCase{271, "Make"}, TagCase{272, "Model"},
                                           TagCase{305, "Software"}, TagCase{306, nullptr},
                                           TagCase{315, nullptr}, TagCase{316, "Host Computer"},
                                           TagCase{333, "Ink Set"}, TagCase{337, "Target Printer"},
                                           TagCase{33432, "Copyright"}),
                         [](const auto &info) { return std::to_string(info.param.tag); });

TEST(Dispatch, RepeatedTagsAcrossTheWalk)
{
    Outcome out = summarize(TiffBuilder()
                                .ascii(269, "first title")
                                .ascii(306, "2024:01:01 00:00:00")
                                .ascii(315, "first artist")
                                .ifd()
                                .ascii(269, "second title")
                                .ascii(306, "2024:12:31 23:59:59")
                                .ascii(315, "second artist")
                                .ascii(315, "third artist"));
    EXPECT_EQ(out.title, "first title");
    EXPECT_EQ(out.author, "first artist");
    EXPECT_EQ(out.createTime, 1704067200);
    const decltype(out.properties) expected = {{"Create_DTM", "2024:12:31 23:59:59"},
                                               {"Author", "second artist"},
                                               {"Author", "third artist"}};
    EXPECT_EQ(out.properties, expected);
}

TEST(Dispatch, OnlyAsciiEntriesOfKnownTagsAreKept)
{
    Outcome out = summarize(TiffBuilder()
                                .ascii(285, "page name is read and dropped")
                                .bytes(271, kUndefined, "not ascii\0", false)
                                .bytes(272, kShort, "ab")
                                .ascii(305, "kept"));
    EXPECT_TRUE(out.written);
    const decltype(out.properties) expected = {{"Software", "kept"}};
    EXPECT_EQ(out.properties, expected);
}

TEST(Dispatch, RejectedDateStopsDispatchButTheChainIsFollowed)
{
    setTimeZone("UTC0");
    Document doc(TiffBuilder()
                     .ascii(271, "before")
                     .ascii(306, "not a date at all!")
                     .ascii(272, "after")
                     .ifd()
                     .ascii(305, "next ifd")
                     .build());
    ASSERT_EQ(doc.open(), 0u);
    SummaryInfo s;
    EXPECT_FALSE(doc.summary(&s));
    EXPECT_EQ(doc.lastStatus, 0u);
    EXPECT_EQ(doc.ctx->ifdOffset, 0u);
    const long reads = doc.stream.reads();
    ASSERT_TRUE(doc.summary(&s)) << "the next retrieval copies what was gathered";
    EXPECT_EQ(doc.stream.reads(), reads);
    const decltype(propertiesOf(s)) expected = {{"Make", "before"}};
    EXPECT_EQ(propertiesOf(s), expected);
}

} // namespace

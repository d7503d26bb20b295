// The store of title, author and named properties: copies, the leading-zero rule, and the
// state left by every refusal.
#include <gtest/gtest.h>

#include "context.h"
#include "reader_fixture.h"

using namespace testhost;

namespace {

std::string blockOf(const TestHost &host, const char *block)
{
    return std::string(block, host.blockSize(block));
}

const uint8_t *bytesOf(const std::string &s) { return reinterpret_cast<const uint8_t *>(s.c_str()); }

class Store : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(doc.open(), 0u); }
    void TearDown() override
    {
        doc.close();
        EXPECT_EQ(doc.host.liveBlocks(), 0u);
        EXPECT_TRUE(doc.host.misuse().empty()) << doc.host.misuse().front();
    }
    int32_t add(const std::string &value, const char *name = "Make")
    {
        return tifAddProperty(doc.ctx, static_cast<int32_t>(value.size()), bytesOf(value), name);
    }
    PropertyList &list() { return *doc.ctx->summary.properties; }
    Document doc{{'I', 'I', 42, 0, 0, 0, 0, 0}};
};

TEST_F(Store, TitleAndAuthorKeepTheFirstValueWithItsTerminator)
{
    const std::string abc("abc\0", 4);
    EXPECT_EQ(tifStoreTitle(doc.ctx, 4, bytesOf(abc)), 1);
    EXPECT_EQ(blockOf(doc.host, doc.ctx->summary.title), std::string("abc\0\0", 5));
    EXPECT_EQ(doc.ctx->titleSize, 5u);
    const long requests = doc.host.requests();
    EXPECT_EQ(tifStoreTitle(doc.ctx, 3, bytesOf("xyz")), 1);
    EXPECT_EQ(doc.host.requests(), requests) << "a second title allocates nothing";
    EXPECT_STREQ(doc.ctx->summary.title, "abc");

    const std::string hidden("\0hidden", 7);
    EXPECT_EQ(tifStoreAuthor(doc.ctx, 7, bytesOf(hidden)), 1);
    EXPECT_EQ(blockOf(doc.host, doc.ctx->summary.author), hidden + '\0') << "no leading-zero rule";
    EXPECT_EQ(doc.ctx->authorSize, 8u);
    EXPECT_EQ(doc.ctx->summary.properties, nullptr);
}

TEST_F(Store, EmptyValueIsAOneByteBlock)
{
    EXPECT_EQ(tifStoreAuthor(doc.ctx, 0, bytesOf("")), 1);
    EXPECT_EQ(blockOf(doc.host, doc.ctx->summary.author), std::string(1, '\0'));
    EXPECT_EQ(add(""), 1);
    EXPECT_EQ(blockOf(doc.host, list().entries[0].value), std::string(1, '\0'));
}

TEST_F(Store, LeadingZeroIsDroppedFromPropertiesOfTwoBytesOrMore)
{
    struct Case {
        std::string value, stored;
    } cases[] = {
        {std::string("\0AB\0", 4), std::string("AB\0\0\0", 5)},
        {std::string("\0", 1), std::string("\0\0", 2)},
        {std::string("\0A", 2), std::string("A\0\0", 3)},
        {std::string("AB\0", 3), std::string("AB\0\0", 4)},
    };
    for (const Case &c : cases)
        ASSERT_EQ(add(c.value), 1);
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(blockOf(doc.host, list().entries[i].value), cases[i].stored) << i;
}

TEST_F(Store, EntriesStandInCallOrderWithKindAndFlagOne)
{
    ASSERT_EQ(add("one", "Make"), 1);
    EXPECT_EQ(doc.ctx->needPropertyList, 0u);
    ASSERT_EQ(add("two", "Make"), 1);
    ASSERT_EQ(add("three", "Host Computer"), 1);
    ASSERT_EQ(list().count, 3);
    EXPECT_EQ(doc.host.blockSize(list().entries), 3 * sizeof(PropertyEntry)) << "no spare room";
    EXPECT_EQ(propertiesOf(doc.ctx->summary),
              (std::vector<std::pair<std::string, std::string>>{{"Make", "one"}, {"Make", "two"}, {"Host Computer", "three"}}));
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(list().entries[i].kind == 1 && list().entries[i].flag == 1);
    EXPECT_EQ(blockOf(doc.host, list().entries[2].name), std::string("Host Computer\0", 14));
}

// Each refusal in an append, and what it must leave for the release to walk safely.
TEST_F(Store, RefusalsLeaveAListTheReleaseCanWalk)
{
    const long base = doc.host.requests();
    doc.host.refuseRequest(base + 1); // the list record
    EXPECT_EQ(add("lost"), 0);
    EXPECT_EQ(doc.ctx->summary.properties, nullptr);
    EXPECT_EQ(doc.ctx->needPropertyList, 1u);
    ASSERT_EQ(add("first"), 1) << "the next append makes the list";

    PropertyEntry *before = list().entries;
    doc.host.refuseRequest(doc.host.requests() + 1); // the growth
    EXPECT_EQ(add("grown"), 0);
    EXPECT_EQ(list().count, 1);
    EXPECT_EQ(list().entries, before);
    EXPECT_STREQ(list().entries[0].value, "first");

    doc.host.refuseRequest(doc.host.requests() + 2); // the value copy
    EXPECT_EQ(add("no value"), 0);
    ASSERT_EQ(list().count, 2);
    EXPECT_EQ(list().entries[1].value, nullptr);
    EXPECT_EQ(list().entries[1].name, nullptr) << "not whatever the grown array held";
    EXPECT_EQ(list().entries[1].kind, 1u);

    doc.host.refuseRequest(doc.host.requests() + 3); // the name copy
    EXPECT_EQ(add("no name"), 0);
    ASSERT_EQ(list().count, 3);
    EXPECT_STREQ(list().entries[2].value, "no name");
    EXPECT_EQ(list().entries[2].name, nullptr);

    doc.host.refuseRequest(doc.host.requests() + 1);
    EXPECT_EQ(tifStoreTitle(doc.ctx, 2, bytesOf("t")), 0);
    EXPECT_EQ(doc.ctx->summary.title, nullptr);
    EXPECT_EQ(tifStoreTitle(doc.ctx, 2, bytesOf("t")), 1) << "a later call tries again";
}

TEST_F(Store, SaturatedSizesReachTheHostAsRefusableRequests)
{
    const uint8_t one[2] = {'x', 0};
    EXPECT_EQ(tifStoreTitle(doc.ctx, INT32_MAX, one), 0);
    EXPECT_EQ(doc.host.requestLog().back().count, INT32_MIN);
    ASSERT_EQ(add("x"), 1);
    list().count = INT32_MAX / 24; // the next growth would pass 2 GiB
    EXPECT_EQ(add("y"), 0);
    EXPECT_EQ(doc.host.requestLog().back().size, INT32_MIN);
    list().count = 1;
}

TEST_F(Store, AppendAfterReleaseStartsAFreshList)
{
    ASSERT_EQ(add("old"), 1);
    tifReleaseSummaryInfo(doc.ctx);
    EXPECT_EQ(doc.ctx->summary.properties, nullptr);
    EXPECT_EQ(doc.ctx->needPropertyList, 0u);
    ASSERT_EQ(add("new"), 1);
    EXPECT_EQ(list().count, 1);
    EXPECT_STREQ(list().entries[0].value, "new");
}

TEST_F(Store, SecondInitDocReplacesTheListWithoutLeaking)
{
    ASSERT_EQ(add("first document"), 1);
    ASSERT_EQ(tifStoreTitle(doc.ctx, 6, bytesOf("title")), 1);
    MemoryStream again({'I', 'I', 42, 0, 0, 0, 0, 0});
    ASSERT_EQ(reader().initDoc(doc.ctx, 0, 0, again.stream()), 0u);
    const size_t live = doc.host.liveBlocks();
    ASSERT_EQ(add("second document"), 1);
    EXPECT_EQ(doc.host.liveBlocks(), live) << "old list (4 blocks) freed, new one (4 blocks) made";
    EXPECT_EQ(list().count, 1);
    EXPECT_STREQ(doc.ctx->summary.title, "title") << "the title survives a second tifInitDoc";
}

} // namespace

// The TIFF header: byte order, first IFD offset, the byte-order readers.
#include <gtest/gtest.h>

#include "context.h"
#include "reader_fixture.h"

using namespace testhost;

namespace {

struct HeaderCase {
    const char *name;
    std::vector<uint8_t> bytes;
    uint32_t status;
    uint32_t littleEndian;
    uint32_t ifdOffset;
};

class Header : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(Header, DecidesByteOrderAndFirstIfd)
{
    const HeaderCase &c = GetParam();
    Document doc(c.bytes);
    EXPECT_EQ(doc.open(), c.status);
    EXPECT_EQ(doc.ctx->stream, doc.stream.stream());
    EXPECT_EQ(doc.ctx->needPropertyList, 1u);
    EXPECT_EQ(doc.ctx->littleEndian, c.littleEndian);
    EXPECT_EQ(doc.ctx->ifdOffset, c.ifdOffset);
    EXPECT_EQ(doc.stream.reads(), 1);
    EXPECT_EQ(doc.stream.seeks(), 0) << "the header is read where the stream stands";
    EXPECT_EQ(doc.stream.log().at(0).value, 8u);
}

// A short header leaves byte order and offset as they were: zero in a fresh context.
INSTANTIATE_TEST_SUITE_P(
    Cases, Header,
    ::testing::Values(
        HeaderCase{"Intel", {'I', 'I', 42, 0, 8, 0, 0, 0}, 0, 1, 8},
        HeaderCase{"Motorola", {'M', 'M', 0, 42, 0, 0, 0, 8}, 0, 0, 8},
        HeaderCase{"LowerCase", {'i', 'i', 42, 0, 0, 0, 1, 0}, 0, 0, 0x100},
        HeaderCase{"Mixed", {'M', 'I', 0, 42, 0x12, 0x34, 0x56, 0x78}, 0, 0, 0x12345678},
        HeaderCase{"OddVersion", {'I', 'I', 7, 7, 0x10, 0, 0, 0}, 0, 1, 0x10},
        HeaderCase{"NoIfd", {'I', 'I', 42, 0, 0, 0, 0, 0}, 0, 1, 0},
        HeaderCase{"Empty", {}, 6, 0, 0},
        HeaderCase{"SevenBytes", {'I', 'I', 42, 0, 8, 0, 0}, 6, 0, 0}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Header, ShortReadKeepsWhatAnEarlierHeaderSet)
{
    Document doc({'I', 'I', 42, 0, 8, 0, 0, 0});
    ASSERT_EQ(doc.open(), 0u);
    MemoryStream shortStream({'M', 'M', 0});
    doc.ctx->needPropertyList = 0;
    EXPECT_EQ(reader().initDoc(doc.ctx, 0, 0, shortStream.stream()), 6u);
    EXPECT_EQ(doc.ctx->stream, shortStream.stream());
    EXPECT_EQ(doc.ctx->needPropertyList, 1u);
    EXPECT_EQ(doc.ctx->littleEndian, 1u);
    EXPECT_EQ(doc.ctx->ifdOffset, 8u);
    doc.ctx->ifdOffset = 0; // the short stream must not be walked
}

TEST(ByteOrder, ReadersAssembleBytesInEitherOrder)
{
    const uint8_t bytes[] = {0x12, 0x34, 0x56, 0x78};
    for (uint32_t flag : {1u, 2u, 0x80000000u}) {
        EXPECT_EQ(tifReadShort(bytes, flag), 0x3412);
        EXPECT_EQ(tifReadLong(bytes, flag), 0x78563412u);
    }
    EXPECT_EQ(tifReadShort(bytes, 0), 0x1234);
    EXPECT_EQ(tifReadLong(bytes, 0), 0x12345678u);
    const uint8_t high[] = {0xFF, 0xFE, 0xFD, 0xFC};
    EXPECT_EQ(tifReadLong(high, 0), 0xFFFEFDFCu);
    EXPECT_EQ(tifReadShort(high, 1), 0xFEFF);
}

} // namespace

// Where the lister parts from the XMP toolkit on purpose, and what it keeps to on every
// platform (the sameness tests hold the rest to the toolkit itself, where it is built).
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "services/xmp_lister.h"

namespace {

using zudorhost::XmpLister;
using zudorhost::XmpListing;
using zudorhost::XmpListStatus;

std::string packet(const std::string &body)
{
    return "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
           "<rdf:Description rdf:about=\"\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
           "xmlns:tiff=\"http://ns.adobe.com/tiff/1.0/\" xmlns:zz=\"http://ns.example/z/\">" +
           body + "</rdf:Description></rdf:RDF></x:xmpmeta>";
}

// "path = value" lines.
std::string lines(const XmpListing &listing)
{
    std::string text;
    zudorhost::visitXmpListing(listing.bytes.data(), listing.bytes.size(),
        [](void *to, const char *path, size_t pathLength, const char *value, size_t valueLength) {
            static_cast<std::string *>(to)->append(path, pathLength).append(" = ").append(value, valueLength) += '\n';
        }, &text);
    return text;
}

struct Case {
    const char *name;
    std::string packet;
    XmpListStatus status;
    std::string listed;
};

std::string nested(int depth)
{
    std::string open, close;
    for (int i = 0; i < depth; ++i) {
        open += "<zz:S rdf:parseType=\"Resource\">";
        close += "</zz:S>";
    }
    return packet(open + "<zz:leaf>x</zz:leaf>" + close);
}

TEST(XmpLister, KeepsToTheToolkitAndPartsWhereItIsWrong)
{
    const std::vector<Case> cases = {
        // The toolkit spaces out any reference of one or two hex digits; only the control
        // characters XML forbids are spaced here.
        {"character references", packet("<zz:a>caf&#xE9; &#x41;&#x1;b&#xA;c</zz:a>"), XmpListStatus::Listed,
         "zz:a = caf\xC3\xA9 A b\nc\n"},
        // The toolkit's iterator threw on the item its alias put in a struct, ending the process.
        {"alias into a struct", packet("<dc:creator rdf:parseType=\"Resource\"/><tiff:Artist>Bob</tiff:Artist>"
                                       "<tiff:Make>M</tiff:Make>"),
         XmpListStatus::Listed, "dc:creator/[] = Bob\ntiff:Make = M\n"},
        // A prefix bound twice in one packet: the second namespace takes the first free suffix,
        // by the order of the declarations.
        {"prefix clash in a packet",
         packet("<zz:a>1</zz:a><zz:b xmlns:zz=\"http://ns.example/other/\">2</zz:b>"
                "<zz:c xmlns:zz=\"http://ns.example/third/\">3</zz:c>"),
         XmpListStatus::Listed, "zz:a = 1\nzz_1_:b = 2\nzz_2_:c = 3\n"},
        {"a thousand levels", nested(995), XmpListStatus::Listed, ""},
        {"deeper than that", nested(997), XmpListStatus::Refused, ""},
        {"malformed", packet("<zz:a>1</zz:b>"), XmpListStatus::Refused, ""},
        {"no x:xmpmeta", "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"/>", XmpListStatus::Listed,
         ""},
    };
    XmpLister lister;
    for (const Case &c : cases) {
        XmpListing listing;
        EXPECT_EQ(lister.list(c.packet.data(), c.packet.size(), listing), c.status) << c.name;
        if (!c.listed.empty()) {
            EXPECT_EQ(lines(listing), c.listed) << c.name;
        }
    }
}

// A deep packet of many fields lists far more than its own bytes; the lister stops at its limit.
TEST(XmpLister, StopsAtItsLimit)
{
    std::string fields;
    for (int i = 0; i < 200; ++i)
        fields += "<zz:f" + std::to_string(i) + ">v</zz:f" + std::to_string(i) + ">";
    std::string body = fields;
    for (int i = 0; i < 300; ++i)
        body = "<zz:deep rdf:parseType=\"Resource\">" + body + "</zz:deep>";
    const std::string text = packet(body);
    XmpLister lister;
    XmpListing listing;
    ASSERT_EQ(lister.list(text.data(), text.size(), listing), XmpListStatus::Listed);
    EXPECT_GT(listing.bytes.size(), 20 * text.size());
    lister.setLimit(text.size());
    EXPECT_EQ(lister.list(text.data(), text.size(), listing), XmpListStatus::OutOfMemory);
    EXPECT_TRUE(listing.bytes.empty());
}

} // namespace

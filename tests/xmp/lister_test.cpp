// Where the lister parts from the XMP toolkit on purpose, and what it keeps to on every
// platform (the sameness tests hold the rest to the toolkit itself, where it is built).
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "xmp/xmp_lister.h"

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

// The direct reading lists a plain packet as its bytes are read, without the trees; where the
// toolkit rearranges what it read, the listing must still be the trees', and where the direct
// reading cannot say, it leaves the packet to them.
TEST(XmpLister, ListsDirectlyWhatTheTreesList)
{
    const std::string alt2 = "<dc:title><rdf:Alt><rdf:li xml:lang=\"de-DE\">Hafen</rdf:li>"
                             "<rdf:li xml:lang=\"X-Default\">Harbour</rdf:li></rdf:Alt></dc:title>";
    const std::vector<Case> cases = {
        // A schema met again after another lists with its first properties.
        {"schemas regrouped", packet("<zz:a>1</zz:a><tiff:Make>M</tiff:Make><zz:b>2</zz:b>"), XmpListStatus::Listed,
         "zz:a = 1\nzz:b = 2\ntiff:Make = M\n"},
        // x-default goes first; with one other item, that item takes its value.
        {"language alternative", packet(alt2), XmpListStatus::Listed, "dc:title[1] = Harbour\ndc:title[2] = Harbour\n"},
        {"three languages", packet("<dc:title><rdf:Alt><rdf:li xml:lang=\"de\">a</rdf:li><rdf:li xml:lang=\"fr\">b</rdf:li>"
                                   "<rdf:li xml:lang=\"x-default\">c</rdf:li></rdf:Alt></dc:title>"),
         XmpListStatus::Listed, "dc:title[1] = c\ndc:title[2] = b\ndc:title[3] = a\n"},
        // Dublin Core written as single values: arrays of one item, or of none.
        {"single values", packet("<dc:subject>x</dc:subject><dc:title/><dc:creator rdf:resource=\"r\"/>"),
         XmpListStatus::Listed, "dc:subject[1] = x\ndc:creator[1] = r\n"},
        {"structs and arrays",
         packet("<zz:s zz:f=\"1\" zz:g=\"2\"/><zz:h><rdf:Seq><rdf:li rdf:parseType=\"Resource\"><zz:x>3</zz:x>"
                "</rdf:li><rdf:li><rdf:Description zz:y=\"4\"><zz:z>5</zz:z></rdf:Description></rdf:li>"
                "<rdf:li zz:w=\"6\"/></rdf:Seq></zz:h>"),
         XmpListStatus::Listed, "zz:s/zz:f = 1\nzz:s/zz:g = 2\nzz:h[1]/zz:x = 3\nzz:h[2]/zz:y = 4\nzz:h[2]/zz:z = 5\n"
                                "zz:h[3]/zz:w = 6\n"},
        // What the toolkit mends, moves or refuses: the trees' reading.
        {"alias", packet("<tiff:Artist>Ada</tiff:Artist>"), XmpListStatus::Listed, "dc:creator[1] = Ada\n"},
        {"title as a bag", packet("<dc:title><rdf:Bag><rdf:li>t</rdf:li></rdf:Bag></dc:title>"), XmpListStatus::Listed,
         "dc:title[1] = t\n"},
        {"duplicate", packet("<zz:a>1</zz:a><zz:a>2</zz:a>"), XmpListStatus::Refused, ""},
        {"duplicate field", packet("<zz:s rdf:parseType=\"Resource\"><zz:f>1</zz:f><zz:f>2</zz:f></zz:s>"),
         XmpListStatus::Refused, ""},
        {"text beside a node", packet("<zz:a>x<rdf:Bag/></zz:a>"), XmpListStatus::Refused, ""},
        {"content in an empty form", packet("<zz:a zz:f=\"1\"> </zz:a>"), XmpListStatus::Refused, ""},
    };
    XmpLister direct, trees;
    trees.setDirect(false);
    for (const Case &c : cases) {
        XmpListing a, b;
        EXPECT_EQ(direct.list(c.packet.data(), c.packet.size(), a), c.status) << c.name;
        EXPECT_EQ(trees.list(c.packet.data(), c.packet.size(), b), c.status) << c.name;
        EXPECT_EQ(lines(a), lines(b)) << c.name;
        EXPECT_EQ(a.count, b.count) << c.name;
        EXPECT_EQ(lines(a), c.listed) << c.name;
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
    EXPECT_EQ(listing.bytes.size(), 0u);
    // A flat packet, read directly, stops at the same byte.
    const std::string flat = packet(fields);
    lister.setLimit(size_t(-1));
    ASSERT_EQ(lister.list(flat.data(), flat.size(), listing), XmpListStatus::Listed);
    const size_t full = listing.bytes.size();
    lister.setLimit(full);
    EXPECT_EQ(lister.list(flat.data(), flat.size(), listing), XmpListStatus::Listed);
    lister.setLimit(full - 1);
    EXPECT_EQ(lister.list(flat.data(), flat.size(), listing), XmpListStatus::OutOfMemory);
}

} // namespace

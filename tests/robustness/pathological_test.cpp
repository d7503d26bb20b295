// Files built to hurt: loops, huge chains and directories, counts and offsets at the edge of
// 32 bits. Each one is led through a whole life, and the small ones again under every
// refused allocation and every cut read; whatever happens, the life's invariants hold.
#include <gtest/gtest.h>

#include "life.h"
#include "reader_fixture.h"

using namespace testhost;

namespace {

constexpr uint32_t kFar = 1u << 20; // past the end of every file here
const LifeScript kTwists{"TIXRSISXS"};

// A good entry first, so something is stored when the bad one strikes.
TiffBuilder good(bool littleEndian = true) { return TiffBuilder(littleEndian).ascii(271, "maker").ascii(315, "by"); }

// From..to, both included, either way.
std::vector<size_t> run(size_t from, size_t to)
{
    std::vector<size_t> out{from};
    while (out.back() != to)
        out.push_back(from < to ? out.back() + 1 : out.back() - 1);
    return out;
}

std::vector<size_t> operator+(std::vector<size_t> a, const std::vector<size_t> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// IFDs i0, i1, ... laid out in file order, chained in the given order, the last one leading
// back to loopTo. Out of file order, the set of IFDs read leaves its ordered form.
TiffBuilder chain(const std::vector<size_t> &order, size_t loopTo)
{
    TiffBuilder probe, b(false);
    for (size_t i = 0; i < order.size(); ++i)
        probe.ifd().ascii(271, "i" + std::to_string(i));
    std::vector<uint32_t> next(order.size());
    for (size_t k = 0; k < order.size(); ++k)
        next[order[k]] = probe.ifdOffset(k + 1 < order.size() ? order[k + 1] : loopTo);
    b.firstIfdOffset(probe.ifdOffset(order[0]));
    for (size_t i = 0; i < order.size(); ++i)
        b.ifd().ascii(271, "i" + std::to_string(i)).nextOffset(next[i]);
    return b;
}

// Each IFD of the chain read once, in chain order.
std::string makes(const std::vector<size_t> &order)
{
    std::string out = "i0 / -|-|-|";
    for (size_t i = 0; i < order.size(); ++i)
        out += (i ? ",Make=i" : "Make=i") + std::to_string(order[i]);
    return out;
}

struct Case {
    Row row;
    bool sweep; // small enough to fail at every request and every read
};

const Case kCases[] = {
    // A chain that leads back to an IFD already read ends there, each IFD read once.
    {{"SelfLoop", chain({0}, 0), {"IS"}, makes({0})}, true},
    {{"PairLoop", chain({0, 1}, 0), {"IS"}, makes({0, 1})}, true},
    {{"BackToMiddle", chain(run(0, 4), 2), {"IS"}, makes(run(0, 4))}, true},
    {{"ThousandCycle", chain(run(0, 999), 0), {"IS"}, makes(run(0, 999))}, false},
    {{"Descending", chain(run(39, 0), 20), {"IS"}, makes(run(39, 0))}, true},
    {{"LateTurn", chain(run(0, 34) + run(39, 35), 5), {"IS"}, makes(run(0, 34) + run(39, 35))}, true},
    // 65,535 entries: every inline ASCII value goes through the value buffer.
    {{"FullIfd", [] { TiffBuilder b; for (int i = 0; i < 65534; ++i) b.raw(285, kAscii, 3, 0x61626300);
                      return b.ascii(271, "maker"); }(), {"IS"}, "i0 / -|-|-|Make=maker"}, false},
    // Counts whose size saturates reach the host as a request it refuses.
    {{"AsciiCount7FFFFFFF", good().raw(272, kAscii, 0x7FFFFFFF, 8), {"IS"}, "i0 / ~", "", "z-2147483648"}, true},
    {{"AsciiCountFFFFFFFF", good().raw(272, kAscii, 0xFFFFFFFF, 8), {"IS"}, "i0 / ~", "", "z-2147483648"}, true},
    {{"AsciiCount7FFFFFFE", good().raw(272, kAscii, 0x7FFFFFFE, 8), {"IS"}, "i0 / ~", "", "z2147483647"}, true},
    {{"XmpCount7FFFFFFF", good().raw(700, kUndefined, 0x7FFFFFFF, 8), {"IS"}, "i0 / ~", "", "c-2147483648x1"}, true},
    {{"XmpCount80000000", good().raw(700, kAscii, 0x80000000, 8), {"IS"}, "i0 / ~", "", "c-2147483648x1"}, true},
    // Offsets past the end, or whose sum with a length passes 2^32: nothing wraps into the file.
    {{"FirstIfdPastEnd", good().firstIfdOffset(kFar), {"IS"}, "i0 / ~"}, true},
    {{"NextIfdPastEnd", good(false).nextOffset(kFar), {"IS"}, "i0 / ~"}, true},
    {{"ValuePastEnd", good().raw(272, kAscii, 10, kFar), {"IS"}, "i0 / ~"}, true},
    {{"PacketPastEnd", good(false).raw(700, kUndefined, 10, kFar), {"IS"}, "i0 / ~"}, true},
    {{"IfdAtTopOfRange", good().firstIfdOffset(0xFFFFFFFE), {"IS"}, "i0 / ~"}, true},
    {{"NextIfdWraps", good().nextOffset(0xFFFFFFF0), {"IS"}, "i0 / ~"}, true},
    {{"ValueWraps", good().raw(272, kAscii, 0x20, 0xFFFFFFF0), {"IS"}, "i0 / ~"}, true},
    {{"PacketWraps", good(false).raw(700, kUndefined, 0x20, 0xFFFFFFF0), {"IS"}, "i0 / ~"}, true},
    {{"HeaderOnly", TiffBuilder().firstIfdOffset(8), {"IS"}, "i0 / ~"}, true},
    {{"Empty", TiffBuilder(), {"IS"}, "i6 / -|-|-|", "", "", "", 0}, true},
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.row.name; }

class Pathological : public ::testing::TestWithParam<Case> {};

TEST_P(Pathological, HostSeesWhatTheRowSays) { checkRow(GetParam().row); }

TEST_P(Pathological, EveryRefusalAndEveryCutReadHold)
{
    if (!GetParam().sweep)
        GTEST_SKIP() << "too large to sweep";
    std::vector<uint8_t> doc = GetParam().row.tiff.build();
    doc.resize(std::min(doc.size(), GetParam().row.keep));
    sweepFaults(doc, kTwists);
}

INSTANTIATE_TEST_SUITE_P(Files, Pathological, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.row.name); });

// A chain of distinct IFDs costs reads and memory in proportion to its length; its time per
// IFD is measured by the scaling benchmark, not here.
TEST(Pathological, HundredThousandIfdChainIsLinear)
{
    TiffBuilder b;
    for (int i = 0; i < 100000; ++i)
        b.ifd().raw(256, kLong, 1, static_cast<uint32_t>(i));
    const LifeResult large = liveHostileLife(reader(), b.ascii(271, "last").build(), {"IS"});
    ASSERT_TRUE(large.violations.empty()) << describe(large);
    EXPECT_EQ(large.transcript, "i0 / -|-|-|Make=last");
    EXPECT_EQ(large.reads, 1 + 3 * 100000 + 1);
    EXPECT_LT(large.requests, 40) << "the table of IFDs read doubles, it does not creep";
    EXPECT_LT(large.peakBytes, 32u * 100000) << "memory grows with the chain, no faster";
}

} // namespace

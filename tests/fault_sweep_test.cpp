// One rich document with every allocation refused in turn (alone and from there on), every
// read cut short in turn and the file cut at every length: the life's invariants hold, and
// a failure shows where the host must see it.
#include <gtest/gtest.h>

#include "life.h"
#include "reader_fixture.h"

using namespace testhost;

namespace {

// A document that needs every kind of block: context, entry buffer and its growth, value
// buffer and its growth, packets, title, author, the list, its growth and the copies, and
// a table of IFDs read that outgrows its first home.
std::vector<uint8_t> everyKindOfBlock()
{
    TiffBuilder b(false);
    b.ascii(269, "title").ascii(306, "2024:02:29 13:45:00").bytes(700, kUndefined, "<packet one/>");
    b.ifd().ascii(315, "artist").ascii(271, std::string(200, 'm')).ascii(272, "md").ascii(305, "sw")
        .bytes(700, kUndefined, "<packet two/>", true);
    for (int i = 0; i < 40; ++i)
        b.ifd().ascii(33432, "c" + std::to_string(i));
    return b.build();
}

std::vector<std::string> words(const LifeResult &r)
{
    std::vector<std::string> out;
    for (size_t at = 0, next; at <= r.transcript.size(); at = next + 3) {
        next = std::min(r.transcript.find(" / ", at), r.transcript.size());
        out.push_back(r.transcript.substr(at, next - at));
    }
    return out;
}

const LifeScript kSteps{"TISXSRXS"};

// A refusal fails the first walk; a cut read fails it unless it cuts the header, and the
// walk after it succeeds.
TEST(FaultSweep, EveryRefusalAndEveryCutRead)
{
    setTimeZone("UTC0");
    const std::vector<uint8_t> doc = everyKindOfBlock();
    ASSERT_GT(liveHostileLife(reader(), doc, kSteps).requests, 40);
    sweepFaults(doc, kSteps, [](const LifeScript &fault, const LifeResult &r, const std::string &what) {
        if (!r.contextMade)
            return;
        EXPECT_EQ(words(r).at(1) != "~", fault.cutRead == 1) << what << ": the first summary";
        EXPECT_TRUE(fault.refuseOnward || words(r).at(2) != "~") << what << ": the walk after the fault";
    });
}

TEST(FaultSweep, DocumentCutAtEveryLength)
{
    const std::vector<uint8_t> full = everyKindOfBlock();
    for (size_t length = 0; length <= full.size(); ++length) {
        const LifeResult r = liveHostileLife(reader(), {full.begin(), full.begin() + length}, kSteps);
        EXPECT_TRUE(r.violations.empty()) << "cut at " << length << "\n" << describe(r);
    }
}

} // namespace

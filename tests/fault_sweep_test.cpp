// Every allocation refused in turn, every read cut short in turn: nothing crashes, every
// status is as it must be, and the heap is empty once the document is closed.
#include <gtest/gtest.h>

#include "reader_fixture.h"
#include "tiff_builder.h"

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
    for (int i = 0; i < 20; ++i)
        b.ifd().ascii(33432, "c" + std::to_string(i));
    return b.build();
}

struct Life {
    bool summaryWritten = false, xmpWritten = false, retryWritten = false;
    bool contextMade = false;
    uint32_t initStatus = 0;
};

// One document's life as a careful host leads it.
Life live(Document &doc)
{
    Life run;
    run.initStatus = doc.open();
    run.contextMade = doc.ctx != nullptr;
    EXPECT_EQ(doc.allocateStatus, 1u);
    if (!run.contextMade)
        return run;
    SummaryInfo s;
    XmpInfo x;
    run.summaryWritten = doc.summary(&s);
    EXPECT_EQ(doc.lastStatus, 0u);
    run.xmpWritten = doc.xmp(&x);
    EXPECT_EQ(doc.lastStatus, 0u);
    run.retryWritten = doc.summary(&s);
    EXPECT_EQ(doc.lastStatus, 0u);
    if (run.retryWritten && s.properties != nullptr) {
        EXPECT_GE(s.properties->count, 0);
        for (int32_t i = 0; i < s.properties->count; ++i)
            EXPECT_TRUE(s.properties->entries[i].kind == 1 && s.properties->entries[i].flag == 1);
    }
    doc.close();
    EXPECT_EQ(doc.lastStatus, 0u);
    return run;
}

void expectCleanHeap(const Document &doc, const std::string &what)
{
    EXPECT_EQ(doc.host.liveBlocks(), 0u) << what;
    EXPECT_TRUE(doc.host.misuse().empty()) << what << ": " << doc.host.misuse().front();
}

TEST(FaultSweep, EveryAllocationRefusedInTurn)
{
    setTimeZone("UTC0");
    Document clean(everyKindOfBlock());
    Life ok = live(clean);
    ASSERT_TRUE(ok.summaryWritten && ok.xmpWritten && ok.retryWritten);
    const long requests = clean.host.requests();
    ASSERT_GT(requests, 40);
    expectCleanHeap(clean, "no refusal");

    for (long k = 1; k <= requests; ++k) {
        for (bool fromThereOn : {false, true}) {
            Document doc(everyKindOfBlock());
            fromThereOn ? doc.host.refuseFrom(k) : doc.host.refuseRequest(k);
            Life run = live(doc);
            const std::string what = "refusing request " + std::to_string(k) + (fromThereOn ? " on" : "");
            EXPECT_EQ(run.initStatus, k == 1 ? 6u : 0u) << what;
            EXPECT_EQ(run.contextMade, k != 1) << what;
            if (k > 1) {
                EXPECT_FALSE(run.summaryWritten) << what << ": a refusal fails the first walk";
            }
            expectCleanHeap(doc, what);
        }
    }
}

TEST(FaultSweep, EveryReadCutShortInTurn)
{
    setTimeZone("UTC0");
    Document clean(everyKindOfBlock());
    live(clean);
    const long reads = clean.stream.reads();
    for (long k = 1; k <= reads; ++k) {
        Document doc(everyKindOfBlock());
        doc.stream.cutRead(k);
        Life run = live(doc);
        const std::string what = "cutting read " + std::to_string(k);
        EXPECT_TRUE(run.contextMade);
        EXPECT_EQ(run.initStatus, k == 1 ? 6u : 0u) << what;
        EXPECT_EQ(run.summaryWritten, k == 1) << what << ": only a cut header walks nothing";
        EXPECT_TRUE(run.xmpWritten) << what << ": the walk after a cut read succeeds";
        expectCleanHeap(doc, what);
    }
}

// Truncating the file at every length: short reads from the end of the data itself.
TEST(FaultSweep, DocumentCutAtEveryLength)
{
    const std::vector<uint8_t> full = everyKindOfBlock();
    for (size_t length = 0; length <= full.size(); ++length) {
        Document doc(std::vector<uint8_t>(full.begin(), full.begin() + length));
        Life run = live(doc);
        EXPECT_EQ(run.initStatus, length < 8 ? 6u : 0u);
        if (length == full.size()) {
            EXPECT_TRUE(run.summaryWritten);
        }
        expectCleanHeap(doc, "cut at " + std::to_string(length));
    }
}

} // namespace

// Several contexts on several threads at once, through the loaded module: each thread's
// documents come out exactly as they do alone, with every invariant held. Under the thread
// sanitizer this also proves that the module shares nothing between contexts.
#include <thread>

#include <gtest/gtest.h>

#include "life.h"
#include "reader_fixture.h"
#include "tiff_builder.h"

using namespace testhost;

namespace {

struct Job {
    std::vector<uint8_t> doc;
    LifeScript script;
};

std::vector<Job> jobs()
{
    setTimeZone("UTC0");
    std::vector<Job> out;
    for (bool le : {true, false}) {
        TiffBuilder b(le);
        b.ascii(269, le ? "little" : "big").ascii(306, "2024:02:29 13:45:00").bytes(700, kUndefined, "<x/>");
        for (int i = 0; i < 12; ++i)
            b.ifd().ascii(le ? 271 : 272, std::string(10 + 20 * i, 'a' + i)).ascii(315, "artist");
        b.linkTo(3);
        const std::vector<uint8_t> doc = b.build();
        for (long fault = 0; fault < 40; fault += 7) {
            out.push_back({doc, {"ISX", fault}});
            out.push_back({doc, {"IXRS", 0, false, fault}});
        }
    }
    return out;
}

TEST(Threads, ContextsOnSeveralThreadsAtOnceMatchRunsAlone)
{
    const std::vector<Job> work = jobs();
    std::vector<LifeResult> alone;
    for (const Job &job : work)
        alone.push_back(liveHostileLife(reader(), job.doc, job.script));

    constexpr int kThreads = 4;
    constexpr int kRounds = 5;
    std::vector<std::vector<std::string>> mismatches(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                for (size_t n = 0; n < work.size(); ++n) {
                    const size_t i = (n + t * 7) % work.size(); // threads out of step
                    const LifeResult r = liveHostileLife(reader(), work[i].doc, work[i].script);
                    if (!r.violations.empty() || r.transcript != alone[i].transcript ||
                        r.reads != alone[i].reads || r.requests != alone[i].requests)
                        mismatches[t].push_back("job " + std::to_string(i) + ": " + r.transcript + "\n" + describe(r));
                }
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    for (int t = 0; t < kThreads; ++t)
        EXPECT_TRUE(mismatches[t].empty()) << "thread " << t << ": " << mismatches[t].front();
    EXPECT_NE(alone.front().transcript.find("little"), std::string::npos);
}

} // namespace

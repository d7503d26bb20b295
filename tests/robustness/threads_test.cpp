// Several contexts on several threads at once, through the loaded module: each thread's
// documents come out exactly as they do alone, with every invariant held. Under the thread
// sanitizer this also proves that the module shares nothing between contexts.
#include <thread>

#include <gtest/gtest.h>

#include "reader_fixture.h"

using namespace testhost;

namespace {

TEST(Threads, ContextsOnSeveralThreadsAtOnceMatchRunsAlone)
{
    setTimeZone("UTC0");
    std::vector<std::pair<std::vector<uint8_t>, LifeScript>> jobs;
    for (bool le : {true, false}) {
        TiffBuilder b(le);
        b.ascii(269, le ? "little" : "big").ascii(306, "2024:02:29 13:45:00").bytes(700, kUndefined, "<x/>");
        for (int i = 0; i < 12; ++i)
            b.ifd().ascii(le ? 271 : 272, std::string(10 + 20 * i, 'a' + i)).ascii(315, "artist");
        const std::vector<uint8_t> doc = b.linkTo(3).build();
        for (long fault = 0; fault < 40; fault += 7) {
            jobs.push_back({doc, {"ISX", fault}});
            jobs.push_back({doc, {"IXRS", 0, false, fault}});
        }
    }
    std::vector<std::string> alone, mismatches(4);
    for (const auto &[doc, script] : jobs) {
        const LifeResult r = liveHostileLife(reader(), doc, script);
        alone.push_back(r.transcript + describe(r) + std::to_string(r.reads) + "/" + std::to_string(r.requests));
    }
    std::vector<std::thread> threads;
    for (size_t t = 0; t < mismatches.size(); ++t) {
        threads.emplace_back([&, t] {
            for (size_t n = 0; n < 5 * jobs.size(); ++n) {
                const size_t i = (n + t * 7) % jobs.size(); // threads out of step
                const LifeResult r = liveHostileLife(reader(), jobs[i].first, jobs[i].second);
                const std::string got = r.transcript + describe(r) + std::to_string(r.reads) + "/" + std::to_string(r.requests);
                if (got != alone[i] || !r.violations.empty())
                    mismatches[t] += "job " + std::to_string(i) + ": " + got + "\n";
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    for (const std::string &m : mismatches)
        EXPECT_EQ(m, "");
    EXPECT_NE(alone.front().find("little"), std::string::npos);
}

} // namespace

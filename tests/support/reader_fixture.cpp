#include "reader_fixture.h"

#include <cstdio>
#include <cstdlib>

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace testhost {

void *moduleHandle()
{
    static void *handle = [] {
        const char *path = std::getenv("ZUDOR_MODULE");
        if (path == nullptr)
            path = ZUDOR_MODULE_PATH;
#ifdef _WIN32
        void *h = reinterpret_cast<void *>(LoadLibraryA(path));
#else
        void *h = dlopen(path, RTLD_NOW | RTLD_LOCAL);
#endif
        if (h == nullptr) {
            std::fprintf(stderr, "cannot load the module %s\n", path);
            std::abort();
        }
        return h;
    }();
    return handle;
}

void *moduleSymbol(const char *name)
{
#ifdef _WIN32
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(moduleHandle()), name));
#else
    return dlsym(moduleHandle(), name);
#endif
}

const ReaderInterface &reader()
{
    static ReaderInterface table = [] {
        ReaderInterface t{};
        auto get = reinterpret_cast<TifGetReaderInterfaceFn>(moduleSymbol("tifGetReaderInterface"));
        if (get == nullptr)
            std::abort();
        get(&t);
        return t;
    }();
    return table;
}

void checkRow(const Row &row)
{
    std::vector<uint8_t> document = row.tiff.build();
    if (row.keep < document.size())
        document.resize(row.keep);
    const LifeResult got = liveHostileLife(reader(), document, row.script);
    EXPECT_TRUE(got.violations.empty()) << describe(got);
    EXPECT_EQ(got.transcript, row.transcript);
    EXPECT_TRUE(row.stream.empty() || got.streamLog == row.stream) << got.streamLog;
    EXPECT_TRUE(row.heap.empty() || got.heapLog.find(row.heap) != std::string::npos) << got.heapLog;
    EXPECT_TRUE(row.packets.empty() || got.packets == row.packets) << got.packets;
}

void sweepFaults(const std::vector<uint8_t> &document, const LifeScript &script, const SweepCheck &more)
{
    const LifeResult clean = liveHostileLife(reader(), document, script);
    std::vector<LifeScript> faults;
    for (long k = 1; k <= clean.requests; ++k)
        for (bool onward : {false, true})
            faults.push_back({script.steps, k, onward});
    for (long k = 1; k <= clean.reads; ++k)
        faults.push_back({script.steps, 0, false, k});
    for (const LifeScript &fault : faults) {
        const LifeResult r = liveHostileLife(reader(), document, fault);
        const std::string what = fault.cutRead ? "cutting read " + std::to_string(fault.cutRead)
                                                : "refusing request " + std::to_string(fault.refuseRequest) +
                                                      (fault.refuseOnward ? " on" : "");
        EXPECT_TRUE(r.violations.empty()) << what << "\n" << describe(r);
        if (more)
            more(fault, r, what);
    }
}

} // namespace testhost

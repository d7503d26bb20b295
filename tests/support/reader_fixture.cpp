#include "reader_fixture.h"

#include <cstdio>
#include <cstdlib>

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
        ReaderInterface t;
        std::memset(&t, 0, sizeof t);
        auto get = reinterpret_cast<TifGetReaderInterfaceFn>(moduleSymbol("tifGetReaderInterface"));
        if (get == nullptr)
            std::abort();
        get(&t);
        return t;
    }();
    return table;
}

Document::~Document()
{
    if (ctx != nullptr)
        close();
}

uint32_t Document::open()
{
    ctx = reader().allocateContext(0x1111, 0x2222, &allocateStatus, host.services(), 0x33);
    if (ctx == nullptr)
        return TIF_STATUS_FAILED;
    return reader().initDoc(ctx, 0xDEADBEEF, 0xFEED, stream.stream());
}

bool Document::summary(SummaryInfo *out)
{
    *out = markedBuffer<SummaryInfo>();
    lastStatus = reader().getSummaryInfo(ctx, out, 0);
    return !untouched(*out);
}

bool Document::xmp(XmpInfo *out)
{
    *out = markedBuffer<XmpInfo>();
    lastStatus = reader().getXmpInfo(ctx, out, 0);
    return !untouched(*out);
}

void Document::release()
{
    lastStatus = reader().getSummaryInfo(ctx, nullptr, 1);
}

void Document::close()
{
    release();
    reader().freeContext(ctx);
    ctx = nullptr;
}

std::vector<std::pair<std::string, std::string>> propertiesOf(const SummaryInfo &summary)
{
    std::vector<std::pair<std::string, std::string>> out;
    if (summary.properties == nullptr)
        return out;
    for (int32_t i = 0; i < summary.properties->count; ++i) {
        const PropertyEntry &e = summary.properties->entries[i];
        out.emplace_back(e.name ? e.name : "<null>", e.value ? e.value : "<null>");
    }
    return out;
}

} // namespace testhost

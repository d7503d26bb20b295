// Toolkit mode over Exempi. The toolkit's error state is per thread and it needs one
// initialisation per process; after that, distinct documents may be parsed on distinct threads
// at once.
#include <iostream>
#include <mutex>
#include <streambuf>

#include <exempi/xmp.h>

#include "services/xmp_reading.h"
#include "zudor_host/services.h"

namespace zudorhost {

namespace {

// Swallows what the toolkit writes to std::cerr (a line for every packet that fails to
// parse), so nothing of it reaches the terminal unless the host asks for it.
class DiscardingBuffer : public std::streambuf {
protected:
    int overflow(int c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char *, std::streamsize n) override { return n; }
};

} // namespace

bool xmpToolkitAvailable() { return true; }

bool initXmpToolkit(bool showDiagnostics)
{
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [&] {
        // Never destroyed: std::cerr is flushed after every static object is gone.
        if (!showDiagnostics)
            std::cerr.rdbuf(new DiscardingBuffer);
        ready = xmp_init();
    });
    return ready;
}

void *parseXmpDocument(const char *packet, size_t size)
{
    XmpPtr xmp = initXmpToolkit() ? xmp_new_empty() : nullptr;
    if (xmp != nullptr && !xmp_parse(xmp, packet, size)) {
        xmp_free(xmp);
        return nullptr;
    }
    return xmp;
}

void freeXmpDocument(void *document)
{
    if (document != nullptr)
        xmp_free(static_cast<XmpPtr>(document));
}

// Leaf properties without qualifiers; schema nodes come back with an empty path. Where the
// toolkit's iteration throws (an alias moved into a struct it then cannot walk), the listing
// ends there: the exception would otherwise end the process.
void forEachToolkitProperty(const void *document, XmpPropertyVisitor visit, void *state)
{
    XmpIteratorPtr iter = document == nullptr ? nullptr
        : xmp_iterator_new(static_cast<XmpPtr>(const_cast<void *>(document)), nullptr, nullptr,
                           XMP_ITER_OMITQUALIFIERS);
    if (iter == nullptr)
        return;
    XmpStringPtr schema = xmp_string_new();
    XmpStringPtr path = xmp_string_new();
    XmpStringPtr value = xmp_string_new();
    uint32_t options = 0;
    try {
        while (xmp_iterator_next(iter, schema, path, value, &options)) {
            if (XMP_IS_PROP_SIMPLE(options) && xmp_string_len(path) != 0)
                visit(state, xmp_string_cstr(path), xmp_string_len(path), xmp_string_cstr(value),
                      xmp_string_len(value));
        }
    } catch (...) {
    }
    xmp_string_free(value);
    xmp_string_free(path);
    xmp_string_free(schema);
    xmp_iterator_free(iter);
}

} // namespace zudorhost

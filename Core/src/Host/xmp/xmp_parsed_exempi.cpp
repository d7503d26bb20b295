// Toolkit mode over Exempi. The toolkit's error state is per thread and it needs one
// initialisation per process; after that, distinct documents may be parsed on distinct threads
// at once. Exempi is loaded then, not at every start: only toolkit mode uses it, and its
// loading and constructors would cost every other run about a millisecond.
#include <iostream>
#include <mutex>
#include <streambuf>

#include <exempi/xmp.h>

#include "platform/loader.h"
#include "xmp/xmp_toolkit.h"
#include "zudor_host/xmp_mode.h"
#include "zudor_host/platform.h"

namespace zudorhost {

namespace {

// Swallows what the toolkit writes to std::cerr (a line for every packet that fails to
// parse), so nothing of it reaches the terminal unless the host asks for it.
class DiscardingBuffer : public std::streambuf {
protected:
    int overflow(int c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char *, std::streamsize n) override { return n; }
};

struct Toolkit {
    decltype(&::xmp_init) init;
    decltype(&::xmp_new_empty) newEmpty;
    decltype(&::xmp_parse) parse;
    decltype(&::xmp_free) free;
    decltype(&::xmp_iterator_new) iteratorNew;
    decltype(&::xmp_iterator_next) iteratorNext;
    decltype(&::xmp_iterator_free) iteratorFree;
    decltype(&::xmp_string_new) stringNew;
    decltype(&::xmp_string_free) stringFree;
    decltype(&::xmp_string_len) stringLen;
    decltype(&::xmp_string_cstr) stringCstr;
};

// Filled by initXmpToolkit, read only after it returned true.
Toolkit toolkit;

bool loadToolkit(bool showDiagnostics)
{
    std::string why;
    void *library = loadSystemLibrary("libexempi.so.8", why);
    Toolkit &t = toolkit;
    const bool found = library != nullptr && findFunction(library, "xmp_init", t.init) &&
                       findFunction(library, "xmp_new_empty", t.newEmpty) &&
                       findFunction(library, "xmp_parse", t.parse) && findFunction(library, "xmp_free", t.free) &&
                       findFunction(library, "xmp_iterator_new", t.iteratorNew) &&
                       findFunction(library, "xmp_iterator_next", t.iteratorNext) &&
                       findFunction(library, "xmp_iterator_free", t.iteratorFree) &&
                       findFunction(library, "xmp_string_new", t.stringNew) &&
                       findFunction(library, "xmp_string_free", t.stringFree) &&
                       findFunction(library, "xmp_string_len", t.stringLen) &&
                       findFunction(library, "xmp_string_cstr", t.stringCstr);
    if (!found)
        return false;
    // Never destroyed: std::cerr is flushed after every static object is gone.
    if (!showDiagnostics)
        std::cerr.rdbuf(new DiscardingBuffer);
    return t.init();
}

} // namespace

bool xmpToolkitAvailable() { return true; }

bool initXmpToolkit(bool showDiagnostics)
{
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [&] { ready = loadToolkit(showDiagnostics); });
    return ready;
}

void *parseXmpDocument(const char *packet, size_t size)
{
    XmpPtr xmp = initXmpToolkit() ? toolkit.newEmpty() : nullptr;
    if (xmp != nullptr && !toolkit.parse(xmp, packet, size)) {
        toolkit.free(xmp);
        return nullptr;
    }
    return xmp;
}

void freeXmpDocument(void *document)
{
    if (document != nullptr)
        toolkit.free(static_cast<XmpPtr>(document));
}

// Leaf properties without qualifiers; schema nodes come back with an empty path. Where the
// toolkit's iteration throws (an alias moved into a struct it then cannot walk), the listing
// ends there: the exception would otherwise end the process.
void forEachToolkitProperty(const void *document, XmpPropertyVisitor visit, void *state)
{
    XmpIteratorPtr iter = document == nullptr ? nullptr
        : toolkit.iteratorNew(static_cast<XmpPtr>(const_cast<void *>(document)), nullptr, nullptr,
                           XMP_ITER_OMITQUALIFIERS);
    if (iter == nullptr)
        return;
    XmpStringPtr schema = toolkit.stringNew();
    XmpStringPtr path = toolkit.stringNew();
    XmpStringPtr value = toolkit.stringNew();
    uint32_t options = 0;
    try {
        while (toolkit.iteratorNext(iter, schema, path, value, &options)) {
            if (XMP_IS_PROP_SIMPLE(options) && toolkit.stringLen(path) != 0)
                visit(state, toolkit.stringCstr(path), toolkit.stringLen(path), toolkit.stringCstr(value),
                      toolkit.stringLen(value));
        }
    } catch (...) {
    }
    toolkit.stringFree(value);
    toolkit.stringFree(path);
    toolkit.stringFree(schema);
    toolkit.iteratorFree(iter);
}

} // namespace zudorhost

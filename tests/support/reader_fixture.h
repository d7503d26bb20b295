// The module as a host sees it: loaded at run time, reached through its table; and the
// tables of documents that suites lead through it.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "life.h"
#include "test_host.h"
#include "tiff_builder.h"
#include "zudor/reader.h"

namespace testhost {

// The shared library, loaded once (ZUDOR_MODULE names another one).
void *moduleHandle();
void *moduleSymbol(const char *name);
const ReaderInterface &reader();

// Marker that a host pre-fills its buffers with, to see whether a retrieval wrote them.
constexpr uint8_t kMarker = 0xEE;

template <typename T>
T markedBuffer()
{
    T buffer;
    std::memset(&buffer, kMarker, sizeof buffer);
    return buffer;
}

template <typename T>
bool untouched(const T &buffer)
{
    const auto *p = reinterpret_cast<const uint8_t *>(&buffer);
    for (size_t i = 0; i < sizeof buffer; ++i)
        if (p[i] != kMarker)
            return false;
    return true;
}

// A table row: a document, how the host leads it, and what the host must see. Empty
// stream, heap and packets are not checked; heap need only occur in the heap log.
struct Row {
    const char *name;
    TiffBuilder tiff;
    LifeScript script;
    std::string transcript;
    std::string stream = "";
    std::string heap = "";
    std::string packets = "";
    size_t keep = SIZE_MAX; // the document cut to this many bytes
};

void checkRow(const Row &row);
// gtest names a row by its name, never by its bytes (padding among them).
inline void PrintTo(const Row &row, std::ostream *os) { *os << row.name; }

// The document's life with every allocation refused in turn (alone, then from there on) and
// every read cut short in turn: the invariants must hold, and then whatever more.
using SweepCheck = std::function<void(const LifeScript &, const LifeResult &, const std::string &what)>;
void sweepFaults(const std::vector<uint8_t> &document, const LifeScript &script, const SweepCheck &more = {});

} // namespace testhost

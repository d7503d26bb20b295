// What reading a document costs its input stream, counted the same way for a local file and a
// remote object, and the largest request a reader is granted unless told otherwise.
#pragma once

#include <cstdint>

namespace zudorhost {

// The largest single request the reference host grants the reader, unless told otherwise.
constexpr int64_t kDefaultMaxRequest = int64_t(256) << 20;

// What reading a document cost: calls into the input stream and the bytes they gave.
struct StreamCounts {
    uint64_t reads = 0;
    uint64_t seeks = 0;
    uint64_t bytesRead = 0;
};

} // namespace zudorhost

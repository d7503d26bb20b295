// What tells one version of a file from another, and the clock it is taken by: the platform
// takes it (zudor_host/platform.h: fileIdentity), inputs carry it (zudor_host/inputs.h), the
// catalogue keeps it.
#pragma once

#include <cstdint>
#include <string>

namespace zudorhost {

// What tells one version of a file from another without reading it: a local file's size,
// modification time and inode as one stat gives them; a remote object's size and ETag as its
// listing or its first answer gives them; and when they were taken.
struct FileIdentity {
    uint64_t size = 0;
    int64_t modifiedNs = 0; // since 1970, in nanoseconds
    uint64_t inode = 0;
    std::string etag;       // a remote object's; empty for a local file
    int64_t takenNs = 0;    // wall clock when it was taken; 0: nothing known
    bool known() const { return takenNs != 0; }
};

// The wall clock, in nanoseconds since 1970.
int64_t wallClockNs();

} // namespace zudorhost

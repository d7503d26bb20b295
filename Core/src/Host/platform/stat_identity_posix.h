// A file's identity from what stat tells, on POSIX systems.
#pragma once

#include <sys/stat.h>

#include "zudor_host/inputs.h"

namespace zudorhost {

// Taken from the wall clock, which is what the file system stamps times from.
inline FileIdentity identityFromStat(const struct stat &info)
{
    FileIdentity identity;
    identity.size = uint64_t(info.st_size);
    identity.modifiedNs = int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    identity.inode = uint64_t(info.st_ino);
    identity.takenNs = wallClockNs();
    return identity;
}

} // namespace zudorhost

// Why a path that is neither a regular file nor a directory is refused, in the same words
// whether it was named, listed or opened: kind is the system's file type (st_mode on POSIX
// systems, GetFileType's answer on Windows). Defined beside each platform's file stream.
#pragma once

#include <cstdint>

namespace zudorhost {

const char *notRegularFile(uint32_t kind);

} // namespace zudorhost

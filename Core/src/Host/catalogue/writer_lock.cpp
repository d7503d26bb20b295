// The writers' lock: one byte of the catalogue's own file, held for the whole run. SQLite locks
// bytes of the same file from 1 GiB on only while a transaction lasts; this byte lies in the
// page SQLite keeps free for its locks but never locks itself.
#include "catalogue/catalogue_db.h"

#include "platform/system.h"

namespace zudorhost {
namespace {

constexpr uint64_t kWriterByte = uint64_t(0x40000000) + 0x800;

} // namespace

WriterLock::~WriterLock()
{
    if (fd_ >= 0)
        os::closeFile(fd_); // drops the lock
}

bool WriterLock::take(const std::string &path, bool wait, std::string &error)
{
    bool busy = false;
    fd_ = os::lockByte(path, kWriterByte, wait, busy, error);
    if (fd_ < 0 && busy)
        error = "another run is updating this catalogue";
    return fd_ >= 0;
}

} // namespace zudorhost

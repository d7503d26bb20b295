// The writers' lock: one byte of the catalogue's own file, held for the whole run. SQLite locks
// bytes of the same file from 1 GiB on only while a transaction lasts; this byte lies in the
// page SQLite keeps free for its locks but never locks itself. And whether a catalogue can
// change while it is read.
#include "catalogue/catalogue_db.h"

#include "platform/system.h"
#include "zudor_host/platform.h"

namespace zudorhost {
namespace {

constexpr uint64_t kWriterByte = uint64_t(0x40000000) + 0x800;

} // namespace

WriterLock::~WriterLock()
{
    if (fd_ >= 0)
        os::native().closeFile(fd_); // drops the lock
}

bool WriterLock::take(const std::string &path, bool wait, std::string &error)
{
    os::LockRefusal refusal = os::LockRefusal::None;
    fd_ = os::native().lockByte(path, kWriterByte, wait, refusal, error);
    readOnly = refusal == os::LockRefusal::ReadOnly;
    busy = refusal == os::LockRefusal::Busy;
    if (refusal == os::LockRefusal::Busy)
        error = "another run is updating this catalogue";
    return fd_ >= 0;
}

// No writer can make the log a write needs where the folder cannot be written, and a log left
// empty when its last reader closed holds nothing.
bool cannotChange(const std::string &path)
{
    FileIdentity log;
    const os::System &system = os::native();
    return !system.folderWritable(path) && (!system.fileIdentity(nullptr, path + "-wal", log) || log.size == 0);
}

} // namespace zudorhost

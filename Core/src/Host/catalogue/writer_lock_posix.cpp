// The writers' lock on POSIX systems: an open file description lock (Linux) on one byte of
// the catalogue's own file. SQLite locks bytes of the same file from 1 GiB on only while a
// transaction lasts; this byte lies in the page SQLite keeps free for its locks but never
// locks itself, and is held for the whole run. A lock of the open file description, unlike a
// classic POSIX lock, is not dropped when SQLite closes another descriptor of the file. And
// whether a catalogue can change while it is read.
#include "catalogue/catalogue_db.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zudorhost {
namespace {

constexpr off_t kWriterByte = off_t(0x40000000) + 0x800;

} // namespace

WriterLock::~WriterLock()
{
    if (fd_ >= 0)
        ::close(fd_); // drops the lock
}

bool WriterLock::take(const std::string &path, bool wait, std::string &error)
{
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0) {
        readOnly = errno == EROFS || errno == EACCES || errno == EPERM;
        error = std::string("cannot write: ") + std::strerror(errno);
        return false;
    }
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = kWriterByte;
    lock.l_len = 1;
    int result;
    do
        result = fcntl(fd_, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock);
    while (result != 0 && errno == EINTR);
    if (result == 0)
        return true;
    error = errno == EAGAIN || errno == EACCES
                ? std::string("another run is updating this catalogue")
                : std::string("cannot lock: ") + std::strerror(errno);
    ::close(fd_);
    fd_ = -1;
    return false;
}

bool cannotChange(const std::string &path)
{
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    struct stat log;
    // access() asks for the caller's rights, which for root ignore the mode: a read-only mount
    // still answers EROFS. A log left empty when its last reader closed holds nothing.
    return ::access(folder.c_str(), W_OK) != 0 && (::stat((path + "-wal").c_str(), &log) != 0 || log.st_size == 0);
}

} // namespace zudorhost

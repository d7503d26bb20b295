// The file stream's system calls on Windows: CreateFileW for the UTF-8 path made UTF-16, and
// ReadFile at an offset given in an OVERLAPPED record, as pread reads elsewhere. The handle is
// kept as a C runtime descriptor, so the stream's state is the same on both platforms.
#include "zudor_host/stream.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "io/file_kind.h"
#include "platform/utf16.h"

namespace zudorhost {

const char *notRegularFile(uint32_t type)
{
    switch (type) {
    case FILE_TYPE_PIPE: return "not a regular file (a named pipe)";
    case FILE_TYPE_CHAR: return "not a regular file (a device)";
    }
    return "not a regular file";
}

void FileStream::closeDescriptor(int fd) { _close(fd); }

uint32_t FileStream::readFully(int fd, char *to, uint32_t count, uint64_t offset)
{
    const HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    uint32_t done = 0;
    while (done < count) {
        OVERLAPPED at{};
        at.Offset = DWORD(offset + done);
        at.OffsetHigh = DWORD((offset + done) >> 32);
        DWORD got = 0;
        if (!ReadFile(file, to + done, count - done, &got, &at) || got == 0)
            break;
        done += got;
    }
    return done;
}

bool FileStream::open(const std::string &path, std::string &error, FileIdentity *identity)
{
    close();
    if (identity != nullptr)
        *identity = FileIdentity{}; // no catalogue on this platform
    const std::wstring wide = toUtf16(path);
    const HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        // A directory cannot be opened here at all; say what the POSIX build's read says.
        const DWORD attributes = GetFileAttributesW(wide.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
            error = "cannot read: Is a directory";
        else
            error = "cannot open: " + systemMessage(code);
        return false;
    }
    // Pipes and devices (NUL, CON, a named pipe) are refused, never waited on.
    LARGE_INTEGER size;
    const DWORD type = GetFileType(file);
    if (type != FILE_TYPE_DISK || !GetFileSizeEx(file, &size)) {
        CloseHandle(file);
        error = notRegularFile(type);
        return false;
    }
    fd_ = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDONLY | _O_BINARY);
    if (fd_ < 0) {
        CloseHandle(file);
        error = "cannot open: too many open files";
        return false;
    }
    const uint32_t want = size.QuadPart < kWindowBytes ? uint32_t(size.QuadPart) : kWindowBytes;
    const uint32_t got = readFully(fd_, window_.get(), want, 0);
    view_ = window_.get();
    windowStart_ = 0;
    windowLength_ = got;
    size_ = got < kWindowBytes ? got : uint64_t(size.QuadPart);
    return true;
}

} // namespace zudorhost

// The system calls behind the POSIX file layer (files, directories, locks, the io_uring batch)
// in one table, as SQLite's os_unix.c keeps its own: a test swaps one entry for a call that
// fails as a loaded or broken system does (EMFILE, ENOSPC, EIO, a short read, a ring the
// system refuses) and sees what the layer makes of it, which no run on a healthy machine can
// show. Nothing but a test changes an entry, and only while no other thread reads files.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

struct flock;
struct io_uring;

namespace zudorhost {
namespace os {

struct SystemCalls {
    int (*openat)(int at, const char *path, int flags, mode_t mode);
    ssize_t (*pread)(int fd, void *into, size_t count, off_t offset);
    int (*fstat)(int fd, struct stat *info);
    int (*lock)(int fd, int command, struct flock *range); // fcntl with F_OFD_SETLK(W)
    int (*close)(int fd);
    DIR *(*opendir)(const char *path);
    dirent *(*readdir)(DIR *dir);
    // liburing's, loaded at the first batch: a negative errno where there is none.
    int (*ringInit)(unsigned entries, io_uring *ring, unsigned flags);
    int (*ringSubmitAndWait)(io_uring *ring, unsigned waitFor);
};

// The table in force; its entries start as the system's own.
SystemCalls &systemCalls();
// Every entry the system's own again.
void restoreSystemCalls();

} // namespace os
} // namespace zudorhost

// Directory listings and the look at a named path, on POSIX systems.
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "io/file_kind.h"
#include "run/directory_listing.h"

namespace zudorhost {

bool listDirectory(Listing &listing, std::string &error)
{
    DIR *dir = opendir(listing.prefix.c_str());
    if (dir == nullptr) {
        error = std::string("cannot read directory: ") + std::strerror(errno);
        return false;
    }
    errno = 0;
    for (const dirent *entry; (entry = readdir(dir)) != nullptr; errno = 0) {
        const char *name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
            continue;
        bool isDir = entry->d_type == DT_DIR, isFile = entry->d_type == DT_REG;
        bool isLink = entry->d_type == DT_LNK;
        struct stat info;
        // Some file systems (XFS without ftype, some network mounts) give no type: look
        // without following a link, so that a link there is taken as one too.
        if (entry->d_type == DT_UNKNOWN && fstatat(dirfd(dir), name, &info, AT_SYMLINK_NOFOLLOW) == 0) {
            isLink = S_ISLNK(info.st_mode);
            isDir = S_ISDIR(info.st_mode);
            isFile = S_ISREG(info.st_mode);
        }
        // A link counts as what it leads to, but the walk never follows one into a directory,
        // so a linked loop cannot trap it.
        if (isLink && fstatat(dirfd(dir), name, &info, 0) == 0)
            isFile = S_ISREG(info.st_mode);
        if (isDir || isFile)
            listing.add(name, std::strlen(name), isDir);
    }
    const int failed = errno;
    closedir(dir);
    if (failed != 0) {
        error = std::string("cannot read directory: ") + std::strerror(failed);
        return false;
    }
    return true;
}

NamedKind namedKind(const std::string &path, std::string &why)
{
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || S_ISREG(info.st_mode))
        return NamedKind::File;
    if (S_ISDIR(info.st_mode))
        return NamedKind::Directory;
    why = notRegularFile(info.st_mode);
    return NamedKind::Refused;
}

bool endsInSeparator(const std::string &path) { return path.back() == '/'; }

ptrdiff_t readDelimited(char **line, size_t *capacity, char separator, std::FILE *from)
{
    return getdelim(line, capacity, separator, from);
}

} // namespace zudorhost

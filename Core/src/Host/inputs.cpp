// Input sources: paths and directories walked as a stream, and lists of paths read from a
// file. Nothing here holds more than one directory listing per level of the walk.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>

#include "zudor_host/zudor_host.h"

namespace zudorhost {
namespace {

const char *kindOf(mode_t mode)
{
    if (S_ISFIFO(mode))
        return "not a regular file (a named pipe)";
    if (S_ISSOCK(mode))
        return "not a regular file (a socket)";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "not a regular file (a device)";
    return "not a regular file";
}

// One directory's entries, sorted. Names sit in one buffer: a file's as it is, a
// directory's with '/' after it, so that plain byte order of these keys is the order of the
// full paths below them.
struct Listing {
    std::string prefix; // the directory's path, ending in '/'
    std::string names;  // the keys, each ending in '\0'
    std::vector<uint32_t> starts;
    size_t next = 0;
};

bool readListing(Listing &listing, std::string &error)
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
        if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) {
            // A link counts as what it leads to, but the walk never follows one into a
            // directory, so a linked loop cannot trap it.
            struct stat info;
            if (fstatat(dirfd(dir), name, &info, 0) == 0) {
                isFile = S_ISREG(info.st_mode);
                isDir = entry->d_type == DT_UNKNOWN && S_ISDIR(info.st_mode);
            }
        }
        if (!isDir && !isFile)
            continue;
        listing.starts.push_back(uint32_t(listing.names.size()));
        listing.names.append(name);
        if (isDir)
            listing.names.push_back('/');
        listing.names.push_back('\0');
    }
    const int failed = errno;
    closedir(dir);
    if (failed != 0) {
        error = std::string("cannot read directory: ") + std::strerror(failed);
        return false;
    }
    const char *base = listing.names.data();
    std::sort(listing.starts.begin(), listing.starts.end(),
              [base](uint32_t a, uint32_t b) { return std::strcmp(base + a, base + b) < 0; });
    return true;
}

// Expands each named path as it comes: a directory into the files below it, depth first.
class Walker : public InputSource {
public:
    bool next(InputItem &item) override
    {
        while (true) {
            if (!stack_.empty()) {
                if (step(item))
                    return true;
                continue;
            }
            std::string path;
            bool plainFile = false;
            if (!nextNamed(path, plainFile))
                return false;
            if (startNamed(path, plainFile, item))
                return true;
        }
    }

protected:
    // The next path the user named; plainFile skips the look at what it is.
    virtual bool nextNamed(std::string &path, bool &plainFile) = 0;

private:
    bool startNamed(const std::string &path, bool plainFile, InputItem &item)
    {
        item.path = path;
        item.error.clear();
        item.origin = InputOrigin::Named;
        if (path == "-") {
            item.origin = InputOrigin::StandardInput;
            return true;
        }
        struct stat info;
        if (plainFile || stat(path.c_str(), &info) != 0 || S_ISREG(info.st_mode))
            return true; // opening it tells what is wrong, if anything
        if (!S_ISDIR(info.st_mode)) {
            item.origin = InputOrigin::Failed;
            item.error = kindOf(info.st_mode);
            return true;
        }
        return enter(path.back() == '/' ? path : path + '/', item);
    }

    // Pushes a directory's listing; a directory that cannot be read is an input that failed.
    bool enter(std::string prefix, InputItem &item)
    {
        stack_.emplace_back();
        stack_.back().prefix = std::move(prefix);
        if (readListing(stack_.back(), item.error))
            return false;
        item.path = stack_.back().prefix;
        item.path.pop_back();
        item.origin = InputOrigin::Failed;
        stack_.pop_back();
        return true;
    }

    bool step(InputItem &item)
    {
        Listing &top = stack_.back();
        if (top.next == top.starts.size()) {
            stack_.pop_back();
            return false;
        }
        const char *key = top.names.data() + top.starts[top.next++];
        const size_t length = std::strlen(key);
        std::string path = top.prefix;
        path.append(key, length);
        if (key[length - 1] == '/')
            return enter(std::move(path), item);
        item.path = std::move(path);
        item.origin = InputOrigin::Walked;
        item.error.clear();
        return true;
    }

    std::vector<Listing> stack_;
};

class PathWalker : public Walker {
public:
    explicit PathWalker(std::vector<std::string> inputs) : inputs_(std::move(inputs)) {}

protected:
    bool nextNamed(std::string &path, bool &plainFile) override
    {
        if (index_ == inputs_.size())
            return false;
        path = inputs_[index_++];
        plainFile = false;
        return true;
    }

private:
    std::vector<std::string> inputs_;
    size_t index_ = 0;
};

// A list may name millions of files: each is taken as a file, without a look at what it is
// first; opening it refuses what is not a regular file.
class ListWalker : public Walker {
public:
    ListWalker(std::FILE *from, char separator) : from_(from), separator_(separator) {}
    ~ListWalker() override
    {
        std::free(line_);
        if (from_ != nullptr && from_ != stdin)
            std::fclose(from_);
    }

protected:
    bool nextNamed(std::string &path, bool &plainFile) override
    {
        ssize_t got;
        while (from_ != nullptr && (got = getdelim(&line_, &capacity_, separator_, from_)) >= 0) {
            if (got > 0 && line_[got - 1] == separator_)
                --got;
            if (got == 0)
                continue;
            path.assign(line_, size_t(got));
            plainFile = path != "-";
            return true;
        }
        return false;
    }

private:
    std::FILE *from_;
    char separator_;
    char *line_ = nullptr;
    size_t capacity_ = 0;
};

} // namespace

std::unique_ptr<InputSource> pathSource(std::vector<std::string> inputs)
{
    return std::make_unique<PathWalker>(std::move(inputs));
}

std::unique_ptr<InputSource> listSource(std::FILE *from, char separator)
{
    return std::make_unique<ListWalker>(from, separator);
}

} // namespace zudorhost

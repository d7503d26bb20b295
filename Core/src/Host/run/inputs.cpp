// Input sources: paths and directories walked as a stream, and lists of paths read from a
// file. Nothing here holds more than one directory listing per level of the walk.
#include <algorithm>
#include <cstring>

#include "platform/system.h"
#include "zudor_host/inputs.h"
#include "zudor_host/platform.h"
#include "zudor_host/remote.h"

namespace zudorhost {

namespace {

#ifdef _WIN32
constexpr const char *kSeparators = "/\\";
#else
constexpr const char *kSeparators = "/";
#endif

bool readListing(os::Listing &listing, std::string &error)
{
    if (!os::native().listDirectory(listing, error))
        return false;
    const char *base = listing.names.data();
    std::sort(listing.starts.begin(), listing.starts.end(),
              [base](uint32_t a, uint32_t b) { return std::strcmp(base + a, base + b) < 0; });
    return true;
}

// Expands each named path as it comes: a directory into the files below it, depth first.
class Walker : public InputSource {
public:
    explicit Walker(std::string output) : output_(std::move(output))
    {
        const size_t slash = output_.find_last_of(kSeparators);
        outputName_ = output_ == "-" ? std::string() : output_.substr(slash == std::string::npos ? 0 : slash + 1);
    }

    bool next(InputItem &item) override
    {
        while (true) {
            if (!stack_.empty()) {
                if (step(item) && !isOutput(item.path))
                    return true;
                continue;
            }
            std::string path;
            bool plainFile = false;
            if (!nextNamed(path, plainFile, named_))
                return false;
            if (plainFile && isOutput(path))
                continue;
            if (startNamed(path, plainFile, item))
                return true;
        }
    }

protected:
    // The next path the user named, and which named input it is; plainFile skips the look at
    // what it is.
    virtual bool nextNamed(std::string &path, bool &plainFile, uint32_t &named) = 0;

private:
    bool startNamed(const std::string &path, bool plainFile, InputItem &item)
    {
        item.path = path;
        item.error.clear();
        item.origin = InputOrigin::Named;
        item.named = named_;
        item.directory = false;
        if (path == "-" && !plainFile) {
            item.origin = InputOrigin::StandardInput;
            return true;
        }
        // A URL is no path to look at: the fetch stage reads it.
        if (plainFile || isRemoteInput(path))
            return true;
        switch (os::native().namedKind(path, item.error)) {
        case os::NamedKind::File:
            return true; // opening it tells what is wrong, if anything
        case os::NamedKind::Refused:
            item.origin = InputOrigin::Failed;
            return true;
        case os::NamedKind::Directory:
            break;
        }
        return enter(os::endsInSeparator(path) ? path : path + '/', item);
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
        item.named = named_;
        item.directory = true;
        stack_.pop_back();
        return true;
    }

    bool step(InputItem &item)
    {
        os::Listing &top = stack_.back();
        if (top.next == top.starts.size()) {
            stack_.pop_back();
            return false;
        }
        const char *key = top.names.data() + top.starts[top.next++];
        const size_t length = std::strlen(key);
        if (key[length - 1] == '/')
            return enter(top.prefix + key, item);
        // Written into the item's own string, whose room the batch keeps from one use to the
        // next: a file met in a walk costs no allocation for its path.
        item.path.assign(top.prefix).append(key, length);
        item.origin = InputOrigin::Walked;
        item.named = named_;
        item.error.clear();
        item.directory = false;
        return true;
    }

    // Whether path is the run's output: its name first, which spares nearly every file the look.
    bool isOutput(const std::string &path) const
    {
        return !outputName_.empty() && path.size() >= outputName_.size() &&
               path.compare(path.size() - outputName_.size(), outputName_.size(), outputName_) == 0 &&
               sameFile(path, output_);
    }

    std::vector<os::Listing> stack_;
    uint32_t named_ = 0;
    std::string output_, outputName_;
};

class PathWalker : public Walker {
public:
    PathWalker(std::vector<std::string> inputs, uint32_t firstNamed, std::string output)
        : Walker(std::move(output)), inputs_(std::move(inputs)), firstNamed_(firstNamed) {}

protected:
    bool nextNamed(std::string &path, bool &plainFile, uint32_t &named) override
    {
        if (index_ == inputs_.size())
            return false;
        named = firstNamed_ + uint32_t(index_);
        path = inputs_[index_++];
        plainFile = false;
        return true;
    }

private:
    std::vector<std::string> inputs_;
    uint32_t firstNamed_;
    size_t index_ = 0;
};

// A list may name millions of files: each is taken as a file, without a look at what it is
// first; opening it refuses what is not a regular file.
class ListWalker : public Walker {
public:
    ListWalker(std::FILE *from, char separator, uint32_t named, std::string output)
        : Walker(std::move(output)), from_(from), separator_(separator), listNamed_(named) {}
    ~ListWalker() override
    {
        std::free(line_);
        if (from_ != nullptr && from_ != stdin)
            std::fclose(from_);
    }

protected:
    bool nextNamed(std::string &path, bool &plainFile, uint32_t &named) override
    {
        named = listNamed_;
        ptrdiff_t got;
        while (from_ != nullptr && (got = os::readDelimited(&line_, &capacity_, separator_, from_)) >= 0) {
            if (got > 0 && line_[got - 1] == separator_)
                --got;
            // A list written on Windows ends its lines with CR LF; a name with a CR at its end
            // comes in a NUL-separated list.
            if (separator_ == '\n' && got > 0 && line_[got - 1] == '\r')
                --got;
            if (got == 0)
                continue;
            path.assign(line_, size_t(got));
            plainFile = true;
            return true;
        }
        return false;
    }

private:
    std::FILE *from_;
    char separator_;
    uint32_t listNamed_;
    char *line_ = nullptr;
    size_t capacity_ = 0;
};

} // namespace

std::unique_ptr<InputSource> pathSource(std::vector<std::string> inputs, uint32_t firstNamed, std::string output)
{
    return std::make_unique<PathWalker>(std::move(inputs), firstNamed, std::move(output));
}

std::unique_ptr<InputSource> listSource(std::FILE *from, char separator, uint32_t named, std::string output)
{
    return std::make_unique<ListWalker>(from, separator, named, std::move(output));
}

} // namespace zudorhost

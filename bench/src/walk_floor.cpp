// The least a reader of a tree must do: list each directory (getdents64), put its entries in
// the order the records come in, and open (relative to the directory), read the first 64 KiB
// of and close every file. `--threads 2` shares the work between two threads; `--uring`
// hands each run of a directory's files to the kernel as one io_uring submission of linked
// open, read and close operations, and falls back to system calls where io_uring is refused.
//
//   zudor_walk_floor [--threads N] [--uring] DIR...
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#ifdef ZUDOR_WALK_FLOOR_URING
#include <liburing.h>
#endif

namespace {

constexpr size_t kWindow = 64 * 1024;
// Files handed out together: a run of one directory's files.
constexpr size_t kChunk = 32;

struct Directory {
    int fd = -1;
    std::string path;
    std::vector<std::string> files; // in order
    ~Directory()
    {
        if (fd >= 0)
            close(fd);
    }
};

// A directory to list, or a run of files of a listed one to read.
struct Job {
    std::shared_ptr<Directory> parent; // null for a named directory
    std::string name;                  // of the directory to list
    std::shared_ptr<Directory> dir;    // set for a run of files
    size_t begin = 0, end = 0;
};

struct Totals {
    unsigned long long files = 0, bytes = 0;
};

bool failed(const std::string &what)
{
    std::perror(what.c_str());
    return false;
}

// The entries of an open directory as the runner orders them: byte order of the names, a
// directory's with '/' after it.
bool list(Directory &dir, std::vector<std::string> &subdirs)
{
    static thread_local std::vector<char> buffer(64 * 1024);
    std::vector<std::string> keys;
    while (true) {
        const ssize_t got = getdents64(dir.fd, buffer.data(), buffer.size());
        if (got < 0)
            return failed(dir.path);
        if (got == 0)
            break;
        for (ssize_t at = 0; at < got;) {
            const auto *entry = reinterpret_cast<const dirent64 *>(buffer.data() + at);
            at += entry->d_reclen;
            const char *name = entry->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
                continue;
            unsigned char type = entry->d_type;
            struct stat info;
            if (type == DT_UNKNOWN && fstatat(dir.fd, name, &info, AT_SYMLINK_NOFOLLOW) == 0)
                type = S_ISDIR(info.st_mode) ? DT_DIR : S_ISREG(info.st_mode) ? DT_REG : DT_UNKNOWN;
            if (type == DT_DIR)
                keys.push_back(std::string(name) + '/');
            else if (type == DT_REG)
                keys.emplace_back(name);
        }
    }
    std::sort(keys.begin(), keys.end());
    for (std::string &key : keys) {
        if (key.back() == '/') {
            key.pop_back();
            subdirs.push_back(std::move(key));
        } else {
            dir.files.push_back(std::move(key));
        }
    }
    return true;
}

class Reader {
public:
    virtual ~Reader() = default;
    virtual bool read(const Directory &dir, size_t begin, size_t end, Totals &totals) = 0;
};

class SyscallReader : public Reader {
public:
    bool read(const Directory &dir, size_t begin, size_t end, Totals &totals) override
    {
        for (size_t i = begin; i < end; ++i) {
            const int fd = openat(dir.fd, dir.files[i].c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0)
                return failed(dir.path + dir.files[i]);
            const ssize_t got = pread(fd, window_.data(), kWindow, 0);
            close(fd);
            if (got < 0)
                return failed(dir.path + dir.files[i]);
            totals.bytes += static_cast<unsigned long long>(got);
            ++totals.files;
        }
        return true;
    }

private:
    std::vector<char> window_ = std::vector<char>(kWindow);
};

#ifdef ZUDOR_WALK_FLOOR_URING
// Open, read and close of each file linked, into a slot of the ring's own descriptor table:
// a run of files costs one system call.
class UringReader : public Reader {
public:
    ~UringReader() override
    {
        if (ready_)
            io_uring_queue_exit(&ring_);
    }

    // False, with why, where the kernel refuses io_uring (a container's seccomp filter, or
    // kernel.io_uring_disabled).
    bool start(std::string &why)
    {
        int rc = io_uring_queue_init(unsigned(4 * kChunk), &ring_, 0);
        if (rc < 0) {
            why = std::strerror(-rc);
            return false;
        }
        ready_ = true;
        rc = io_uring_register_files_sparse(&ring_, unsigned(kChunk));
        if (rc < 0) {
            why = std::string("no registered files: ") + std::strerror(-rc);
            return false;
        }
        return true;
    }

    bool read(const Directory &dir, size_t begin, size_t end, Totals &totals) override
    {
        const size_t count = end - begin;
        for (size_t k = 0; k < count; ++k) {
            const unsigned slot = unsigned(k);
            io_uring_sqe *sqe = io_uring_get_sqe(&ring_);
            io_uring_prep_openat_direct(sqe, dir.fd, dir.files[begin + k].c_str(), O_RDONLY, 0, slot);
            sqe->flags |= IOSQE_IO_LINK;
            io_uring_sqe_set_data64(sqe, k * 3);
            sqe = io_uring_get_sqe(&ring_);
            io_uring_prep_read(sqe, int(slot), windows_.data() + k * kWindow, unsigned(kWindow), 0);
            sqe->flags |= IOSQE_FIXED_FILE | IOSQE_IO_LINK;
            io_uring_sqe_set_data64(sqe, k * 3 + 1);
            sqe = io_uring_get_sqe(&ring_);
            io_uring_prep_close_direct(sqe, slot);
            io_uring_sqe_set_data64(sqe, k * 3 + 2);
        }
        const int rc = io_uring_submit_and_wait(&ring_, unsigned(3 * count));
        if (rc < 0) {
            std::fprintf(stderr, "io_uring_submit_and_wait: %s\n", std::strerror(-rc));
            return false;
        }
        bool ok = true;
        for (size_t seen = 0; seen < 3 * count; ++seen) {
            io_uring_cqe *cqe;
            if (io_uring_wait_cqe(&ring_, &cqe) < 0)
                return false;
            const uint64_t tag = io_uring_cqe_get_data64(cqe);
            const int res = cqe->res;
            io_uring_cqe_seen(&ring_, cqe);
            if (res < 0 && res != -ECANCELED) {
                std::fprintf(stderr, "%s%s: %s\n", dir.path.c_str(), dir.files[begin + tag / 3].c_str(),
                             std::strerror(-res));
                ok = false;
            }
            if (tag % 3 == 1 && res >= 0) {
                totals.bytes += static_cast<unsigned long long>(res);
                ++totals.files;
            }
        }
        return ok;
    }

private:
    io_uring ring_{};
    bool ready_ = false;
    std::vector<char> windows_ = std::vector<char>(kChunk * kWindow);
};
#endif

std::unique_ptr<Reader> makeReader(bool uring)
{
#ifdef ZUDOR_WALK_FLOOR_URING
    if (uring) {
        auto reader = std::make_unique<UringReader>();
        std::string why;
        if (reader->start(why))
            return reader;
        static std::once_flag said;
        std::call_once(said, [&] { std::fprintf(stderr, "io_uring refused (%s): reading with system calls\n", why.c_str()); });
    }
#else
    if (uring)
        std::fprintf(stderr, "built without liburing: reading with system calls\n");
#endif
    return std::make_unique<SyscallReader>();
}

// Jobs taken last in, first out, so one thread walks depth first and holds about one
// listing per level, as the runner does.
class Work {
public:
    void push(Job job)
    {
        std::lock_guard<std::mutex> guard(lock_);
        jobs_.push_back(std::move(job));
        ++open_;
        wake_.notify_one();
    }

    void run(bool uring, Totals &totals, std::atomic<bool> &ok)
    {
        std::unique_ptr<Reader> reader = makeReader(uring);
        while (true) {
            Job job;
            {
                std::unique_lock<std::mutex> guard(lock_);
                wake_.wait(guard, [&] { return !jobs_.empty() || open_ == 0; });
                if (jobs_.empty())
                    return;
                job = std::move(jobs_.back());
                jobs_.pop_back();
            }
            if (!(job.dir ? reader->read(*job.dir, job.begin, job.end, totals) : enter(job)))
                ok = false;
            std::lock_guard<std::mutex> guard(lock_);
            if (--open_ == 0)
                wake_.notify_all();
        }
    }

private:
    bool enter(const Job &job)
    {
        auto dir = std::make_shared<Directory>();
        dir->path = (job.parent ? job.parent->path : std::string()) + job.name + '/';
        dir->fd = openat(job.parent ? job.parent->fd : AT_FDCWD, job.name.c_str(),
                         O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir->fd < 0)
            return failed(dir->path);
        std::vector<std::string> subdirs;
        if (!list(*dir, subdirs))
            return false;
        // Pushed in reverse: the first in order is taken first.
        std::vector<Job> jobs;
        for (size_t begin = 0; begin < dir->files.size(); begin += kChunk)
            jobs.push_back(Job{nullptr, {}, dir, begin, std::min(begin + kChunk, dir->files.size())});
        for (std::string &name : subdirs)
            jobs.push_back(Job{dir, std::move(name), nullptr, 0, 0});
        std::lock_guard<std::mutex> guard(lock_);
        for (auto it = jobs.rbegin(); it != jobs.rend(); ++it) {
            jobs_.push_back(std::move(*it));
            ++open_;
        }
        wake_.notify_all();
        return true;
    }

    std::mutex lock_;
    std::condition_variable wake_;
    std::vector<Job> jobs_;
    size_t open_ = 0; // jobs queued or running
};

} // namespace

int main(int argc, char **argv)
{
    unsigned threads = 1;
    bool uring = false;
    std::vector<std::string> roots;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--threads" && i + 1 < argc)
            threads = unsigned(std::max(1, std::atoi(argv[++i])));
        else if (arg == "--uring")
            uring = true;
        else
            roots.push_back(arg);
    }
    if (roots.empty()) {
        std::fprintf(stderr, "usage: zudor_walk_floor [--threads N] [--uring] DIR...\n");
        return 2;
    }
    Work work;
    for (auto it = roots.rbegin(); it != roots.rend(); ++it) {
        std::string root = *it;
        while (root.size() > 1 && root.back() == '/')
            root.pop_back();
        work.push(Job{nullptr, root, nullptr, 0, 0});
    }
    std::vector<Totals> totals(threads);
    std::atomic<bool> ok{true};
    std::vector<std::thread> helpers;
    for (unsigned t = 1; t < threads; ++t)
        helpers.emplace_back([&, t] { work.run(uring, totals[t], ok); });
    work.run(uring, totals[0], ok);
    for (std::thread &helper : helpers)
        helper.join();
    Totals all;
    for (const Totals &t : totals)
        all.files += t.files, all.bytes += t.bytes;
    std::printf("%llu files, %llu bytes\n", all.files, all.bytes);
    return ok ? 0 : 1;
}

// The POSIX file layer under the failures a loaded or broken system gives (no descriptors left,
// a full or read-only disk, an I/O error, short reads, a lock held elsewhere, an io_uring the
// system refuses), injected through its table of system calls. Each must come back as a
// failure in words, or as the right result, and never as a wrong result or a lost descriptor.
#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "platform/system.h"
#include "platform/system_calls.h"
#include "reader_fixture.h"
#include "run/run_internals.h"
#include "zudor_host/inputs.h"
#include "zudor_host/runner.h"

using namespace zudorhost;

namespace {

// What the planted calls count; a test plants, runs one call of the layer, and looks.
int calls = 0;
const os::SystemCalls real = os::systemCalls();

int failWith(int code)
{
    errno = code;
    return -1;
}

int openDescriptors()
{
    int count = 0;
    if (DIR *dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr)
            ++count;
        closedir(dir);
    }
    return count;
}

// A folder of its own under the test's temporary directory, with files of the given sizes.
std::string folderWith(const std::string &name, const std::vector<size_t> &sizes)
{
    const std::string folder = testing::TempDir() + "zudor-faults-" + name + "-" + std::to_string(getpid());
    mkdir(folder.c_str(), 0700);
    for (size_t i = 0; i < sizes.size(); ++i) {
        std::string bytes(sizes[i], '\0');
        for (size_t k = 0; k < bytes.size(); ++k)
            bytes[k] = char('a' + (k + i) % 26);
        std::ofstream(folder + "/" + std::to_string(i) + ".tif", std::ios::binary) << bytes;
    }
    return folder;
}

class SystemFaults : public testing::Test {
protected:
    void SetUp() override { calls = 0; }
    void TearDown() override { os::restoreSystemCalls(); }
    // The system's calls again, with one fault planted: the descriptors open before it acts.
    static int plant(void (*fault)(os::SystemCalls &))
    {
        calls = 0;
        os::restoreSystemCalls();
        fault(os::systemCalls());
        return openDescriptors();
    }
    os::SystemCalls &sys = os::systemCalls();
};

} // namespace

TEST_F(SystemFaults, OpeningADocument)
{
    const std::string folder = folderWith("open", {3000});
    const std::string path = folder + "/0.tif";
    std::string expected(3000, '\0');
    std::ifstream(path, std::ios::binary).read(&expected[0], 3000);
    struct Row {
        const char *fault;
        void (*plant)(os::SystemCalls &);
        const char *error; // empty: the whole file is read
    };
    const Row rows[] = {
        {"no descriptor left",
         [](os::SystemCalls &s) { s.openat = [](int, const char *, int, mode_t) { return failWith(EMFILE); }; },
         "cannot open: Too many open files"},
        {"an I/O error",
         [](os::SystemCalls &s) { s.pread = [](int, void *, size_t, off_t) { return ssize_t(failWith(EIO)); }; },
         "cannot read: Input/output error"},
        {"short reads",
         [](os::SystemCalls &s) {
             s.pread = [](int fd, void *into, size_t count, off_t offset) {
                 return real.pread(fd, into, std::min<size_t>(count, 700), offset);
             };
         },
         ""},
        {"a signal before the first byte",
         [](os::SystemCalls &s) {
             s.pread = [](int fd, void *into, size_t count, off_t offset) {
                 return ++calls == 1 ? ssize_t(failWith(EINTR)) : real.pread(fd, into, count, offset);
             };
         },
         ""},
    };
    // By its whole path, and as a walk's worker opens: relative to the directory its opener
    // keeps open until the batch lets go.
    for (const bool kept : {false, true})
        for (const Row &row : rows) {
            SCOPED_TRACE(std::string(row.fault) + (kept ? ", through a kept directory" : ""));
            const int before = plant(row.plant);
            char window[4096];
            int fd = -1;
            uint32_t got = 0;
            uint64_t size = 0;
            std::string error;
            os::Opener opener;
            if (kept)
                opener.keepDirectories();
            const bool opened = opener.openDocument(path, window, sizeof window, fd, got, size, nullptr, error);
            EXPECT_EQ(opened, *row.error == '\0') << error;
            if (opened) {
                EXPECT_TRUE(std::string(window, got) == expected) << got << " bytes";
                EXPECT_EQ(size, 3000u);
                os::closeFile(fd);
            } else {
                EXPECT_EQ(error, row.error);
            }
            opener.letGo();
            EXPECT_EQ(openDescriptors(), before);
        }
}

TEST_F(SystemFaults, LockingAByte)
{
    const std::string path = folderWith("lock", {}) + "/lock";
    struct Row {
        const char *fault;
        void (*plant)(os::SystemCalls &);
        os::LockRefusal refusal;
        const char *error; // empty: locked
    };
    const Row rows[] = {
        {"a full disk",
         [](os::SystemCalls &s) { s.openat = [](int, const char *, int, mode_t) { return failWith(ENOSPC); }; },
         os::LockRefusal::Other, "cannot write: No space left on device"},
        {"a read-only mount",
         [](os::SystemCalls &s) { s.openat = [](int, const char *, int, mode_t) { return failWith(EROFS); }; },
         os::LockRefusal::ReadOnly, "cannot write: Read-only file system"},
        {"held elsewhere",
         [](os::SystemCalls &s) { s.lock = [](int, int, struct flock *) { return failWith(EAGAIN); }; },
         os::LockRefusal::Busy, "cannot lock: Resource temporarily unavailable"},
        {"no lock left", [](os::SystemCalls &s) { s.lock = [](int, int, struct flock *) { return failWith(ENOLCK); }; },
         os::LockRefusal::Other, "cannot lock: No locks available"},
        {"a signal while waiting",
         [](os::SystemCalls &s) {
             s.lock = [](int fd, int command, struct flock *range) {
                 return ++calls == 1 ? failWith(EINTR) : real.lock(fd, command, range);
             };
         },
         os::LockRefusal::None, ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.fault);
        const int before = plant(row.plant);
        os::LockRefusal refusal = os::LockRefusal::None;
        std::string error;
        const int fd = os::lockByte(path, 7, true, refusal, error);
        EXPECT_EQ(refusal, row.refusal);
        if (*row.error == '\0') {
            EXPECT_GE(fd, 0) << error;
            os::closeFile(fd);
        } else {
            EXPECT_EQ(fd, -1);
            EXPECT_EQ(error, row.error);
        }
        EXPECT_EQ(openDescriptors(), before);
    }
}

TEST_F(SystemFaults, ListingADirectory)
{
    const std::string folder = folderWith("list", {1, 2, 3});
    struct Row {
        const char *fault;
        void (*plant)(os::SystemCalls &);
        const char *error;
    };
    const Row rows[] = {
        {"no descriptor left", [](os::SystemCalls &s) { s.opendir = [](const char *) -> DIR * { return errno = EMFILE, nullptr; }; },
         "cannot read directory: Too many open files"},
        {"an I/O error after the first entry",
         [](os::SystemCalls &s) {
             s.readdir = [](DIR *dir) -> dirent * { return ++calls == 2 ? (errno = EIO, nullptr) : real.readdir(dir); };
         },
         "cannot read directory: Input/output error"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.fault);
        const int before = plant(row.plant);
        os::Listing listing;
        listing.prefix = folder + "/";
        std::string error;
        EXPECT_FALSE(os::listDirectory(listing, error));
        EXPECT_EQ(error, row.error);
        EXPECT_EQ(openDescriptors(), before);
    }
}

// Files opened ahead are served from the batch where the ring works, and opened one by one,
// with the same bytes, where the system refuses the ring or a batch fails; a ring that failed
// once is not asked again.
TEST_F(SystemFaults, TheBatchOfOpensFallsBackToOpeningEachFile)
{
    const std::vector<size_t> sizes = {10, 500, 3000, 9000};
    const std::string folder = folderWith("ahead", sizes);
    std::vector<std::string> paths;
    std::vector<const std::string *> list;
    for (size_t i = 0; i < sizes.size(); ++i)
        paths.push_back(folder + "/" + std::to_string(i) + ".tif");
    for (const std::string &path : paths)
        list.push_back(&path);
    static int opens, rings, submits;
    sys.openat = [](int at, const char *path, int flags, mode_t mode) { return ++opens, real.openat(at, path, flags, mode); };
    // Reads every file once, opened ahead, as a walk's worker does: how many it opened itself.
    const auto readAll = [&](os::Opener &opener) {
        opens = 0;
        opener.openAhead(list.data(), list.size());
        for (size_t i = 0; i < paths.size(); ++i) {
            char window[4096];
            int fd = -1;
            uint32_t got = 0;
            uint64_t size = 0;
            std::string error;
            EXPECT_TRUE(opener.openDocument(paths[i], window, sizeof window, fd, got, size, nullptr, error)) << error;
            EXPECT_EQ(size, sizes[i]);
            EXPECT_EQ(got, std::min<size_t>(sizes[i], sizeof window));
            EXPECT_EQ(window[got - 1], char('a' + (got - 1 + i) % 26));
            if (fd >= 0)
                os::closeFile(fd);
        }
        opener.letGo();
        return opens;
    };
    {
        SCOPED_TRACE("a working ring, where the system gives one");
        rings = 0;
        sys.ringInit = [](unsigned entries, io_uring *ring, unsigned flags) {
            const int made = real.ringInit(entries, ring, flags);
            rings += made == 0;
            return made;
        };
        os::Opener ahead;
        const int opened = readAll(ahead);
        // The files that fit in what the batch reads need no open of their own.
        EXPECT_EQ(opened, rings == 1 ? 1 : 4);
    }
    {
        SCOPED_TRACE("a ring the system refuses");
        sys.ringInit = [](unsigned, io_uring *, unsigned) { return -EPERM; };
        os::Opener ahead;
        EXPECT_EQ(readAll(ahead), 4);
    }
    {
        SCOPED_TRACE("a batch that fails, twice");
        submits = 0;
        sys.ringInit = real.ringInit;
        sys.ringSubmitAndWait = [](io_uring *, unsigned) { return ++submits, -EIO; };
        os::Opener ahead;
        EXPECT_EQ(readAll(ahead), 4);
        EXPECT_EQ(readAll(ahead), 4);
        EXPECT_LE(submits, 1);
    }
}

// A run reads through the system it is handed, and that run alone: one whose open fails for a
// file gives that file's record the failure, while the next run, handed none, reads it as the
// machine does, whatever the number of jobs.
TEST_F(SystemFaults, ARunReadsThroughTheSystemItIsHanded)
{
    const std::string folder = folderWith("run", {100, 100, 100});
    static os::System failing = os::native();
    failing.openDocument = [](os::Opener *through, const std::string &path, char *window, uint32_t bytes, int &fd,
                              uint32_t &got, uint64_t &size, FileIdentity *identity, std::string &error) {
        if (path.size() > 6 && path.compare(path.size() - 6, 6, "/1.tif") == 0) {
            error = "cannot open: Too many open files";
            return false;
        }
        return os::native().openDocument(through, path, window, bytes, fd, got, size, identity, error);
    };
    class Lines : public RecordFormatter {
    public:
        void format(const DocumentView &doc, FinishedBatch &out) override
        {
            const std::string &path = doc.input->path;
            const std::string line = path.substr(path.rfind('/') + 1) + ": " +
                                     (doc.error != nullptr ? doc.error : "read") + "\n";
            out.records.append(line.data(), line.size());
        }
    };
    const auto run = [&](const os::System *system, unsigned jobs) {
        auto internals = std::make_shared<RunInternals>();
        internals->system = system;
        RunOptions options;
        options.jobs = jobs;
        options.internals = internals;
        std::unique_ptr<InputSource> source = pathSource({folder});
        BatchRunner runner(testhost::reader(), *source, [] { return std::make_unique<Lines>(); }, options);
        std::string out;
        while (FinishedBatch *batch = runner.next())
            out.append(batch->records.data(), batch->records.size());
        return out;
    };
    for (const unsigned jobs : {1u, 2u}) {
        SCOPED_TRACE(jobs);
        EXPECT_EQ(run(&failing, jobs),
                  "0.tif: not a TIFF file\n1.tif: cannot open: Too many open files\n2.tif: not a TIFF file\n");
        EXPECT_EQ(run(nullptr, jobs), "0.tif: not a TIFF file\n1.tif: not a TIFF file\n2.tif: not a TIFF file\n");
    }
}

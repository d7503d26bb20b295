// sievecheck --isolate with a module that misbehaves on a marker in one document: each
// misbehaviour must end as that document's error record, the attempt refused and nothing of
// it in the output, while every other record is the one an in-process run gives.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tiff_builder.h"
#include "tool_fixture.h"

namespace fs = std::filesystem;
using nlohmann::json;
using testhost::TiffBuilder;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true; // their allocators are their own: no memory cap to meet
#else
constexpr bool kSanitized = false;
#endif
#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitized = true; // its runtime keeps a reader's signal handlers itself
#else
constexpr bool kThreadSanitized = false;
#endif

std::vector<uint8_t> document(const std::string &title)
{
    // The title is long enough to hold what a leak would write into it.
    return TiffBuilder(true)
        .ifd()
        .ascii(269, title + std::string(300 - title.size(), '#'))
        .ascii(271, "Northlight")
        .ascii(306, "2024:02:29 13:45:00")
        .build();
}

std::vector<std::string> lines(const std::string &out)
{
    std::vector<std::string> all;
    size_t start = 0;
    for (size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1)
        all.push_back(out.substr(start, end - start));
    return all;
}

class IsolationTest : public ToolTest {
protected:
    // Documents 0 to count - 1, those in marked holding the marker.
    void makeDocuments(size_t count, const std::vector<size_t> &marked, const std::string &marker)
    {
        for (size_t i = 0; i < count; ++i) {
            const bool bad = std::find(marked.begin(), marked.end(), i) != marked.end();
            char name[32];
            std::snprintf(name, sizeof name, "docs/%04zu.tif", i);
            write(name, document(bad ? "ZUDOR-TEST:" + marker : "plain " + std::to_string(i)));
        }
    }
};

struct Misbehaviour {
    const char *name;
    std::string marker;
    const char *error;       // the start of the marked document's error; null: its record as read
    const char *options = ""; // for both runs
};

TEST_F(IsolationTest, EachMisbehaviourCostsItsDocumentAlone)
{
    // A listener no one may reach, and a file no shell may make.
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof at;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&at), &length), 0);
    const std::string escaped = (dir_ / "escaped").string();
    setenv("AWS_SECRET_ACCESS_KEY", "zudor-test-secret", 1);

    const std::vector<Misbehaviour> rows = {
        {"crash", "CRASH", "the reader crashed (SIGSEGV)"},
        {"endless loop", "HANG", "the reader took longer than 5 s"},
        {"unbounded allocation", "ALLOCATE", "the reader exceeded 64 MiB"},
        {"opening /etc/passwd", "OPEN", "the sandbox stopped the reader: it called openat"},
        {"connecting to 127.0.0.1", "CONNECT:" + std::to_string(ntohs(at.sin_port)),
         "the sandbox stopped the reader: it called socket"},
        {"running a shell", "EXEC:" + escaped, "the sandbox stopped the reader: it called execve"},
        {"reading the environment", "ENVIRONMENT", "the sandbox stopped the reader: it called openat"},
        // The channel to the parent, and what a reader might reach of other documents: each
        // must cost the marked document alone, the parent waiting no longer than its limit.
        {"an empty packet", "EMPTY-PACKET", "the reader ended its answer before it began"},
        {"closing the channel and living on", "CLOSE-CHANNEL", "the reader ended its answer before it began"},
        {"a frame a terabyte long", "HUGE-FRAME", "the reader sent an answer longer than its document allows"},
        {"bytes that are no frame", "GARBAGE", "the reader answered out of turn"},
        {"wrecking the control page", "WRECK-CONTROL", "the reader took longer than 5 s"},
        {"looking for other documents", "NEIGHBOURS", nullptr},
        {"writing to standard error", "STANDARD-ERROR", nullptr, " --xmp toolkit --xmp-warnings"},
    };
    for (const Misbehaviour &row : rows) {
        SCOPED_TRACE(row.name);
        // The sanitizers' builds keep a reader's standard error for their reports.
        if (kSanitized && (row.marker == "ALLOCATE" || row.marker == "STANDARD-ERROR"))
            continue;
        fs::remove_all(dir_ / "docs");
        makeDocuments(12, {3, 10}, row.marker);
        // In process, the real module reads the marked documents as any other. The time limit is
        // far above what a plain document takes on a loaded machine, sanitized or not.
        const ToolRun plain = run(std::string("-i docs - --format json --quiet -j 1") + row.options);
        const ToolRun isolated = run(std::string("-i docs - --format json --quiet -j 2 --isolate --module ") +
                                     ZUDOR_MISBEHAVING_MODULE + " --document-timeout 5 --document-memory 64" +
                                     row.options);
        EXPECT_EQ(isolated.status, row.error != nullptr ? 1 : 0) << isolated.err;
        const std::vector<std::string> expected = lines(plain.out), got = lines(isolated.out);
        ASSERT_EQ(got.size(), 12u) << isolated.out << isolated.err;
        EXPECT_EQ(isolated.err.find("FORGED"), std::string::npos);
        for (size_t i = 0; i < got.size(); ++i) {
            if ((i != 3 && i != 10) || row.error == nullptr) {
                EXPECT_EQ(got[i], expected[i]);
                continue;
            }
            const json record = json::parse(got[i]);
            EXPECT_EQ(record["file"], json::parse(expected[i])["file"]);
            EXPECT_EQ(record["error"].get<std::string>().rfind(row.error, 0), 0u) << record["error"];
            EXPECT_TRUE(record["title"].is_null());
        }
        EXPECT_EQ(isolated.out.find("root:"), std::string::npos);
        EXPECT_EQ(isolated.out.find("zudor-test-secret"), std::string::npos);
        EXPECT_EQ(isolated.out.find("connected"), std::string::npos);
    }
    EXPECT_FALSE(fs::exists(escaped));
    EXPECT_LT(accept(listener, nullptr, nullptr), 0);
    EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
    close(listener);
    unsetenv("AWS_SECRET_ACCESS_KEY");
}

TEST_F(IsolationTest, TextShowsWhatAReaderNamesAsText)
{
    // A reader names a property with a terminal's command: shown, not obeyed.
    makeDocuments(3, {1}, "CONTROL-NAME");
    const ToolRun isolated = run(std::string("-i docs - --format text --quiet --isolate --module ") +
                                 ZUDOR_MISBEHAVING_MODULE);
    EXPECT_EQ(isolated.out.find('\x1b'), std::string::npos);
    EXPECT_EQ(isolated.out.find('\x07'), std::string::npos);
    EXPECT_NE(isolated.out.find("\\x1B]0\\x07"), std::string::npos) << isolated.out;
}

TEST_F(IsolationTest, AnEntryTheCapLeftUncopiedIsNoProperty)
{
    if (kSanitized)
        GTEST_SKIP() << "sanitized readers have no memory cap";
    // The reader counts the description's entry, then its 20 MiB copy does not fit in 30 MiB.
    const std::vector<uint8_t> bytes =
        TiffBuilder(true).ifd().ascii(270, std::string(20 << 20, 'd')).ascii(271, "Northlight").build();
    std::ofstream(dir_ / "big.tif", std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()),
                                                            std::streamsize(bytes.size()));
    for (const char *format : {"json", "text"}) {
        const ToolRun capped = run(std::string("-i big.tif - --quiet --isolate --document-memory 30 --format ") + format);
        EXPECT_EQ(capped.status, 1) << capped.err;
        if (std::string(format) == "json") {
            const json record = json::parse(capped.out);
            EXPECT_EQ(record["properties"], json::array()) << capped.out;
            EXPECT_EQ(record["warnings"][0], "a request of 20971522 bytes did not fit within the reader's memory cap "
                                             "of 31457280 bytes")
                << capped.out;
        } else {
            EXPECT_EQ(capped.out.find("\n\n  "), std::string::npos) << capped.out; // no blank property line
        }
    }
}

TEST_F(IsolationTest, FilterRefusesEachNarrowedArgument)
{
    // Calls the sandbox lets through with some arguments, asked with others: each ends its
    // document, in the same words however the reader tried to carry on.
    const std::vector<Misbehaviour> rows = {
        {"a priority-inheriting futex", "SANDBOX:FUTEX_PI", "the sandbox stopped the reader: it called futex"},
        {"advice beyond the allocator's", "SANDBOX:MADVISE", "the sandbox stopped the reader: it called madvise"},
        {"another process's CPU clock", "SANDBOX:CPU_CLOCK",
         "the sandbox stopped the reader: it called clock_gettime"},
        {"a mapping that grows down", "SANDBOX:GROWSDOWN", "the sandbox stopped the reader: it called mmap"},
        {"mapping past the cap", "SANDBOX:MAP_GROWTH", "the reader exceeded 64 MiB"},
        {"moving the break past the cap", "SANDBOX:BRK_GROWTH", "the reader exceeded 64 MiB"},
        {"memory moved onto a place named", "SANDBOX:MREMAP_FIXED", "the sandbox stopped the reader: it called mremap"},
        {"a handler of its own for SIGSYS", "SANDBOX:SIGSYS_HANDLER",
         "the sandbox stopped the reader: it called rt_sigaction"},
        {"SIGSYS blocked", "SANDBOX:SIGSYS_BLOCKED", "the sandbox stopped the reader: a forbidden call"},
    };
    for (const Misbehaviour &row : rows) {
        SCOPED_TRACE(row.name);
        // Sanitized, madvise is the runtime's to give as it likes and the cap is its own.
        if (kSanitized && (row.marker == "SANDBOX:MADVISE" || row.marker.find("_GROWTH") != std::string::npos))
            continue;
        if (kThreadSanitized && row.marker == "SANDBOX:SIGSYS_HANDLER")
            continue;
        fs::remove_all(dir_ / "docs");
        makeDocuments(4, {2}, row.marker);
        const ToolRun isolated = run(std::string("-i docs - --format json --quiet -j 1 --isolate --module ") +
                                     ZUDOR_MISBEHAVING_MODULE + " --document-timeout 60 --document-memory 64");
        EXPECT_EQ(isolated.status, 1) << isolated.err;
        const std::vector<std::string> got = lines(isolated.out);
        ASSERT_EQ(got.size(), 4u) << isolated.out << isolated.err;
        for (size_t i = 0; i < got.size(); ++i)
            EXPECT_EQ(json::parse(got[i])["error"], i == 2 ? json(row.error) : json()) << got[i];
        EXPECT_EQ(isolated.out.find("survived"), std::string::npos);
    }
}

TEST_F(IsolationTest, ManyLostReadersEachSayWhy)
{
    // Readers crash one after another, on two jobs, while spares are made and requests wait
    // unread in the one that crashes: every one of these records says why, in the same words.
    std::vector<size_t> marked;
    for (size_t i = 3; i < 500; i += 5)
        marked.push_back(i);
    makeDocuments(500, marked, "CRASH");
    const ToolRun plain = run("-i docs - --format json --quiet -j 2");
    const ToolRun isolated = run(std::string("-i docs - --format json --quiet -j 2 --isolate --module ") +
                                 ZUDOR_MISBEHAVING_MODULE);
    const std::vector<std::string> expected = lines(plain.out), got = lines(isolated.out);
    ASSERT_EQ(got.size(), 500u);
    for (size_t i = 0; i < got.size(); ++i) {
        if (i % 5 != 3)
            EXPECT_EQ(got[i], expected[i]);
        else
            EXPECT_EQ(json::parse(got[i])["error"], "the reader crashed (SIGSEGV)") << i;
    }
}

// A file of /proc read whole, or nothing once its process has gone: reading a vanished
// process's file fails with ESRCH, which the stream library would throw.
std::string procFile(const fs::path &path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::string text;
    char buffer[4096];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, size_t(got));
    close(fd);
    return got < 0 ? std::string() : text;
}

// The process ids whose parent is pid, by /proc.
std::vector<std::string> children(pid_t pid)
{
    std::vector<std::string> found;
    const std::string parent = "\nPPid:\t" + std::to_string(pid) + "\n";
    for (const fs::directory_entry &entry : fs::directory_iterator("/proc"))
        if (procFile(entry.path() / "status").find(parent) != std::string::npos)
            found.push_back(entry.path().filename().string());
    return found;
}

TEST_F(IsolationTest, EveryWorkerRunsInTheSandbox)
{
    // Every document never ends, and there are more than one batch of them: each job reads.
    std::vector<size_t> all(1000);
    for (size_t i = 0; i < all.size(); ++i)
        all[i] = i;
    makeDocuments(all.size(), all, "HANG");
    const pid_t tool = fork();
    ASSERT_GE(tool, 0);
    if (tool == 0) {
        const std::string docs = (dir_ / "docs").string();
        execl(SIEVECHECK_PATH, "sievecheck", "-i", docs.c_str(), "/dev/null", "--quiet", "-j", "2", "--isolate",
              "--module", ZUDOR_MISBEHAVING_MODULE, "--document-timeout", "600", nullptr);
        _exit(127);
    }
    // The tool is ended however the test ends, or it would hold the test's output open.
    struct Ended {
        pid_t pid;
        ~Ended()
        {
            kill(pid, SIGKILL);
            int raw = 0;
            waitpid(pid, &raw, 0);
        }
    } ended{tool};
    // The fork server and readers of both jobs, each caught in its endless loop until the
    // tool is killed; looked for a bounded number of times, for two minutes at the most, far more
    // than starting them takes on a loaded machine.
    std::vector<std::string> workers;
    for (int look = 0; look < 12000 && workers.size() < 3; ++look) {
        workers = children(tool);
        usleep(10000);
    }
    ASSERT_GE(workers.size(), 3u);
    // A process may be seen between its start and its sandbox (a fork server before its
    // module is loaded, the spawn before its exec): each is looked at until it is sandboxed or
    // gone, for two minutes at the most, so one that never enters its sandbox still fails.
    size_t looked = 0;
    for (const std::string &pid : workers) {
        std::string status;
        for (int look = 0; look < 12000; ++look) {
            status = procFile(fs::path("/proc") / pid / "status");
            if (status.empty() || status.find("\nSeccomp:\t2\n") != std::string::npos)
                break;
            usleep(10000);
        }
        if (status.empty())
            continue;
        ++looked;
        EXPECT_NE(status.find("\nSeccomp:\t2\n"), std::string::npos) << status;
        EXPECT_NE(status.find("\nNoNewPrivs:\t1\n"), std::string::npos) << status;
        // No capability, and not root's files either when the run is root's.
        EXPECT_NE(status.find("\nCapEff:\t0000000000000000\n"), std::string::npos) << status;
        EXPECT_NE(status.find("\nCapPrm:\t0000000000000000\n"), std::string::npos) << status;
        if (geteuid() == 0) {
            EXPECT_EQ(status.find("\nUid:\t0\t"), std::string::npos) << status;
        }
    }
    EXPECT_GE(looked, 2u);
}

} // namespace

namespace {

// A module whose constructor tries, as it is loaded, to write a file, start a shell and leave
// processes behind, each of which would leave its trace in a directory anyone may write to.
TEST_F(IsolationTest, ModuleConstructorsRunInTheLoadersSandbox)
{
    const fs::path traces = ZUDOR_HOSTILE_TRACES;
    fs::remove_all(traces);
    fs::create_directories(traces);
    fs::permissions(traces, fs::perms::all);
    makeDocuments(3, {}, "");
    const ToolRun isolated = run(std::string("-i docs - --format json --quiet -j 2 --isolate --module ") +
                                 ZUDOR_HOSTILE_MODULE);
    EXPECT_EQ(isolated.status, 0) << isolated.err;
    const std::vector<std::string> got = lines(isolated.out);
    ASSERT_EQ(got.size(), 3u) << isolated.out << isolated.err;
    for (const std::string &line : got) {
        const json record = json::parse(line);
        EXPECT_TRUE(record["error"].is_null()) << line;
        EXPECT_EQ(record["summary"], "complete") << line;
    }
    // The run has reaped its fork server and readers: a process still running the module is
    // one its constructor left behind, ended here.
    std::string left;
    for (const fs::directory_entry &entry : fs::directory_iterator(traces))
        left += entry.path().filename().string() + " ";
    for (const fs::directory_entry &entry : fs::directory_iterator("/proc")) {
        const std::string command = procFile(entry.path() / "cmdline");
        if (command.find(ZUDOR_HOSTILE_MODULE) != std::string::npos) {
            left += "process " + entry.path().filename().string() + " ";
            kill(pid_t(std::atoi(entry.path().filename().c_str())), SIGKILL);
        }
    }
    EXPECT_EQ(left, "");
    // The same module asking for an executable stack is not loaded at all, isolated or not.
    for (const char *isolate : {" --isolate", ""}) {
        const ToolRun refused = run(std::string("-i docs - --format json --quiet") + isolate + " --module " +
                                    ZUDOR_HOSTILE_EXECSTACK_MODULE);
        EXPECT_EQ(refused.status, 2) << isolate;
        EXPECT_NE(refused.err.find(std::string("sievecheck: cannot load the reader module: ") +
                                   ZUDOR_HOSTILE_EXECSTACK_MODULE + ": it asks for an executable stack"),
                  std::string::npos)
            << isolate << refused.err;
        EXPECT_TRUE(refused.out.empty()) << refused.out;
    }
    EXPECT_TRUE(fs::is_empty(traces));
    fs::remove_all(traces);
}

} // namespace

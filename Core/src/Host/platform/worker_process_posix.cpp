// Reader processes on Linux, the parent's side: the fork server started with posix_spawn, a
// SOCK_SEQPACKET socket pair per reader (each request one packet, its files passed with
// SCM_RIGHTS), memory shared through a memfd, and each reader's end reaped with waitpid: the
// fork server clones readers as children of the parent itself (CLONE_PARENT).
#include "platform/worker_process.h"
#include "platform/sanitizers.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace zudorhost {
namespace worker {
namespace {

constexpr size_t kMostHandles = 64;

bool sendWithHandles(int fd, const void *data, size_t size, const Handle *handles, size_t count)
{
    iovec part{const_cast<void *>(data), size};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMostHandles)];
    if (count > kMostHandles)
        return false;
    if (count != 0) {
        message.msg_control = control;
        message.msg_controllen = CMSG_SPACE(sizeof(int) * count);
        cmsghdr *header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int) * count);
        int *into = reinterpret_cast<int *>(CMSG_DATA(header));
        for (size_t i = 0; i < count; ++i)
            into[i] = int(handles[i]);
    }
    ssize_t sent;
    do
        sent = sendmsg(fd, &message, MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    return sent == ssize_t(size);
}

// Waits until fd is readable (or at its end) for at most timeoutNs; negative: no limit.
Worker::Wait waitReadable(int fd, int64_t timeoutNs)
{
    pollfd one{fd, POLLIN, 0};
    const int64_t until = timeoutNs < 0 ? -1 : monotonicNs() + timeoutNs;
    while (true) {
        int ms = -1;
        if (until >= 0) {
            const int64_t left = until - monotonicNs();
            if (left <= 0)
                return Worker::Wait::TimedOut;
            ms = int((left + 999999) / 1000000);
        }
        const int got = poll(&one, 1, ms);
        if (got > 0)
            return Worker::Wait::Readable;
        if (got < 0 && errno != EINTR)
            return Worker::Wait::Failed;
    }
}

// A reader that dies with a request of ours unread makes the next receive fail once with
// ECONNRESET, ahead of what it had written: its process id, its answers. Those come after.
long receiveSome(int fd, char *into, size_t room)
{
    ssize_t got;
    bool reset = false;
    do {
        got = recv(fd, into, room, 0);
        if (got < 0 && errno == ECONNRESET && !reset) {
            reset = true;
            errno = EINTR;
        }
    } while (got < 0 && errno == EINTR);
    return long(got);
}

Ending endingOf(int status)
{
    Ending ending;
    if (WIFEXITED(status)) {
        ending.kind = Ending::Kind::Exited;
        ending.code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        ending.kind = Ending::Kind::Signalled;
        ending.code = WTERMSIG(status);
    }
    return ending;
}

Ending reapProcess(pid_t pid)
{
    int status = 0;
    pid_t got;
    do
        got = waitpid(pid, &status, 0);
    while (got < 0 && errno == EINTR);
    return got == pid ? endingOf(status) : Ending{};
}

// A reader's first packet says it is there, and the kernel says who sent it (SO_PASSCRED):
// the process id the parent signals and reaps is never one a reader names. The fork server
// answers nothing, so that asking for a reader costs the parent one message and no wait.
class PosixWorker : public Worker {
public:
    PosixWorker(int fd, int64_t greetingNs) : fd_(fd), greetingNs_(greetingNs) {}
    ~PosixWorker() override
    {
        kill();
        reap();
        ::close(fd_);
    }
    bool send(const void *data, size_t size, const Handle *handles, size_t count) override
    {
        return sendWithHandles(fd_, data, size, handles, count);
    }
    Wait wait(int64_t timeoutNs) override
    {
        const int64_t until = timeoutNs < 0 ? -1 : monotonicNs() + timeoutNs;
        while (true) {
            const Wait waited = waitReadable(fd_, until < 0 ? -1 : std::max<int64_t>(until - monotonicNs(), 0));
            if (waited != Wait::Readable || greeted_)
                return waited;
            if (!greet())
                return Wait::Readable; // its end, read as such
        }
    }
    long receive(char *into, size_t room) override
    {
        if ((!greeted_ && !greet()) || pid_ <= 0)
            return 0; // no reader: its end
        return receiveSome(fd_, into, room);
    }
    void kill() override
    {
        if (!reaped_ && (greeted_ || greet()) && pid_ > 0)
            ::kill(pid_, SIGKILL);
    }
    Ending reap() override
    {
        if (reaped_)
            return ending_;
        reaped_ = true;
        if ((greeted_ || greet()) && pid_ > 0)
            ending_ = reapProcess(pid_);
        return ending_;
    }

private:
    // Takes the reader's first packet and its sender; false when none came in time (no reader
    // was made, or the server is not making them).
    bool greet()
    {
        greeted_ = true;
        char word[8];
        iovec part{word, sizeof word};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        if (waitReadable(fd_, greetingNs_) != Wait::Readable)
            return false;
        ssize_t got;
        do
            got = recvmsg(fd_, &message, MSG_CMSG_CLOEXEC);
        while (got < 0 && errno == EINTR);
        for (cmsghdr *header = CMSG_FIRSTHDR(&message); got > 0 && header != nullptr;
             header = CMSG_NXTHDR(&message, header))
            if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_CREDENTIALS) {
                ucred sender;
                std::memcpy(&sender, CMSG_DATA(header), sizeof sender);
                pid_ = sender.pid;
            }
        return pid_ > 0;
    }

    int fd_;
    int64_t greetingNs_;
    pid_t pid_ = -1;
    bool greeted_ = false, reaped_ = false;
    Ending ending_;
};

class ForkServer : public Launcher {
public:
    ForkServer(pid_t pid, int fd, int64_t timeoutNs, uint64_t token)
        : pid_(pid), fd_(fd), timeoutNs_(timeoutNs), token_(token)
    {
    }
    ~ForkServer() override
    {
        // The server sees the end of its channel, ends what readers are left and exits.
        if (!answered_ || !why_.empty())
            ::kill(pid_, SIGKILL);
        ::close(fd_);
        reapProcess(pid_);
    }

    bool ready(std::string &error) override
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!answered_) {
            answered_ = true;
            char word[4096];
            long got = -1;
            if (waitReadable(fd_, timeoutNs_) == Worker::Wait::Readable)
                got = receiveSome(fd_, word, sizeof word);
            if (!(got == 1 && word[0] == '\n'))
                why_ = got > 0 ? std::string(word, size_t(got)) : "the reader's worker program did not start";
        }
        error = why_;
        return why_.empty();
    }

    std::unique_ptr<Worker> launch(const std::string &settings, const SharedMemory &shared,
                                   std::string &error) override
    {
        if (!ready(error))
            return nullptr;
        int pair[2];
        const int on = 1;
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
            error = std::string("cannot make a channel to a reader: ") + std::strerror(errno);
            return nullptr;
        }
        if (setsockopt(pair[0], SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0) {
            error = std::string("cannot make a channel to a reader: ") + std::strerror(errno);
            ::close(pair[0]);
            ::close(pair[1]);
            return nullptr;
        }
        const Handle handed[2] = {pair[1], shared.handle()};
        // The token of the server's clone, which it learns of only now that its module is loaded.
        std::string request(reinterpret_cast<const char *>(&token_), sizeof token_);
        request += settings;
        bool asked;
        {
            // Readers of every job ask the one server.
            std::lock_guard<std::mutex> guard(lock_);
            asked = sendWithHandles(fd_, request.data(), request.size(), handed, 2);
        }
        ::close(pair[1]);
        if (!asked) {
            ::close(pair[0]);
            error = "the fork server of the reader's workers has ended";
            return nullptr;
        }
        return std::make_unique<PosixWorker>(pair[0], timeoutNs_);
    }

private:
    pid_t pid_;
    int fd_;
    int64_t timeoutNs_;
    uint64_t token_;
    std::mutex lock_;
    bool answered_ = false;
    std::string why_;
};

using Wait = Worker::Wait;

} // namespace

int64_t monotonicNs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void closeHandle(Handle handle) { ::close(int(handle)); }
Handle handleOfDescriptor(int descriptor) { return descriptor; }
int descriptorOfHandle(Handle handle) { return int(handle); }

Handle newSection(size_t size, std::string &error)
{
    const int fd = int(syscall(SYS_memfd_create, "zudor-shared", MFD_CLOEXEC));
    if (fd < 0 || ftruncate(fd, off_t(size)) != 0) {
        error = std::string("cannot make memory to share with a reader: ") + std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        return kNoHandle;
    }
    return fd;
}

void *mapView(Handle section, size_t size, std::string &error)
{
    void *at = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, int(section), 0);
    if (at != MAP_FAILED)
        return at;
    error = std::string("cannot map memory shared with the parent: ") + std::strerror(errno);
    return nullptr;
}

void unmapView(void *view, size_t size) { munmap(view, size); }

std::vector<std::string> workerEnvironment()
{
    static const char *const kept[] = {"TZ=", "LANG=", "LANGUAGE=", "LC_", "LD_LIBRARY_PATH=", "ASAN_OPTIONS=",
                                       "UBSAN_OPTIONS=", "TSAN_OPTIONS=", "LSAN_OPTIONS="};
    std::vector<std::string> environment;
    for (char **entry = environ; entry != nullptr && *entry != nullptr; ++entry)
        for (const char *prefix : kept)
            if (std::strncmp(*entry, prefix, std::strlen(prefix)) == 0) {
                environment.emplace_back(*entry);
                break;
            }
    // Every library's symbols bound once, in the fork server, before the tables are made
    // read-only: a reader then neither looks a symbol up nor copies a page to write one.
    environment.emplace_back("LD_BIND_NOW=1");
#ifdef ZUDOR_SANITIZED
    // A sanitizer's crash report reads the process's maps and links, which a reader's sandbox
    // refuses: a reader's crash is left to the kernel, so that it ends as the signal it is.
    for (const char *name : {"ASAN_OPTIONS=", "TSAN_OPTIONS="}) {
        const std::string crashes = "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0";
        auto given = std::find_if(environment.begin(), environment.end(),
                                  [name](const std::string &e) { return e.rfind(name, 0) == 0; });
        if (given == environment.end())
            environment.push_back(name + crashes);
        else
            *given += (given->size() > std::strlen(name) ? ":" : "") + crashes;
    }
#endif
    return environment;
}

std::string describeSignal(int code)
{
    const char *name = sigabbrev_np(code);
    return name != nullptr ? std::string("SIG") + name : "signal " + std::to_string(code);
}

std::string describeSystemCall(uint32_t number)
{
    static const struct {
        long number;
        const char *name;
    } known[] = {{SYS_open, "open"},       {SYS_openat, "openat"},   {SYS_openat2, "openat2"},
                 {SYS_creat, "creat"},     {SYS_socket, "socket"},   {SYS_connect, "connect"},
                 {SYS_execve, "execve"},   {SYS_execveat, "execveat"}, {SYS_fork, "fork"},
                 {SYS_vfork, "vfork"},     {SYS_clone, "clone"},     {SYS_clone3, "clone3"},
                 {SYS_kill, "kill"},       {SYS_tgkill, "tgkill"},   {SYS_ptrace, "ptrace"},
                 {SYS_unlink, "unlink"},   {SYS_unlinkat, "unlinkat"}, {SYS_stat, "stat"},
                 {SYS_newfstatat, "newfstatat"}, {SYS_readlink, "readlink"}, {SYS_getdents64, "getdents64"},
                 {SYS_setsockopt, "setsockopt"}, {SYS_bind, "bind"}, {SYS_ioctl, "ioctl"},
                 {SYS_futex, "futex"},     {SYS_madvise, "madvise"}, {SYS_clock_gettime, "clock_gettime"},
                 {SYS_clock_getres, "clock_getres"}, {SYS_mmap, "mmap"}, {SYS_mprotect, "mprotect"},
                 {SYS_mremap, "mremap"},   {SYS_rt_sigaction, "rt_sigaction"}, {SYS_prctl, "prctl"},
                 {SYS_seccomp, "seccomp"}};
    for (const auto &call : known)
        if (call.number == long(number))
            return call.name;
    return "system call " + std::to_string(number);
}

std::unique_ptr<Launcher> startLauncher(const LaunchSetup &setup, int64_t timeoutNs, std::string &error)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
        error = std::string("cannot make a channel to the fork server: ") + std::strerror(errno);
        return nullptr;
    }
    std::vector<std::string> arguments = {setup.program, "--memory-cap", std::to_string(setup.memoryCap)};
    arguments.insert(arguments.end(), setup.arguments.begin(), setup.arguments.end());
    std::vector<char *> argv;
    for (std::string &argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment = workerEnvironment();
    std::vector<char *> envp;
    for (std::string &entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    // Standard input, output and error lead nowhere: nothing a reader writes reaches the
    // records or the terminal (the XMP toolkit's complaints come with its answer). A sanitizer's
    // report is the one exception, in the builds that have them.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
#ifndef ZUDOR_SANITIZED
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
#endif
    posix_spawn_file_actions_adddup2(&actions, pair[1], 3);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, setup.program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(pair[1]);
    if (spawned != 0) {
        ::close(pair[0]);
        error = setup.program + ": " + std::strerror(spawned);
        return nullptr;
    }
    // The server's first word from us is the token its own clone must show: its module's
    // constructors, which run before it is told again, cannot clone as it does.
    uint64_t token = 0;
    if (getrandom(&token, sizeof token, 0) != ssize_t(sizeof token) ||
        !sendWithHandles(pair[0], &token, sizeof token, nullptr, 0)) {
        error = std::string("cannot start the fork server of the reader's workers: ") + std::strerror(errno);
        ::kill(pid, SIGKILL);
        reapProcess(pid);
        ::close(pair[0]);
        return nullptr;
    }
    return std::make_unique<ForkServer>(pid, pair[0], timeoutNs, token);
}

} // namespace worker
} // namespace zudorhost

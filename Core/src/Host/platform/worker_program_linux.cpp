// The worker program's side on Linux: the fork server. Started once per run with its channel
// on descriptor 3, it enters the sandbox once the module is loaded, says it is ready, and then
// clones a reader for each request: a child of the parent process (CLONE_PARENT), so that the
// parent reaps it and learns how it ended; its pidfd stays here, so that the readers die with
// the server when the parent goes without a word. A reader's first word on its own channel
// is its process id; the server answers nothing. Each request begins with the token without
// which the loader's sandbox refuses the server's clone (sandbox_linux.cpp).
#include "platform/worker_process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/sched.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace zudorhost {
namespace worker {
namespace {

constexpr int kServerChannel = 3;
constexpr int kReaderChannel = 3, kReaderShared = 4;
constexpr size_t kMostHandles = 64;

uint64_t memoryCapArgument(int argc, char **argv)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--memory-cap") == 0)
            return std::strtoull(argv[i + 1], nullptr, 10);
    return 0;
}

void killAll(const std::vector<pollfd> &watched)
{
    for (size_t i = 1; i < watched.size(); ++i)
        syscall(SYS_pidfd_send_signal, watched[i].fd, SIGKILL, nullptr, 0);
}

// In the child: the channel and the shared memory on fixed numbers, every other file closed,
// then the sandbox narrowed to what a reader needs.
[[noreturn]] void becomeReader(const std::string &settings, int channel, int shared, uint64_t cap, ServeFn serve,
                               void *state)
{
    if (dup3(channel, kReaderChannel, O_CLOEXEC) < 0 ||
        (shared != kReaderShared && dup3(shared, kReaderShared, O_CLOEXEC) < 0))
        _exit(2);
    syscall(SYS_close_range, kReaderShared + 1, ~0U, 0);
    Endpoint reader(kReaderChannel);
    const int32_t pid = int32_t(getpid());
    std::string why;
    if (!reader.send(&pid, sizeof pid) || !narrowSandbox(why))
        _exit(2);
    capAllocations(cap);
    _exit(serve(reader, settings, kReaderShared, state));
}

} // namespace

long Endpoint::receive(char *into, size_t room, std::vector<Handle> &handles)
{
    iovec part{into, room};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMostHandles)];
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t got;
    do
        got = recvmsg(int(channel_), &message, MSG_CMSG_CLOEXEC);
    while (got < 0 && errno == EINTR);
    handles.clear();
    for (cmsghdr *header = CMSG_FIRSTHDR(&message); got >= 0 && header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS)
            continue;
        const size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        const int *fds = reinterpret_cast<const int *>(CMSG_DATA(header));
        for (size_t i = 0; i < count; ++i)
            handles.push_back(fds[i]);
    }
    return long(got);
}

bool Endpoint::send(const void *data, size_t size)
{
    const char *at = static_cast<const char *>(data);
    while (size != 0) {
        const size_t piece = size < kPacketBytes ? size : kPacketBytes;
        const ssize_t sent = ::send(int(channel_), at, piece, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent != ssize_t(piece))
            return false;
        at += piece;
        size -= piece;
    }
    return true;
}

void Endpoint::closeHandle(Handle handle) { worker::closeHandle(handle); }

std::vector<std::string> workerArguments(int argc, char **argv)
{
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--memory-cap") == 0 && i + 1 < argc) {
            ++i;
            continue;
        }
        arguments.emplace_back(argv[i]);
    }
    return arguments;
}

int runWorkerProgram(int argc, char **argv, const std::string &ready, ServeFn serve, void *state)
{
    // What the parent left open went before the module was loaded (enterLoaderSandbox).
    Endpoint server(kServerChannel);
    std::string why = ready;
    const uint64_t cap = memoryCapArgument(argc, argv);
    if (why.empty() && !enterSandbox(cap, why) && why.empty())
        why = "cannot enter the sandbox";
    if (!why.empty()) {
        server.send(why.data(), why.size());
        return 1;
    }
    if (!server.send("\n", 1))
        return 1;
    // The channel first, then the pidfd of every reader still running.
    std::vector<pollfd> watched = {{kServerChannel, POLLIN, 0}};
    std::vector<char> buffer(64 * 1024);
    std::vector<Handle> handles;
    while (true) {
        if (poll(watched.data(), nfds_t(watched.size()), -1) < 0) {
            if (errno == EINTR)
                continue;
            killAll(watched);
            return 1;
        }
        for (size_t i = watched.size(); i-- > 1;)
            if (watched[i].revents != 0) {
                ::close(watched[i].fd);
                watched.erase(watched.begin() + long(i));
            }
        if (watched[0].revents == 0)
            continue;
        // A request is the clone's token, then the reader's settings.
        const long got = server.receive(buffer.data(), buffer.size(), handles);
        if (got <= 0 || handles.size() != 2 || size_t(got) < sizeof(uint64_t)) {
            for (Handle h : handles)
                ::close(int(h));
            if (got <= 0) {
                killAll(watched);
                return 0;
            }
            continue;
        }
        uint64_t token;
        std::memcpy(&token, buffer.data(), sizeof token);
        const std::string settings(buffer.data() + sizeof token, size_t(got) - sizeof token);
        int pidfd = -1;
        // The token goes where the kernel ignores it without CLONE_SETTLS: the thread pointer.
#if defined(__aarch64__)
        const long pid = syscall(SYS_clone, CLONE_PARENT | CLONE_PIDFD | SIGCHLD, nullptr, &pidfd, token, nullptr);
#else
        const long pid = syscall(SYS_clone, CLONE_PARENT | CLONE_PIDFD | SIGCHLD, nullptr, &pidfd, nullptr, token);
#endif
        // Kept by neither the server nor the reader: the next request brings it again.
        explicit_bzero(buffer.data(), sizeof token);
        explicit_bzero(&token, sizeof token);
        if (pid == 0)
            becomeReader(settings, int(handles[0]), int(handles[1]), cap, serve, state);
        // A reader that could not be made leaves its channel closed: the parent reads its end.
        ::close(int(handles[0]));
        ::close(int(handles[1]));
        if (pid > 0)
            watched.push_back({pidfd, POLLIN, 0});
    }
}

} // namespace worker
} // namespace zudorhost

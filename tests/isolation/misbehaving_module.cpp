// A reader module for the isolation tests only: a thin wrapper that forwards every slot to the
// real module and, when a document's DocumentName says so, misbehaves after reading it as an
// attacker's parser might: crash, loop for ever, allocate without end, reach for a file, the
// network, a shell or the environment, or attack the channel to its parent and what other
// documents' readers hold, putting whatever it gets into the document's title so that a leak
// would show in the record.
//   ZUDOR-TEST:CRASH  ZUDOR-TEST:HANG  ZUDOR-TEST:ALLOCATE  ZUDOR-TEST:OPEN
//   ZUDOR-TEST:CONNECT:<port>  ZUDOR-TEST:EXEC:<file to create>  ZUDOR-TEST:ENVIRONMENT
//   ZUDOR-TEST:EMPTY-PACKET  ZUDOR-TEST:CLOSE-CHANNEL  ZUDOR-TEST:HUGE-FRAME  ZUDOR-TEST:GARBAGE
//   ZUDOR-TEST:WRECK-CONTROL  ZUDOR-TEST:NEIGHBOURS  ZUDOR-TEST:STANDARD-ERROR
//   ZUDOR-TEST:CONTROL-NAME
//   ZUDOR-TEST:SANDBOX:<FUTEX_PI, MADVISE, CPU_CLOCK, GROWSDOWN, MAP_GROWTH, BRK_GROWTH,
//   MREMAP_FIXED, SIGSYS_HANDLER or SIGSYS_BLOCKED>: a call the sandbox allows with other arguments, or memory mapped past the cap
// On Windows only the job object stands between a reader and the system, so there the
// module tries what it can limit: a crash, a loop, memory, a process of its own, the
// environment.
#include <cstdlib>
#include <cstring>
#include <string>

#include "zudor/reader.h"

#ifdef _WIN32
#include <windows.h>
#define ZUDOR_TEST_EXPORT extern "C" __declspec(dllexport)
#else
#include <csignal>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>
#define ZUDOR_TEST_EXPORT extern "C" __attribute__((visibility("default")))
extern char **environ;
#endif

namespace {

ReaderInterface real;

// Writes what was got into the title the reader allocated, as far as it reaches.
void leak(SummaryInfo *out, const char *got, size_t length)
{
    const size_t room = std::strlen(out->title);
    std::memcpy(out->title, got, length < room ? length : room);
}

void misbehave(const char *what, SummaryInfo *out)
{
    if (std::strncmp(what, "CRASH", 5) == 0) {
        *static_cast<volatile int *>(nullptr) = 1;
    } else if (std::strncmp(what, "HANG", 4) == 0) {
        for (volatile unsigned long spin = 0;; ++spin) {
        }
    } else if (std::strncmp(what, "ALLOCATE", 8) == 0) {
        for (;;) {
            char *block = static_cast<char *>(std::malloc(16 << 20));
            *static_cast<volatile char *>(block) = 1; // a null block crashes here
            std::memset(block, 1, 16 << 20);
        }
    }
#ifdef _WIN32
    else if (std::strncmp(what, "EXEC:", 5) == 0) {
        const std::string file(what + 5, std::strcspn(what + 5, "#"));
        std::string command = "cmd.exe /c echo escaped > " + file;
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION made{};
        if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &made)) {
            WaitForSingleObject(made.hProcess, 10000);
            leak(out, "started", 7);
        }
    } else if (std::strncmp(what, "ENVIRONMENT", 11) == 0) {
        for (char **entry = _environ; *entry != nullptr; ++entry)
            if (std::strncmp(*entry, "AWS_", 4) == 0)
                leak(out, *entry, std::strlen(*entry));
    }
#else
    // Attacks on the channel (descriptor 3) and on whatever else of the parent's or of other
    // documents' a reader might reach: the memory it shares (4), any other descriptor.
    else if (std::strncmp(what, "EMPTY-PACKET", 12) == 0) {
        send(3, "", 0, 0);
        for (volatile unsigned long spin = 0;; ++spin) {
        }
    } else if (std::strncmp(what, "CLOSE-CHANNEL", 13) == 0) {
        close(3);
        for (volatile unsigned long spin = 0;; ++spin) {
        }
    } else if (std::strncmp(what, "HUGE-FRAME", 10) == 0) {
        const uint64_t header[3] = {0x5052525A, 1, uint64_t(1) << 40};
        static char stream[64 * 1024];
        send(3, header, sizeof header, 0);
        while (send(3, stream, sizeof stream, MSG_NOSIGNAL) > 0) {
        }
    } else if (std::strncmp(what, "GARBAGE", 7) == 0) {
        send(3, "ZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZ", 40, 0);
    } else if (std::strncmp(what, "WRECK-CONTROL", 13) == 0) {
        if (void *page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, 4, 0); page != MAP_FAILED)
            std::memset(page, 0x01, 4096); // times years ahead, if it held any
        for (volatile unsigned long spin = 0;; ++spin) {
        }
    } else if (std::strncmp(what, "NEIGHBOURS", 10) == 0) {
        // Another document's title, wherever this process can read: the shared memory, and
        // every descriptor it holds.
        static char got[4 << 20];
        std::string found;
        for (int fd = 0; fd < 64 && found.empty(); ++fd) {
            const ssize_t n = pread(fd, got, sizeof got, 0);
            const off_t end = lseek(fd, 0, SEEK_END);
            const size_t size = end > 0 ? size_t(end) : 0;
            const void *mapped = size != 0 ? mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0) : MAP_FAILED;
            for (const char *from : {n > 0 ? static_cast<const char *>(got) : nullptr,
                                     mapped != MAP_FAILED ? static_cast<const char *>(mapped) : nullptr})
                if (from != nullptr)
                    if (const void *at = memmem(from, from == got ? size_t(n) : size, "plain ", 6))
                        found.assign(static_cast<const char *>(at), 12);
        }
        leak(out, found.data(), found.size());
    } else if (std::strncmp(what, "CONTROL-NAME", 12) == 0) {
        // A property's name ("Make") made into a terminal's command.
        if (out->properties != nullptr && out->properties->count > 0)
            std::memcpy(out->properties->entries[0].name, "\x1b]0\x07", 4);
    } else if (std::strncmp(what, "STANDARD-ERROR", 14) == 0) {
        if (write(2, "\x1b[31mFORGED\n", 12) < 0)
            leak(out, "unwritten", 9);
    }
    else if (std::strncmp(what, "OPEN", 4) == 0) {
        char got[256];
        const int fd = open("/etc/passwd", O_RDONLY);
        const ssize_t n = fd >= 0 ? read(fd, got, sizeof got) : -1;
        if (n > 0)
            leak(out, got, size_t(n));
    } else if (std::strncmp(what, "CONNECT:", 8) == 0) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(uint16_t(std::atoi(what + 8)));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0)
            leak(out, "connected", 9);
    } else if (std::strncmp(what, "EXEC:", 5) == 0) {
        // The title is padded with '#' after the marker.
        const std::string file(what + 5, std::strcspn(what + 5, "#"));
        const std::string command = "echo escaped > " + file;
        char *argv[] = {const_cast<char *>("sh"), const_cast<char *>("-c"), const_cast<char *>(command.c_str()),
                        nullptr};
        execve("/bin/sh", argv, environ);
    } else if (std::strncmp(what, "ENVIRONMENT", 11) == 0) {
        for (char **entry = environ; *entry != nullptr; ++entry)
            if (std::strncmp(*entry, "AWS_", 4) == 0)
                leak(out, *entry, std::strlen(*entry));
        // What the process started with, and the parent's, are files.
        char got[256];
        const int fd = open("/proc/self/environ", O_RDONLY);
        const ssize_t n = fd >= 0 ? read(fd, got, sizeof got) : -1;
        if (n > 0)
            leak(out, got, size_t(n));
    } else if (std::strncmp(what, "SANDBOX:", 8) == 0) {
        // What the sandbox lets through only with some arguments, asked with others.
        const char *call = what + 8;
        static uint32_t word;
        timespec now{};
        if (std::strncmp(call, "FUTEX_PI", 8) == 0)
            syscall(SYS_futex, &word, FUTEX_LOCK_PI_PRIVATE, 0, nullptr);
        else if (std::strncmp(call, "MADVISE", 7) == 0)
            madvise(out->title - uintptr_t(out->title) % 4096, 4096, MADV_DONTFORK);
        else if (std::strncmp(call, "CPU_CLOCK", 9) == 0) // pid 1's, as the kernel names it
            syscall(SYS_clock_gettime, clockid_t(int32_t((~uint32_t(1) << 3) | 2)), &now);
        else if (std::strncmp(call, "GROWSDOWN", 9) == 0)
            mmap(nullptr, 1 << 16, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_GROWSDOWN, -1, 0);
        else if (std::strncmp(call, "MAP_GROWTH", 10) == 0)
            for (;;) { // no allocator: memory straight from the kernel, until it says no
                char *block = static_cast<char *>(
                    mmap(nullptr, 16 << 20, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
                std::memset(block, 1, 16 << 20); // MAP_FAILED crashes here
            }
        else if (std::strncmp(call, "BRK_GROWTH", 10) == 0)
            for (;;) { // the break moved on past the allocator's heap
                char *block = static_cast<char *>(sbrk(16 << 20));
                std::memset(block, 1, 16 << 20); // (void *)-1 crashes here
            }
        else if (std::strncmp(call, "MREMAP_FIXED", 12) == 0) { // one page moved onto another
            char *pages = static_cast<char *>(
                mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
            mremap(pages, 4096, 4096, MREMAP_MAYMOVE | MREMAP_FIXED, pages + 4096);
        } else if (std::strncmp(call, "SIGSYS_HANDLER", 14) == 0) {
            struct sigaction survive{};
            survive.sa_handler = [](int) {};
            sigaction(SIGSYS, &survive, nullptr);
            open("/etc/passwd", O_RDONLY);
        } else if (std::strncmp(call, "SIGSYS_BLOCKED", 14) == 0) {
            sigset_t sys;
            sigemptyset(&sys);
            sigaddset(&sys, SIGSYS);
            sigprocmask(SIG_BLOCK, &sys, nullptr);
            open("/etc/passwd", O_RDONLY);
        }
        leak(out, "survived", 8);
    }
#endif
}

uint32_t summaryThenMisbehave(TifContext *ctx, SummaryInfo *out, uint32_t release)
{
    const uint32_t status = real.getSummaryInfo(ctx, out, release);
    if (release == 0 && out->title != nullptr && std::strncmp(out->title, "ZUDOR-TEST:", 11) == 0)
        misbehave(out->title + 11, out);
    return status;
}

} // namespace

ZUDOR_TEST_EXPORT void tifGetReaderInterface(ReaderInterface *table)
{
#ifdef _WIN32
    HMODULE module = LoadLibraryA(ZUDOR_REAL_MODULE);
    auto entry = module != nullptr ? reinterpret_cast<TifGetReaderInterfaceFn>(
                                         reinterpret_cast<void (*)()>(GetProcAddress(module, "tifGetReaderInterface")))
                                   : nullptr;
#else
    void *module = dlopen(ZUDOR_REAL_MODULE, RTLD_NOW | RTLD_LOCAL);
    auto entry = module != nullptr ? reinterpret_cast<TifGetReaderInterfaceFn>(dlsym(module, "tifGetReaderInterface"))
                                   : nullptr;
#endif
    if (entry == nullptr)
        return;
    entry(&real);
    *table = real;
    table->getSummaryInfo = summaryThenMisbehave;
}

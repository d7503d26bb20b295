// A reader module for the isolation tests only: it forwards every slot to the real module, but
// its constructor, which runs while the worker program loads it, tries what a hostile library
// would before any sandbox of the reader's: write a file, start a shell, leave processes
// behind (by fork, and by the very clone the fork server makes its readers with). Whatever
// succeeds leaves a file in ZUDOR_HOSTILE_TRACES, made writable to anyone by the test; a
// process that lives on is one of the worker program's that outlives the run.
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <csignal>
#include <linux/sched.h>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

#include "zudor/reader.h"

namespace {

// A trace named what, holding the process id of whoever made it.
void leaveTrace(const char *what)
{
    const std::string file = std::string(ZUDOR_HOSTILE_TRACES) + "/" + what;
    const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd >= 0) {
        const std::string pid = std::to_string(getpid());
        (void)!write(fd, pid.data(), pid.size());
        close(fd);
    }
}

// A process that got away: it leaves a trace where it can, and outlives the run.
void liveOn(const char *what)
{
    leaveTrace(what);
    sleep(30);
    _exit(0);
}

__attribute__((constructor)) void misbehaveOnLoad()
{
    leaveTrace("written-by-the-constructor");
    const std::string shell = std::string("echo escaped > ") + ZUDOR_HOSTILE_TRACES + "/written-by-a-shell";
    if (std::system(shell.c_str()) == -1)
        leaveTrace("system-refused"); // a trace only where the directory can still be written
    if (fork() == 0)
        liveOn("left-by-fork");
    int pidfd = -1;
    if (syscall(SYS_clone, CLONE_PARENT | CLONE_PIDFD | SIGCHLD, nullptr, &pidfd, nullptr, nullptr) == 0)
        liveOn("left-by-the-servers-clone");
}

ReaderInterface real;

} // namespace

extern "C" __attribute__((visibility("default"))) void tifGetReaderInterface(ReaderInterface *table)
{
    void *module = dlopen(ZUDOR_REAL_MODULE, RTLD_NOW | RTLD_LOCAL);
    auto entry = module != nullptr ? reinterpret_cast<TifGetReaderInterfaceFn>(dlsym(module, "tifGetReaderInterface"))
                                   : nullptr;
    if (entry == nullptr)
        return;
    entry(&real);
    *table = real;
}

// The reader's sandbox on Linux. Once the module is loaded, the fork server takes no new
// privileges, gives up the file system and the network (Landlock, where the kernel has it),
// and loads a seccomp filter that lets through only what reading needs: computing on memory,
// reading what it was handed, answering on its channel, the clock; and for the server itself,
// cloning a reader and installing that reader's narrower filter. Every other call is refused
// with SIGSYS: the handler notes the call for the parent and ends the process. Each reader
// then loses what only the server needs (cloning, filters) and may signal no process but its
// own (abort() raises SIGABRT on itself).
#include "platform/worker_process.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/landlock.h>
#include <linux/seccomp.h>
#include <linux/sched.h>
#include <seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

#include "platform/sanitizers.h"

namespace zudorhost {
namespace worker {
namespace {

std::atomic<FaultNotes *> notesOf{nullptr};

void onForbiddenCall(int, siginfo_t *info, void *)
{
    if (FaultNotes *notes = notesOf.load(std::memory_order_relaxed))
        notes->forbiddenCall.store(uint32_t(info->si_syscall) + 1, std::memory_order_relaxed);
    syscall(SYS_exit_group, kSandboxExit);
}

bool catchForbiddenCalls(std::string &error)
{
    // On a stack of its own: a reader that overran its stack still gets its record.
    static char stack[64 * 1024];
    stack_t alternate{};
    alternate.ss_sp = stack;
    alternate.ss_size = sizeof stack;
    struct sigaction action{};
    action.sa_sigaction = onForbiddenCall;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    if (sigaltstack(&alternate, nullptr) != 0 || sigaction(SIGSYS, &action, nullptr) != 0) {
        error = std::string("cannot catch the sandbox's refusals: ") + std::strerror(errno);
        return false;
    }
    return true;
}

// The address space a process may hold: what it holds now, the cap, and room for what the
// system maps on its own. The allocator's count (capAllocations) is the cap a reader meets;
// this stops one that maps memory itself.
bool limitAddressSpace(uint64_t cap, std::string &error)
{
#ifdef ZUDOR_SANITIZED
    (void)cap, (void)error; // the sanitizers reserve terabytes of shadow
    return true;
#else
    if (cap == 0)
        return true;
    unsigned long long pages = 0;
    if (std::FILE *statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%llu", &pages) != 1)
            pages = 0;
        std::fclose(statm);
    }
    const uint64_t limit = pages * uint64_t(sysconf(_SC_PAGESIZE)) + cap + (uint64_t(256) << 20);
    const rlimit space{limit, limit};
    if (setrlimit(RLIMIT_AS, &space) != 0) {
        error = std::string("cannot cap the reader's memory: ") + std::strerror(errno);
        return false;
    }
    return true;
#endif
}

// No file system and no network: a ruleset that handles every right this kernel knows and
// grants none. A kernel without Landlock leaves it to the seccomp filter alone.
void withoutFileSystem()
{
    const long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    if (abi < 1)
        return;
    struct {
        uint64_t fs, net, scoped;
    } ruleset{};
    static const uint64_t fsRights[] = {0, (1ull << 13) - 1, (1ull << 14) - 1, (1ull << 15) - 1,
                                        (1ull << 15) - 1, (1ull << 16) - 1};
    ruleset.fs = fsRights[abi < 5 ? abi : 5];
    size_t size = sizeof ruleset.fs;
    if (abi >= 4) {
        ruleset.net = 3; // bind and connect over TCP
        size += sizeof ruleset.net;
    }
    if (abi >= 6) {
        ruleset.scoped = 3; // abstract Unix sockets and signals outside the sandbox
        size += sizeof ruleset.scoped;
    }
    const int fd = int(syscall(SYS_landlock_create_ruleset, &ruleset, size, 0));
    if (fd < 0)
        return;
    syscall(SYS_landlock_restrict_self, fd, 0);
    ::close(fd);
}

bool load(scmp_filter_ctx filter, std::string &error)
{
    const int code = seccomp_load(filter);
    seccomp_release(filter);
    if (code != 0)
        error = std::string("cannot load the seccomp filter: ") + std::strerror(-code);
    return code == 0;
}

bool allowAll(scmp_filter_ctx filter, std::initializer_list<int> calls)
{
    for (int call : calls)
        if (call != __NR_SCMP_ERROR && seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0) != 0)
            return false;
    return true;
}

} // namespace

void noteFaultsIn(FaultNotes *notes) { notesOf.store(notes); }
FaultNotes *currentFaultNotes() { return notesOf.load(std::memory_order_relaxed); }

bool enterSandbox(uint64_t memoryCap, std::string &error)
{
    if (!catchForbiddenCalls(error) || !limitAddressSpace(memoryCap, error))
        return false;
    // No core files of readers, and no other process of the user's may trace them.
    const rlimit none{0, 0};
    setrlimit(RLIMIT_CORE, &none);
    prctl(PR_SET_DUMPABLE, 0);
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        error = std::string("cannot give up new privileges: ") + std::strerror(errno);
        return false;
    }
    withoutFileSystem();
    seccomp_api_get(); // asks the kernel now, while the question is still allowed
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_TRAP);
    if (filter == nullptr) {
        error = "cannot make a seccomp filter";
        return false;
    }
    bool made = allowAll(filter, {SCMP_SYS(read), SCMP_SYS(readv), SCMP_SYS(pread64), SCMP_SYS(write),
                                  SCMP_SYS(writev), SCMP_SYS(recvmsg), SCMP_SYS(recvfrom), SCMP_SYS(sendmsg),
                                  SCMP_SYS(sendto), SCMP_SYS(close), SCMP_SYS(close_range), SCMP_SYS(dup3),
                                  SCMP_SYS(poll), SCMP_SYS(ppoll), SCMP_SYS(brk), SCMP_SYS(munmap),
                                  SCMP_SYS(mremap), SCMP_SYS(madvise), SCMP_SYS(exit), SCMP_SYS(exit_group),
                                  SCMP_SYS(rt_sigreturn), SCMP_SYS(rt_sigprocmask), SCMP_SYS(getpid),
                                  SCMP_SYS(gettid), SCMP_SYS(clock_gettime), SCMP_SYS(clock_getres),
                                  SCMP_SYS(gettimeofday), SCMP_SYS(futex), SCMP_SYS(sched_yield),
                                  SCMP_SYS(getrandom), SCMP_SYS(lseek), SCMP_SYS(pidfd_send_signal),
                                  SCMP_SYS(kill), SCMP_SYS(tgkill), SCMP_SYS(seccomp)});
#ifdef ZUDOR_SANITIZED
    // What the sanitizers' own runtime asks for while a reader runs; pipe2 is how the
    // undefined-behaviour sanitizer looks whether a vtable it checks can be read.
    made = made && allowAll(filter, {SCMP_SYS(sigaltstack), SCMP_SYS(rt_sigaction), SCMP_SYS(sched_getaffinity),
                                     SCMP_SYS(prlimit64), SCMP_SYS(mincore), SCMP_SYS(getrusage), SCMP_SYS(pipe2)});
#endif
    // Memory, never executable: no code arrives after the module. Comparisons are spelt out
    // whole: libseccomp's SCMP_A* macros leave a field to its default, which clang warns of.
    const scmp_arg_cmp notExecutable{2, SCMP_CMP_MASKED_EQ, PROT_EXEC, 0};
    // The server's one way of making a process: a reader of the parent's.
    const scmp_arg_cmp readerClone{0, SCMP_CMP_EQ, CLONE_PARENT | CLONE_PIDFD | SIGCHLD, 0};
    const scmp_arg_cmp noNewPrivileges{0, SCMP_CMP_EQ, PR_SET_NO_NEW_PRIVS, 0};
    made = made && seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(mmap), 1, notExecutable) == 0 &&
           seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(mprotect), 1, notExecutable) == 0 &&
           seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(clone), 1, readerClone) == 0 &&
           seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(prctl), 1, noNewPrivileges) == 0;
    if (!made) {
        seccomp_release(filter);
        error = "cannot make the seccomp filter";
        return false;
    }
    return load(filter, error);
}

// Assembled here rather than by libseccomp, which takes a millisecond or two to build a filter:
// a reader is made for every one lost, and this is on that path. Calls of another
// architecture never get here: the server's filter refuses them.
bool narrowSandbox(std::string &error)
{
#if defined(__x86_64__)
    constexpr uint32_t kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
    constexpr uint32_t kArch = AUDIT_ARCH_AARCH64;
#endif
    const uint32_t self = uint32_t(getpid());
    constexpr uint32_t kRefuse = SECCOMP_RET_TRAP, kLet = SECCOMP_RET_ALLOW;
    // Jump offsets count from the next instruction: refused calls go to the last but one,
    // kill and tgkill to the check of their first argument.
    const uint32_t refused[] = {__NR_clone, __NR_clone3, __NR_pidfd_send_signal, __NR_pidfd_open,
                                __NR_prctl, __NR_tkill, __NR_seccomp,
#ifdef __NR_fork
                                __NR_fork, __NR_vfork
#else
                                __NR_clone, __NR_clone
#endif
    };
    constexpr size_t kRefused = sizeof refused / sizeof refused[0];
    std::vector<sock_filter> program = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
    };
    // After the refused calls: kill, tgkill, allow, then the argument check, refuse.
    for (size_t i = 0; i < kRefused; ++i)
        program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, refused[i], uint8_t(kRefused - i + 6), 0));
    program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_kill, 2, 0));
    program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_tgkill, 1, 0));
    program.push_back(BPF_STMT(BPF_RET | BPF_K, kLet));
    // Its own process only: the first argument is this process id, high half zero.
    program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])));
    program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, self, 0, 2));
    program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0]) + 4));
    program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 1, 0));
    program.push_back(BPF_STMT(BPF_RET | BPF_K, kRefuse));
    program.push_back(BPF_STMT(BPF_RET | BPF_K, kLet));
    const sock_fprog filter{uint16_t(program.size()), program.data()};
    if (syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &filter) != 0) {
        error = std::string("cannot narrow the seccomp filter: ") + std::strerror(errno);
        return false;
    }
    return true;
}

} // namespace worker
} // namespace zudorhost

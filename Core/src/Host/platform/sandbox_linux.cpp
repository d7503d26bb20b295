// The reader's sandbox on Linux. Once the module is loaded, the fork server takes no new
// privileges, gives up the file system and the network (Landlock, where the kernel has it),
// and loads a seccomp filter that lets through only what reading needs: computing on memory,
// reading what it was handed, answering on its channel, the clock; and for the server itself,
// cloning a reader and installing that reader's narrower filter. Every other call is refused
// with SIGSYS: the handler notes the call for the parent and ends the process. Each reader
// then loses what only the server needs (cloning, filters) and may signal no process but its
// own (abort() raises SIGABRT on itself).
// Before the module is loaded, its constructors meet a looser sandbox of their own (the
// loader's): no privileges, the file system read-only where libraries live, and no new
// process, network, write or signal to others. The server's sandbox stacks on top of it.
#include "platform/worker_process.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <linux/audit.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/futex.h>
#include <linux/landlock.h>
#include <linux/seccomp.h>
#include <linux/sched.h>
#include <seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>
#include <string>
#include <vector>

#include "platform/sanitizers.h"

namespace zudorhost {
namespace worker {
namespace {

std::atomic<FaultNotes *> notesOf{nullptr};

// The end of a refused call, by the instruction itself: no entry in a table a reader could
// have rewritten (the C library's syscall() is reached through one).
[[noreturn]] void exitNow(long code)
{
#if defined(__x86_64__)
    asm volatile("syscall" : : "a"(long(SYS_exit_group)), "D"(code) : "rcx", "r11", "memory");
#elif defined(__aarch64__)
    register long number asm("x8") = SYS_exit_group;
    register long status asm("x0") = code;
    asm volatile("svc 0" : : "r"(number), "r"(status) : "memory");
#else
#error "no way to end a process without the C library on this architecture"
#endif
    __builtin_unreachable();
}

void onForbiddenCall(int, siginfo_t *info, void *)
{
    if (FaultNotes *notes = notesOf.load(std::memory_order_relaxed))
        notes->forbiddenCall.store(uint32_t(info->si_syscall) + 1, std::memory_order_relaxed);
    exitNow(kSandboxExit);
}

// /proc/self/statm, opened before the loader's sandbox closed the file system.
int statmFile = -1;

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
    const int statm = statmFile >= 0 ? statmFile : ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    statmFile = -1;
    char text[64] = {};
    const bool read = statm >= 0 && pread(statm, text, sizeof text - 1, 0) > 0;
    if (statm >= 0)
        ::close(statm);
#ifdef ZUDOR_SANITIZED
    (void)cap, (void)error, (void)read; // the sanitizers reserve terabytes of shadow
    return true;
#else
    if (cap == 0)
        return true;
    unsigned long long pages = 0;
    if (!read || std::sscanf(text, "%llu", &pages) != 1)
        pages = 0;
    if (pages == 0) {
        error = "cannot cap the reader's memory: cannot tell what it holds now";
        return false;
    }
    // The slack is for what the system maps on its own (the channel's buffers, a document's
    // shared memory); a reader's own mmap and brk meet the limit, and worker_memory_glibc.cpp
    // notes that as the cap.
    const uint64_t limit = pages * uint64_t(sysconf(_SC_PAGESIZE)) + cap + (uint64_t(32) << 20);
    const rlimit space{limit, limit};
    if (setrlimit(RLIMIT_AS, &space) != 0) {
        error = std::string("cannot cap the reader's memory: ") + std::strerror(errno);
        return false;
    }
    return true;
#endif
}

// No network, and no file system but what readable names: read, list and map for execution
// beneath each directory, read and map each file. A ruleset handles every right this kernel
// knows; a kernel without Landlock leaves it to the seccomp filter alone.
bool closeFileSystem(const std::vector<std::string> &readable, std::string &error)
{
    const long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    if (abi < 1)
        return true;
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
        return true;
    for (const std::string &place : readable) {
        const int at = ::open(place.c_str(), O_PATH | O_CLOEXEC);
        struct stat info;
        if (at < 0)
            continue; // what is not there cannot be read
        if (fstat(at, &info) == 0) {
            landlock_path_beneath_attr rule{};
            rule.parent_fd = at;
            rule.allowed_access = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_EXECUTE;
            if (S_ISDIR(info.st_mode))
                rule.allowed_access |= LANDLOCK_ACCESS_FS_READ_DIR;
            syscall(SYS_landlock_add_rule, fd, LANDLOCK_RULE_PATH_BENEATH, &rule, 0);
        }
        ::close(at);
    }
    const long restricted = syscall(SYS_landlock_restrict_self, fd, 0);
    ::close(fd);
    if (restricted != 0) {
        error = std::string("cannot close the file system: ") + std::strerror(errno);
        return false;
    }
    return true;
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
#ifndef ZUDOR_SANITIZED // whose runtimes keep handlers of their own
    // Nothing the module's constructors set to run later does so in the server: handlers and
    // timers go back to the system's.
    for (int signal = 1; signal < NSIG; ++signal)
        if (signal != SIGKILL && signal != SIGSTOP)
            std::signal(signal, SIG_DFL);
#endif
    const itimerval never{};
    for (int timer : {ITIMER_REAL, ITIMER_VIRTUAL, ITIMER_PROF})
        setitimer(timer, &never, nullptr);
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
    if (!closeFileSystem({}, error))
        return false;
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
                                  SCMP_SYS(exit), SCMP_SYS(exit_group),
                                  SCMP_SYS(rt_sigreturn), SCMP_SYS(rt_sigprocmask), SCMP_SYS(getpid),
                                  SCMP_SYS(gettid), SCMP_SYS(gettimeofday), SCMP_SYS(sched_yield),
                                  SCMP_SYS(getrandom), SCMP_SYS(lseek), SCMP_SYS(pidfd_send_signal),
                                  SCMP_SYS(kill), SCMP_SYS(tgkill), SCMP_SYS(seccomp)});
#ifdef ZUDOR_SANITIZED
    // What the sanitizers' own runtime asks for while a reader runs; pipe2 is how the
    // undefined-behaviour sanitizer looks whether a vtable it checks can be read.
    made = made && allowAll(filter, {SCMP_SYS(sigaltstack), SCMP_SYS(sched_getaffinity), SCMP_SYS(prlimit64),
                                     SCMP_SYS(mincore), SCMP_SYS(getrusage), SCMP_SYS(pipe2), SCMP_SYS(madvise)});
    // Any signal's handler but SIGSYS's (31), whose own would let a reader live on past a
    // refused call: 0-15, 16-23, 24-27, 28-29, 30, 32-63, 64, by the signal's low 32 bits.
    static_assert(SIGSYS == 31, "the blocks below leave out signal 31");
    const scmp_datum_t blocks[][2] = {{0xfffffff0, 0},  {0xfffffff8, 16}, {0xfffffffc, 24}, {0xfffffffe, 28},
                                      {0xffffffff, 30}, {0xffffffe0, 32}, {0xffffffff, 64}};
    for (const auto &block : blocks) {
        const scmp_arg_cmp signal{0, SCMP_CMP_MASKED_EQ, block[0], block[1]};
        made = made && seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(rt_sigaction), 1, signal) == 0;
    }
#else
    // The advice the C library's allocator gives, and what a reader may say of how it reads.
    for (int advice : {MADV_NORMAL, MADV_RANDOM, MADV_SEQUENTIAL, MADV_WILLNEED, MADV_DONTNEED, MADV_FREE,
                       MADV_HUGEPAGE, MADV_NOHUGEPAGE, MADV_DONTDUMP}) {
        const scmp_arg_cmp given{2, SCMP_CMP_MASKED_EQ, 0xffffffff, scmp_datum_t(advice)};
        made = made && seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(madvise), 1, given) == 0;
    }
#endif
    // Waiting and waking, on private or shared words: nothing that reaches another waiter's
    // priority or moves waiters between words. The clock flag and the private flag aside.
    constexpr scmp_datum_t kOperation = 0xffffffff & ~scmp_datum_t(FUTEX_PRIVATE_FLAG | FUTEX_CLOCK_REALTIME);
    for (int operation : {FUTEX_WAIT, FUTEX_WAKE, FUTEX_WAIT_BITSET, FUTEX_WAKE_BITSET}) {
        const scmp_arg_cmp given{1, SCMP_CMP_MASKED_EQ, kOperation, scmp_datum_t(operation)};
        made = made && seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(futex), 1, given) == 0;
    }
    // The fixed clocks: a negative id names another process's or thread's CPU clock.
    const scmp_arg_cmp fixedClock{0, SCMP_CMP_MASKED_EQ, 0xfffffff0, 0};
    made = made && seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(clock_gettime), 1, fixedClock) == 0 &&
           seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(clock_getres), 1, fixedClock) == 0;
    // Memory, never executable: no code arrives after the module. Comparisons are spelt out
    // whole: libseccomp's SCMP_A* macros leave a field to its default, which clang warns of.
    const scmp_arg_cmp notExecutable{2, SCMP_CMP_MASKED_EQ, PROT_EXEC, 0};
    // The server's one way of making a process: a reader of the parent's.
    const scmp_arg_cmp readerClone{0, SCMP_CMP_EQ, CLONE_PARENT | CLONE_PIDFD | SIGCHLD, 0};
    const scmp_arg_cmp noNewPrivileges{0, SCMP_CMP_EQ, PR_SET_NO_NEW_PRIVS, 0};
    // Mappings shared or private (not both bits: that asks the kernel to check flags beyond
    // these), of the plain kinds: no stack that grows down, huge pages, locked or low memory.
    constexpr scmp_datum_t kPlainMapping = MAP_SHARED | MAP_PRIVATE | MAP_FIXED | MAP_ANONYMOUS | MAP_NORESERVE |
                                           MAP_STACK | MAP_FIXED_NOREPLACE | MAP_POPULATE;
    // Growing or moving memory where the kernel likes, never onto a place named: code moved over
    // the refusal's handler would run in its stead.
    const scmp_arg_cmp growInPlaceOrMove{3, SCMP_CMP_MASKED_EQ, ~scmp_datum_t(MREMAP_MAYMOVE), 0};
    const scmp_arg_cmp shared{3, SCMP_CMP_MASKED_EQ, ~kPlainMapping | 3, MAP_SHARED};
    const scmp_arg_cmp unshared{3, SCMP_CMP_MASKED_EQ, ~kPlainMapping | 3, MAP_PRIVATE};
    made = made && seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(mmap), 2, notExecutable, shared) == 0 &&
           seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(mmap), 2, notExecutable, unshared) == 0 &&
           seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(mprotect), 1, notExecutable) == 0 &&
           seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(mremap), 1, growInPlaceOrMove) == 0 &&
           seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(clone), 1, readerClone) == 0 &&
           seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(prctl), 1, noNewPrivileges) == 0;
    if (!made) {
        seccomp_release(filter);
        error = "cannot make the seccomp filter";
        return false;
    }
    return load(filter, error);
}

namespace {

// The fork server's channel (worker_program_linux.cpp), on which the parent's first word is
// the token of the server's own clone.
constexpr int kServerChannel = 3;
constexpr uint32_t kReaderCloneFlags = CLONE_PARENT | CLONE_PIDFD | SIGCHLD;
#if defined(__x86_64__)
constexpr uint32_t kArch = AUDIT_ARCH_X86_64;
constexpr int kCloneTokenArgument = 4; // clone(flags, stack, parent_tid, child_tid, tls)
#elif defined(__aarch64__)
constexpr uint32_t kArch = AUDIT_ARCH_AARCH64;
constexpr int kCloneTokenArgument = 3; // clone(flags, stack, parent_tid, tls, child_tid)
#endif

// Root becomes nobody where the system lets it; whoever it is, it keeps no capability.
bool dropPrivileges(std::string &error)
{
    if (geteuid() == 0) {
        for (int cap = 0; cap <= 63; ++cap)
            prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
        constexpr uid_t kNobody = 65534;
        if (setgroups(0, nullptr) == 0 && setresgid(kNobody, kNobody, kNobody) == 0)
            setresuid(kNobody, kNobody, kNobody);
    }
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capset, &header, none) != 0) {
        error = std::string("cannot give up capabilities: ") + std::strerror(errno);
        return false;
    }
    return true;
}

// What loading a library never needs, refused with EPERM: the call fails, the load goes on.
bool refuseBeyondLoading(std::string &error)
{
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
    if (filter == nullptr) {
        error = "cannot make a seccomp filter";
        return false;
    }
    const uint32_t refuse = SCMP_ACT_ERRNO(EPERM);
    bool made = true;
    for (int call : {SCMP_SYS(execve), SCMP_SYS(execveat), SCMP_SYS(fork), SCMP_SYS(vfork), SCMP_SYS(clone3),
                     SCMP_SYS(socket), SCMP_SYS(connect), SCMP_SYS(bind), SCMP_SYS(listen), SCMP_SYS(accept),
                     SCMP_SYS(accept4), SCMP_SYS(creat), SCMP_SYS(openat2), SCMP_SYS(open_by_handle_at),
                     SCMP_SYS(unlink), SCMP_SYS(unlinkat), SCMP_SYS(rmdir), SCMP_SYS(rename), SCMP_SYS(renameat),
                     SCMP_SYS(renameat2), SCMP_SYS(mkdir), SCMP_SYS(mkdirat), SCMP_SYS(mknod), SCMP_SYS(mknodat),
                     SCMP_SYS(link), SCMP_SYS(linkat), SCMP_SYS(symlink), SCMP_SYS(symlinkat), SCMP_SYS(chmod),
                     SCMP_SYS(fchmod), SCMP_SYS(fchmodat), SCMP_SYS(chown), SCMP_SYS(fchown), SCMP_SYS(lchown),
                     SCMP_SYS(fchownat), SCMP_SYS(truncate), SCMP_SYS(ftruncate), SCMP_SYS(ptrace),
                     SCMP_SYS(process_vm_readv), SCMP_SYS(process_vm_writev), SCMP_SYS(pidfd_open),
                     SCMP_SYS(pidfd_getfd), SCMP_SYS(tkill), SCMP_SYS(personality), SCMP_SYS(unshare),
                     SCMP_SYS(setns), SCMP_SYS(mount), SCMP_SYS(umount2), SCMP_SYS(pivot_root), SCMP_SYS(chroot),
                     SCMP_SYS(io_uring_setup), SCMP_SYS(io_uring_enter), SCMP_SYS(io_uring_register),
                     SCMP_SYS(bpf), SCMP_SYS(perf_event_open), SCMP_SYS(userfaultfd), SCMP_SYS(keyctl),
                     SCMP_SYS(add_key), SCMP_SYS(request_key)})
        made = made && (call == __NR_SCMP_ERROR || seccomp_rule_add(filter, refuse, call, 0) == 0);
    // Opened for reading only: no write, creation, truncation or unnamed file.
    for (const scmp_datum_t flag : {scmp_datum_t(O_WRONLY), scmp_datum_t(O_RDWR), scmp_datum_t(O_CREAT),
                                    scmp_datum_t(O_TRUNC), scmp_datum_t(__O_TMPFILE)}) {
        const scmp_arg_cmp inOpen{1, SCMP_CMP_MASKED_EQ, flag, flag}, inOpenat{2, SCMP_CMP_MASKED_EQ, flag, flag};
        made = made && seccomp_rule_add(filter, refuse, SCMP_SYS(open), 1, inOpen) == 0 &&
               seccomp_rule_add(filter, refuse, SCMP_SYS(openat), 1, inOpenat) == 0;
    }
    // No signal to a process group or to every process; the rest of the world is Landlock's
    // (it scopes signals to the sandbox), as a reader's abort() must still reach itself.
    const scmp_arg_cmp group{0, SCMP_CMP_MASKED_EQ, 0xffffffff, 0};
    const scmp_arg_cmp negative{0, SCMP_CMP_MASKED_EQ, 0x80000000, 0x80000000};
    for (int call : {SCMP_SYS(kill), SCMP_SYS(tgkill), SCMP_SYS(rt_sigqueueinfo), SCMP_SYS(rt_tgsigqueueinfo)})
        made = made && seccomp_rule_add(filter, refuse, call, 1, group) == 0 &&
               seccomp_rule_add(filter, refuse, call, 1, negative) == 0;
    if (!made) {
        seccomp_release(filter);
        error = "cannot make the loader's seccomp filter";
        return false;
    }
    return load(filter, error);
}

// The one clone let through: the server's reader, with the token where the kernel ignores it
// (the thread pointer, unused without CLONE_SETTLS). Built here so that the token is only ever
// on the stack, and wiped from it before the filter is left behind.
bool refuseOtherClones(uint64_t &token, std::string &error)
{
    constexpr uint32_t kRefuse = SECCOMP_RET_ERRNO | EPERM, kLet = SECCOMP_RET_ALLOW;
    constexpr uint32_t kTokenAt = offsetof(seccomp_data, args) + 8 * kCloneTokenArgument;
    sock_filter program[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_clone, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, kLet),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kReaderCloneFlags, 0, 7),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0]) + 4),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 5),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, kTokenAt),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, uint32_t(token), 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, kTokenAt + 4),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, uint32_t(token >> 32), 0, 1),
        BPF_STMT(BPF_RET | BPF_K, kLet),
        BPF_STMT(BPF_RET | BPF_K, kRefuse),
    };
    const sock_fprog filter{uint16_t(sizeof program / sizeof program[0]), program};
    const long loaded = syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &filter);
    const int why = errno;
    explicit_bzero(program, sizeof program);
    explicit_bzero(&token, sizeof token);
    if (loaded != 0) {
        error = std::string("cannot load the loader's seccomp filter: ") + std::strerror(why);
        return false;
    }
    return true;
}

// Where the loader looks for libraries, and what it reads on the way.
std::vector<std::string> loaderPlaces(const std::vector<std::string> &readable)
{
    std::vector<std::string> places = readable;
    for (const char *system : {"/usr", "/lib", "/lib64", "/lib32", "/libx32", "/etc/ld.so.cache"})
        places.emplace_back(system);
    if (const char *path = std::getenv("LD_LIBRARY_PATH"))
        for (const char *at = path; *at != '\0';) {
            const size_t length = std::strcspn(at, ":;");
            if (length != 0)
                places.emplace_back(at, length);
            at += length + (at[length] != '\0');
        }
#ifdef ZUDOR_SANITIZED
    // The sanitizers' runtime reads the process's maps when a library comes in.
    places.emplace_back("/proc/self");
#endif
    return places;
}

} // namespace

bool enterLoaderSandbox(const std::vector<std::string> &readable, std::string &error)
{
    // Whatever the parent left open without close-on-exec goes before anything else runs.
    syscall(SYS_close_range, kServerChannel + 1, ~0U, 0);
    uint64_t token = 0;
    ssize_t got;
    do
        got = recv(kServerChannel, &token, sizeof token, 0);
    while (got < 0 && errno == EINTR);
    if (got != ssize_t(sizeof token)) {
        error = "the fork server's channel did not begin with its token";
        return false;
    }
    statmFile = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    if (!dropPrivileges(error))
        return false;
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        error = std::string("cannot give up new privileges: ") + std::strerror(errno);
        return false;
    }
    return closeFileSystem(loaderPlaces(readable), error) && refuseBeyondLoading(error) &&
           refuseOtherClones(token, error);
}

// Assembled here rather than by libseccomp, which takes a millisecond or two to build a filter:
// a reader is made for every one lost, and this is on that path. Calls of another
// architecture never get here: the server's filter refuses them.
bool narrowSandbox(std::string &error)
{
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

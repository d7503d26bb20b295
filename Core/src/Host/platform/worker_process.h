// What isolated reading asks of the system: reader processes of their own, a channel to each
// that carries messages one way (with open files handed over) and bytes the other, memory
// shared with them, and their ends. One implementation per platform (worker_process_posix.cpp,
// worker_process_windows.cpp); the parent's side first, the worker program's after it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zudorhost {
namespace worker {

// A file handed to a worker: a descriptor on POSIX systems, a HANDLE's value on Windows.
using Handle = intptr_t;
constexpr Handle kNoHandle = -1;
// What a worker writes arrives in pieces of at most this many bytes; a receive has room for one.
constexpr size_t kPacketBytes = 64 * 1024;

// Where the worker's own words about its end go, in memory it shares with the parent: which
// system call the sandbox refused, and whether an allocation was refused at the memory cap
// during the current document. The worker may write anything here; the parent only reads it.
struct FaultNotes {
    std::atomic<uint32_t> forbiddenCall; // system call number + 1, or 0
    std::atomic<uint32_t> memoryRefused;
};

// Memory shared with workers. The parent creates it; a worker maps what it is handed.
class SharedMemory {
public:
    SharedMemory() = default;
    ~SharedMemory();
    SharedMemory(const SharedMemory &) = delete;
    SharedMemory &operator=(const SharedMemory &) = delete;

    bool create(size_t size, std::string &error);
    // Maps a region another process handed over, of size bytes; takes the handle.
    bool map(Handle handle, size_t size, std::string &error);
    char *data() const { return data_; }
    size_t size() const { return size_; }
    Handle handle() const { return handle_; }
    // Unmaps the memory and gives up its handle, to be handed over and closed elsewhere.
    Handle releaseHandle();
    void reset();

private:
    char *data_ = nullptr;
    size_t size_ = 0;
    Handle handle_ = kNoHandle;
};

// Closes a handle of the parent's own.
void closeHandle(Handle handle);
// The platform's part of SharedMemory (shared_memory.cpp): a section of size bytes, a view of
// one, and its end; the failures say why.
Handle newSection(size_t size, std::string &error);
void *mapView(Handle section, size_t size, std::string &error);
void unmapView(void *view, size_t size);
// An open file's descriptor (a C runtime one on Windows) as a handle to hand over; takes it.
Handle handleOfDescriptor(int descriptor);
// In the worker, a file handed over as a descriptor the file stream reads; takes the handle.
int descriptorOfHandle(Handle handle);

// How a worker process ended.
struct Ending {
    enum class Kind { Exited, Signalled, Unknown } kind = Kind::Unknown;
    int code = 0; // the exit status, or the signal (POSIX) or exception code (Windows)
};
// "SIGSEGV", "access violation (0xC0000005)": a signal or exception as a person reads it.
std::string describeSignal(int code);
// "openat": a system call's name, or its number in words.
std::string describeSystemCall(uint32_t number);
// The exit status of a worker that the sandbox stopped at a forbidden call.
constexpr int kSandboxExit = 101;

// One reader process and its channel, from the parent's side. Used by one thread at a time.
class Worker {
public:
    virtual ~Worker() = default;
    // One message, with open files the worker receives as its own; the parent keeps its own.
    virtual bool send(const void *data, size_t size, const Handle *handles, size_t count) = 0;
    enum class Wait { Readable, TimedOut, Failed };
    // Until the worker has written something, or has ended (then readable at its end).
    virtual Wait wait(int64_t timeoutNs) = 0;
    // What the worker wrote, up to room bytes: > 0 bytes, 0 at the end of its channel.
    virtual long receive(char *into, size_t room) = 0;
    virtual void kill() = 0;
    // Waits for the process to end, and says how.
    virtual Ending reap() = 0;
    // The most memory the process held, where the system kept count; else 0.
    virtual uint64_t peakMemory() { return 0; }
};

struct LaunchSetup {
    std::string program;                 // the worker program
    std::vector<std::string> arguments;  // after its name
    uint64_t memoryCap = 0;              // bytes; 0 for none
};

// Starts reader processes: on Linux through a fork server (the worker program, loaded and
// sandboxed once, forking a reader for each launch); elsewhere a new process each time.
class Launcher {
public:
    virtual ~Launcher() = default;
    // Waits for the program's first word, once (later calls say the same): false, with why,
    // when it did not start, as when the module cannot be loaded. launch() waits for it too.
    virtual bool ready(std::string &error) = 0;
    // A fresh reader with settings (a message the worker program reads first) and the shared
    // memory it maps; null with why.
    virtual std::unique_ptr<Worker> launch(const std::string &settings, const SharedMemory &shared,
                                           std::string &error) = 0;
};
// Starts the program, which says it is ready (an empty line) or why not within timeoutNs.
std::unique_ptr<Launcher> startLauncher(const LaunchSetup &setup, int64_t timeoutNs, std::string &error);

// The environment a worker starts with: the parent's, less everything but the time zone, the
// locale, the library path and the sanitizers' options: no credentials reach it.
std::vector<std::string> workerEnvironment();

// The monotonic clock, in nanoseconds, the same in parent and worker.
int64_t monotonicNs();

// ---- The worker program's side.

// The worker's end of its channel.
class Endpoint {
public:
    explicit Endpoint(Handle channel) : channel_(channel) {}
    // One message from the parent and the files that came with it; 0 at the end, < 0 on failure.
    long receive(char *into, size_t room, std::vector<Handle> &handles);
    bool send(const void *data, size_t size);
    void closeHandle(Handle handle);

private:
    Handle channel_;
};

// What the worker program runs once its module is loaded: for each reader it is asked for,
// serve(endpoint, settings, shared) in a process of its own, returning when the parent is done
// with it. Returns the program's exit status.
using ServeFn = int (*)(Endpoint &endpoint, const std::string &settings, Handle shared, void *state);
int runWorkerProgram(int argc, char **argv, const std::string &ready, ServeFn serve, void *state);
// The program's own arguments (after the platform's).
std::vector<std::string> workerArguments(int argc, char **argv);

// The sandbox (sandbox_linux.cpp; nothing elsewhere): once the module is loaded, the process
// may only compute on what it is handed and answer on its channel. Where the fork server
// forks, narrowSandbox takes from each reader what only the server needs.
bool enterSandbox(uint64_t memoryCap, std::string &error);
// Before the module is loaded, for what its constructors may do: no privileges, the file
// system read-only beneath the system's libraries and the readable places given (files or
// directories), and no new processes, network, writes or signals to others. The fork server's
// own clone is let through with a token the parent sends, on Linux first on the channel and
// again with each launch. Closes every inherited file but the standard ones and the channel.
bool enterLoaderSandbox(const std::vector<std::string> &readable, std::string &error);
bool narrowSandbox(std::string &error);
// Where the sandbox and the memory cap note a fault, once a reader has its shared memory.
void noteFaultsIn(FaultNotes *notes);
FaultNotes *currentFaultNotes();
// The memory cap (worker_memory_glibc.cpp, where the C library lets a program count what it
// allocates): from now on, at most cap bytes more than the process holds now.
void capAllocations(uint64_t cap);

} // namespace worker
} // namespace zudorhost

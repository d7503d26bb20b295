// The worker program's side on Windows: one reader per process. Its channel is the pipe
// handle it inherited (--channel); it says whether it is ready, takes its settings and shared
// memory as its first message, and serves. The parent's job object is its sandbox: the cap
// on its memory, no processes of its own, and its end with the parent's.
#include "platform/worker_process.h"

#include <cstdlib>
#include <cstring>
#include <io.h>
#include <windows.h>

namespace zudorhost {
namespace worker {
namespace {

std::atomic<FaultNotes *> notesOf{nullptr};

bool readAll(HANDLE pipe, char *into, size_t size)
{
    while (size != 0) {
        DWORD got = 0;
        if (!ReadFile(pipe, into, DWORD(size), &got, nullptr) || got == 0)
            return false;
        into += got;
        size -= got;
    }
    return true;
}

Handle channelArgument(int argc, char **argv)
{
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--channel") == 0)
            return Handle(std::strtoull(argv[i + 1], nullptr, 10));
    return kNoHandle;
}

// The last word on an exception nothing handled: the process ends at once with the exception's
// code, which the parent reads as a crash. Left to the system, a debugger or an error report
// would run first, for long enough that the parent took the crash for a hang.
LONG WINAPI endAtOnce(EXCEPTION_POINTERS *exception)
{
    TerminateProcess(GetCurrentProcess(), UINT(exception->ExceptionRecord->ExceptionCode));
    return EXCEPTION_EXECUTE_HANDLER;
}

} // namespace

long Endpoint::receive(char *into, size_t room, std::vector<Handle> &handles)
{
    HANDLE pipe = reinterpret_cast<HANDLE>(channel_);
    uint32_t header[2];
    handles.clear();
    if (!readAll(pipe, reinterpret_cast<char *>(header), sizeof header))
        return 0;
    for (uint32_t i = 0; i < header[1]; ++i) {
        uint64_t value;
        if (!readAll(pipe, reinterpret_cast<char *>(&value), sizeof value))
            return -1;
        handles.push_back(Handle(value));
    }
    if (header[0] > room || !readAll(pipe, into, header[0]))
        return -1;
    return long(header[0]);
}

bool Endpoint::send(const void *data, size_t size)
{
    const char *at = static_cast<const char *>(data);
    while (size != 0) {
        DWORD done = 0;
        if (!WriteFile(reinterpret_cast<HANDLE>(channel_), at, DWORD(size), &done, nullptr) || done == 0)
            return false;
        at += done;
        size -= done;
    }
    return true;
}

void Endpoint::closeHandle(Handle handle) { CloseHandle(reinterpret_cast<HANDLE>(handle)); }

std::vector<std::string> workerArguments(int argc, char **argv)
{
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        if ((std::strcmp(argv[i], "--memory-cap") == 0 || std::strcmp(argv[i], "--channel") == 0) && i + 1 < argc) {
            ++i;
            continue;
        }
        arguments.emplace_back(argv[i]);
    }
    return arguments;
}

int runWorkerProgram(int argc, char **argv, const std::string &ready, ServeFn serve, void *state)
{
    // A crash ends the process with its exception code, never a dialog.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(endAtOnce);
    const Handle channel = channelArgument(argc, argv);
    if (channel == kNoHandle)
        return 2;
    Endpoint parent(channel);
    if (!ready.empty()) {
        parent.send((ready + "\n").data(), ready.size() + 1);
        return 1;
    }
    if (!parent.send("\n", 1))
        return 1;
    std::vector<char> settings(4096);
    std::vector<Handle> handles;
    const long got = parent.receive(settings.data(), settings.size(), handles);
    if (got < 0 || handles.size() != 1)
        return got == 0 ? 0 : 1;
    return serve(parent, std::string(settings.data(), size_t(got)), handles[0], state);
}

// The job object the parent made is the sandbox here.
bool enterSandbox(uint64_t, std::string &) { return true; }
bool enterLoaderSandbox(const std::vector<std::string> &, std::string &) { return true; }
bool narrowSandbox(std::string &) { return true; }
void noteFaultsIn(FaultNotes *notes) { notesOf.store(notes); }
FaultNotes *currentFaultNotes() { return notesOf.load(); }
void capAllocations(uint64_t) {}

} // namespace worker
} // namespace zudorhost

// Reader processes on Windows, the parent's side. Windows cannot fork, so every reader is a
// new process of the worker program, made suspended, put in a job object of its own (its
// memory cap, no child processes, death on an unhandled exception, and killed when the job's
// handle closes, with the parent), then let go. It talks over a named pipe of its own, read
// with overlapped I/O so that a wait can end at the time limit; files and memory are handed
// over by duplicating their handles into it. The first reader is made at once, so that a
// module that cannot be loaded stops the run at its start, and kept for the first launch.
#include "platform/worker_process.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <io.h>
#include <mutex>
#include <windows.h>

#include "platform/system.h"

namespace zudorhost {
namespace worker {
namespace {

// Room the system maps on its own beyond a reader's cap.
constexpr uint64_t kMapSlack = uint64_t(256) << 20;

std::wstring quoted(const std::wstring &argument)
{
    std::wstring out = L"\"";
    for (wchar_t c : argument) {
        if (c == L'"')
            out += L'\\';
        out += c;
    }
    return out + L"\"";
}

class WindowsWorker : public Worker {
public:
    WindowsWorker(HANDLE process, HANDLE job, HANDLE pipe) : process_(process), job_(job), pipe_(pipe)
    {
        event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        buffer_.resize(kPacketBytes);
    }
    ~WindowsWorker() override
    {
        kill();
        if (pending_) {
            CancelIo(pipe_);
            DWORD ignored;
            GetOverlappedResult(pipe_, &read_, &ignored, TRUE);
        }
        CloseHandle(pipe_);
        CloseHandle(event_);
        CloseHandle(process_);
        CloseHandle(job_);
    }

    bool send(const void *data, size_t size, const Handle *handles, size_t count) override
    {
        std::vector<char> message(8 + 8 * count + size);
        const uint32_t header[2] = {uint32_t(size), uint32_t(count)};
        std::memcpy(message.data(), header, sizeof header);
        for (size_t i = 0; i < count; ++i) {
            HANDLE theirs = nullptr;
            if (!DuplicateHandle(GetCurrentProcess(), reinterpret_cast<HANDLE>(handles[i]), process_, &theirs, 0, FALSE,
                                 DUPLICATE_SAME_ACCESS))
                return false;
            const uint64_t value = uint64_t(reinterpret_cast<uintptr_t>(theirs));
            std::memcpy(message.data() + 8 + 8 * i, &value, 8);
        }
        if (size != 0)
            std::memcpy(message.data() + 8 + 8 * count, data, size);
        return writeAll(message.data(), message.size());
    }

    Wait wait(int64_t timeoutNs) override
    {
        if (!pending_ && !ready_ && !startRead())
            return Wait::Readable; // the end, read as such
        if (ready_)
            return Wait::Readable;
        const DWORD ms = timeoutNs < 0 ? INFINITE : DWORD((timeoutNs + 999999) / 1000000);
        const DWORD got = WaitForSingleObject(event_, ms);
        if (got == WAIT_TIMEOUT)
            return Wait::TimedOut;
        return got == WAIT_OBJECT_0 ? Wait::Readable : Wait::Failed;
    }

    long receive(char *into, size_t room) override
    {
        if (!ready_ && pending_) {
            DWORD got = 0;
            const bool done = GetOverlappedResult(pipe_, &read_, &got, TRUE);
            pending_ = false;
            ready_ = true;
            readBytes_ = done ? got : 0;
        }
        if (!ready_)
            return 0;
        ready_ = false;
        const size_t n = readBytes_ < room ? readBytes_ : room;
        std::memcpy(into, buffer_.data(), n);
        return long(n);
    }

    void kill() override { TerminateJobObject(job_, 1); }

    Ending reap() override
    {
        WaitForSingleObject(process_, INFINITE);
        DWORD code = 0;
        Ending ending;
        if (!GetExitCodeProcess(process_, &code))
            return ending;
        ending.kind = code >= 0xC0000000u ? Ending::Kind::Signalled : Ending::Kind::Exited;
        ending.code = int(code);
        return ending;
    }

    uint64_t peakMemory() override
    {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION info{};
        if (!QueryInformationJobObject(job_, JobObjectExtendedLimitInformation, &info, sizeof info, nullptr))
            return 0;
        return uint64_t(info.PeakProcessMemoryUsed);
    }

    // The worker's first word: an empty line for ready, else why not.
    bool hello(int64_t timeoutNs, std::string &error)
    {
        std::string word;
        while (word.empty() || word.back() != '\n') {
            if (wait(timeoutNs) != Wait::Readable) {
                error = "the reader's worker program did not start";
                return false;
            }
            char piece[4096];
            const long got = receive(piece, sizeof piece);
            if (got <= 0)
                break;
            word.append(piece, size_t(got));
        }
        if (word == "\n")
            return true;
        error = word.empty() ? "the reader's worker program ended at its start" : word;
        while (!error.empty() && error.back() == '\n')
            error.pop_back();
        return false;
    }

private:
    bool startRead()
    {
        std::memset(&read_, 0, sizeof read_);
        read_.hEvent = event_;
        ResetEvent(event_);
        DWORD got = 0;
        if (ReadFile(pipe_, buffer_.data(), DWORD(buffer_.size()), &got, &read_)) {
            ready_ = true;
            readBytes_ = got;
            return true;
        }
        if (GetLastError() == ERROR_IO_PENDING) {
            pending_ = true;
            return true;
        }
        ready_ = true; // a broken pipe: the worker has gone
        readBytes_ = 0;
        return true;
    }

    bool writeAll(const char *data, size_t size)
    {
        OVERLAPPED write{};
        write.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        bool ok = true;
        while (ok && size != 0) {
            DWORD done = 0;
            ResetEvent(write.hEvent);
            if (!WriteFile(pipe_, data, DWORD(size), &done, &write))
                ok = GetLastError() == ERROR_IO_PENDING && GetOverlappedResult(pipe_, &write, &done, TRUE);
            ok = ok && done != 0;
            data += done;
            size -= done;
        }
        CloseHandle(write.hEvent);
        return ok;
    }

    HANDLE process_, job_, pipe_;
    HANDLE event_ = nullptr;
    OVERLAPPED read_{};
    std::vector<char> buffer_;
    size_t readBytes_ = 0;
    bool pending_ = false, ready_ = false;
};

std::wstring environmentBlock()
{
    std::wstring block;
    for (const std::string &entry : workerEnvironment())
        block += os::wide(entry) + L'\0';
    return block + L'\0';
}

class ProcessLauncher : public Launcher {
public:
    ProcessLauncher(const LaunchSetup &setup, int64_t timeoutNs) : setup_(setup), timeoutNs_(timeoutNs) {}

    bool prepare(std::string &error)
    {
        spare_ = start(error);
        return spare_ != nullptr;
    }

    bool ready(std::string &) override { return true; } // prepare() waited for the first reader

    std::unique_ptr<Worker> launch(const std::string &settings, const SharedMemory &shared, std::string &error) override
    {
        std::unique_ptr<WindowsWorker> worker;
        {
            std::lock_guard<std::mutex> guard(lock_);
            worker = std::move(spare_);
        }
        if (!worker)
            worker = start(error);
        const Handle handed[1] = {shared.handle()};
        if (worker && !worker->send(settings.data(), settings.size(), handed, 1)) {
            error = "cannot hand the reader its settings";
            return nullptr;
        }
        return worker;
    }

private:
    std::unique_ptr<WindowsWorker> start(std::string &error)
    {
        static std::atomic<unsigned> count{0};
        wchar_t name[96];
        std::swprintf(name, 96, L"\\\\.\\pipe\\zudor-worker-%lu-%u", GetCurrentProcessId(), count++);
        HANDLE pipe = CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                       PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, kPacketBytes, kPacketBytes, 0,
                                       nullptr);
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE theirs = pipe == INVALID_HANDLE_VALUE ? INVALID_HANDLE_VALUE
                                                     : CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, &inherit,
                                                                   OPEN_EXISTING, 0, nullptr);
        HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                 OPEN_EXISTING, 0, nullptr);
        if (theirs == INVALID_HANDLE_VALUE || nul == INVALID_HANDLE_VALUE) {
            error = "cannot make a channel to a reader: " + os::windowsMessage(GetLastError());
            if (pipe != INVALID_HANDLE_VALUE)
                CloseHandle(pipe);
            if (theirs != INVALID_HANDLE_VALUE)
                CloseHandle(theirs);
            if (nul != INVALID_HANDLE_VALUE)
                CloseHandle(nul);
            return nullptr;
        }
        std::wstring command = quoted(os::wide(setup_.program)) + L" --memory-cap " +
                               std::to_wstring(setup_.memoryCap) + L" --channel " +
                               std::to_wstring(uint64_t(reinterpret_cast<uintptr_t>(theirs)));
        for (const std::string &argument : setup_.arguments)
            command += L" " + quoted(os::wide(argument));
        std::wstring environment = environmentBlock();
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = nul;
        startup.hStdOutput = nul;
        startup.hStdError = nul;
        PROCESS_INFORMATION made{};
        const BOOL created = CreateProcessW(os::wide(setup_.program).c_str(), command.data(), nullptr, nullptr, TRUE,
                                            CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW,
                                            environment.data(), nullptr, &startup, &made);
        const DWORD why = GetLastError();
        CloseHandle(theirs);
        CloseHandle(nul);
        if (!created) {
            CloseHandle(pipe);
            error = setup_.program + ": " + os::windowsMessage(why);
            return nullptr;
        }
        HANDLE job = CreateJobObjectW(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE |
                                                  JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION |
                                                  JOB_OBJECT_LIMIT_ACTIVE_PROCESS;
        limits.BasicLimitInformation.ActiveProcessLimit = 1;
        if (setup_.memoryCap != 0) {
            limits.BasicLimitInformation.LimitFlags |= JOB_OBJECT_LIMIT_PROCESS_MEMORY;
            limits.ProcessMemoryLimit = SIZE_T(setup_.memoryCap + kMapSlack);
        }
        if (job != nullptr)
            SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
        if (job == nullptr || !AssignProcessToJobObject(job, made.hProcess)) {
            error = "cannot put a reader in a job object: " + os::windowsMessage(GetLastError());
            TerminateProcess(made.hProcess, 1);
            CloseHandle(made.hThread);
            CloseHandle(made.hProcess);
            CloseHandle(pipe);
            if (job != nullptr)
                CloseHandle(job);
            return nullptr;
        }
        ResumeThread(made.hThread);
        CloseHandle(made.hThread);
        auto worker = std::make_unique<WindowsWorker>(made.hProcess, job, pipe);
        if (!worker->hello(timeoutNs_, error))
            return nullptr;
        return worker;
    }

    LaunchSetup setup_;
    int64_t timeoutNs_;
    std::mutex lock_;
    std::unique_ptr<WindowsWorker> spare_;
};

} // namespace

int64_t monotonicNs()
{
    static const int64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return int64_t(f.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return int64_t(now.QuadPart / frequency) * 1000000000 + int64_t(now.QuadPart % frequency) * 1000000000 / frequency;
}

void closeHandle(Handle handle) { CloseHandle(reinterpret_cast<HANDLE>(handle)); }

Handle handleOfDescriptor(int descriptor)
{
    HANDLE own = nullptr;
    DuplicateHandle(GetCurrentProcess(), reinterpret_cast<HANDLE>(_get_osfhandle(descriptor)), GetCurrentProcess(), &own,
                    0, FALSE, DUPLICATE_SAME_ACCESS);
    _close(descriptor);
    return reinterpret_cast<Handle>(own);
}

int descriptorOfHandle(Handle handle) { return _open_osfhandle(handle, 0x8000 /* _O_BINARY */); }

Handle newSection(size_t size, std::string &error)
{
    HANDLE section = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, DWORD(uint64_t(size) >> 32),
                                        DWORD(size), nullptr);
    if (section != nullptr)
        return reinterpret_cast<Handle>(section);
    error = "cannot make memory to share with a reader: " + os::windowsMessage(GetLastError());
    return kNoHandle;
}

void *mapView(Handle section, size_t size, std::string &error)
{
    void *at = MapViewOfFile(reinterpret_cast<HANDLE>(section), FILE_MAP_ALL_ACCESS, 0, 0, size);
    if (at == nullptr)
        error = "cannot map memory shared with the parent: " + os::windowsMessage(GetLastError());
    return at;
}

void unmapView(void *view, size_t) { UnmapViewOfFile(view); }

std::vector<std::string> workerEnvironment()
{
    // The system's own folders, which Windows itself needs, and what the time zone and the
    // locale take; nothing else, so no credential reaches a reader.
    static const wchar_t *const kept[] = {L"SystemRoot=", L"windir=", L"TZ=", L"LANG=", L"LC_"};
    std::vector<std::string> environment;
    wchar_t *block = GetEnvironmentStringsW();
    for (const wchar_t *entry = block; entry != nullptr && *entry != L'\0'; entry += wcslen(entry) + 1)
        for (const wchar_t *prefix : kept)
            if (_wcsnicmp(entry, prefix, wcslen(prefix)) == 0) {
                environment.push_back(os::narrow(std::wstring(entry)));
                break;
            }
    if (block != nullptr)
        FreeEnvironmentStringsW(block);
    return environment;
}

std::string describeSignal(int code)
{
    char text[64];
    const char *name = nullptr;
    switch (uint32_t(code)) {
    case 0xC0000005u: name = "access violation"; break;
    case 0xC00000FDu: name = "stack overflow"; break;
    case 0xC0000409u: name = "stack buffer overrun"; break;
    case 0xC0000094u: name = "integer division by zero"; break;
    case 0xC000001Du: name = "illegal instruction"; break;
    case 0xC0000017u: name = "out of memory"; break;
    }
    std::snprintf(text, sizeof text, "%s%s0x%08X", name != nullptr ? name : "", name != nullptr ? ", " : "exception ",
                  unsigned(code));
    return text;
}

std::string describeSystemCall(uint32_t number) { return "system call " + std::to_string(number); }

std::unique_ptr<Launcher> startLauncher(const LaunchSetup &setup, int64_t timeoutNs, std::string &error)
{
    auto launcher = std::make_unique<ProcessLauncher>(setup, timeoutNs);
    if (!launcher->prepare(error))
        return nullptr;
    return launcher;
}

} // namespace worker
} // namespace zudorhost

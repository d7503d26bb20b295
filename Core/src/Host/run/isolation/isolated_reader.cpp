// The parent's side of isolated reading. Each document the module is to read gets a reader
// process of its own, made for it and ended after it: a reader sees that document's bytes and
// nothing else, and what it sends can only become that document's record. What can be settled
// without the module (an input that failed, a file that cannot be opened, one the run's keeper
// holds as it is) is settled here as the driver settles it. A few documents ahead of the one
// awaited are handed to readers of their own, so that making a process overlaps with reading.
//
// Nothing a reader writes is trusted: its time is taken on this side's clock, its answer must
// be one frame of the length the document allows, for the document it was given, and anything
// else (an early end, a frame out of turn, too long or malformed) ends the reader at once with
// SIGKILL before it is reaped, so that no wait here lasts longer than the time limit.
#include <algorithm>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "io/remote/remote_document.h"
#include "io/file_stream.h"
#include "platform/system.h"
#include "run/standard_input.h"
#include "run/input_carried.h"
#include "run/isolation/isolated_reader.h"
#include "run/keeper.h"
#include "run/isolation/protocol.h"
#include "run/isolation/view_codec.h"
#include "run/isolation/worker_program.h"
#include "zudor_host/isolation.h"
#include "zudor_host/platform.h"
#include "zudor_host/remote.h"
#include "zudor_host/runner.h"
#include "zudor_host/text_encoding.h"

namespace zudorhost {

class ReaderWorkers {
public:
    IsolationOptions options;
    std::unique_ptr<worker::Launcher> launcher;
};

namespace isolation {
namespace {

using worker::Handle;
using worker::kNoHandle;

// Documents handed to readers ahead of the one awaited: enough that a reader is ready when
// its document's turn comes, few enough that the processes stay few.
constexpr size_t kAhead = 3;

std::string seconds(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

// The longest answer a document of size bytes can honestly have: its text and packets come
// from its bytes, grown at most a few times in conversion and in what explains them.
uint64_t answerLimit(uint64_t size) { return (uint64_t(64) << 20) + std::min<uint64_t>(size, uint64_t(1) << 40) * 8; }

// A reader process with the one document it was given.
struct Flight {
    std::unique_ptr<worker::Worker> worker;
    worker::SharedMemory shared; // the control page, then the document's bytes if small
    std::vector<char> received;  // what it has sent, grown as it arrives
    int64_t sentNs = 0;
};

// One input of the batch: settled here, or handed over and answered by its reader.
struct Pending {
    const InputItem *input = nullptr;
    bool local = false; // settled here; error and the flags say how
    std::string error;
    bool unchanged = false, skipped = false;
    FileIdentity identity;
    Entry entry{};
    Handle handle = kNoHandle; // the parent's copy of what the entry hands over
    std::unique_ptr<Flight> flight;

    void fail(std::string why)
    {
        local = true;
        error = std::move(why);
    }
};

class IsolatedReader : public DocumentReader {
public:
    IsolatedReader(std::shared_ptr<ReaderWorkers> workers, const DriverOptions &options, DocumentKeeper *keeper,
                   os::Opener *opener)
        : workers_(std::move(workers)), options_(options), keeper_(keeper), settings_(encodeSettings(options)),
          own_(opener == nullptr ? std::make_unique<os::Opener>() : nullptr), opener_(opener != nullptr ? *opener : *own_)
    {
    }
    ~IsolatedReader() override { drop(); }

    const DocumentView &read(const InputItem &input) override
    {
        if (next_ >= batch_.size() || batch_[next_].input != &input) {
            drop();
            expect(&input, 1);
        }
        dispatchAhead();
        return answer(batch_[next_++]);
    }

    const DocumentView &readBytes(const InputItem &input, const void *data, size_t size) override
    {
        drop();
        batch_.resize(1);
        Pending &p = batch_[0];
        p.input = &input;
        if (std::unique_ptr<Flight> flight = newFlight(p)) {
            carryBytes(p, *flight, data, size);
            start(p, std::move(flight));
        }
        dispatched_ = 1;
        return answer(batch_[next_++]);
    }

    void expect(const InputItem *items, size_t count) override
    {
        drop();
        batch_.resize(count);
        for (size_t i = 0; i < count; ++i)
            batch_[i].input = &items[i];
        dispatchAhead();
    }

    void finish() override {}

    // As the fetch stage's probe: the first read the document's windows cannot serve.
    bool probe(const InputItem &input, const RemoteDocument &document, uint64_t &offset, uint64_t &length,
               std::string &fault)
    {
        drop();
        batch_.resize(1);
        Pending &p = batch_[0];
        p.input = &input;
        if (std::unique_ptr<Flight> flight = newFlight(p)) {
            carryRemote(p, document);
            p.entry.probe = 1;
            start(p, std::move(flight));
        }
        dispatched_ = 1;
        ++next_;
        const char *payload = nullptr;
        size_t size = 0;
        ProbeAnswer probe{};
        fault.clear();
        if (!p.local && awaitAnswer(p, payload, size) && size != sizeof probe)
            breakOff(p, "the reader answered out of turn");
        if (p.local)
            fault = p.error;
        else
            std::memcpy(&probe, payload, sizeof probe);
        endFlight(p);
        offset = probe.offset;
        length = probe.length;
        return fault.empty() && probe.missed != 0;
    }

private:
    // ---- Settled here, or handed to a reader of its own.

    void dispatchAhead()
    {
        size_t inFlight = 0;
        for (size_t i = next_; i < dispatched_; ++i)
            inFlight += batch_[i].flight != nullptr;
        while (dispatched_ < batch_.size() && (dispatched_ <= next_ || inFlight < kAhead)) {
            Pending &p = batch_[dispatched_++];
            if (settledHere(p))
                continue;
            std::unique_ptr<Flight> flight = newFlight(p);
            if (flight && carry(p, *flight)) {
                start(p, std::move(flight));
                inFlight += p.flight != nullptr;
            }
        }
    }

    bool settledHere(Pending &p)
    {
        switch (p.input->origin) {
        case InputOrigin::Failed:
            p.fail(p.input->error);
            return true;
        case InputOrigin::StandardInput:
            return false;
        case InputOrigin::Named:
        case InputOrigin::Walked:
            break;
        }
        return heldAsItIs(p);
    }

    // Whether the run's keeper holds the input as it is now, as the driver asks it.
    bool heldAsItIs(Pending &p)
    {
        if (keeper_ == nullptr || !carriedBy(*p.input).keeperTag)
            return false;
        const DocumentKeeper::Held held = keeper_->holds(*p.input, &opener_, p.identity);
        if (held == DocumentKeeper::Held::No)
            return false;
        p.local = true;
        p.unchanged = true;
        p.skipped = held == DocumentKeeper::Held::Skipped;
        return true;
    }

    // Memory of the document's own for its reader: fresh, so that nothing another document
    // left there can reach it.
    std::unique_ptr<Flight> newFlight(Pending &p)
    {
        auto flight = std::make_unique<Flight>();
        std::string why;
        if (!workers_->launcher)
            why = "no reader's worker program was started";
        else if (flight->shared.create(kSharedBytes, why))
            return flight;
        p.fail("cannot start a reader process: " + why);
        return nullptr;
    }

    // Puts the document's bytes where its reader finds them; false when it was settled here.
    bool carry(Pending &p, Flight &flight)
    {
        const InputItem &input = *p.input;
        std::string why;
        if (input.origin == InputOrigin::StandardInput) {
            if (!readStandardInput(standardInput_, uint64_t(options_.maxRequest),
                                   !options_.anyFile && options_.retrieval == Retrieval::Summary, why))
                p.fail(why);
            else
                carryBytes(p, flight, standardInput_.data(), standardInput_.size());
            return !p.local;
        }
        if (const RemoteDocument *remote = carriedBy(input).remote.get()) {
            carryRemote(p, *remote);
            return !p.local;
        }
        if (isRemoteInput(input.path)) {
            p.fail("a URL is read once fetched (fetchDocument)");
            return false;
        }
        if (!file_.open(opener_, input.path, why, keeper_ != nullptr ? &p.identity : nullptr)) {
            p.identity = FileIdentity{}; // nothing was read: try again next time
            p.fail(why);
            return false;
        }
        size_t length = 0;
        const uint8_t *head = file_.head(length);
        if (file_.size() == length && length <= kInlineBytes) {
            std::memcpy(flight.shared.data() + kControlBytes, head, length);
            handOver(p, Carrier::Inline, length);
            file_.close();
            return true;
        }
        handOver(p, Carrier::File, file_.size());
        p.handle = worker::handleOfDescriptor(file_.releaseDescriptor());
        file_.close();
        return true;
    }

    void handOver(Pending &p, Carrier carrier, uint64_t size)
    {
        p.entry = Entry{};
        p.entry.carrier = uint8_t(carrier);
        p.entry.origin = uint8_t(p.input->origin);
        p.entry.size = size;
    }

    void carryBytes(Pending &p, Flight &flight, const void *data, size_t size)
    {
        if (size <= kInlineBytes) {
            std::memcpy(flight.shared.data() + kControlBytes, data, size);
            handOver(p, Carrier::Inline, size);
            return;
        }
        worker::SharedMemory memory;
        std::string why;
        if (!memory.create(size, why))
            return p.fail(why);
        std::memcpy(memory.data(), data, size);
#ifdef _WIN32
        handOver(p, Carrier::Memory, size);
        p.entry.bytes = memory.size();
#else
        // Handed over as the file it is, which the reader reads by windows as any other: mapped
        // whole, the document would count against the reader's address space, which is capped.
        handOver(p, Carrier::File, size);
#endif
        p.handle = memory.releaseHandle(); // the reader's now
    }

    void carryRemote(Pending &p, const RemoteDocument &document)
    {
        if (!document.error.empty())
            return p.fail(document.error);
        if (keeper_ != nullptr) {
            // The object as its first answer gave it: what was read is never older than this.
            p.identity.size = document.size;
            p.identity.etag = document.etag;
            p.identity.takenNs = document.etag.empty() ? 0 : opener_.system().wallClockNs();
        }
        size_t bytes = document.windows.size() * 16;
        for (const FetchedWindow &w : document.windows)
            bytes += w.bytes.size();
        worker::SharedMemory memory;
        std::string why;
        if (!memory.create(std::max<size_t>(bytes, 1), why))
            return p.fail(why);
        char *table = memory.data(), *at = table + document.windows.size() * 16;
        for (const FetchedWindow &w : document.windows) {
            const uint64_t pair[2] = {w.start, w.bytes.size()};
            std::memcpy(table, pair, sizeof pair);
            table += sizeof pair;
            if (!w.bytes.empty())
                std::memcpy(at, w.bytes.data(), w.bytes.size());
            at += w.bytes.size();
        }
        handOver(p, Carrier::Remote, document.size);
        p.entry.windows = document.windows.size();
        p.entry.bytes = memory.size();
        p.handle = memory.releaseHandle();
    }

    // A reader for p alone, and its request: one entry, with the one file it names.
    void start(Pending &p, std::unique_ptr<Flight> flight)
    {
        std::string why;
        flight->worker = workers_->launcher->launch(settings_, flight->shared, why);
        if (!flight->worker) {
            closeHandle(p);
            return p.fail("cannot start a reader process: " + why);
        }
        p.entry.sequence = ++sequence_;
        char message[sizeof(RequestHeader) + sizeof(Entry)];
        const RequestHeader header{kRequestMagic, 1, 1, 0};
        Entry entry = p.entry;
        entry.handle = 0;
        std::memcpy(message, &header, sizeof header);
        std::memcpy(message + sizeof header, &entry, sizeof entry);
        // A reader that is gone shows when its answer is awaited, which says what ended it.
        flight->worker->send(message, sizeof message, &p.handle, p.handle != kNoHandle ? 1 : 0);
        flight->sentNs = worker::monotonicNs();
        p.flight = std::move(flight);
    }

    // ---- Answers.

    const DocumentView &answer(Pending &p)
    {
        view_ = DocumentView{};
        view_.input = p.input;
        view_.identity = p.identity;
        const char *payload = nullptr;
        size_t size = 0;
        if (!p.local && awaitAnswer(p, payload, size) && !decoded_.decode(payload, size, view_)) {
            view_ = DocumentView{};
            view_.input = p.input;
            view_.identity = p.identity;
            breakOff(p, "the reader sent an answer that is no record");
        }
        endFlight(p);
        if (p.local) {
            view_.error = p.error.empty() ? nullptr : p.error.c_str();
            view_.unchanged = p.unchanged;
            view_.skipped = p.skipped;
        }
        return view_;
    }

    // Until p's reader has sent its one frame: its payload, less what it said on the side, is
    // kept until the next answer; false when p was settled otherwise: the reader ended, broke
    // the rules or ran out of time.
    bool awaitAnswer(Pending &p, const char *&payload, size_t &size)
    {
        Flight &f = *p.flight;
        // The time limit counts from when the document was handed over or, if later, from when
        // its turn came: a reader that started early has as long as any other.
        const int64_t deadline = std::max(f.sentNs, worker::monotonicNs()) + int64_t(workers_->options.documentTimeout * 1e9);
        piece_.resize(worker::kPacketBytes);
        while (true) {
            ReplyHeader header{};
            if (f.received.size() >= sizeof header) {
                std::memcpy(&header, f.received.data(), sizeof header);
                if (header.magic != kReplyMagic)
                    return breakOff(p, "the reader answered out of turn");
                if (header.length > answerLimit(p.entry.size) || header.reserved > header.length)
                    return breakOff(p, "the reader sent an answer longer than its document allows");
                if (header.sequence != p.entry.sequence)
                    return breakOff(p, "the reader answered out of turn");
                const uint64_t whole = sizeof header + header.length;
                if (f.received.size() > whole)
                    return breakOff(p, "the reader answered out of turn");
                if (f.received.size() == whole)
                    break;
            }
            const int64_t left = deadline - worker::monotonicNs();
            if (left <= 0) {
                f.worker->kill();
                f.worker->reap();
                p.fail("the reader took longer than " + seconds(workers_->options.documentTimeout) + " s");
                return false;
            }
            const worker::Worker::Wait waited = f.worker->wait(left);
            if (waited == worker::Worker::Wait::TimedOut)
                continue;
            const long got =
                waited == worker::Worker::Wait::Readable ? f.worker->receive(piece_.data(), piece_.size()) : -1;
            if (got <= 0)
                return ended(p);
            f.received.insert(f.received.end(), piece_.data(), piece_.data() + got);
        }
        ReplyHeader header;
        std::memcpy(&header, f.received.data(), sizeof header);
        answer_.swap(f.received);
        const size_t told = size_t(header.reserved);
        payload = answer_.data() + sizeof header;
        size = size_t(header.length) - told;
        if (told != 0)
            passOn(payload + size, told);
        return true;
    }

    // What the XMP toolkit said while the reader read, on this side's standard error, shown as
    // any text for a terminal is.
    void passOn(const char *said, size_t length)
    {
        std::string mended, shown;
        size_t n = length;
        const char *utf8 = asUtf8(said, n, mended);
        const char *text = visible(utf8, n, shown, true);
        std::cerr.write(text, std::streamsize(n));
        if (n != 0 && text[n - 1] != '\n')
            std::cerr.put('\n');
        std::cerr.flush();
    }

    // The reader broke the rules of the channel: it is ended, and its document says how.
    bool breakOff(Pending &p, const std::string &why)
    {
        if (p.flight && p.flight->worker) {
            p.flight->worker->kill();
            p.flight->worker->reap();
        }
        p.fail(why);
        return false;
    }

    // The channel ended, or gave a packet of nothing, before the answer was whole: the reader
    // is ended (if it had not ended itself, that is its fault too) and its end says why.
    bool ended(Pending &p)
    {
        Flight &f = *p.flight;
        const uint32_t call = control(f).notes.forbiddenCall.load();
        const bool refused = control(f).notes.memoryRefused.load() != 0;
        f.worker->kill();
        const worker::Ending ending = f.worker->reap();
        const uint64_t peak = f.worker->peakMemory(), cap = workers_->options.documentMemory;
        if (ending.kind == worker::Ending::Kind::Signalled && ending.code == 9 && call == 0 && !refused)
            p.fail(f.received.empty() ? "the reader ended its answer before it began"
                                      : "the reader broke off its answer");
        else
            p.fail(describeEnding(ending, call, refused || (cap != 0 && peak >= cap)));
        return false;
    }

    static ControlPage &control(Flight &f) { return *reinterpret_cast<ControlPage *>(f.shared.data()); }

    std::string describeEnding(const worker::Ending &ending, uint32_t call, bool memory) const
    {
        using Kind = worker::Ending::Kind;
        const bool sandbox = call != 0 || (ending.kind == Kind::Exited && ending.code == worker::kSandboxExit) ||
                             (ending.kind == Kind::Signalled && ending.code == 31 /* SIGSYS */);
        if (memory)
            return "the reader exceeded " + std::to_string(workers_->options.documentMemory >> 20) + " MiB";
        if (sandbox)
            return "the sandbox stopped the reader: " +
                   (call != 0 ? "it called " + worker::describeSystemCall(call - 1) : std::string("a forbidden call"));
        if (ending.kind == Kind::Signalled)
            return "the reader crashed (" + worker::describeSignal(ending.code) + ")";
        if (ending.kind == Kind::Exited)
            return "the reader ended its process (exit status " + std::to_string(ending.code) + ")";
        return "the reader's process ended";
    }

    // A reader is done with once its document is: ended, reaped, its memory and files closed.
    void endFlight(Pending &p)
    {
        if (p.flight && p.flight->worker) {
            p.flight->worker->kill();
            p.flight->worker->reap();
        }
        p.flight.reset();
        closeHandle(p);
    }

    static void closeHandle(Pending &p)
    {
        if (p.handle != kNoHandle)
            worker::closeHandle(p.handle);
        p.handle = kNoHandle;
    }

    // Forgets the batch; readers still busy with it are ended.
    void drop()
    {
        for (Pending &p : batch_)
            endFlight(p);
        batch_.clear();
        next_ = dispatched_ = 0;
    }

    std::shared_ptr<ReaderWorkers> workers_;
    DriverOptions options_;
    DocumentKeeper *keeper_; // the run's, or null
    std::string settings_;
    std::unique_ptr<os::Opener> own_; // where the caller gave none
    os::Opener &opener_;
    std::vector<Pending> batch_;
    size_t next_ = 0, dispatched_ = 0;
    uint64_t sequence_ = 0;
    FileStream file_;
    std::vector<char> standardInput_;
    std::vector<char> piece_;  // what one receive takes
    std::vector<char> answer_; // the frame the view was decoded from
    DocumentView view_;
    DecodedView decoded_;
};

} // namespace

} // namespace isolation

std::unique_ptr<WorkerProbe> makeWorkerProbe(std::shared_ptr<ReaderWorkers> workers, const DriverOptions &options)
{
    class Probe : public WorkerProbe {
    public:
        Probe(std::shared_ptr<ReaderWorkers> w, const DriverOptions &o) : reader_(std::move(w), o, nullptr, nullptr) {}
        bool miss(const InputItem &item, const RemoteDocument &document, uint64_t &offset, uint64_t &length,
                  std::string &fault) override
        {
            return reader_.probe(item, document, offset, length, fault);
        }

    private:
        isolation::IsolatedReader reader_;
    };
    return std::make_unique<Probe>(std::move(workers), options);
}

std::unique_ptr<DocumentReader> makeIsolatedReader(std::shared_ptr<ReaderWorkers> workers, const DriverOptions &options,
                                                   DocumentKeeper *keeper, os::Opener *opener)
{
    return std::make_unique<isolation::IsolatedReader>(std::move(workers), options, keeper, opener);
}

std::unique_ptr<DocumentReader> makeIsolatedReader(std::shared_ptr<ReaderWorkers> workers, const DriverOptions &options)
{
    return makeIsolatedReader(std::move(workers), options, nullptr, nullptr);
}

Failure readerWorkersReady(ReaderWorkers &workers)
{
    std::string why;
    if (workers.launcher && workers.launcher->ready(why))
        return Failure();
    return Failure(Failure::Kind::Resources, why);
}

std::shared_ptr<ReaderWorkers> startReaderWorkers(const IsolationOptions &options, const DriverOptions &driver,
                                                  Failure &failure, bool wait)
{
    auto workers = std::make_shared<ReaderWorkers>();
    workers->options = options;
    worker::LaunchSetup setup;
    setup.program = options.workerProgram;
    if (setup.program.empty())
        for (const std::string &place : workerProgramPlaces())
            if (pathExists(place)) {
                setup.program = place;
                break;
            }
    if (setup.program.empty()) {
        failure = Failure(Failure::Kind::Resources,
                          "cannot find the reader's worker program (" + workerProgramPlaces().front() + ")");
        return nullptr;
    }
    for (const std::string &place : options.modulePlaces) {
        setup.arguments.push_back("--module");
        setup.arguments.push_back(place);
    }
    if (driver.xmpMode == XmpMode::Toolkit)
        setup.arguments.push_back("--toolkit");
    if (options.xmpWarnings)
        setup.arguments.push_back("--xmp-warnings");
    setup.memoryCap = options.documentMemory;
    std::string why;
    {
        // The workers take the zone of the process as they start, and read in it from then on.
        const TimeZoneLease zone(driver.timeZone);
        workers->launcher = worker::startLauncher(setup, int64_t(options.documentTimeout * 1e9), why);
    }
    if (!workers->launcher) {
        failure = Failure(Failure::Kind::Resources, why);
        return nullptr;
    }
    if (wait && (failure = readerWorkersReady(*workers)))
        return nullptr;
    return workers;
}

} // namespace zudorhost

// The parent's side of isolated reading. A reader takes a batch of inputs at a time: what can
// be settled without the module (an input that failed, a file that cannot be opened, one the
// run's keeper holds as it is) is settled here as the driver settles it; every other document is
// handed to the reader process (a small file's bytes in shared memory, a larger file's open
// descriptor, bytes in memory and remote windows in memory of their own) in requests of a few
// documents, so that the process starts while the rest are opened. Its answers come back in
// order. A reader process that dies, or spends longer than the time limit on one document, is
// ended and replaced: the document it was reading (the control page says which) gets a record
// that says so, and those after it go to the new process.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "../../io/remote/remote_document.h"
#include "io/file_stream.h"
#include "run/fetched_reading.h"
#include "run/isolation/protocol.h"
#include "run/isolation/view_codec.h"
#include "zudor_host/isolation.h"
#include "zudor_host/platform.h"
#include "zudor_host/remote.h"
#include "zudor_host/runner.h"

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

// Documents in one request, and how many the reader answers together: each hand-over wakes
// both processes, which costs more than the reader's waiting for the rest of a batch.
constexpr size_t kRequestDocuments = 64;
constexpr uint32_t kFlushEvery = 64;
// Deaths that no document explains (the reader ended between documents) before the next
// document is given up.
constexpr unsigned kUnexplainedDeaths = 2;
constexpr size_t kBufferKeep = size_t(1) << 20;

std::string seconds(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

// One input of the batch: settled here, or handed over and answered by the reader.
struct Pending {
    const InputItem *input = nullptr;
    bool local = false;        // settled here; error and the flags say how
    std::string error;
    bool unchanged = false, skipped = false;
    FileIdentity identity;
    Entry entry{};
    Handle handle = kNoHandle; // the parent's copy of what the entry hands over
    bool answered = false;

    void fail(std::string why)
    {
        local = true;
        error = std::move(why);
    }
};

class IsolatedReader : public DocumentReader {
public:
    IsolatedReader(std::shared_ptr<ReaderWorkers> workers, const DriverOptions &options)
        : workers_(std::move(workers)), options_(options), settings_(encodeSettings(options))
    {
        std::string why;
        if (!shared_.create(kSharedBytes, why))
            failure_ = why;
        else
            control_ = reinterpret_cast<ControlPage *>(shared_.data());
        buffer_.resize(2 * worker::kPacketBytes);
    }
    ~IsolatedReader() override { drop(); }

    const DocumentView &read(const InputItem &input) override
    {
        if (next_ >= batch_.size() || batch_[next_].input != &input) {
            drop();
            expect(&input, 1);
        }
        return answer(batch_[next_++]);
    }

    const DocumentView &readBytes(const InputItem &input, const void *data, size_t size) override
    {
        drop();
        batch_.resize(1);
        Pending &p = batch_[0];
        p.input = &input;
        carryBytes(p, data, size);
        send(0, 1);
        return answer(batch_[next_++]);
    }

    void expect(const InputItem *items, size_t count) override
    {
        drop();
        batch_.resize(count);
        size_t sentFrom = 0, handed = 0;
        for (size_t i = 0; i < count; ++i) {
            batch_[i].input = &items[i];
            prepare(batch_[i]);
            handed += !batch_[i].local;
            if (handed == kRequestDocuments) {
                send(sentFrom, i + 1);
                sentFrom = i + 1;
                handed = 0;
            }
        }
        send(sentFrom, count);
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
        carryRemote(p, document);
        p.entry.probe = 1;
        send(0, 1);
        const char *payload = nullptr;
        size_t size = 0;
        ProbeAnswer probe{};
        fault.clear();
        if (p.local)
            fault = p.error;
        else if (!awaitAnswer(p, payload, size) || size != sizeof probe)
            fault = p.local ? p.error : "the reader's worker answered out of turn";
        else
            std::memcpy(&probe, payload, sizeof probe);
        ++next_;
        offset = probe.offset;
        length = probe.length;
        return fault.empty() && probe.missed != 0;
    }

private:
    // ---- Settled here, or made ready to hand over.

    void prepare(Pending &p)
    {
        const InputItem &input = *p.input;
        std::string why;
        switch (input.origin) {
        case InputOrigin::Failed:
            return p.fail(input.error);
        case InputOrigin::StandardInput:
            if (!readStandardInput(standardInput_, uint64_t(options_.maxRequest), why))
                return p.fail(why);
            return carryBytes(p, standardInput_.data(), standardInput_.size());
        case InputOrigin::Named:
        case InputOrigin::Walked:
            break;
        }
        if (heldAsItIs(p))
            return;
        if (input.remote)
            return carryRemote(p, *input.remote);
        if (isRemoteInput(input.path))
            return p.fail("a URL is read once fetched (fetchDocument)");
        if (!file_.open(input.path, why, options_.keeper != nullptr ? &p.identity : nullptr)) {
            p.identity = FileIdentity{}; // nothing was read: try again next time
            return p.fail(why);
        }
        size_t length = 0;
        const uint8_t *head = file_.head(length);
        if (file_.size() == length && inlineFits(length)) {
            std::memcpy(shared_.data() + kControlBytes + inlineUsed_, head, length);
            handOver(p, Carrier::Inline, length);
            p.entry.offset = inlineUsed_;
            inlineUsed_ += length;
            file_.close();
            return;
        }
        const uint64_t size = file_.size();
        handOver(p, Carrier::File, size);
        p.handle = worker::handleOfDescriptor(file_.releaseDescriptor());
        file_.close();
    }

    // Whether the run's keeper holds the input as it is now, as the driver asks it.
    bool heldAsItIs(Pending &p)
    {
        DocumentKeeper *keeper = options_.keeper;
        if (keeper == nullptr || !p.input->keeperTag)
            return false;
        const DocumentKeeper::Held held = keeper->holds(*p.input, p.identity);
        if (held == DocumentKeeper::Held::No)
            return false;
        p.local = true;
        p.unchanged = true;
        p.skipped = held == DocumentKeeper::Held::Skipped;
        return true;
    }

    bool inlineFits(size_t length) const { return length <= kInlineBytes - inlineUsed_; }

    void handOver(Pending &p, Carrier carrier, uint64_t size)
    {
        p.entry = Entry{};
        p.entry.carrier = uint8_t(carrier);
        p.entry.origin = uint8_t(p.input->origin);
        p.entry.size = size;
    }

    void carryBytes(Pending &p, const void *data, size_t size)
    {
        if (inlineFits(size)) {
            std::memcpy(shared_.data() + kControlBytes + inlineUsed_, data, size);
            handOver(p, Carrier::Inline, size);
            p.entry.offset = inlineUsed_;
            inlineUsed_ += size;
            return;
        }
        worker::SharedMemory memory;
        std::string why;
        if (!memory.create(std::max<size_t>(size, 1), why))
            return p.fail(why);
        std::memcpy(memory.data(), data, size);
        // Handed over as the file it is, which the reader reads by windows as any other: mapped
        // whole, the document would count against the reader's address space, which is capped.
        handOver(p, Carrier::File, size);
        p.handle = takeHandle(memory);
    }

    void carryRemote(Pending &p, const RemoteDocument &document)
    {
        if (!document.error.empty())
            return p.fail(document.error);
        if (options_.keeper != nullptr) {
            // The object as its first answer gave it: what was read is never older than this.
            p.identity.size = document.size;
            p.identity.etag = document.etag;
            p.identity.takenNs = document.etag.empty() ? 0 : wallClockNs();
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
        p.handle = takeHandle(memory);
    }

    // The memory's handle outlives its mapping here: the reader maps it.
    static Handle takeHandle(worker::SharedMemory &memory) { return memory.releaseHandle(); }

    // ---- Requests and answers.

    // Hands batch_[from, to) that were not settled here to the reader, under fresh sequences.
    void send(size_t from, size_t to)
    {
        std::vector<size_t> chosen;
        for (size_t i = from; i < to; ++i)
            if (!batch_[i].local) {
                batch_[i].entry.sequence = ++sequence_;
                chosen.push_back(i);
            }
        if (!chosen.empty())
            request(chosen);
    }

    // In requests of kRequestDocuments at most: a message carries that many files at most.
    void request(const std::vector<size_t> &chosen)
    {
        for (size_t from = 0; from < chosen.size(); from += kRequestDocuments) {
            const size_t to = std::min(chosen.size(), from + kRequestDocuments);
            requestSome(std::vector<size_t>(chosen.begin() + long(from), chosen.begin() + long(to)));
        }
    }

    void requestSome(const std::vector<size_t> &chosen)
    {
        if (!worker_ && !launch(chosen))
            return;
        std::vector<char> message(sizeof(RequestHeader) + chosen.size() * sizeof(Entry));
        const RequestHeader header{kRequestMagic, uint32_t(chosen.size()), kFlushEvery, 0};
        std::memcpy(message.data(), &header, sizeof header);
        std::vector<Handle> handles;
        char *at = message.data() + sizeof header;
        for (size_t i : chosen) {
            Entry entry = batch_[i].entry;
            if (batch_[i].handle != kNoHandle) {
                entry.handle = uint8_t(handles.size());
                handles.push_back(batch_[i].handle);
            }
            std::memcpy(at, &entry, sizeof entry);
            at += sizeof entry;
        }
        // A reader that waited for this request has made no progress it could be late with.
        progressNs_ = worker::monotonicNs();
        outstanding_ += chosen.size();
        // A reader that is gone shows at the next answer awaited, which says what ended it.
        worker_->send(message.data(), message.size(), handles.data(), handles.size());
        keepSpare();
    }

    // A reader for the documents chosen: the spare, when one waits, else a new one.
    bool launch(const std::vector<size_t> &chosen)
    {
        std::string why = failure_;
        if (why.empty() && workers_->launcher) {
            control_->started.store(0);
            control_->startedNs.store(0);
            control_->notes.forbiddenCall.store(0);
            control_->notes.memoryRefused.store(0);
            worker_ = spare_ ? std::move(spare_) : workers_->launcher->launch(settings_, shared_, why);
            received_ = begin_ = 0;
            outstanding_ = 0;
            if (worker_)
                return true;
        }
        for (size_t i : chosen)
            batch_[i].fail("cannot start a reader process: " + why);
        return false;
    }

    // Once a reader has been lost, a spare waits, started while the other reads: the next
    // loss costs no wait for a process to be made. A reader that is never lost has none.
    void keepSpare()
    {
        std::string why;
        if (lost_ && !spare_ && workers_->launcher)
            spare_ = workers_->launcher->launch(settings_, shared_, why);
    }

    const DocumentView &answer(Pending &p)
    {
        view_ = DocumentView{};
        view_.input = p.input;
        view_.identity = p.identity;
        const char *payload = nullptr;
        size_t size = 0;
        if (!p.local && awaitAnswer(p, payload, size) && !decoded_.decode(payload, size, view_)) {
            // Bytes that are no view come from a reader that is not itself any more.
            endWorker();
            p.fail("the reader's worker answered out of turn");
            resend();
        }
        if (p.local) {
            view_.error = p.error.empty() ? nullptr : p.error.c_str();
            view_.unchanged = p.unchanged;
            view_.skipped = p.skipped;
        }
        return view_;
    }

    // Until p's answer is in; false when p was settled otherwise meanwhile (a fault).
    bool awaitAnswer(Pending &p, const char *&payload, size_t &size)
    {
        unsigned unexplained = 0;
        while (!p.local) {
            if (takeFrame(p, payload, size))
                return true;
            if (!worker_) {
                resend();
                continue;
            }
            const int64_t deadline = std::max(control_->startedNs.load(std::memory_order_acquire), progressNs_) +
                                     int64_t(workers_->options.documentTimeout * 1e9);
            const int64_t left = deadline - worker::monotonicNs();
            if (left <= 0) {
                fault(true, unexplained);
                continue;
            }
            const worker::Worker::Wait waited = worker_->wait(left);
            if (waited == worker::Worker::Wait::TimedOut)
                continue;
            if (buffer_.size() - received_ < worker::kPacketBytes) {
                std::memmove(buffer_.data(), buffer_.data() + begin_, received_ - begin_);
                received_ -= begin_;
                begin_ = 0;
                if (buffer_.size() - received_ < worker::kPacketBytes)
                    buffer_.resize(received_ + 2 * worker::kPacketBytes);
            }
            const long got = waited == worker::Worker::Wait::Readable
                                 ? worker_->receive(buffer_.data() + received_, buffer_.size() - received_)
                                 : -1;
            if (got > 0) {
                received_ += size_t(got);
                continue;
            }
            fault(false, unexplained);
        }
        return false;
    }

    // The next frame, when it is p's and whole.
    bool takeFrame(Pending &p, const char *&payload, size_t &size)
    {
        ReplyHeader header;
        if (received_ - begin_ < sizeof header)
            return false;
        std::memcpy(&header, buffer_.data() + begin_, sizeof header);
        if (header.magic != kReplyMagic || header.sequence != p.entry.sequence ||
            header.length > (uint64_t(1) << 40)) {
            endWorker();
            p.fail("the reader's worker answered out of turn");
            resend();
            return false;
        }
        // The buffer grows with what arrives, never with what a header claims.
        if (received_ - begin_ - sizeof header < header.length)
            return false;
        payload = buffer_.data() + begin_ + sizeof header;
        size = size_t(header.length);
        begin_ += sizeof header + size;
        progressNs_ = worker::monotonicNs();
        --outstanding_;
        answered(p);
        return true;
    }

    void answered(Pending &p)
    {
        p.answered = true;
        if (p.handle != kNoHandle)
            worker::closeHandle(p.handle);
        p.handle = kNoHandle;
    }

    // The reader ended, or ran past the time limit: the document it was reading is failed with
    // why, and the rest go again to a new reader.
    void fault(bool timedOut, unsigned &unexplained)
    {
        const uint64_t started = control_->started.load(std::memory_order_acquire);
        const uint32_t call = control_->notes.forbiddenCall.load();
        const bool memory = control_->notes.memoryRefused.load() != 0;
        if (timedOut)
            worker_->kill();
        const worker::Ending ending = worker_->reap();
        const uint64_t peak = worker_->peakMemory();
        worker_.reset();
        lost_ = true;
        Pending *culprit = nullptr;
        for (Pending &p : batch_)
            if (!p.local && !p.answered && p.entry.sequence == started)
                culprit = &p;
        if (culprit == nullptr && !timedOut && ++unexplained <= kUnexplainedDeaths)
            return; // awaitAnswer sends them all again
        if (culprit == nullptr)
            culprit = firstUnanswered();
        if (culprit == nullptr)
            return;
        const uint64_t cap = workers_->options.documentMemory;
        culprit->fail(timedOut ? "the reader took longer than " + seconds(workers_->options.documentTimeout) + " s"
                               : describeEnding(ending, call, memory || (cap != 0 && peak >= cap)));
        answered(*culprit);
        unexplained = 0;
    }

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

    Pending *firstUnanswered()
    {
        for (Pending &p : batch_)
            if (!p.local && !p.answered)
                return &p;
        return nullptr;
    }

    std::vector<size_t> unanswered()
    {
        std::vector<size_t> left;
        for (size_t i = 0; i < batch_.size(); ++i)
            if (!batch_[i].local && !batch_[i].answered) {
                batch_[i].entry.sequence = ++sequence_;
                left.push_back(i);
            }
        return left;
    }

    void resend()
    {
        std::vector<size_t> again = unanswered();
        if (!again.empty())
            request(again);
    }

    void endWorker()
    {
        if (!worker_)
            return;
        worker_->kill();
        worker_->reap();
        worker_.reset();
    }

    // Forgets the batch; a reader still busy with it is ended.
    void drop()
    {
        if (outstanding_ != 0)
            endWorker();
        outstanding_ = 0;
        received_ = begin_ = 0;
        for (Pending &p : batch_)
            if (p.handle != kNoHandle)
                worker::closeHandle(p.handle);
        batch_.clear();
        next_ = 0;
        inlineUsed_ = 0;
        // What one huge answer made the buffer grow to is given back.
        if (buffer_.size() > kBufferKeep) {
            buffer_.resize(2 * worker::kPacketBytes);
            buffer_.shrink_to_fit();
        }
    }

    std::shared_ptr<ReaderWorkers> workers_;
    DriverOptions options_;
    std::string settings_;
    std::string failure_;
    worker::SharedMemory shared_;
    ControlPage *control_ = nullptr;
    std::unique_ptr<worker::Worker> worker_;
    std::unique_ptr<worker::Worker> spare_;
    bool lost_ = false; // a reader was lost: keep a spare
    std::vector<Pending> batch_;
    size_t next_ = 0;
    size_t inlineUsed_ = 0;
    uint64_t sequence_ = 0;
    size_t outstanding_ = 0;
    int64_t progressNs_ = 0;
    std::vector<char> buffer_;
    size_t begin_ = 0, received_ = 0;
    FileStream file_;
    std::vector<char> standardInput_;
    DocumentView view_;
    DecodedView decoded_;
};

} // namespace

} // namespace isolation

std::unique_ptr<WorkerProbe> makeWorkerProbe(std::shared_ptr<ReaderWorkers> workers, const DriverOptions &options)
{
    class Probe : public WorkerProbe {
    public:
        Probe(std::shared_ptr<ReaderWorkers> w, const DriverOptions &o) : reader_(std::move(w), o) {}
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

std::unique_ptr<DocumentReader> makeIsolatedReader(std::shared_ptr<ReaderWorkers> workers, const DriverOptions &options)
{
    return std::make_unique<isolation::IsolatedReader>(std::move(workers), options);
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
    setup.quiet = !options.xmpWarnings;
    std::string why;
    workers->launcher = worker::startLauncher(setup, int64_t(options.documentTimeout * 1e9), why);
    if (!workers->launcher) {
        failure = Failure(Failure::Kind::Resources, why);
        return nullptr;
    }
    if (wait && (failure = readerWorkersReady(*workers)))
        return nullptr;
    return workers;
}

} // namespace zudorhost

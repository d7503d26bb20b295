#include "list_runs.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "zudor_host/module.h"
#include "zudor_host/record_writers.h"
#include "zudor_host/runner.h"

namespace zudorserve {
namespace {

// Records held for a client beyond what it has taken: the run waits past this.
constexpr size_t kHeldBytes = size_t(1) << 20;

// The list's lines as named inputs, one each, as sievecheck numbers its arguments.
class ListSource : public zudorhost::InputSource {
public:
    explicit ListSource(const std::vector<std::string> &inputs) : inputs_(inputs) {}
    bool next(zudorhost::InputItem &item) override
    {
        if (at_ == inputs_.size())
            return false;
        item = zudorhost::InputItem{};
        item.path = inputs_[at_++];
        item.named = uint32_t(at_);
        // Checked when the request came; a local path is never opened for a client all the same.
        if (!zudorhost::isRemoteInput(item.path)) {
            item.origin = zudorhost::InputOrigin::Failed;
            item.path = "-";
            item.error = "not a remote input";
        }
        return true;
    }

private:
    const std::vector<std::string> &inputs_;
    size_t at_ = 0;
};

class ListFormatter : public zudorhost::RecordFormatter {
public:
    explicit ListFormatter(Metrics &metrics)
        : writer_(zudorhost::summaryWriter(zudorhost::RecordFormat::Json)), metrics_(metrics)
    {
    }
    void format(const zudorhost::DocumentView &doc, zudorhost::FinishedBatch &out) override
    {
        if (doc.skipped)
            return;
        writer_->write(doc, out.records);
        metrics_.document(doc.summary, doc.error, -1);
    }

private:
    std::unique_ptr<zudorhost::RecordWriter> writer_;
    Metrics &metrics_;
};

} // namespace

size_t ListRun::take(char *into, size_t max, bool &more, bool &failed)
{
    std::lock_guard<std::mutex> hold(lock_);
    const size_t size = std::min(max, held_.size() - taken_);
    more = !ended_ || size != 0;
    failed = failed_;
    if (size != 0) {
        std::memcpy(into, held_.data() + taken_, size);
        taken_ += size;
        sent_ += size;
        if (taken_ == held_.size()) {
            held_.clear();
            taken_ = 0;
        }
        room_.notify_all();
    } else if (more) {
        waiting_ = true;
        sleep_();
    }
    return size;
}

void ListRun::cancel()
{
    std::lock_guard<std::mutex> hold(lock_);
    cancelled_ = true;
    waiting_ = false;
    room_.notify_all();
}

uint64_t ListRun::sent() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return sent_;
}

bool ListRun::put(const char *data, size_t size)
{
    std::unique_lock<std::mutex> hold(lock_);
    room_.wait(hold, [&] { return cancelled_ || held_.size() - taken_ < kHeldBytes; });
    if (cancelled_)
        return false;
    held_.append(data, size);
    if (waiting_ && size != 0) {
        waiting_ = false;
        wake_();
    }
    return true;
}

void ListRun::end(bool failed)
{
    std::lock_guard<std::mutex> hold(lock_);
    ended_ = true;
    failed_ = failed;
    if (waiting_) {
        waiting_ = false;
        wake_();
    }
}

ListRuns::ListRuns(std::vector<std::shared_ptr<zudorhost::ReaderWorkers>> zones, unsigned most, unsigned jobs,
                   zudorhost::RemoteOptions remote, Metrics &metrics)
    : zones_(std::move(zones)), most_(most), jobs_(jobs), remote_(std::move(remote)), metrics_(metrics)
{
}

ListRuns::~ListRuns() { stop(); }

bool ListRuns::full() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return running_ >= most_;
}

bool ListRuns::start(std::shared_ptr<ListRun> list, std::vector<std::string> inputs, zudorhost::XmpMode xmp,
                     size_t zone)
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (running_ >= most_)
            return false;
        ++running_;
    }
    try {
        std::thread([this, list, inputs = std::move(inputs), xmp, zone] {
            run(list, inputs, xmp, zone);
            // The last use of this: stop() returns only once every run has counted itself out.
            std::lock_guard<std::mutex> hold(lock_);
            --running_;
            ended_.notify_all();
        }).detach();
    } catch (const std::system_error &) {
        std::lock_guard<std::mutex> hold(lock_);
        --running_;
        return false;
    }
    return true;
}

void ListRuns::stop()
{
    std::unique_lock<std::mutex> hold(lock_);
    ended_.wait(hold, [this] { return running_ == 0; });
}

void ListRuns::run(const std::shared_ptr<ListRun> &list, const std::vector<std::string> &inputs,
                   zudorhost::XmpMode xmp, size_t zone)
{
    bool failed = true;
    try {
        ListSource source(inputs);
        zudorhost::RunOptions options;
        options.jobs = jobs_;
        options.driver.xmpMode = xmp;
        options.driver.remote = remote_;
        // The zone's workers, loaded and sandboxed at startup: this process never loads the module.
        options.workers = zones_[zone];
        options.isolation.enabled = true;
        const zudorhost::LoadedModule unloaded;
        zudorhost::BatchRunner runner(
            unloaded.table(), source, [this] { return std::make_unique<ListFormatter>(metrics_); }, options);
        if (!runner.error()) {
            bool open = true;
            while (zudorhost::FinishedBatch *batch = runner.next())
                if (!(open = list->put(batch->records.data(), batch->records.size())))
                    break;
            failed = !open;
        }
    } catch (const std::exception &) {
        // Memory or a thread the system would not give: the answer ends short, which the
        // client sees as a broken stream rather than a list that ended.
    }
    list->end(failed);
}

} // namespace zudorserve

#include "document_pool.h"

#include <map>
#include <utility>

#include "zudor_host/record_writers.h"

namespace zudorserve {

DocumentPool::DocumentPool(std::vector<std::shared_ptr<zudorhost::ReaderWorkers>> zones, unsigned threads,
                           unsigned queue, Metrics &metrics)
    : zones_(std::move(zones)), capacity_(size_t(threads) + queue), metrics_(metrics)
{
    for (unsigned i = 0; i < threads; ++i)
        threads_.emplace_back([this] { run(); });
}

DocumentPool::~DocumentPool() { stop(); }

bool DocumentPool::full() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return stopping_ || admitted_ >= capacity_;
}

bool DocumentPool::submit(DocumentJob *job)
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (stopping_ || admitted_ >= capacity_)
            return false;
        ++admitted_;
        metrics_.documentsInProgress++;
        queue_.push_back(job);
    }
    wake_.notify_one();
    return true;
}

void DocumentPool::stop()
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread &thread : threads_)
        thread.join();
    threads_.clear();
}

void DocumentPool::run()
{
    // A reader per zone and XMP mode, kept for the thread's life: each makes a reader process
    // per document in the zone's workers.
    std::map<std::pair<size_t, zudorhost::XmpMode>, std::unique_ptr<zudorhost::DocumentReader>> readers;
    const auto writer = zudorhost::summaryWriter(zudorhost::RecordFormat::Json);
    zudorhost::OutputBuffer out;
    for (;;) {
        DocumentJob *job;
        {
            std::unique_lock<std::mutex> hold(lock_);
            wake_.wait(hold, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty())
                return;
            job = queue_.front();
            queue_.pop_front();
        }
        const auto key = std::make_pair(job->zone, job->xmp);
        try {
            std::unique_ptr<zudorhost::DocumentReader> &reader = readers[key];
            if (!reader) {
                zudorhost::DriverOptions options;
                options.xmpMode = job->xmp;
                reader = zudorhost::makeIsolatedReader(zones_[job->zone], options);
            }
            zudorhost::InputItem item;
            item.path = job->name;
            const zudorhost::DocumentView &doc = reader->readBytes(item, job->body->data(), job->body->size());
            out.clear();
            writer->write(doc, out);
            job->record.assign(out.data(), out.size());
            job->summary = doc.summary;
            if (doc.error != nullptr)
                job->error = doc.error;
            reader->finish();
            out.trim(size_t(1) << 20);
        } catch (const std::exception &e) {
            // Memory or a process the system would not give: the next document starts afresh.
            job->failure = std::string("the service could not read the document: ") + e.what();
            readers.erase(key);
        }
        // Given back before the answer goes out: a client that sends its next document as soon
        // as it has this one's record finds the place free.
        {
            std::lock_guard<std::mutex> hold(lock_);
            --admitted_;
            metrics_.documentsInProgress--;
        }
        job->done(*job);
    }
}

} // namespace zudorserve

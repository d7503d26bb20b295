#include "runner.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

namespace sievecheck {
namespace {

using Clock = std::chrono::steady_clock;

class Progress {
public:
    Progress(bool enabled, size_t total) : enabled_(enabled && total > 1), total_(total) {}
    void update(size_t done)
    {
        if (!enabled_)
            return;
        const auto now = Clock::now();
        if (done != total_ && now - shown_ < std::chrono::milliseconds(100))
            return;
        shown_ = now;
        const double seconds = std::chrono::duration<double>(now - start_).count();
        std::fprintf(stderr, "\r%zu/%zu documents, %.0f/s ", done, total_,
                     seconds > 0 ? double(done) / seconds : 0.0);
        if (done == total_)
            std::fputs("\n", stderr);
    }

private:
    bool enabled_;
    size_t total_;
    Clock::time_point start_ = Clock::now();
    Clock::time_point shown_{};
};

void tally(const DocumentResult &doc, RunTotals &totals)
{
    ++totals.documents;
    if (!doc.error.empty())
        ++totals.errors;
    else if (doc.summary == SummaryState::Complete)
        ++totals.complete;
    else if (doc.summary == SummaryState::Partial)
        ++totals.partial;
    else
        ++totals.none;
    totals.counts.reads += doc.counts.reads;
    totals.counts.seeks += doc.counts.seeks;
    totals.counts.bytesRead += doc.counts.bytesRead;
}

// One document read and its record formatted, on whichever thread read it.
struct Finished {
    DocumentResult doc;
    std::string text;
};

Finished runOne(DocumentDriver &driver, const std::string &file, const RunOptions &options)
{
    Finished done;
    done.doc = options.textOutput ? driver.textOutput(file) : driver.summarize(file);
    done.text = options.textOutput ? formatTextOutput(done.doc, options.format)
                                   : formatSummary(done.doc, options.format);
    return done;
}

// Writes one record, and its error line, as soon as every record before it is written.
void emit(const Finished &done, std::FILE *out, RunTotals &totals)
{
    if (!done.doc.error.empty())
        std::fprintf(stderr, "sievecheck: %s: %s\n", done.doc.file.c_str(), done.doc.error.c_str());
    std::fwrite(done.text.data(), 1, done.text.size(), out);
    tally(done.doc, totals);
}

} // namespace

RunTotals runDocuments(const LoadedModule &module, const std::vector<std::string> &files,
                       const RunOptions &options, std::FILE *out)
{
    RunTotals totals;
    const auto start = Clock::now();
    Progress progress(options.progress, files.size());
    const unsigned jobs = options.jobs == 0 ? 1 : unsigned(std::min<size_t>(options.jobs, files.size()));

    if (jobs <= 1) {
        zudorhost::ReferenceHost host(options.xmpMode, options.maxRequest);
        DocumentDriver driver(module.table(), host);
        for (const std::string &file : files) {
            emit(runOne(driver, file, options), out, totals);
            progress.update(totals.documents);
        }
    } else {
        // Each worker has its own host and stream; records wait in their slot until every
        // earlier one is written, so the output does not depend on the number of workers.
        std::vector<std::optional<Finished>> results(files.size());
        std::mutex lock;
        std::condition_variable ready;
        std::atomic<size_t> next{0};
        std::vector<std::thread> workers;
        for (unsigned w = 0; w < jobs; ++w)
            workers.emplace_back([&] {
                zudorhost::ReferenceHost host(options.xmpMode, options.maxRequest);
                DocumentDriver driver(module.table(), host);
                for (size_t i; (i = next.fetch_add(1)) < files.size();) {
                    Finished done = runOne(driver, files[i], options);
                    std::lock_guard<std::mutex> guard(lock);
                    results[i] = std::move(done);
                    ready.notify_one();
                }
            });
        for (size_t i = 0; i < files.size(); ++i) {
            Finished done;
            {
                std::unique_lock<std::mutex> guard(lock);
                ready.wait(guard, [&] { return results[i].has_value(); });
                done = std::move(*results[i]);
                results[i].reset();
            }
            emit(done, out, totals);
            progress.update(totals.documents);
        }
        for (std::thread &worker : workers)
            worker.join();
    }
    totals.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return totals;
}

void printTotals(const RunTotals &t, std::FILE *to)
{
    std::fprintf(to,
                 "documents %zu: complete %zu, partial %zu, none %zu, errors %zu\n"
                 "reads %llu, seeks %llu, bytes read %llu\n"
                 "time %.3f s (%.0f documents/s)\n",
                 t.documents, t.complete, t.partial, t.none, t.errors,
                 (unsigned long long)t.counts.reads, (unsigned long long)t.counts.seeks,
                 (unsigned long long)t.counts.bytesRead, t.seconds,
                 t.seconds > 0 ? double(t.documents) / t.seconds : 0.0);
}

} // namespace sievecheck

// The documents the service reads: a fixed number of threads, each with readers of its own in
// the reader processes (isolation.h), fed from a bounded queue. A document is admitted only
// while a thread or a place in the queue is free; beyond that the caller refuses it at once.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "metrics.h"
#include "zudor_host/driver.h"
#include "zudor_host/isolation.h"

namespace zudorserve {

struct DocumentJob {
    // What to read: the bytes stay where they are until done is called.
    const std::string *body = nullptr;
    std::string name; // the record's file
    zudorhost::XmpMode xmp = zudorhost::XmpMode::Parsed;
    size_t zone = 0; // which of the pool's reader workers: each reads DateTimes in a zone of its own
    // What reading gave: the JSON record, one line as sievecheck writes it, and its summary.
    std::string record;
    zudorhost::SummaryState summary = zudorhost::SummaryState::None;
    std::string error;   // the record's error; empty for none
    std::string failure; // the service could not read the document at all
    // Called on the pool's thread when the record is ready: the job's last use by the pool.
    std::function<void(DocumentJob &)> done;
};

class DocumentPool {
public:
    // One set of reader workers per time zone the service offers.
    DocumentPool(std::vector<std::shared_ptr<zudorhost::ReaderWorkers>> zones, unsigned threads, unsigned queue,
                 Metrics &metrics);
    ~DocumentPool();
    DocumentPool(const DocumentPool &) = delete;
    DocumentPool &operator=(const DocumentPool &) = delete;

    // Whether a document would be turned away now.
    bool full() const;
    // Takes the job unless every thread and place in the queue is taken.
    bool submit(DocumentJob *job);
    // Reads what is queued, then ends the threads.
    void stop();

private:
    void run();

    std::vector<std::shared_ptr<zudorhost::ReaderWorkers>> zones_;
    size_t capacity_;
    Metrics &metrics_;
    mutable std::mutex lock_;
    std::condition_variable wake_;
    std::deque<DocumentJob *> queue_;
    size_t admitted_ = 0; // queued or being read
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

} // namespace zudorserve

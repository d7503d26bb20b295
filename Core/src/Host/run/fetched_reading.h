// How the fetch stage's probe reads a document through what has been fetched of it, and asks
// for the first read those windows could not serve; the fetch stage sees this, and a reader
// process, where the probe runs in an isolated run (isolation.h).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "zudor_host/driver.h"

namespace zudorhost {

struct RemoteDocument;

struct FetchedReading {
    static const DocumentView &read(DocumentDriver &driver, const InputItem &input, const RemoteDocument &document);
    static bool missed(const DocumentDriver &driver, uint64_t &offset, uint64_t &length);
};

// How a reader process reads a regular file of size bytes that its parent opened and handed
// over: the descriptor is taken over.
struct HandedReading {
    static const DocumentView &read(DocumentDriver &driver, const InputItem &input, int descriptor, uint64_t size);
};

class ReaderWorkers;

// The probe of an isolated run: a reader process of its own (isolation.h) that reads what is
// held of a document and tells the first read those bytes could not serve, or why it could not
// read it at all (fault: a reader that crashed on it).
class WorkerProbe {
public:
    virtual ~WorkerProbe() = default;
    virtual bool miss(const InputItem &item, const RemoteDocument &document, uint64_t &offset, uint64_t &length,
                      std::string &fault) = 0;
};
std::unique_ptr<WorkerProbe> makeWorkerProbe(std::shared_ptr<ReaderWorkers> workers, const DriverOptions &options);

} // namespace zudorhost

// What the library's own runs ask of reader processes (isolation.h) beyond a front end's
// makeIsolatedReader: a run's keeper asked before a document is handed over, and the fetch
// stage's probe, which reads what has been fetched of a remote document in a reader process.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "zudor_host/driver.h"
#include "zudor_host/inputs.h"

namespace zudorhost {

class DocumentKeeper;
class ReaderWorkers;
namespace os {
class Opener; // platform/system.h
}
struct RemoteDocument;

// makeIsolatedReader, with the run's keeper (run/keeper.h; not owned, null for none): a file it
// holds as it is now is not handed over, and the identity of every other is taken before; and
// with the reading thread's opener, through which files are opened (not owned; null: its own).
std::unique_ptr<DocumentReader> makeIsolatedReader(std::shared_ptr<ReaderWorkers> workers,
                                                   const DriverOptions &options, DocumentKeeper *keeper,
                                                   os::Opener *opener);

// The probe of an isolated run: a reader process of its own that reads what is held of a
// document and tells the first read those bytes could not serve, or why it could not read it
// at all (fault: a reader that crashed on it).
class WorkerProbe {
public:
    virtual ~WorkerProbe() = default;
    virtual bool miss(const InputItem &item, const RemoteDocument &document, uint64_t &offset, uint64_t &length,
                      std::string &fault) = 0;
};
std::unique_ptr<WorkerProbe> makeWorkerProbe(std::shared_ptr<ReaderWorkers> workers, const DriverOptions &options);

} // namespace zudorhost

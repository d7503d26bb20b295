// Readers in processes of their own. The module is loaded by a worker program, never by the
// front end: each document gets a reader process of its own, made for it and ended after it,
// handed the document by the parent (which opens the files and holds remote bytes), and hands
// back its view, from which the records are made as in process, byte for byte. The parent
// trusts nothing a reader writes: a reader that crashes, runs past the time limit or its memory
// cap, or breaks the channel's rules is ended and its document gets a record that says so; on
// Linux every reader runs in a sandbox that lets it compute and answer, and nothing more.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "zudor_host/driver.h"
#include "zudor_host/failure.h"

namespace zudorhost {

struct IsolationOptions {
    bool enabled = false;
    // Where the worker program looks for the module, in turn (LoadedModule::loadFirst).
    std::vector<std::string> modulePlaces;
    // Empty: the first that exists of the one beside this program (a build tree, or Windows) and
    // those below the prefix it is installed under (installedWorkerPlaces).
    std::string workerProgram;
    double documentTimeout = 60;    // seconds a reader may spend on one document
    uint64_t documentMemory = uint64_t(1) << 30; // bytes a reader may hold; 0 for no cap
    bool xmpWarnings = false;       // let the XMP toolkit's complaints reach the standard error
};

// Whether this build can read in worker processes at all.
bool isolationAvailable();

// Where the worker program lies below the prefix it is installed under (its libexec
// directory): a front end installed under a prefix of its own (the Python package) looks there.
std::vector<std::string> installedWorkerPlaces(const std::string &prefix);

// The worker processes of one run: a fork server on Linux, loaded and sandboxed once. Shared
// by the readers of the run's threads.
class ReaderWorkers;
// Starts them and waits until they are ready: the module is loaded there, so a module that
// cannot be loaded fails here, saying why; null with the failure (Failure::Kind::Resources: a
// worker program, a process or a channel the run needs and the system would not give). Without
// wait, only the start is seen to here, and readerWorkersReady() waits for the rest, while other
// work is done meanwhile (readers wait for it themselves).
std::shared_ptr<ReaderWorkers> startReaderWorkers(const IsolationOptions &options, const DriverOptions &driver,
                                                  Failure &failure, bool wait = true);
Failure readerWorkersReady(ReaderWorkers &workers);
// A reader of documents in a worker process of its own, with the driver's options.
std::unique_ptr<DocumentReader> makeIsolatedReader(std::shared_ptr<ReaderWorkers> workers,
                                                   const DriverOptions &options);

} // namespace zudorhost

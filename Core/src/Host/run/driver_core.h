// The driver proper, which DocumentDriver (zudor_host/driver.h) hands everything to. The
// library's own runs use it directly for what a front end never asks of a driver: a run's keeper
// asked before a file is read, a remote document read through what has been fetched of it (the
// fetch stage's probe, a reader process), and a file a reader process's parent opened.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "zudor/reader.h"
#include "zudor_host/driver.h"
#include "zudor_host/inputs.h"

namespace zudorhost {

class DocumentKeeper;
namespace os {
class Opener; // platform/system.h
}
struct RemoteDocument;

class DriverCore : public DocumentReader {
public:
    // keeper: the run's (run/keeper.h), not owned; a file it holds as it is now is not read, and
    // the identity of every other is taken before it is read. Null: none. opener: the reading
    // thread's, through which files are opened and looked at, not owned; null: one of the
    // driver's own.
    DriverCore(const ReaderInterface &table, const DriverOptions &options, DocumentKeeper *keeper = nullptr,
               os::Opener *opener = nullptr);
    ~DriverCore() override;
    DriverCore(const DriverCore &) = delete;
    DriverCore &operator=(const DriverCore &) = delete;

    const DocumentView &read(const InputItem &input) override;
    const DocumentView &readBytes(const InputItem &input, const void *data, size_t size) override;
    void finish() override;

    // A remote document through what has been fetched of it, which the fetch stage's probe
    // reads to find what to fetch next, and a reader process reads as its parent fetched it.
    const DocumentView &readFetched(const InputItem &input, const RemoteDocument &document);
    // The first read the last readFetched could not serve from those bytes; false where none.
    bool missed(uint64_t &offset, uint64_t &length) const;
    // A regular file of size bytes that a reader process's parent opened and handed over: the
    // descriptor is taken over.
    const DocumentView &readHanded(const InputItem &input, int descriptor, uint64_t size);

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace zudorhost

// What the library's own runs add to a BatchRunner's, through the opaque slot RunOptions keeps
// for it (RunOptions::internals): the catalogue's keeper, a command line's descriptor tables,
// and a formatter that writes from the walk a keeper made. In-tree programs that need them
// include this header from the library's sources; the installed API has none of it.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

#include "platform/system.h"
#include "run/keeper.h"
#include "zudor_host/output_buffer.h"
#include "zudor_host/runner.h"

namespace zudorhost {

struct RunInternals {
    // Makes each thread's keeper, where the run keeps what it reads (run/keeper.h).
    std::function<std::unique_ptr<DocumentKeeper>()> keeper;
    // Where the system allows it (Linux) each worker gets a descriptor table of its own, so
    // that workers opening and closing files do not contend for the process's one. A worker's
    // table holds on to every descriptor the process had when it started until it ends, so
    // only a program that closes nothing meanwhile (a command line) should ask for it.
    bool ownDescriptorTables = false;
    // The system the run's readers open, read and look at files through (platform/system.h);
    // null: the machine's own. Must outlive the run.
    const os::System *system = nullptr;
};

// A formatter that takes part in a kept run: the runner finds it by its type.
class KeptRunFormatter : public RecordFormatter {
public:
    // As format, where the run's keeper has walked the record already: its events
    // (record_events.h) are at events, so the record need not be walked again.
    virtual void formatRecorded(const DocumentView &doc, const char *events, size_t size, FinishedBatch &out) = 0;
    // Whether a document the run's keeper holds unread is loaded for it; a formatter that only
    // names failures wants none, as such a document was not read this run.
    virtual bool wantsHeld() const = 0;
};

// Every batch a BatchRunner hands out is one of these: what the run's keeper keeps of the
// batch rides beside the output.
struct KeptBatch : FinishedBatch {
    OutputBuffer kept;
};

inline OutputBuffer &keptOf(FinishedBatch &batch) { return static_cast<KeptBatch &>(batch).kept; }

} // namespace zudorhost

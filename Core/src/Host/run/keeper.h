// What a run keeps of its documents (the catalogue): an input it holds as it is now is neither
// fetched nor read, and every document goes to it as the run meets it. One per thread
// (RunInternals::keeper, run/run_internals.h); what it knows of an input rides in the input
// (InputCarried::keeperTag).
#pragma once

#include <cstddef>

#include "zudor_host/driver.h"
#include "zudor_host/file_identity.h"
#include "zudor_host/inputs.h"
#include "zudor_host/output_buffer.h"

namespace zudorhost {
namespace os {
class Opener; // platform/system.h
}

class DocumentKeeper {
public:
    enum class Held { No, Record, Skipped };
    virtual ~DocumentKeeper() = default;
    // Whether it holds item as it is now (Record: its record; Skipped: as no TIFF): from what a
    // listing said of it (InputCarried::listed), or for a local file it knows, from one look at
    // it through the reading thread's opener (null: from the listing alone), which it leaves in
    // seen.
    virtual Held holds(const InputItem &item, os::Opener *opener, FileIdentity &seen) = 0;
    // Takes doc, read or left unread, writing what it keeps into kept. For a document read it
    // writes the record's events there too and tells where they start (eventsAt), else kept's
    // size.
    virtual void keep(const DocumentView &doc, OutputBuffer &kept, size_t &eventsAt) = 0;
    // The record it holds of a document left unread, for the output; null where it cannot be
    // had (the keeper stops the run then).
    virtual const DocumentView *held(const DocumentView &doc) = 0;
};

} // namespace zudorhost

// What a catalogue run's source finds: what the catalogue knew of each input it yields, and the
// rows it found gone or moved, which the writer applies.
#pragma once

#include <cstdint>
#include <vector>

#include "run/input_carried.h"
#include "zudor_host/file_identity.h"
#include "zudor_host/inputs.h"

namespace zudorhost {

// What the catalogue knows of an input, as the source met it: where its record is kept and what
// that record says of the file. It rides with the input as its keeper's tag.
struct CatalogueRef {
    int64_t input = 0;     // the catalogue's row of the named input that yielded it; 0: read for
                           // the output alone
    int64_t order = -1;    // its line in a list of files; -1 in a walk
    int64_t row = 0;       // the row that held it, 0 for none
    bool skipped = false;  // that row was of a file skipped as no TIFF
    FileIdentity identity; // what that row says of the file
};

inline const CatalogueRef *catalogueRefOf(const InputItem &item)
{
    return static_cast<const CatalogueRef *>(carriedBy(item).keeperTag.get());
}

// Whether a file seen now as `now` is the one `before` described. A local file changed within
// the coarsest timestamp granularity of the moment `before` was taken could have changed
// again with the same time and size, so such a file never counts as unchanged. An object's
// ETag changes with its content whenever it is written.
bool unchangedSince(const FileIdentity &before, const FileIdentity &now);

// What the source finds for the writer besides the files themselves.
struct PendingChanges {
    struct Gone {
        int64_t row;
        bool skipped;
    };
    struct Order {
        int64_t row;
        bool skipped;
        int64_t order;
    };
    std::vector<Gone> gone;
    std::vector<Order> orders;
    void append(PendingChanges &other);
};

} // namespace zudorhost

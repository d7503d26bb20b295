// What the library carries with an input from one of its stages to the next, in the slot
// InputItem::carried keeps for it: a front end sees only an opaque pointer.
#pragma once

#include <memory>

#include "zudor_host/file_identity.h"
#include "zudor_host/inputs.h"

namespace zudorhost {

struct RemoteDocument;

struct InputCarried {
    // A remote document's bytes, fetched ahead of the workers (run/fetch_stage.h); null for a path.
    std::shared_ptr<const RemoteDocument> remote;
    // What a run's keeper (run/keeper.h) knows of the input, set by the source that works with
    // it; opaque to everything else.
    std::shared_ptr<const void> keeperTag;
    FileIdentity listed; // a key an S3 listing gave: its size and ETag as listed
};

// What item carries; all empty where it carries nothing.
inline const InputCarried &carriedBy(const InputItem &item)
{
    static const InputCarried nothing;
    return item.carried ? *item.carried : nothing;
}

// What item carries, to change: its own, never one a copy of the item shares.
inline InputCarried &carriedToChange(InputItem &item)
{
    if (!item.carried)
        item.carried = std::make_shared<InputCarried>();
    else if (item.carried.use_count() > 1)
        item.carried = std::make_shared<InputCarried>(*item.carried);
    return *item.carried;
}

} // namespace zudorhost

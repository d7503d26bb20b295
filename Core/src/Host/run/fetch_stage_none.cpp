// The fetch stage of a build without remote reading (the Windows build, which has no
// libcurl): inputs pass through, and a URL among them is an input that failed.
#include "fetch_stage.h"

#include "../io/remote/url.h"

namespace zudorhost {

struct FetchStage::Engine {
    InputSource &inner;
};

FetchStage::FetchStage(InputSource &inner, const ReaderInterface *, const DriverOptions &, bool)
    : engine_(new Engine{inner})
{
}

FetchStage::~FetchStage() = default;

void FetchStage::stop() {}

bool FetchStage::next(InputItem &item)
{
    if (!engine_->inner.next(item))
        return false;
    if ((item.origin == InputOrigin::Named || item.origin == InputOrigin::Walked) && isRemoteInput(item.path)) {
        item.path = redactUrl(item.path);
        item.origin = InputOrigin::Failed;
        item.error = "this build cannot read URLs";
    }
    return true;
}

std::unique_ptr<InputSource> listedSource(InputSource &inputs, const RemoteOptions &)
{
    return std::make_unique<FetchStage>(inputs, nullptr, DriverOptions{});
}

void fetchDocument(InputItem &item, const ReaderInterface &, const DriverOptions &)
{
    item.path = redactUrl(item.path);
    item.origin = InputOrigin::Failed;
    item.error = "this build cannot read URLs";
}

} // namespace zudorhost

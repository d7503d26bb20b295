// Memory shared with reader processes, the same on every platform but for the section itself
// (a memfd on Linux, a paging-file section on Windows), which the platform's file makes.
#include "platform/worker_process.h"

namespace zudorhost {
namespace worker {

SharedMemory::~SharedMemory() { reset(); }

void SharedMemory::reset()
{
    if (data_ != nullptr)
        unmapView(data_, size_);
    if (handle_ != kNoHandle)
        closeHandle(handle_);
    data_ = nullptr;
    size_ = 0;
    handle_ = kNoHandle;
}

Handle SharedMemory::releaseHandle()
{
    const Handle handle = handle_;
    handle_ = kNoHandle;
    reset();
    return handle;
}

bool SharedMemory::create(size_t size, std::string &error)
{
    reset();
    const Handle section = newSection(size, error);
    return section != kNoHandle && map(section, size, error);
}

bool SharedMemory::map(Handle handle, size_t size, std::string &error)
{
    void *at = size == 0 ? nullptr : mapView(handle, size, error);
    if (size != 0 && at == nullptr) {
        closeHandle(handle);
        return false;
    }
    if (handle_ != handle)
        reset();
    data_ = static_cast<char *>(at);
    size_ = size;
    handle_ = handle;
    return true;
}

} // namespace worker
} // namespace zudorhost

#include "zudor_host/output_buffer.h"

#include <new>

namespace zudorhost {

void OutputBuffer::grow(size_t n)
{
    size_t capacity = capacity_ < 4096 ? 4096 : capacity_;
    while (capacity - size_ < n)
        capacity *= 2;
    char *data = static_cast<char *>(std::realloc(data_, capacity));
    if (data == nullptr)
        throw std::bad_alloc();
    data_ = data;
    capacity_ = capacity;
}

void OutputBuffer::trim(size_t keep)
{
    if (capacity_ > keep) {
        std::free(data_);
        data_ = nullptr;
        size_ = capacity_ = 0;
    }
}

} // namespace zudorhost

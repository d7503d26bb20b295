#include "zudor_host/output_buffer.h"

namespace zudorhost {

void OutputBuffer::trim(size_t keep)
{
    if (capacity_ > keep) {
        std::free(data_);
        data_ = nullptr;
        size_ = capacity_ = 0;
    }
}

} // namespace zudorhost

// A growable byte buffer that keeps its memory from one batch to the next: where records are
// written before they reach a file, a pipe or Python.
// Wholly inline: the XMP lister writes its listings here too, and is built without the rest
// of the library for its fuzz target, so the buffer belongs to no one room.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace zudorhost {

class OutputBuffer {
public:
    OutputBuffer() = default;
    ~OutputBuffer() { std::free(data_); }
    OutputBuffer(OutputBuffer &&other) noexcept
        : data_(other.data_), size_(other.size_), capacity_(other.capacity_)
    {
        other.data_ = nullptr;
        other.size_ = other.capacity_ = 0;
    }
    OutputBuffer &operator=(OutputBuffer &&) = delete;

    const char *data() const { return data_; }
    char *data() { return data_; }
    size_t size() const { return size_; }
    void clear() { size_ = 0; }
    // Drops what was written after the first size bytes.
    void truncate(size_t size) { size_ = size; }
    void swap(OutputBuffer &other) noexcept
    {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
    }
    // Room for n more bytes; the caller writes them and calls commit(n).
    char *reserve(size_t n)
    {
        if (capacity_ - size_ < n)
            grow(n);
        return data_ + size_;
    }
    void commit(size_t n) { size_ += n; }
    void append(const char *bytes, size_t n)
    {
        if (n != 0) {
            std::memcpy(reserve(n), bytes, n);
            size_ += n;
        }
    }
    void push(char c) { *reserve(1) = c, ++size_; }
    // Gives back a buffer that one huge record made larger than keep.
    void trim(size_t keep)
    {
        if (capacity_ > keep) {
            std::free(data_);
            data_ = nullptr;
            size_ = capacity_ = 0;
        }
    }

private:
    void grow(size_t n)
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

    char *data_ = nullptr;
    size_t size_ = 0, capacity_ = 0;
};

} // namespace zudorhost

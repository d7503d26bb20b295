// Writes small TIFF documents for tests: either byte order, entries with inline or
// out-of-line values, IFD chains, loops and truncations.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testhost {

constexpr uint16_t kAscii = 2;
constexpr uint16_t kShort = 3;
constexpr uint16_t kLong = 4;
constexpr uint16_t kUndefined = 7;

class TiffBuilder {
public:
    explicit TiffBuilder(bool littleEndian = true) : littleEndian_(littleEndian) {}

    // Starts a new IFD; entries go to the newest one.
    TiffBuilder &ifd() { return ifds_.emplace_back(), *this; }
    // An ASCII entry holding text and its terminating zero (count = size + 1).
    TiffBuilder &ascii(uint16_t tag, const std::string &text) { return bytes(tag, kAscii, text + '\0'); }
    // An entry with the given bytes as its value: inline when 4 bytes or fewer, else stored
    // after the IFD (or at the end of the file when farAway is set).
    TiffBuilder &bytes(uint16_t tag, uint16_t type, const std::string &value, bool farAway = false)
    {
        return add({tag, type, static_cast<uint32_t>(value.size()), value, true, farAway, 0});
    }
    // An entry with count and value field exactly as given (no value is stored).
    TiffBuilder &raw(uint16_t tag, uint16_t type, uint32_t count, uint32_t valueField)
    {
        return add({tag, type, count, std::string(), false, false, valueField});
    }
    // The newest IFD's next-IFD offset points at IFD index target (a loop when earlier),
    // or is written as the literal offset.
    TiffBuilder &linkTo(size_t target) { return link(Ifd::Index, static_cast<uint32_t>(target)); }
    TiffBuilder &nextOffset(uint32_t offset) { return link(Ifd::Literal, offset); }
    // Header bytes 0-1 and the first-IFD offset, when a test wants them odd.
    TiffBuilder &byteOrderMark(const std::string &mark) { return mark_ = mark, *this; }
    TiffBuilder &firstIfdOffset(uint32_t offset) { return firstSet_ = true, first_ = offset, *this; }

    std::vector<uint8_t> build() const;
    // Offset of IFD i in what build() writes.
    uint32_t ifdOffset(size_t i) const;

private:
    struct Entry {
        uint16_t tag, type;
        uint32_t count;
        std::string value;
        bool stored; // value written to the file (else valueField is literal)
        bool farAway;
        uint32_t valueField;
    };
    struct Ifd {
        std::vector<Entry> entries;
        enum { Chain, Index, Literal } next = Chain;
        uint32_t nextValue = 0;
    };
    TiffBuilder &add(Entry entry);
    TiffBuilder &link(decltype(Ifd::next) kind, uint32_t value);
    void put(std::vector<uint8_t> &out, size_t at, uint32_t v, int bytes) const;
    std::vector<uint32_t> layout(std::vector<uint32_t> *farStart) const;

    bool littleEndian_;
    std::string mark_;
    bool firstSet_ = false;
    uint32_t first_ = 0;
    std::vector<Ifd> ifds_;
};

} // namespace testhost

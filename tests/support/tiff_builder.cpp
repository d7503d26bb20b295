#include "tiff_builder.h"

#include <cstring>

namespace testhost {

TiffBuilder &TiffBuilder::ifd()
{
    ifds_.emplace_back();
    return *this;
}

TiffBuilder &TiffBuilder::ascii(uint16_t tag, const std::string &text)
{
    return bytes(tag, kAscii, text + std::string(1, '\0'));
}

TiffBuilder &TiffBuilder::bytes(uint16_t tag, uint16_t type, const std::string &value, bool far)
{
    if (ifds_.empty())
        ifd();
    ifds_.back().entries.push_back({tag, type, static_cast<uint32_t>(value.size()), value, true, far, 0});
    return *this;
}

TiffBuilder &TiffBuilder::raw(uint16_t tag, uint16_t type, uint32_t count, uint32_t valueField)
{
    if (ifds_.empty())
        ifd();
    ifds_.back().entries.push_back({tag, type, count, std::string(), false, false, valueField});
    return *this;
}

TiffBuilder &TiffBuilder::linkTo(size_t target)
{
    ifds_.back().next = Ifd::Index;
    ifds_.back().nextValue = static_cast<uint32_t>(target);
    return *this;
}

TiffBuilder &TiffBuilder::nextOffset(uint32_t offset)
{
    ifds_.back().next = Ifd::Literal;
    ifds_.back().nextValue = offset;
    return *this;
}

TiffBuilder &TiffBuilder::byteOrderMark(const std::string &mark)
{
    mark_ = mark;
    return *this;
}

TiffBuilder &TiffBuilder::firstIfdOffset(uint32_t offset)
{
    firstSet_ = true;
    first_ = offset;
    return *this;
}

void TiffBuilder::put16(std::vector<uint8_t> &out, size_t at, uint32_t v) const
{
    out[at + (littleEndian_ ? 0 : 1)] = static_cast<uint8_t>(v);
    out[at + (littleEndian_ ? 1 : 0)] = static_cast<uint8_t>(v >> 8);
}

void TiffBuilder::put32(std::vector<uint8_t> &out, size_t at, uint32_t v) const
{
    for (int i = 0; i < 4; ++i)
        out[at + (littleEndian_ ? i : 3 - i)] = static_cast<uint8_t>(v >> (8 * i));
}

// Each IFD is followed by its near out-of-line values (word aligned); far values follow
// everything, behind a gap.
std::vector<uint32_t> TiffBuilder::layout(std::vector<uint32_t> *farStart) const
{
    std::vector<uint32_t> offsets;
    size_t at = 8;
    for (const Ifd &d : ifds_) {
        offsets.push_back(static_cast<uint32_t>(at));
        at += 2 + 12 * d.entries.size() + 4;
        for (const Entry &e : d.entries)
            if (e.stored && !e.far && e.value.size() > 4)
                at += (e.value.size() + 1) & ~size_t(1);
    }
    if (farStart != nullptr)
        farStart->push_back(static_cast<uint32_t>(at + 4096));
    return offsets;
}

uint32_t TiffBuilder::ifdOffset(size_t i) const
{
    return layout(nullptr).at(i);
}

std::vector<uint8_t> TiffBuilder::build() const
{
    std::vector<uint32_t> farStart;
    const std::vector<uint32_t> offsets = layout(&farStart);
    size_t farAt = farStart[0];
    std::vector<uint8_t> out(farAt, 0);

    const std::string mark = mark_.empty() ? (littleEndian_ ? "II" : "MM") : mark_;
    std::memcpy(out.data(), mark.data(), 2);
    put16(out, 2, 42);
    put32(out, 4, firstSet_ ? first_ : (offsets.empty() ? 0 : offsets[0]));

    for (size_t i = 0; i < ifds_.size(); ++i) {
        const Ifd &d = ifds_[i];
        size_t at = offsets[i];
        size_t valueAt = at + 2 + 12 * d.entries.size() + 4;
        put16(out, at, static_cast<uint32_t>(d.entries.size()));
        for (size_t k = 0; k < d.entries.size(); ++k) {
            const Entry &e = d.entries[k];
            const size_t entryAt = at + 2 + 12 * k;
            put16(out, entryAt, e.tag);
            put16(out, entryAt + 2, e.type);
            put32(out, entryAt + 4, e.count);
            if (!e.stored) {
                put32(out, entryAt + 8, e.valueField);
            } else if (e.value.size() <= 4) {
                std::memcpy(&out[entryAt + 8], e.value.data(), e.value.size());
            } else {
                size_t &where = e.far ? farAt : valueAt;
                if (where + e.value.size() > out.size())
                    out.resize(where + e.value.size() + 1, 0);
                put32(out, entryAt + 8, static_cast<uint32_t>(where));
                std::memcpy(&out[where], e.value.data(), e.value.size());
                where += (e.value.size() + 1) & ~size_t(1);
            }
        }
        uint32_t next = 0;
        if (d.next == Ifd::Literal)
            next = d.nextValue;
        else if (d.next == Ifd::Index)
            next = offsets.at(d.nextValue);
        else if (i + 1 < ifds_.size())
            next = offsets[i + 1];
        put32(out, at + 2 + 12 * d.entries.size(), next);
    }
    // Without far values the gap is not wanted.
    if (farAt == farStart[0])
        out.resize(farStart[0] - 4096);
    return out;
}

} // namespace testhost

#include "tiff_builder.h"

#include <cstring>

namespace testhost {

TiffBuilder &TiffBuilder::add(Entry entry)
{
    if (ifds_.empty())
        ifd();
    ifds_.back().entries.push_back(std::move(entry));
    return *this;
}

TiffBuilder &TiffBuilder::link(decltype(Ifd::next) kind, uint32_t value)
{
    ifds_.back().next = kind;
    ifds_.back().nextValue = value;
    return *this;
}

void TiffBuilder::put(std::vector<uint8_t> &out, size_t at, uint32_t v, int bytes) const
{
    for (int i = 0; i < bytes; ++i)
        out[at + (littleEndian_ ? i : bytes - 1 - i)] = static_cast<uint8_t>(v >> (8 * i));
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
            if (e.stored && !e.farAway && e.value.size() > 4)
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
    put(out, 2, 42, 2);
    put(out, 4, firstSet_ ? first_ : (offsets.empty() ? 0 : offsets[0]), 4);

    for (size_t i = 0; i < ifds_.size(); ++i) {
        const Ifd &d = ifds_[i];
        size_t at = offsets[i];
        size_t valueAt = at + 2 + 12 * d.entries.size() + 4;
        put(out, at, static_cast<uint32_t>(d.entries.size()), 2);
        for (size_t k = 0; k < d.entries.size(); ++k) {
            const Entry &e = d.entries[k];
            const size_t entryAt = at + 2 + 12 * k;
            put(out, entryAt, e.tag, 2);
            put(out, entryAt + 2, e.type, 2);
            put(out, entryAt + 4, e.count, 4);
            if (!e.stored) {
                put(out, entryAt + 8, e.valueField, 4);
            } else if (e.value.size() <= 4) {
                std::memcpy(&out[entryAt + 8], e.value.data(), e.value.size());
            } else {
                size_t &where = e.farAway ? farAt : valueAt;
                if (where + e.value.size() > out.size())
                    out.resize(where + e.value.size() + 1, 0);
                put(out, entryAt + 8, static_cast<uint32_t>(where), 4);
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
        put(out, at + 2 + 12 * d.entries.size(), next, 4);
    }
    // Without far values the gap is not wanted.
    if (farAt == farStart[0])
        out.resize(farStart[0] - 4096);
    return out;
}

} // namespace testhost

#include "run/isolation/view_codec.h"

#include <cstdint>
#include <cstring>

#include "zudor_host/text_encoding.h"

namespace zudorhost {
namespace isolation {
namespace {

constexpr uint32_t kSkipped = 1, kBigTiff = 2, kError = 4, kTitle = 8, kAuthor = 16, kXmp = 32, kPacket = 64,
                   kText = 128;

constexpr uint32_t kNull = UINT32_MAX;

struct Fixed {
    uint32_t flags, summary;
    uint64_t createTime, reads, seeks, bytesRead, packetBytes, xmpSequence;
    uint32_t properties, xmpProperties, warnings, reserved;
};

template <typename T> void put(OutputBuffer &out, const T &value)
{
    out.append(reinterpret_cast<const char *>(&value), sizeof value);
}

// Length, bytes, and a zero after them, so that the parent can point at them as C strings.
void putString(OutputBuffer &out, const char *text, size_t length)
{
    put(out, uint32_t(length));
    out.append(text, length);
    out.push('\0');
}

void putOptional(OutputBuffer &out, const char *text)
{
    if (text == nullptr)
        put(out, kNull);
    else
        putString(out, text, std::strlen(text));
}

class Reader {
public:
    Reader(const char *data, size_t size) : at_(data), end_(data + size) {}
    template <typename T> bool take(T &value)
    {
        if (size_t(end_ - at_) < sizeof value)
            return false;
        std::memcpy(&value, at_, sizeof value);
        at_ += sizeof value;
        return true;
    }
    // A string written by putString or putOptional: null for a null one.
    bool string(const char *&text, size_t *length = nullptr)
    {
        uint32_t n;
        if (!take(n))
            return false;
        if (n == kNull) {
            text = nullptr;
            return true;
        }
        if (size_t(end_ - at_) <= n || at_[n] != '\0')
            return false;
        text = at_;
        if (length != nullptr)
            *length = n;
        at_ += size_t(n) + 1;
        return true;
    }
    bool done() const { return at_ == end_; }
    size_t left() const { return size_t(end_ - at_); }

private:
    const char *at_;
    const char *end_;
};

// A string takes five bytes at least (its length and its zero), four where it may be null (its
// length alone): a count the bytes cannot hold is refused before anything is allocated for it.
constexpr size_t kLeastString = 5, kLeastOptional = 4;
bool countFits(const Reader &in, uint32_t count, size_t leastEach) { return count <= in.left() / leastEach; }

bool takePairs(Reader &in, uint32_t count, std::vector<PropertyEntry> &into)
{
    if (!countFits(in, count, 2 * kLeastOptional))
        return false;
    into.resize(count);
    for (PropertyEntry &entry : into) {
        const char *name, *value;
        if (!in.string(name) || !in.string(value))
            return false;
        entry = PropertyEntry{1, 1, const_cast<char *>(value), const_cast<char *>(name)};
    }
    return true;
}

// The packet's properties as a listing: the reader process's strings are mended here, as the
// record walk mends the toolkit's (the lister's are UTF-8 already, and stay as they are).
bool takeListing(Reader &in, uint32_t count, std::string &listing, std::string &scratch)
{
    startListing(listing);
    for (uint32_t i = 0; i < count; ++i) {
        const char *path, *value;
        size_t pathLength = 0, valueLength = 0;
        if (!in.string(path, &pathLength) || !in.string(value, &valueLength) || path == nullptr || value == nullptr)
            return false;
        std::string pathScratch;
        const char *utf8Path = asUtf8(path, pathLength, pathScratch);
        const char *utf8Value = asUtf8(value, valueLength, scratch);
        addListedProperty(listing, std::string_view(utf8Path, pathLength), std::string_view(utf8Value, valueLength));
    }
    return true;
}

} // namespace

void encodeView(const DocumentView &doc, OutputBuffer &out)
{
    Fixed fixed{};
    const auto bit = [](bool set, uint32_t flag) { return set ? flag : 0u; };
    fixed.flags = bit(doc.skipped, kSkipped) | bit(doc.bigTiff, kBigTiff) | bit(doc.error, kError) |
                  bit(doc.title, kTitle) | bit(doc.author, kAuthor) | bit(doc.xmp, kXmp) |
                  bit(doc.xmp && doc.xmp->packet, kPacket) | bit(doc.text, kText);
    fixed.summary = uint32_t(doc.summary);
    fixed.createTime = doc.createTime;
    fixed.reads = doc.counts.reads, fixed.seeks = doc.counts.seeks, fixed.bytesRead = doc.counts.bytesRead;
    fixed.properties = uint32_t(doc.propertyCount);
    fixed.warnings = uint32_t(doc.warningCount);
    if (doc.xmp != nullptr) {
        fixed.packetBytes = doc.xmp->packetBytes;
        fixed.xmpSequence = doc.xmp->sequence;
    }
    const size_t fixedAt = out.size();
    put(out, fixed);
    if (doc.error)
        putString(out, doc.error, std::strlen(doc.error));
    if (doc.title)
        putString(out, doc.title, std::strlen(doc.title));
    if (doc.author)
        putString(out, doc.author, std::strlen(doc.author));
    for (size_t i = 0; i < doc.propertyCount; ++i) {
        putOptional(out, doc.properties[i].name);
        putOptional(out, doc.properties[i].value);
    }
    if (doc.xmp != nullptr && doc.xmp->packet == nullptr) {
        // The listing as the record walk would meet it: the lister's or the toolkit's.
        struct Count {
            OutputBuffer *out;
            uint32_t n;
        } listed{&out, 0};
        forEachXmpProperty(*doc.xmp, [](void *state, const char *path, size_t pathLength, const char *value,
                                        size_t valueLength) {
            auto *l = static_cast<Count *>(state);
            putString(*l->out, path, pathLength);
            putString(*l->out, value, valueLength);
            ++l->n;
        }, &listed);
        std::memcpy(const_cast<char *>(out.data()) + fixedAt + offsetof(Fixed, xmpProperties), &listed.n,
                    sizeof listed.n);
    }
    if (doc.xmp != nullptr && doc.xmp->packet != nullptr)
        putString(out, doc.xmp->packet, std::strlen(doc.xmp->packet));
    if (doc.text != nullptr)
        putString(out, doc.text, doc.textLength);
    for (size_t i = 0; i < doc.warningCount; ++i)
        putString(out, doc.warnings[i].data(), doc.warnings[i].size());
}

bool DecodedView::decode(const char *data, size_t size, DocumentView &view)
{
    Reader in(data, size);
    Fixed fixed;
    if (!in.take(fixed) || fixed.summary > uint32_t(SummaryState::None))
        return false;
    const auto optional = [&](uint32_t flag, const char *&text) { return (fixed.flags & flag) == 0 || in.string(text); };
    const char *error = nullptr, *title = nullptr, *author = nullptr, *packet = nullptr, *text = nullptr;
    size_t textLength = 0;
    if (!optional(kError, error) || !optional(kTitle, title) || !optional(kAuthor, author) ||
        ((fixed.flags & kError) && error == nullptr) || !takePairs(in, fixed.properties, properties_) ||
        !countFits(in, fixed.xmpProperties, 2 * kLeastString) || !takeListing(in, fixed.xmpProperties, listing_, scratch_) || !optional(kPacket, packet) ||
        ((fixed.flags & kText) && !in.string(text, &textLength)) || !countFits(in, fixed.warnings, kLeastString))
        return false;
    warnings_.resize(fixed.warnings);
    for (std::string &warning : warnings_) {
        const char *said = nullptr;
        size_t length = 0;
        if (!in.string(said, &length) || said == nullptr)
            return false;
        // A view's warnings are UTF-8, and the record walk writes them as they are: a reader
        // process's are mended here, as its listing is.
        const char *utf8 = asUtf8(said, length, scratch_);
        warning.assign(utf8, length);
    }
    if (!in.done())
        return false;
    view.error = error;
    view.skipped = fixed.flags & kSkipped;
    view.bigTiff = fixed.flags & kBigTiff;
    view.summary = SummaryState(fixed.summary);
    view.title = title;
    view.author = author;
    view.createTime = fixed.createTime;
    view.properties = properties_.empty() ? nullptr : properties_.data();
    view.propertyCount = properties_.size();
    view.xmp = nullptr;
    if (fixed.flags & kXmp) {
        // A raw record carries its packet; any other, its properties as a listing.
        if (packet != nullptr)
            xmp_ = HostXmpRecord{kXmpRecordMagic, uint32_t(XmpMode::Raw), fixed.packetBytes, nullptr, packet, 0, 0};
        else
            xmp_ = listedRecord(listing_, fixed.packetBytes);
        xmp_.sequence = fixed.xmpSequence;
        view.xmp = &xmp_;
    }
    view.text = text;
    view.textLength = textLength;
    view.warnings = warnings_.empty() ? nullptr : warnings_.data();
    view.warningCount = warnings_.size();
    view.counts.reads = fixed.reads, view.counts.seeks = fixed.seeks, view.counts.bytesRead = fixed.bytesRead;
    return true;
}

} // namespace isolation
} // namespace zudorhost

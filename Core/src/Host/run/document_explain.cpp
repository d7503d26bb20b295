#include "run/document_explain.h"

#include <cstdarg>
#include <cstdio>
#include <algorithm>
#include <unordered_set>

#include "tiff_rules/walk_rules.h"
#include "zudor_host/text_encoding.h"

namespace zudorhost {
namespace {

using tiffrules::kEntrySize;
using tiffrules::valueIsInline;

// A chain this long is read whole by the reader too, but a sentence about it need not wait.
constexpr uint32_t kMostDirectories = 1u << 20;

std::string format(const char *pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *pattern, ...)
{
    char text[512];
    va_list arguments;
    va_start(arguments, pattern);
    std::vsnprintf(text, sizeof text, pattern, arguments);
    va_end(arguments);
    return text;
}

const char *tagName(uint16_t tag)
{
    if (tag == tiffrules::kTagXmp)
        return tiffrules::kXmpTagName;
    const tiffrules::TagRule *rule = tiffrules::findTagRule(tag);
    return rule != nullptr ? rule->tagName : nullptr;
}

// The reader's view of the file: reads of exact lengths at 32-bit offsets, in its byte order.
class Walk {
public:
    Walk(InputStream *stream, uint64_t size) : stream_(stream), size_(size) {}

    bool read(uint32_t offset, void *into, uint32_t count)
    {
        stream_->streamSeek(stream_, offset, 0);
        return stream_->streamRead(stream_, into, count) == count;
    }
    // What is wrong with a piece that could not be read, after what names it: "the Model
    // value in directory 1" + " is said to lie at offset 4294967280, past the end of the file".
    std::string past(const std::string &what, uint32_t offset, uint32_t count, bool plural = false) const
    {
        const unsigned long long size = size_;
        if (offset >= size_)
            return what + format(" is said to lie at offset %u, past the end of the file (%llu bytes)", offset, size);
        if (uint64_t(offset) + count > size_)
            return what + format(" (%u bytes from offset %u) %s past the end of the file (%llu bytes)", count, offset,
                                 plural ? "run" : "runs", size);
        return what + format(" (%u bytes from offset %u) could not be read", count, offset);
    }
    uint16_t u16(const uint8_t *p) const { return tiffrules::readShort(p, little_); }
    uint32_t u32(const uint8_t *p) const { return tiffrules::readLong(p, little_); }
    void setLittle(bool little) { little_ = little; }

private:
    InputStream *stream_;
    uint64_t size_;
    bool little_ = true;
};

// The text of a value for a sentence: up to its first zero, mended, and not too long.
std::string quoted(const std::vector<char> &value)
{
    size_t n = 0;
    while (n < value.size() && n < 40 && value[n] != '\0')
        ++n;
    std::string scratch;
    const char *text = asUtf8(value.data(), n, scratch);
    return "\"" + std::string(text, n) + (n == 40 ? "...\"" : "\"");
}

// What the reader makes of its first DateTime: empty when it converts, else why not.
std::string dateFault(uint32_t count, const std::vector<char> &value)
{
    const std::string shown = quoted(value);
    int64_t seconds = 0;
    switch (tiffrules::readDateTime(count, value.data(), &seconds)) {
    case tiffrules::DateTimeReading::Converts:
        break;
    case tiffrules::DateTimeReading::WrongLength:
        return format("the first DateTime, %s, holds %u bytes, not the %u of YYYY:MM:DD HH:MM:SS and its end",
                      shown.c_str(), count, tiffrules::kDateTimeBytes);
    case tiffrules::DateTimeReading::NotTheForm:
        return "the first DateTime, " + shown + ", is not of the form YYYY:MM:DD HH:MM:SS";
    case tiffrules::DateTimeReading::OutOfRange:
        return "the first DateTime, " + shown + ", falls outside 1970 to 3000 in the local time zone";
    }
    return std::string();
}

std::string bytesText(uint64_t n) { return std::to_string(n) + (n == 1 ? " byte" : " bytes"); }

} // namespace

// The reader's walk, by the same rules (tiff_rules/walk_rules.h), but to explain and not to
// read, so it differs where that asks: it weighs a value's place against the file's size and
// reads only the first DateTime, and that no further than a sentence shows; it stops at the
// first fault, where the reader goes on along the chain after a value it could not take; it
// keeps its own set of the IFDs read, as the reader's takes memory from the host (a refusal is
// told from the host's notes, not from here); and it gives up on a chain of more than
// kMostDirectories.
std::string firstDirectoryFault(InputStream *stream, uint64_t size)
{
    Walk walk(stream, size);
    uint8_t header[8];
    if (!walk.read(0, header, 8))
        return std::string();
    walk.setLittle(tiffrules::headerIsLittleEndian(header));
    uint32_t offset = walk.u32(header + tiffrules::kFirstIfdOffsetAt);
    std::unordered_set<uint32_t> visited;
    std::vector<uint8_t> entries;
    std::vector<char> value;
    tiffrules::RoleClaims claims{};
    for (uint32_t index = 1; offset != 0 && index <= kMostDirectories; ++index) {
        visited.insert(offset);
        uint8_t scratch[4];
        if (!walk.read(offset, scratch, 2))
            return walk.past(format("directory %u", index), offset, 2);
        const uint32_t count = walk.u16(scratch);
        const uint32_t first = tiffrules::entriesOffset(offset);
        entries.resize(size_t(count) * kEntrySize);
        if (!walk.read(first, entries.data(), count * kEntrySize))
            return walk.past(count == 1 ? format("the one entry of directory %u", index)
                                        : format("the %u entries of directory %u", count, index),
                             first, count * kEntrySize, count != 1);
        for (uint32_t e = 0; e < count; ++e) {
            const uint8_t *entry = entries.data() + size_t(e) * kEntrySize;
            const uint16_t tag = walk.u16(entry), type = walk.u16(entry + 2);
            const uint32_t length = walk.u32(entry + 4), at = walk.u32(entry + 8);
            // The reader reads every ASCII value and every XMP packet, and no other value.
            if (tag != tiffrules::kTagXmp && type != tiffrules::kTypeAscii)
                continue;
            // Only the first DateTime is converted; of any other value, only where it lies matters.
            const tiffrules::TagRule *rule = type == tiffrules::kTypeAscii ? tiffrules::findTagRule(tag) : nullptr;
            const bool date = rule != nullptr && tiffrules::claimRole(claims, *rule) == tiffrules::TagRole::DateTime;
            const uint32_t wanted = date ? std::min<uint32_t>(length, 64) : 0;
            value.assign(size_t(wanted) + 1, '\0');
            if (!valueIsInline(length) && (uint64_t(at) + length > size || !walk.read(at, value.data(), wanted))) {
                const char *name = tagName(tag);
                const std::string what = name != nullptr ? std::string("the ") + name + " value" : format("the value of tag %u", tag);
                return walk.past(what + format(" in directory %u", index), at, length);
            }
            if (!date)
                continue;
            for (uint32_t i = 0; valueIsInline(length) && i < length; ++i)
                value[i] = char(entry[8 + i]);
            const std::string fault = dateFault(length, value);
            if (!fault.empty())
                return fault;
        }
        const uint32_t link = tiffrules::linkOffset(offset, count);
        if (!walk.read(link, scratch, 4))
            return walk.past(format("the link after directory %u", index), link, 4);
        const uint32_t next = walk.u32(scratch);
        offset = tiffrules::nextIfdToRead(next, visited.count(next) != 0);
    }
    return std::string();
}

void explainDocument(const DocumentEvidence &e, InputStream *stream, std::vector<std::string> &warnings)
{
    if (e.incomplete) {
        const size_t before = warnings.size();
        if (e.host.refused) {
            if (e.host.asked < 0)
                warnings.push_back("the reader asked for more memory than a size can hold: a count in the file overflows");
            else if (e.host.outOfMemory && e.memoryCap != 0)
                warnings.push_back("a request of " + bytesText(uint64_t(e.host.asked)) +
                                   " did not fit within the reader's memory cap of " + bytesText(e.memoryCap));
            else if (e.host.outOfMemory)
                warnings.push_back("the system had no memory for a request of " + bytesText(uint64_t(e.host.asked)));
            else
                warnings.push_back("a request for " + bytesText(uint64_t(e.host.asked)) + " was refused: a file of " +
                                   bytesText(e.size) + " may ask for " + bytesText(uint64_t(e.host.cap)) +
                                   " at most (the host's cap on a request)");
        }
        // A fault of the directories names the place of a short read; a date is a fault of its own.
        const std::string fault = firstDirectoryFault(stream, e.size);
        if (!fault.empty())
            warnings.push_back(fault);
        else if (e.shortRead.seen)
            warnings.push_back(format("a read of %u bytes at offset %llu ", e.shortRead.asked,
                                      (unsigned long long)e.shortRead.offset) +
                               (e.shortRead.offset + e.shortRead.asked > e.size
                                    ? "ran past the end of the file (" + bytesText(e.size) + ")"
                                    : std::string("could not be read")));
        if (warnings.size() == before)
            warnings.push_back("the reader gave no summary, for a reason the host did not see");
    }
    if (e.host.xmpTurnedDown != 0) {
        const std::string first = bytesText(e.host.xmpTurnedDownBytes);
        // The reader stops at the first packet its host turns down, and offers it again at its
        // next retrieval: one packet, however often it was counted.
        const bool many = e.host.xmpTurnedDown > 1 && !e.host.xmpStoppedReader;
        std::string sentence = many ? std::to_string(e.host.xmpTurnedDown) + " XMP packets (the first of " + first + ")"
                                    : "an XMP packet of " + first;
        if (e.host.xmpTooLarge)
            sentence += " took more memory to read than the host grants a request";
        else if (e.xmpMode == XmpMode::Toolkit)
            sentence += std::string(many ? " were" : " was") + " turned down by the XMP toolkit";
        else
            sentence += std::string(many ? " are" : " is") + " not XMP that parses";
        // The reader stops at a packet its host turns down; the host's own lister reads them
        // only once the reader is done.
        sentence += e.host.xmpStoppedReader ? "; the reader read no further in the file"
                                            : many ? "; they were left out" : "; it was left out";
        warnings.push_back(sentence);
    }
}

} // namespace zudorhost

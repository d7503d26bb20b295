// The record as one line of JSON, keys in the record's order.
#include <cstdint>
#include <cstring>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "zudor_host/record.h"
#include "zudor_host/record_writers.h"

namespace rapidjson {

// Copies the run of bytes that need no escape eight at a time; the writer escapes the byte that
// ends it. This stands in for the library's own vector scan (RAPIDJSON_SSE2), which in Debian's
// RapidJSON 1.1.0 compares against 0x19 and lets bytes 0x1A to 0x1F through unescaped, so no
// strict parser would take the record.
template <>
inline bool Writer<StringBuffer>::ScanWriteUnescapedString(StringStream &is, size_t length)
{
    constexpr uint64_t kOnes = 0x0101010101010101u, kHighs = 0x8080808080808080u;
    const auto hasZero = [](uint64_t v) { return (v - kOnes) & ~v & kHighs; };
    const char *start = is.src_, *end = is.head_ + length, *p = start;
    for (uint64_t word; end - p >= 8; p += 8) {
        std::memcpy(&word, p, 8);
        if (((word - kOnes * 0x20) & ~word & kHighs) != 0 || hasZero(word ^ (kOnes * '"')) != 0 ||
            hasZero(word ^ (kOnes * '\\')) != 0)
            break;
    }
    while (p < end && uint8_t(*p) >= 0x20 && *p != '"' && *p != '\\')
        ++p;
    if (p != start) {
        std::memcpy(os_->PushUnsafe(size_t(p - start)), start, size_t(p - start));
        is.src_ = p;
    }
    return p < end;
}

} // namespace rapidjson

namespace zudorhost {
namespace {

class JsonWriter : public RecordWriter, private RecordVisitor {
public:
    explicit JsonWriter(bool textRecord) : textRecord_(textRecord) {}

    void write(const DocumentView &doc, OutputBuffer &out) override
    {
        textRecord_ ? walker_.textRecord(doc, *this) : walker_.summary(doc, *this);
        out.append(buffer_.GetString(), buffer_.GetSize());
        out.push('\n');
    }

private:
    void key(Field field)
    {
        const char *name = fieldName(field);
        writer_.Key(name, rapidjson::SizeType(std::strlen(name)));
    }
    void text(const char *text, size_t length) { writer_.String(text, rapidjson::SizeType(length)); }

    void beginRecord(bool) override
    {
        buffer_.Clear();
        writer_.Reset(buffer_);
        writer_.StartObject();
    }
    void string(Field field, const char *value, size_t length) override
    {
        key(field);
        value != nullptr ? text(value, length) : void(writer_.Null());
    }
    void number(Field field, uint64_t value) override
    {
        key(field);
        writer_.Uint64(value);
    }
    void beginList(Field field) override
    {
        key(field);
        writer_.StartArray();
    }
    void pair(const char *name, size_t nameLength, const char *value, size_t valueLength) override
    {
        writer_.StartArray();
        text(name, nameLength);
        text(value, valueLength);
        writer_.EndArray();
    }
    void item(const char *value, size_t length) override { text(value, length); }
    void endList(Field) override { writer_.EndArray(); }
    void beginGroup(Field field) override
    {
        key(field);
        writer_.StartObject();
    }
    void endGroup(Field) override { writer_.EndObject(); }
    void endRecord() override { writer_.EndObject(); }

    bool textRecord_;
    RecordWalker walker_;
    rapidjson::StringBuffer buffer_;
    rapidjson::Writer<rapidjson::StringBuffer> writer_;
};

} // namespace

std::unique_ptr<RecordWriter> jsonSummaryWriter() { return std::make_unique<JsonWriter>(false); }
std::unique_ptr<RecordWriter> jsonTextRecordWriter() { return std::make_unique<JsonWriter>(true); }

} // namespace zudorhost

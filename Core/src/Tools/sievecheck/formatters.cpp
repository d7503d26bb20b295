#include "formatters.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

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

#include "zudor_host/text_encoding.h"

namespace sievecheck {
namespace {

using zudorhost::DocumentView;
using zudorhost::OutputBuffer;
using zudorhost::asUtf8;
using zudorhost::isoTime;

// Text for a terminal: mended into UTF-8, and with no control byte left raw, so a file's tags
// or name cannot move the cursor or set the terminal's title. A value may span lines (block),
// as a description or a packet does; a name is one line.
void appendShown(OutputBuffer &out, const char *text, size_t n, std::string &scratch, bool block)
{
    std::string mended;
    const char *utf8 = asUtf8(text, n, mended);
    const char *shown = zudorhost::visible(utf8, n, scratch, block);
    out.append(shown, n);
}

void errorLine(const DocumentView &doc, OutputBuffer &messages, std::string &scratch)
{
    if (doc.error == nullptr)
        return;
    const std::string &file = doc.input->path;
    messages.append("sievecheck: ", 12);
    appendShown(messages, file.data(), file.size(), scratch, false);
    messages.append(": ", 2);
    messages.append(doc.error, std::strlen(doc.error));
    messages.push('\n');
}

class JsonFormatter : public zudorhost::RecordFormatter {
public:
    explicit JsonFormatter(bool textOutput) : textOutput_(textOutput) {}

    void format(const DocumentView &doc, OutputBuffer &records, OutputBuffer &messages) override
    {
        errorLine(doc, messages, scratch_);
        buffer_.Clear();
        writer_.Reset(buffer_);
        writer_.StartObject();
        key("file");
        string(doc.input->path.data(), doc.input->path.size());
        if (textOutput_) {
            key("text");
            if (doc.error == nullptr)
                writer_.String(doc.text, rapidjson::SizeType(doc.textLength));
            else
                writer_.Null();
        } else {
            summary(doc);
        }
        key("error");
        optional(doc.error);
        writer_.EndObject();
        records.append(buffer_.GetString(), buffer_.GetSize());
        records.push('\n');
    }

private:
    void key(const char *name) { writer_.Key(name, rapidjson::SizeType(std::strlen(name))); }

    void string(const char *text, size_t n)
    {
        const char *utf8 = asUtf8(text, n, scratch_);
        writer_.String(utf8, rapidjson::SizeType(n));
    }
    void string(const char *text) { string(text, std::strlen(text)); }
    void optional(const char *text) { text != nullptr ? string(text) : void(writer_.Null()); }

    void pair(const char *name, const char *value)
    {
        writer_.StartArray();
        string(name != nullptr ? name : "");
        string(value != nullptr ? value : "");
        writer_.EndArray();
    }

    void summary(const DocumentView &doc)
    {
        key("summary");
        string(zudorhost::summaryName(doc.summary));
        key("title");
        optional(doc.title);
        key("author");
        optional(doc.author);
        key("createTime");
        if (doc.createTime == 0) {
            writer_.Null();
        } else {
            char text[40];
            writer_.String(text, rapidjson::SizeType(isoTime(doc.createTime, text)));
        }
        key("properties");
        writer_.StartArray();
        for (size_t i = 0; i < doc.propertyCount; ++i)
            pair(doc.properties[i].name, doc.properties[i].value);
        writer_.EndArray();
        key("xmp");
        if (doc.xmp == nullptr) {
            writer_.Null();
            return;
        }
        writer_.StartObject();
        key("packetBytes");
        writer_.Uint64(doc.xmp->packetBytes);
        if (doc.xmp->packet != nullptr) {
            key("packet");
            string(doc.xmp->packet);
        } else {
            key("properties");
            writer_.StartArray();
            zudorhost::forEachXmpProperty(doc.xmp->document, [](void *self, const char *path, const char *value) {
                static_cast<JsonFormatter *>(self)->pair(path, value);
            }, this);
            writer_.EndArray();
        }
        writer_.EndObject();
    }

    bool textOutput_;
    rapidjson::StringBuffer buffer_;
    rapidjson::Writer<rapidjson::StringBuffer> writer_;
    std::string scratch_;
};

class TextFormatter : public zudorhost::RecordFormatter {
public:
    explicit TextFormatter(bool textOutput) : textOutput_(textOutput) {}

    void format(const DocumentView &doc, OutputBuffer &records, OutputBuffer &messages) override
    {
        errorLine(doc, messages, scratch_);
        out_ = &records;
        if (textOutput_) {
            if (doc.error == nullptr) {
                records.append(doc.text, doc.textLength);
                records.push('\n');
            }
            return;
        }
        appendShown(records, doc.input->path.data(), doc.input->path.size(), scratch_, false);
        records.push('\n');
        if (doc.error != nullptr) {
            line("error", doc.error);
            return;
        }
        line("summary", zudorhost::summaryName(doc.summary));
        if (doc.title != nullptr)
            line("title", doc.title);
        if (doc.author != nullptr)
            line("author", doc.author);
        if (doc.createTime != 0) {
            char text[40];
            isoTime(doc.createTime, text);
            line("created", text);
        }
        for (size_t i = 0; i < doc.propertyCount; ++i)
            line(doc.properties[i].name, doc.properties[i].value);
        if (doc.xmp != nullptr) {
            line("xmp", (std::to_string(doc.xmp->packetBytes) + " bytes").c_str());
            if (doc.xmp->packet != nullptr) {
                appendShown(records, doc.xmp->packet, std::strlen(doc.xmp->packet), scratch_, true);
                records.push('\n');
            }
            zudorhost::forEachXmpProperty(doc.xmp->document, [](void *self, const char *path, const char *value) {
                auto &me = *static_cast<TextFormatter *>(self);
                me.out_->append("    ", 4);
                me.utf8(path);
                me.out_->append(" = ", 3);
                me.utf8(value);
                me.out_->push('\n');
            }, this);
        }
    }

private:
    void utf8(const char *text) { appendShown(*out_, text, std::strlen(text), scratch_, true); }

    void line(const char *label, const char *value)
    {
        char head[32];
        const int n = std::snprintf(head, sizeof head, "  %-14s ", label != nullptr ? label : "");
        out_->append(head, size_t(std::min<int>(n, sizeof head - 1)));
        utf8(value != nullptr ? value : "");
        out_->push('\n');
    }

    bool textOutput_;
    OutputBuffer *out_ = nullptr;
    std::string scratch_;
};

} // namespace

std::unique_ptr<zudorhost::RecordFormatter> makeFormatter(Format format, bool textOutput)
{
    if (format == Format::Json)
        return std::make_unique<JsonFormatter>(textOutput);
    return std::make_unique<TextFormatter>(textOutput);
}

} // namespace sievecheck

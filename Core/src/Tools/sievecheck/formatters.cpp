#include "formatters.h"

#include <cstdio>
#include <string>

// RapidJSON's string writer skips runs that need no escaping sixteen bytes at a time.
#if defined(__x86_64__) || defined(_M_X64)
#define RAPIDJSON_SSE2
#endif
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "zudor_host/text_encoding.h"

namespace sievecheck {
namespace {

using zudorhost::DocumentView;
using zudorhost::OutputBuffer;
using zudorhost::asUtf8;
using zudorhost::isoTime;

void errorLine(const DocumentView &doc, OutputBuffer &messages)
{
    if (doc.error == nullptr)
        return;
    const std::string &file = doc.input->path;
    messages.append("sievecheck: ", 12);
    messages.append(file.data(), file.size());
    messages.append(": ", 2);
    messages.append(doc.error, std::strlen(doc.error));
    messages.push('\n');
}

class JsonFormatter : public zudorhost::RecordFormatter {
public:
    explicit JsonFormatter(bool textOutput) : textOutput_(textOutput) {}

    void format(const DocumentView &doc, OutputBuffer &records, OutputBuffer &messages) override
    {
        errorLine(doc, messages);
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
        errorLine(doc, messages);
        out_ = &records;
        if (textOutput_) {
            if (doc.error == nullptr) {
                records.append(doc.text, doc.textLength);
                records.push('\n');
            }
            return;
        }
        records.append(doc.input->path.data(), doc.input->path.size());
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
                utf8(doc.xmp->packet);
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
    void utf8(const char *text)
    {
        size_t n = std::strlen(text);
        const char *bytes = asUtf8(text, n, scratch_);
        out_->append(bytes, n);
    }

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

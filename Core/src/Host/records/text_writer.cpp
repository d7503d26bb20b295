// The record as a block of lines for a person at a terminal: the file, then a label and a
// value a line, fields without a value left out; a document that failed shows only why.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "zudor_host/record.h"
#include "zudor_host/record_events.h"
#include "zudor_host/record_writers.h"
#include "zudor_host/text_encoding.h"

namespace zudorhost {
namespace {

// Labels are "  " and 14 columns and a space: values start in column 17.
constexpr size_t kValueColumn = 17;
const char kIndent[] = "                 ";
static_assert(sizeof kIndent - 1 == kValueColumn, "an indent reaches the value column");

class TextWriter : public RecordWriter, private RecordVisitor {
public:
    void write(const DocumentView &doc, OutputBuffer &out) override
    {
        out_ = &out;
        walker_.summary(doc, *this);
    }
    void writeRecorded(const char *events, size_t size, OutputBuffer &out) override
    {
        out_ = &out;
        replayRecord(events, size, *this);
    }

private:
    // The strings come mended; only control characters are left to make visible. A name is
    // one line; a value or packet may span lines.
    // A value's later lines start under its first, never in the column a record's file name
    // starts in; every line feed of it is followed by the indent, so the value's end is plain.
    void shown(const char *text, size_t length, bool block, size_t indent = 0)
    {
        const char *bytes = visible(text, length, scratch_, block);
        for (size_t start = 0; start < length;) {
            const char *end = static_cast<const char *>(std::memchr(bytes + start, '\n', length - start));
            const size_t upTo = end == nullptr ? length : size_t(end - bytes) + 1;
            out_->append(bytes + start, upTo - start);
            if (end != nullptr)
                out_->append(kIndent, indent);
            start = upTo;
        }
    }

    void line(const char *label, const char *value, size_t length)
    {
        char head[32];
        const int n = std::snprintf(head, sizeof head, "  %-14s ", label);
        out_->append(head, size_t(std::min<int>(n, sizeof head - 1)));
        shown(value, length, true, kValueColumn);
        out_->push('\n');
    }

    const char *label(Field field)
    {
        switch (field) {
        case Field::CreateTime: return "created";
        default: return fieldName(field);
        }
    }

    void beginRecord(bool failed) override { failed_ = failed; }
    void string(Field field, const char *value, size_t length) override
    {
        if (field == Field::File) {
            shown(value, length, false);
            out_->push('\n');
        } else if (field == Field::FileBytes) {
            // The name's exact bytes are for programs; a person reads the name above.
        } else if (field == Field::Packet) {
            out_->append(kIndent, 2);
            shown(value, length, true, 2);
            out_->push('\n');
        } else if (value != nullptr && (!failed_ || field == Field::Error)) {
            line(label(field), value, length);
        }
    }
    void number(Field, uint64_t value) override
    {
        const std::string bytes = std::to_string(value) + " bytes";
        line("xmp", bytes.data(), bytes.size());
    }
    void beginList(Field field) override { list_ = field; }
    void pair(const char *name, size_t nameLength, const char *value, size_t valueLength) override
    {
        if (list_ == Field::Properties) {
            // Labels are the document's property names: shown as any text from it is.
            std::string mended;
            size_t n = nameLength;
            const char *utf8 = asUtf8(name, n, mended);
            const char *shown = visible(utf8, n, label_, false);
            const std::string label(shown, n);
            line(label.c_str(), value, valueLength);
            return;
        }
        out_->append("    ", 4);
        shown(name, nameLength, true);
        out_->append(" = ", 3);
        shown(value, valueLength, true, 6);
        out_->push('\n');
    }
    void item(const char *text, size_t length) override { line("warning", text, length); }
    void endList(Field) override {}
    void beginGroup(Field) override {}
    void endGroup(Field) override {}
    void endRecord() override {}

    RecordWalker walker_;
    OutputBuffer *out_ = nullptr;
    bool failed_ = false;
    Field list_ = Field::Properties;
    std::string scratch_;
    std::string label_;
};

// The reader's text record alone, a line of its own; nothing for a file that failed.
class PlainTextRecordWriter : public RecordWriter {
public:
    void write(const DocumentView &doc, OutputBuffer &out) override
    {
        if (doc.error != nullptr)
            return;
        out.append(doc.text, doc.textLength);
        out.push('\n');
    }
    // A catalogue keeps summaries only, never this record.
    void writeRecorded(const char *, size_t, OutputBuffer &) override {}
};

} // namespace

std::unique_ptr<RecordWriter> jsonSummaryWriter();
std::unique_ptr<RecordWriter> jsonTextRecordWriter();

std::unique_ptr<RecordWriter> summaryWriter(RecordFormat format)
{
    return format == RecordFormat::Json ? jsonSummaryWriter() : std::make_unique<TextWriter>();
}

std::unique_ptr<RecordWriter> textRecordWriter(RecordFormat format)
{
    return format == RecordFormat::Json ? jsonTextRecordWriter() : std::make_unique<PlainTextRecordWriter>();
}

} // namespace zudorhost

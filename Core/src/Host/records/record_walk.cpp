// The one place that knows a record's fields and their order.
#include "zudor_host/record.h"

#include <cstring>

#include "records/xmp_record.h"
#include "zudor_host/text_encoding.h"

namespace zudorhost {

const char *fieldName(Field field)
{
    switch (field) {
    case Field::File: return "file";
    case Field::FileBytes: return "fileBytes";
    case Field::Summary: return "summary";
    case Field::Title: return "title";
    case Field::Author: return "author";
    case Field::CreateTime: return "createTime";
    case Field::Properties: return "properties";
    case Field::Xmp: return "xmp";
    case Field::PacketBytes: return "packetBytes";
    case Field::Packet: return "packet";
    case Field::XmpProperties: return "properties";
    case Field::Text: return "text";
    case Field::Warnings: return "warnings";
    case Field::Error: break;
    }
    return "error";
}

void RecordWalker::string(Field field, const char *text, size_t length, RecordVisitor &visitor)
{
    const char *utf8 = asUtf8(text, length, scratch_);
    visitor.string(field, utf8, length);
}

void RecordWalker::optional(Field field, const char *text, RecordVisitor &visitor)
{
    if (text == nullptr)
        visitor.string(field, nullptr, 0);
    else
        string(field, text, std::strlen(text), visitor);
}

void RecordWalker::pair(const char *name, const char *value, RecordVisitor &visitor)
{
    name = name != nullptr ? name : "";
    value = value != nullptr ? value : "";
    pair(name, std::strlen(name), value, std::strlen(value), visitor);
}

void RecordWalker::pair(const char *name, size_t nameLength, const char *value, size_t valueLength,
                        RecordVisitor &visitor)
{
    const char *utf8Name = asUtf8(name, nameLength, pairScratch_);
    const char *utf8Value = asUtf8(value, valueLength, scratch_);
    visitor.pair(utf8Name, nameLength, utf8Value, valueLength);
}

// A name that is not UTF-8 is shown mended, and given exactly too, so that it can be found again.
void RecordWalker::file(const std::string &path, RecordVisitor &visitor)
{
    size_t length = path.size();
    const char *utf8 = asUtf8(path.data(), length, scratch_);
    visitor.string(Field::File, utf8, length);
    if (utf8 != path.data()) {
        base64(path.data(), path.size(), scratch_);
        visitor.string(Field::FileBytes, scratch_.data(), scratch_.size());
    }
}

void RecordWalker::summary(const DocumentView &doc, RecordVisitor &visitor)
{
    visitor.beginRecord(doc.error != nullptr);
    file(doc.input->path, visitor);
    optional(Field::Summary, summaryName(doc.summary), visitor);
    optional(Field::Title, doc.title, visitor);
    optional(Field::Author, doc.author, visitor);
    if (doc.createTime == 0) {
        visitor.string(Field::CreateTime, nullptr, 0);
    } else {
        char text[40];
        visitor.string(Field::CreateTime, text, isoTime(doc.createTime, text));
    }
    visitor.beginList(Field::Properties);
    // An entry the reader counted but could not copy (its memory ran out) holds no property:
    // its warning says why, and it is left out rather than shown empty.
    for (size_t i = 0; i < doc.propertyCount; ++i)
        if (doc.properties[i].name != nullptr && doc.properties[i].value != nullptr)
            pair(doc.properties[i].name, doc.properties[i].value, visitor);
    visitor.endList(Field::Properties);
    if (doc.xmp == nullptr) {
        visitor.string(Field::Xmp, nullptr, 0);
    } else {
        visitor.beginGroup(Field::Xmp);
        visitor.number(Field::PacketBytes, doc.xmp->packetBytes);
        if (doc.xmp->packet != nullptr) {
            optional(Field::Packet, doc.xmp->packet, visitor);
        } else {
            visitor.beginList(Field::XmpProperties);
            struct Step {
                RecordWalker *walker;
                RecordVisitor *visitor;
            } step{this, &visitor};
            // The lister's strings are UTF-8 already, checked as it read them; the toolkit's
            // are mended like any other text.
            if (doc.xmp->mode == uint32_t(XmpMode::Parsed))
                forEachXmpProperty(*doc.xmp, [](void *state, const char *path, size_t pathLength, const char *value,
                                                size_t valueLength) {
                    static_cast<Step *>(state)->visitor->pair(path, pathLength, value, valueLength);
                }, &step);
            else
                forEachXmpProperty(*doc.xmp, [](void *state, const char *path, size_t pathLength, const char *value,
                                                size_t valueLength) {
                    auto *s = static_cast<Step *>(state);
                    s->walker->pair(path, pathLength, value, valueLength, *s->visitor);
                }, &step);
            visitor.endList(Field::XmpProperties);
        }
        visitor.endGroup(Field::Xmp);
    }
    optional(Field::Error, doc.error, visitor);
    visitor.beginList(Field::Warnings);
    for (size_t i = 0; i < doc.warningCount; ++i)
        visitor.item(doc.warnings[i].data(), doc.warnings[i].size());
    visitor.endList(Field::Warnings);
    visitor.endRecord();
}

void RecordWalker::textRecord(const DocumentView &doc, RecordVisitor &visitor)
{
    visitor.beginRecord(doc.error != nullptr);
    file(doc.input->path, visitor);
    // Any module's text record, as any of its strings, is mended.
    if (doc.error == nullptr && doc.text != nullptr)
        string(Field::Text, doc.text, doc.textLength, visitor);
    else
        visitor.string(Field::Text, nullptr, 0);
    optional(Field::Error, doc.error, visitor);
    visitor.endRecord();
}

} // namespace zudorhost

// One definition of a record: the fields a document's view gives and their order. Every output
// (JSON Lines, text, the Python dict) is a visitor of the same walk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "zudor_host/driver.h"

namespace zudorhost {

// The fields in the order every record has them. Their names are the JSON keys and the Python
// dict's keys.
enum class Field : uint8_t {
    File,          // the input's path, or the name it was given, as UTF-8 text
    FileBytes,     // only for a name that is not UTF-8: its exact bytes, in base64
    Summary,       // "complete", "partial" or "none"
    Title,         // DocumentName, or null
    Author,        // the first Artist, or null
    CreateTime,    // the first DateTime as UTC in ISO 8601, or null
    Properties,    // list: [name, value] in file order
    Xmp,           // group, or null: the last packet
    PacketBytes,   // in Xmp: the packet's length
    Packet,        // in Xmp, raw mode: the packet's text
    XmpProperties, // in Xmp, parsed and toolkit modes, list: [path, value] in the XMP toolkit's order
    Text,          // the reader's own text record, or null
    Error,         // why the document gave no summary, or null
    Warnings       // list of sentences: what the host saw go wrong; empty when nothing did
};
constexpr int kFieldCount = int(Field::Warnings) + 1;
const char *fieldName(Field field);

// Receives one record's fields in order. Strings are UTF-8 (the file's bytes, each byte that
// is not part of valid UTF-8 taken as Latin-1), valid only during the call; a null string is a
// field without a value (JSON null), a null group an absent one.
class RecordVisitor {
public:
    virtual ~RecordVisitor() = default;
    // failed: the document gave no summary and the record ends with why.
    virtual void beginRecord(bool failed) = 0;
    virtual void string(Field field, const char *text, size_t length) = 0;
    virtual void number(Field field, uint64_t value) = 0;
    virtual void beginList(Field field) = 0;
    virtual void pair(const char *name, size_t nameLength, const char *value, size_t valueLength) = 0;
    // A string in a list of strings (Warnings).
    virtual void item(const char *text, size_t length) = 0;
    virtual void endList(Field field) = 0;
    virtual void beginGroup(Field field) = 0;
    virtual void endGroup(Field field) = 0;
    virtual void endRecord() = 0;
};

// Walks documents' views for visitors; one per thread, as it keeps scratch for mending.
class RecordWalker {
public:
    // file, (fileBytes,) summary, title, author, createTime, properties, xmp, error, warnings.
    void summary(const DocumentView &doc, RecordVisitor &visitor);
    // file, text, error: the reader's text record.
    void textRecord(const DocumentView &doc, RecordVisitor &visitor);

private:
    void string(Field field, const char *text, size_t length, RecordVisitor &visitor);
    void optional(Field field, const char *text, RecordVisitor &visitor);
    void pair(const char *name, const char *value, RecordVisitor &visitor);
    void pair(const char *name, size_t nameLength, const char *value, size_t valueLength, RecordVisitor &visitor);

    void file(const std::string &path, RecordVisitor &visitor);

    std::string scratch_, pairScratch_;
};

} // namespace zudorhost

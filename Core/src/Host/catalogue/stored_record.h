// A record as the catalogue keeps it: its fields as rows, read back into a view the record
// walk takes like any document's, and the text the full-text index holds of it.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "catalogue/sqlite_handle.h"
#include "records/xmp_record.h"
#include "zudor_host/driver.h"
#include "zudor_host/record.h"

namespace zudorhost {

// A record's values, as stored. A view whose data() is null is a null value.
struct RecordFields {
    std::string_view summary, title, author, createTime, error, packet;
    bool hasXmp = false;
    uint64_t packetBytes = 0;
    std::vector<std::pair<std::string_view, std::string_view>> properties, xmpProperties;
    std::vector<std::string_view> warnings;
    void clear();
};

// The record's fields as a visitor of the record walk (or of its events played back) meets
// them: the one place that says which field goes to which column.
class FieldCollector : public RecordVisitor {
public:
    RecordFields fields;

private:
    void beginRecord(bool) override { fields.clear(); }
    void string(Field field, const char *text, size_t length) override;
    void number(Field field, uint64_t value) override;
    void beginList(Field field) override { list_ = field; }
    void pair(const char *name, size_t nameLength, const char *value, size_t valueLength) override;
    void item(const char *text, size_t length) override { fields.warnings.emplace_back(text, length); }
    void endList(Field) override {}
    void beginGroup(Field) override { fields.hasXmp = true; }
    void endGroup(Field) override {}
    void endRecord() override {}

    Field list_ = Field::Properties;
};

// A record's warnings as the catalogue keeps them: a JSON array of strings.
void warningsJson(const std::vector<std::string_view> &warnings, std::string &out);

// The four columns of the full-text index for a record: title, author, the properties'
// values and the XMP's (or, in raw mode, the text and attribute values of the packet), one
// value a line.
void searchColumns(const RecordFields &fields, std::string (&columns)[4]);

// Reads documents back from the catalogue, on one connection; one per thread.
class RecordLoader {
public:
    // For a catalogue of the given schema (one of schema 1 has no warnings).
    bool prepare(sqlite3 *db, int schema, std::string &error);
    // The stored record of document id; the views hold until the next load. False with why
    // when the row cannot be read.
    bool load(int64_t id, RecordFields &fields, std::string &error);
    // The record as a document's view, for the record walk, named by path (its exact bytes as
    // the walk met it); valid until the next load.
    const DocumentView &view(const RecordFields &fields, const std::string &path);

private:
    bool fail(int code, std::string &error);

    sqlite3 *db_ = nullptr;
    Statement document_, properties_, xmp_, warnings_;
    std::vector<std::string> texts_, warningTexts_, warningCopies_;
    std::vector<PropertyEntry> entries_;
    std::string listing_; // the XMP properties, as a listing
    HostXmpRecord xmpRecord_{};
    InputItem item_;
    DocumentView view_;
    std::string summary_;
};

} // namespace zudorhost

// The catalogue's database: its schema, its connections and the writer's lock. Shared by the
// catalogue's source, its writer, its loader and the export.
#pragma once

#include <string>

#include "catalogue/sqlite_handle.h"
#include "zudor_host/catalogue.h"

namespace zudorhost {

// Tells a catalogue from any other SQLite database (PRAGMA application_id): "ZUDC".
constexpr int32_t kCatalogueApplicationId = 0x5A554443;

// An input's kind in the inputs table: a path as -i names it, or a list of files.
enum class InputKind { Path = 0, List = 1 };

// Holds the writer's lock on a catalogue for as long as it lives (writer_lock_*.cpp): a lock
// of its own beside SQLite's, which a run takes once and keeps across all its transactions.
class WriterLock {
public:
    WriterLock() = default;
    ~WriterLock();
    WriterLock(const WriterLock &) = delete;
    WriterLock &operator=(const WriterLock &) = delete;
    // Creates the file when it is missing (empty: SQLite takes it for a new database).
    bool take(const std::string &path, bool wait, std::string &error);
    bool readOnly = false; // take failed as the file or its folder cannot be written
    bool busy = false;     // take failed as another run holds the lock

private:
    int fd_ = -1;
};

// Whether nothing can change the catalogue at path while it is read: its folder cannot be
// written, so no writer can make the log a write needs, and no log holds commits from before
// (writer_lock.cpp).
bool cannotChange(const std::string &path);

// The documents and skipped tables as a table of the given name, and the index of the records
// that are not complete: for a new catalogue and for one upgraded.
std::string documentsTable(const char *name);
std::string skippedTable(const char *name);
extern const char *const kIncompleteIndex;

// The columns that tell a record's path: `key`, its exact bytes, in the order of a walk, and
// the SQL that gives them in a catalogue of this schema (schema 1 kept the bytes in source).
const char *keyColumn(int schema);
const char *warningsColumn(int schema);

class CatalogueDb : public Catalogue {
public:
    CatalogueDb(std::string path, Access access, CatalogueOptions options)
        : path_(std::move(path)), access_(access), options_(std::move(options)) {}
    bool start(std::string &error);

    bool settings(XmpMode &xmp, bool &anyFile) const override;
    bool totals(RunTotals &totals, std::string &error) override;
    bool exportRecords(RecordWriter &writer, const std::function<bool(const OutputBuffer &)> &sink,
                       std::string &error) override;

    std::string timeZone() const override { return timeZone_; }

    // A further connection to the same database, for reading beside the writer.
    Connection openReader(std::string &error) const;
    sqlite3 *db() { return db_.get(); }
    const std::string &path() const { return path_; }
    const CatalogueOptions &options() const { return options_; }
    int schema() const { return schema_; }
    // What kept start() from opening it: the writers' lock held or unwritable, else a refusal.
    Failure::Kind lockRefusal() const
    {
        return lock_.busy ? Failure::Kind::Busy : lock_.readOnly ? Failure::Kind::ReadOnly : Failure::Kind::Refused;
    }
    // Writes the run's options into a catalogue that has none yet, or holds the run to them.
    bool keepSettings(XmpMode xmp, bool anyFile, const std::string &zone, std::string &error);

private:
    bool checkHeader(std::string &error);
    bool checkSchema(std::string &error);
    bool openForReading(std::string &error);
    bool create(std::string &error);
    bool upgrade(std::string &error); // from schema 1, in catalogue_migrate.cpp

    std::string path_;
    Access access_;
    CatalogueOptions options_;
    WriterLock lock_;
    Connection db_;
    bool fresh_ = false; // nothing in the file yet
    int schema_ = kCatalogueSchema;
    bool hasSettings_ = false;
    XmpMode xmp_ = XmpMode::Parsed;
    bool anyFile_ = false;
    std::string timeZone_;
};


} // namespace zudorhost

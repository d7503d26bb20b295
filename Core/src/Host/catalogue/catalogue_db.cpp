// Opening a catalogue: what is refused and why, the schema, the options a catalogue keeps.
#include "catalogue/catalogue_db.h"

#include <cstring>

#include "zudor_host/platform.h"

namespace zudorhost {
namespace {

// Every table a catalogue has. `source` is the record's `file`: the path as the walk met it,
// its bytes that are not UTF-8 read as Latin-1 (a directory that could not be read ends in
// '/', which puts it where the walk met it); `sourceBytes` holds the exact bytes where they
// differ, and `key`, the exact bytes either way, orders the rows as a walk meets them and
// tells apart names that read alike once mended. A file's identity (size, modified, inode,
// checked: when it was taken, all in ns) tells whether it changed; `ord` is a listed file's
// line, for the order of the export. The warnings are a JSON array: a record rarely has any,
// and one column costs no statement of its own to write or read.
const char *kSchema = R"sql(
CREATE TABLE settings(name TEXT PRIMARY KEY, value TEXT NOT NULL) WITHOUT ROWID;
CREATE TABLE inputs(
    id INTEGER PRIMARY KEY,
    kind INTEGER NOT NULL,          -- 0: a path given with -i, 1: a list of files
    path TEXT NOT NULL,             -- as named; a URL without its secrets
    position INTEGER NOT NULL,      -- its place in the order inputs were first named
    UNIQUE(kind, path));
CREATE TABLE properties(
    document INTEGER NOT NULL REFERENCES documents(id),
    seq INTEGER NOT NULL,
    name TEXT NOT NULL,
    value TEXT NOT NULL,
    PRIMARY KEY(document, seq)) WITHOUT ROWID;
CREATE TABLE xmp_properties(
    document INTEGER NOT NULL REFERENCES documents(id),
    seq INTEGER NOT NULL,
    path TEXT NOT NULL,
    value TEXT NOT NULL,
    PRIMARY KEY(document, seq)) WITHOUT ROWID;
CREATE VIRTUAL TABLE search USING fts5(title, author, properties, xmp, content='');
)sql";

} // namespace

namespace {

// What the documents and the skipped files have alike: where a file is, and what it was.
const char *kFileColumns = R"sql(
    id INTEGER PRIMARY KEY,
    input INTEGER NOT NULL REFERENCES inputs(id),
    ord INTEGER,
    source TEXT NOT NULL,
    sourceBytes BLOB,
    key BLOB GENERATED ALWAYS AS (coalesce(sourceBytes, CAST(source AS BLOB))) VIRTUAL,
    size INTEGER, modified INTEGER, inode INTEGER, etag TEXT, checked INTEGER,)sql";

} // namespace

std::string documentsTable(const char *name)
{
    return std::string("CREATE TABLE ") + name + "(" + kFileColumns + R"sql(
    summary TEXT NOT NULL,
    title TEXT, author TEXT, createTime TEXT,
    packetBytes INTEGER,            -- null: no XMP packet
    packet TEXT,                    -- the packet's text, when the catalogue keeps raw XMP
    error TEXT,
    warnings TEXT,                  -- a JSON array of sentences; null: none
    UNIQUE(input, key));
)sql";
}

// Files met in a walk that are no TIFF: no record.
std::string skippedTable(const char *name)
{
    return std::string("CREATE TABLE ") + name + "(" + kFileColumns + "\n    UNIQUE(input, key));\n";
}

const char *const kIncompleteIndex =
    "CREATE INDEX documents_incomplete ON documents(id) WHERE summary <> 'complete' OR error IS NOT NULL;";

const char *keyColumn(int schema) { return schema >= 2 ? "key" : "CAST(source AS BLOB)"; }

const char *warningsColumn(int schema) { return schema >= 2 ? "warnings" : "NULL"; }

std::unique_ptr<Catalogue> Catalogue::open(const std::string &path, Access access,
                                           const CatalogueOptions &options, Failure &failure)
{
    auto catalogue = std::make_unique<CatalogueDb>(path, access, options);
    std::string why;
    if (catalogue->start(why))
        return catalogue;
    failure = Failure(catalogue->lockRefusal(), why);
    return nullptr;
}

bool CatalogueDb::checkHeader(std::string &error)
{
    // SQLite would take a file of any other kind for a database it may not read, and an
    // empty one for its own to fill: look first, so that nothing else is ever written over.
    std::FILE *file = openFile(path_, "rb");
    if (file == nullptr) {
        error = std::string("cannot open: ") + std::strerror(errno);
        return false;
    }
    char header[100];
    const size_t got = std::fread(header, 1, sizeof header, file);
    std::fclose(file);
    fresh_ = got == 0;
    if (fresh_) {
        if (access_ == Access::Read) {
            error = "not a catalogue (the file is empty)";
            return false;
        }
        return true;
    }
    if (got < sizeof header || std::memcmp(header, "SQLite format 3", 16) != 0) {
        error = "not a catalogue (not an SQLite database); it was left as it is";
        return false;
    }
    return true;
}

bool CatalogueDb::checkSchema(std::string &error)
{
    Statement look;
    if (!look.prepare(db_.get(), "SELECT (SELECT application_id FROM pragma_application_id),"
                                 " (SELECT user_version FROM pragma_user_version),"
                                 " (SELECT count(*) FROM sqlite_schema)", error))
        return false;
    if (look.step() != SQLITE_ROW) {
        error = describeFailure(db_.get(), sqlite3_errcode(db_.get()));
        return false;
    }
    const int64_t application = look.integer(0), version = look.integer(1), tables = look.integer(2);
    look.reset();
    if (application == 0 && version == 0 && tables == 0 && access_ == Access::Update) {
        fresh_ = true;
        return true;
    }
    if (application != kCatalogueApplicationId || version < 1) {
        error = "not a catalogue (an SQLite database of another kind); it was left as it is";
        return false;
    }
    if (version > kCatalogueSchema) {
        error = "made by a newer version (schema " + std::to_string(version) + "; this one knows " +
                std::to_string(kCatalogueSchema) + "); it was left as it is";
        return false;
    }
    schema_ = int(version);
    Statement settings;
    if (!settings.prepare(db_.get(), "SELECT name, value FROM settings", error))
        return false;
    int code;
    while ((code = settings.step()) == SQLITE_ROW) {
        const std::string name = settings.string(0), value = settings.string(1);
        hasSettings_ = true;
        for (XmpMode mode : {XmpMode::Parsed, XmpMode::Raw, XmpMode::Toolkit})
            if (name == "xmp" && value == xmpModeName(mode))
                xmp_ = mode;
        if (name == "anyFile")
            anyFile_ = value == "1";
        if (name == "timeZone")
            timeZone_ = value;
    }
    if (code != SQLITE_DONE) {
        error = describeFailure(db_.get(), code);
        return false;
    }
    return true;
}

namespace {

// path as an SQLite URI: '%', '?' and '#' escaped, an absolute path after an empty authority.
std::string fileUri(const std::string &path)
{
    std::string uri = path.compare(0, 1, "/") == 0 ? "file://" : "file:";
    for (char c : path) {
        if (c == '%' || c == '?' || c == '#') {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", unsigned(static_cast<unsigned char>(c)));
            uri += escaped;
        } else {
            uri += c;
        }
    }
    return uri;
}

} // namespace

bool CatalogueDb::openForReading(std::string &error)
{
    // A reader of a catalogue in WAL mode keeps the log's index in a file beside it, which a
    // folder that cannot be written does not let it make: a catalogue on read-only media or
    // a read-only mount is read as immutable, which needs no such file. Nothing can change
    // it meanwhile, as a writer would have to make its log in that same folder.
    const bool immutable = cannotChange(path_);
    db_ = immutable ? openConnection(fileUri(path_) + "?immutable=1", SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, error)
                    : openConnection(path_, SQLITE_OPEN_READONLY, error);
    if (!db_)
        return false;
    sqlite3_busy_timeout(db_.get(), 10000);
    return checkSchema(error);
}

bool CatalogueDb::create(std::string &error)
{
    const std::string create = "BEGIN; " + std::string(kSchema) + documentsTable("documents") + kIncompleteIndex +
                               skippedTable("skipped") + "PRAGMA application_id=" +
                               std::to_string(kCatalogueApplicationId) + "; PRAGMA user_version=" +
                               std::to_string(kCatalogueSchema) + "; COMMIT;";
    if (!execute(db_.get(), create.c_str(), error)) {
        std::string ignored;
        execute(db_.get(), "ROLLBACK", ignored);
        return false;
    }
    fresh_ = false;
    schema_ = kCatalogueSchema;
    return true;
}

namespace {

// The schema a catalogue's header names (PRAGMA user_version), or 0.
int schemaOnDisk(const std::string &path)
{
    unsigned char header[64] = {};
    std::FILE *file = openFile(path, "rb");
    if (file == nullptr)
        return 0;
    const size_t got = std::fread(header, 1, sizeof header, file);
    std::fclose(file);
    return got == sizeof header ? int(uint32_t(header[60]) << 24 | header[61] << 16 | header[62] << 8 | header[63]) : 0;
}

} // namespace

bool CatalogueDb::start(std::string &error)
{
    if (access_ == Access::Read)
        return checkHeader(error) && openForReading(error);
    if (!lock_.take(path_, options_.wait, error)) {
        if (!lock_.readOnly)
            return false;
        const int schema = schemaOnDisk(path_);
        if (schema > 0 && schema < kCatalogueSchema)
            error = "made by an earlier version (schema " + std::to_string(schema) +
                    ") and cannot be upgraded here (" + error +
                    "): copy it where it can be written to update it; an export reads it as it is";
        else
            error += "; an export reads it as it is";
        return false;
    }
    if (!checkHeader(error))
        return false;
    db_ = openConnection(path_, SQLITE_OPEN_READWRITE, error);
    if (!db_)
        return false;
    // Readers and the writer of another process wait for each other's short locks rather than
    // fail; the writers' own lock is WriterLock's.
    sqlite3_busy_timeout(db_.get(), 10000);
    if (!checkSchema(error))
        return false;
    // Pages of 16 KiB for a new catalogue: every page goes through the log and is copied into the
    // file, two writes and a read of its own each, and a run writes a thousand bytes a record.
    // One made before keeps its pages, which a log cannot change.
    if (fresh_ && !execute(db_.get(), "PRAGMA page_size=16384", error))
        return false;
    // WAL lets readers query while a run writes; FULL syncs each commit, so a batch once
    // committed survives the machine losing power.
    Statement mode;
    if (!mode.prepare(db_.get(), "PRAGMA journal_mode=WAL", error))
        return false;
    if (mode.step() != SQLITE_ROW || mode.string(0) != "wal") {
        error = "cannot keep a write-ahead log: " + describeFailure(db_.get(), sqlite3_errcode(db_.get()));
        return false;
    }
    mode.reset();
    if (!execute(db_.get(), "PRAGMA synchronous=FULL; PRAGMA cache_size=-8192;", error))
        return false;
    if (fresh_)
        return create(error);
    return schema_ == kCatalogueSchema || upgrade(error);
}

Connection CatalogueDb::openReader(std::string &error) const
{
    Connection reader = openConnection(path_, SQLITE_OPEN_READONLY, error);
    if (reader)
        sqlite3_busy_timeout(reader.get(), 10000);
    return reader;
}

bool CatalogueDb::settings(XmpMode &xmp, bool &anyFile) const
{
    xmp = xmp_;
    anyFile = anyFile_;
    return hasSettings_;
}

bool CatalogueDb::keepSettings(XmpMode xmp, bool anyFile, const std::string &zone, std::string &error)
{
    if (hasSettings_) {
        if (xmp != xmp_) {
            error = std::string("this catalogue keeps ") + xmpModeName(xmp_) + " XMP, not " + xmpModeName(xmp) +
                    "; read it in " + xmpModeName(xmp_) + " mode, or start another catalogue";
            return false;
        }
        if (anyFile != anyFile_) {
            error = anyFile_ ? "this catalogue was made reading every file, whatever its first bytes; read so, or "
                               "start another catalogue"
                             : "this catalogue was made reading TIFF files only; read so, or start another catalogue";
            return false;
        }
        // The same file gives another createTime in another zone: one catalogue, one zone.
        if (!timeZone_.empty() && zone != timeZone_) {
            error = "this catalogue reads DateTimes in " + timeZone_ + ", not " + zone + "; read in " + timeZone_ +
                    ", or start another catalogue";
            return false;
        }
        if (!timeZone_.empty())
            return true;
    }
    // A catalogue upgraded from schema 1 has its options but no zone: it takes this run's.
    Statement put;
    const char *sql = hasSettings_ ? "INSERT INTO settings VALUES ('timeZone', ?3)"
                                   : "INSERT INTO settings VALUES ('xmp', ?1), ('anyFile', ?2), ('timeZone', ?3)";
    if (!put.prepare(db_.get(), sql, error))
        return false;
    if (!hasSettings_)
        put.bind(1, xmpModeName(xmp), std::strlen(xmpModeName(xmp))).bind(2, anyFile ? "1" : "0", 1);
    put.bind(3, zone);
    const int code = put.run();
    if (code != SQLITE_DONE) {
        error = describeFailure(db_.get(), code);
        return false;
    }
    hasSettings_ = true;
    xmp_ = xmp;
    anyFile_ = anyFile;
    timeZone_ = zone;
    return true;
}
bool CatalogueDb::totals(RunTotals &totals, std::string &error)
{
    // Through the index of the records that are not complete: a catalogue of complete ones
    // costs one count.
    Statement count;
    if (!count.prepare(db_.get(),
                       "SELECT (SELECT count(*) FROM documents),"
                       " count(error), count(*) FILTER (WHERE error IS NULL AND summary = 'partial'),"
                       " count(*) FILTER (WHERE error IS NULL AND summary = 'none'),"
                       " count(*) FILTER (WHERE error = 'BigTIFF is not supported')"
                       " FROM documents INDEXED BY documents_incomplete"
                       " WHERE summary <> 'complete' OR error IS NOT NULL", error))
        return false;
    const int code = count.step();
    if (code != SQLITE_ROW) {
        error = describeFailure(db_.get(), code);
        return false;
    }
    totals = RunTotals{};
    totals.documents = uint64_t(count.integer(0));
    totals.errors = uint64_t(count.integer(1));
    totals.partial = uint64_t(count.integer(2));
    totals.none = uint64_t(count.integer(3));
    totals.bigTiff = uint64_t(count.integer(4));
    totals.complete = totals.documents - totals.errors - totals.partial - totals.none;
    count.reset();
    return true;
}

RunProblem inheritCatalogue(RunRequest &request, const Catalogue &catalogue)
{
    KeptSettings kept;
    kept.modeKept = catalogue.settings(kept.xmp, kept.anyFile);
    kept.timeZone = catalogue.timeZone();
    return inheritSettings(request, kept);
}

} // namespace zudorhost

// The catalogue's records in the order a fresh scan of its inputs writes them: the inputs in
// the order they were first named, a walked path's files in the byte order of their paths
// (the walk's), a list's in its order. Each named by its exact bytes, as the walk named it.
#include "catalogue/catalogue_db.h"
#include "catalogue/stored_record.h"

namespace zudorhost {
namespace {

constexpr size_t kRecordsPerSink = 64;

} // namespace

bool CatalogueDb::exportRecords(RecordWriter &writer, const std::function<bool(const OutputBuffer &)> &sink,
                                std::string &error)
{
    sqlite3 *db = db_.get();
    // One read transaction: a run writing meanwhile is seen as it stood at the start.
    if (!execute(db, "BEGIN", error))
        return false;
    Statement inputs, walked, listed;
    RecordLoader loader;
    const std::string key = keyColumn(schema_);
    bool ok = inputs.prepare(db, "SELECT id, kind FROM inputs ORDER BY position, id", error) &&
              walked.prepare(db, ("SELECT id, " + key + " AS k FROM documents WHERE input = ?1 ORDER BY k").c_str(),
                             error) &&
              listed.prepare(db, ("SELECT id, " + key + " AS k FROM documents WHERE input = ?1 ORDER BY ord, k").c_str(),
                             error) &&
              loader.prepare(db, schema_, error);
    OutputBuffer out;
    RecordFields fields;
    std::string exact;
    size_t pending = 0;
    int code = SQLITE_DONE;
    while (ok && (code = inputs.step()) == SQLITE_ROW) {
        Statement &documents = inputs.integer(1) == int64_t(InputKind::List) ? listed : walked;
        documents.bind(1, inputs.integer(0));
        while (ok && (code = documents.step()) == SQLITE_ROW) {
            ok = loader.load(documents.integer(0), fields, error);
            if (!ok)
                break;
            size_t n;
            const char *path = documents.bytes(1, n);
            exact.assign(path != nullptr ? path : "", path != nullptr ? n : 0);
            writer.write(loader.view(fields, exact), out);
            if (++pending == kRecordsPerSink) {
                ok = sink(out);
                out.clear();
                pending = 0;
            }
        }
        documents.reset();
        if (ok && code != SQLITE_DONE)
            break;
    }
    if (ok && code != SQLITE_DONE) {
        error = describeFailure(db, code);
        ok = false;
    }
    inputs.reset();
    if (ok && out.size() != 0)
        ok = sink(out);
    std::string ignored;
    execute(db, "COMMIT", ignored);
    return ok;
}

} // namespace zudorhost

// A catalogue of schema 1 brought to this schema in place, in one transaction, by the first
// run that writes it. Schema 1 kept a name that is not UTF-8 as its raw bytes in `source`,
// kept the URLs of its inputs whole with their secrets, had no warnings, skipped BigTIFF files
// met in a walk, and held only the inputs of its last run, which could lie one inside another.
#include <algorithm>

#include "catalogue/catalogue_db.h"
#include "catalogue/catalogue_plan.h"
#include "catalogue/catalogue_writer.h"
#include "zudor_host/text_encoding.h"

namespace zudorhost {
namespace {

// The record's file from a path's bytes: a URL without its secrets, mended into UTF-8.
void shownSource(sqlite3_context *context, int, sqlite3_value **values)
{
    const auto *bytes = static_cast<const char *>(sqlite3_value_blob(values[0]));
    const std::string name = inputName(std::string(bytes != nullptr ? bytes : "", size_t(sqlite3_value_bytes(values[0]))));
    std::string scratch;
    size_t n = name.size();
    const char *text = asUtf8(name.data(), n, scratch);
    sqlite3_result_text64(context, text, n, SQLITE_TRANSIENT, SQLITE_UTF8);
}

// The exact bytes of a path whose bytes are not UTF-8, else null.
void exactBytes(sqlite3_context *context, int, sqlite3_value **values)
{
    const auto *bytes = static_cast<const char *>(sqlite3_value_blob(values[0]));
    const std::string name = inputName(std::string(bytes != nullptr ? bytes : "", size_t(sqlite3_value_bytes(values[0]))));
    std::string scratch;
    size_t n = name.size();
    if (asUtf8(name.data(), n, scratch) == name.data())
        sqlite3_result_null(context);
    else
        sqlite3_result_blob64(context, name.data(), name.size(), SQLITE_TRANSIENT);
}

// The rows copied into the new tables. A record that is not complete, and a skipped file, lose
// their identity, so that the next run reads them again: their warnings, and a BigTIFF met in
// a walk, which is now a record with its error, come as a fresh scan gives them.
const char *kTables = R"sql(
%DOCUMENTS%
INSERT INTO documents_2(id, input, ord, source, sourceBytes, size, modified, inode, etag, checked,
                        summary, title, author, createTime, packetBytes, packet, error)
    SELECT id, input, ord, zudor_shown(source), zudor_exact(source),
           iif(kept, size, NULL), iif(kept, modified, NULL), iif(kept, inode, NULL), iif(kept, etag, NULL),
           iif(kept, checked, NULL), summary, title, author, createTime, packetBytes, packet, error
    FROM (SELECT *, summary = 'complete' AND error IS NULL AS kept FROM documents);
DROP TABLE documents;
ALTER TABLE documents_2 RENAME TO documents;
%INDEX%
%SKIPPED%
INSERT INTO skipped_2(id, input, ord, source, sourceBytes)
    SELECT id, input, ord, zudor_shown(source), zudor_exact(source) FROM skipped;
DROP TABLE skipped;
ALTER TABLE skipped_2 RENAME TO skipped;
)sql";

std::string replaced(std::string text, const std::string &mark, const std::string &with)
{
    const size_t at = text.find(mark);
    return at == std::string::npos ? text : text.replace(at, mark.size(), with);
}

struct OldInput {
    int64_t id;
    InputKind kind;
    std::string name;
    int64_t position;
};

// One input per name, none inside another: an input named again with other secrets, or lying
// inside another, joins it, its files held once.
bool joinInputs(CatalogueWriter &writer, std::string &error)
{
    sqlite3 *db = writer.db();
    std::vector<OldInput> inputs;
    Statement all;
    if (!all.prepare(db, "SELECT id, kind, path, position FROM inputs ORDER BY position, id", error))
        return false;
    int code;
    while ((code = all.step()) == SQLITE_ROW) {
        const auto kind = InputKind(all.integer(1));
        const std::string path = all.string(2);
        inputs.push_back({all.integer(0), kind, kind == InputKind::Path ? inputName(path) : path, all.integer(3)});
    }
    if (code != SQLITE_DONE) {
        error = describeFailure(db, code);
        return false;
    }
    const auto join = [&](OldInput &from, OldInput &into) {
        into.position = std::min(into.position, from.position);
        const bool joined = writer.mergeInput(from.id, into.id, error);
        from.id = 0;
        return joined;
    };
    // First an input named again joins the first of its name; then one that lies inside
    // others joins the outermost, the one of the shortest name.
    for (OldInput &input : inputs)
        for (OldInput &first : inputs) {
            if (&first == &input)
                break;
            if (first.id != 0 && first.kind == input.kind && first.name == input.name) {
                if (!join(input, first))
                    return false;
                break;
            }
        }
    for (OldInput &input : inputs) {
        OldInput *outermost = nullptr;
        for (OldInput &other : inputs)
            if (other.id != 0 && input.id != 0 && input.kind == InputKind::Path && other.kind == InputKind::Path &&
                containsInput(other.name, input.name) && (outermost == nullptr || other.name.size() < outermost->name.size()))
                outermost = &other;
        if (outermost != nullptr && !join(input, *outermost))
            return false;
    }
    Statement rename;
    if (!rename.prepare(db, "UPDATE inputs SET path = ?2, position = ?3 WHERE id = ?1", error))
        return false;
    for (const OldInput &input : inputs) {
        if (input.id != 0 && (code = rename.bind(1, input.id).bind(2, input.name).bind(3, input.position).run()) != SQLITE_DONE) {
            error = describeFailure(db, code);
            return false;
        }
    }
    return true;
}

} // namespace

bool CatalogueDb::upgrade(std::string &error)
{
    sqlite3 *db = db_.get();
    const int flags = SQLITE_UTF8 | SQLITE_DETERMINISTIC;
    if (sqlite3_create_function(db, "zudor_shown", 1, flags, nullptr, shownSource, nullptr, nullptr) != SQLITE_OK ||
        sqlite3_create_function(db, "zudor_exact", 1, flags, nullptr, exactBytes, nullptr, nullptr) != SQLITE_OK) {
        error = describeFailure(db, sqlite3_errcode(db));
        return false;
    }
    std::string tables = replaced(kTables, "%DOCUMENTS%", documentsTable("documents_2"));
    tables = replaced(replaced(tables, "%SKIPPED%", skippedTable("skipped_2")), "%INDEX%", kIncompleteIndex);
    // The secrets of the rows rewritten are overwritten where they stood, not left in pages
    // the file keeps free.
    if (!execute(db, "PRAGMA secure_delete=ON; BEGIN IMMEDIATE;", error))
        return false;
    schema_ = kCatalogueSchema;
    CatalogueWriter writer(*this);
    bool ok = execute(db, tables.c_str(), error) && writer.prepare(error) && joinInputs(writer, error) &&
              execute(db, ("PRAGMA user_version=" + std::to_string(kCatalogueSchema) + "; COMMIT;").c_str(), error);
    std::string ignored;
    if (!ok) {
        execute(db, "ROLLBACK", ignored);
        schema_ = 1;
        error = "cannot be upgraded from schema 1: " + error + "; it was left as it is";
    }
    execute(db, "PRAGMA secure_delete=OFF", ignored);
    sqlite3_create_function(db, "zudor_shown", 1, flags, nullptr, nullptr, nullptr, nullptr);
    sqlite3_create_function(db, "zudor_exact", 1, flags, nullptr, nullptr, nullptr, nullptr);
    return ok;
}

} // namespace zudorhost

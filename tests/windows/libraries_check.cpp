// What libraries_test.py asks of the static libcurl and SQLite that scripts/lib/windows-deps
// builds, one line per probe on standard output:
//   libraries_check https URL CA_FILE OTHER_CA_FILE
//       the CA file and folder trusted by default, a ranged GET of URL trusting CA_FILE, and the
//       same trusting OTHER_CA_FILE ("ok STATUS HTTP/VERSION BODY" or "error CODE MESSAGE")
//   libraries_check sqlite FILE
//       an FTS5 table made and queried in FILE ("match ROWID TITLE"), then PRAGMA compile_options
//       ("option NAME")
#include <cstdio>
#include <cstring>
#include <string>

#include <curl/curl.h>
#include <sqlite3.h>

namespace {

size_t keep(char *data, size_t size, size_t count, void *body)
{
    static_cast<std::string *>(body)->append(data, size * count);
    return size * count;
}

// The first 100 bytes, as the fetch stage asks for a document's first window.
void get(const char *probe, const char *url, const char *caFile)
{
    CURL *easy = curl_easy_init();
    std::string body;
    char error[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(easy, CURLOPT_URL, url);
    curl_easy_setopt(easy, CURLOPT_RANGE, "0-99");
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_2TLS));
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, 30000L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, keep);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(easy, CURLOPT_CAINFO, caFile);
    const CURLcode code = curl_easy_perform(easy);
    long status = 0, version = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(easy, CURLINFO_HTTP_VERSION, &version);
    if (code == CURLE_OK)
        std::printf("%s: ok %ld HTTP/%s %s\n", probe, status, version == CURL_HTTP_VERSION_2_0 ? "2" : "1.1",
                    body.c_str());
    else
        std::printf("%s: error %d %s\n", probe, int(code), *error ? error : curl_easy_strerror(code));
    curl_easy_cleanup(easy);
}

// The CA file and folder libcurl trusts when told none: the system's store alone ("none").
void defaultTrust()
{
    CURL *easy = curl_easy_init();
    const char *file = nullptr, *folder = nullptr;
    curl_easy_getinfo(easy, CURLINFO_CAINFO, &file);
    curl_easy_getinfo(easy, CURLINFO_CAPATH, &folder);
    std::printf("default ca file: %s\ndefault ca folder: %s\n", file ? file : "none", folder ? folder : "none");
    curl_easy_cleanup(easy);
}

int https(const char *url, const char *caFile, const char *otherCaFile)
{
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
        return 1;
    std::printf("tls: %s\n", curl_version_info(CURLVERSION_NOW)->ssl_version);
    defaultTrust();
    get("ca file", url, caFile);
    get("other ca file", url, otherCaFile);
    curl_global_cleanup();
    return 0;
}

bool run(sqlite3 *db, const char *sql)
{
    char *message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK)
        return true;
    std::printf("sql error: %s\n", message);
    sqlite3_free(message);
    return false;
}

bool list(sqlite3 *db, const char *sql, const char *label)
{
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) {
        std::printf("sql error: %s\n", sqlite3_errmsg(db));
        return false;
    }
    while (sqlite3_step(statement) == SQLITE_ROW) {
        std::printf("%s", label);
        for (int i = 0; i < sqlite3_column_count(statement); ++i)
            std::printf(" %s", reinterpret_cast<const char *>(sqlite3_column_text(statement, i)));
        std::printf("\n");
    }
    return sqlite3_finalize(statement) == SQLITE_OK;
}

int sqlite(const char *file)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(file, &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
        std::printf("sql error: %s\n", db != nullptr ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close(db);
        return 1;
    }
    const bool ok =
        run(db, "PRAGMA journal_mode=WAL;"
                "CREATE VIRTUAL TABLE search USING fts5(title, author);"
                "INSERT INTO search(rowid, title, author) VALUES (3, 'Harbour at dawn', 'Ada Lindqvist'),"
                "  (5, 'Harbour lights', 'Bo Ek'), (7, 'Fields at dusk', 'Ada Lindqvist');") &&
        list(db, "SELECT rowid, title FROM search WHERE search MATCH 'title:harbour AND ada' ORDER BY rowid",
             "match") &&
        list(db, "PRAGMA compile_options", "option");
    sqlite3_close(db);
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 5 && std::strcmp(argv[1], "https") == 0)
        return https(argv[2], argv[3], argv[4]);
    if (argc == 3 && std::strcmp(argv[1], "sqlite") == 0)
        return sqlite(argv[2]);
    std::fprintf(stderr, "usage: libraries_check https URL CA_FILE OTHER_CA_FILE | sqlite FILE\n");
    return 2;
}

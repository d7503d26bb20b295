// The catalogue: what a run reads again and what it leaves, what survives a stopped run, who
// may write, what is refused, what it keeps of names, secrets and zones, and the upgrade of a
// catalogue of schema 1; always held to a fresh scan of the same files.
#include <atomic>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "tiff_builder.h"
#include "tool_fixture.h"
#include "zudor_host/catalogue.h"
#include "zudor_host/module.h"
#include "zudor_host/record_writers.h"

namespace fs = std::filesystem;
using testhost::TiffBuilder;
using namespace zudorhost;

namespace {

const char *kPacket =
    "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
    "<rdf:Description rdf:about=\"\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\"><dc:format>image/tiff"
    "</dc:format></rdf:Description></rdf:RDF></x:xmpmeta>";

// A URL with credentials and a signature: a run reads it as the URL without them, which names
// no host, so its record is the same error wherever the test runs.
const char *kUrl = "'http://alice:PW@/a.tif?X-Amz-Signature=abc&X-Amz-Credential=def'";

// A document whose bytes say which one it is; two properties each (the title and the first
// Artist are fields of their own).
std::vector<uint8_t> document(const std::string &title, bool xmp = false)
{
    TiffBuilder b;
    b.ifd().ascii(269, title).ascii(270, "harbour " + title).ascii(271, "Northlight").ascii(315, "Ada");
    if (xmp)
        b.bytes(700, testhost::kUndefined, kPacket);
    return b.build();
}

std::vector<uint8_t> cutShort(std::vector<uint8_t> bytes, size_t keep)
{
    bytes.resize(keep);
    return bytes;
}

// A BigTIFF header and its first directory's offset: a TIFF the reader does not read.
std::string fromBase64(const std::string &text)
{
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        if (c == '=')
            break;
        bits = bits << 6 | uint32_t(alphabet.find(c));
        if ((count += 6) >= 8)
            out.push_back(char(bits >> (count -= 8)));
    }
    return out;
}

const std::vector<uint8_t> kBigTiff = {'I', 'I', 43, 0, 8, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

class CatalogueTest : public ToolTest {
protected:
    void SetUp() override
    {
        ToolTest::SetUp();
        db_ = (dir_ / "c.db").string();
    }

    // Written with a time long past, unless racy: a file changed within the timestamps'
    // granularity of being catalogued is read again by every run until it settles. A racy
    // file's time lies ahead, so that no run, however slow, comes late enough to trust it.
    void write(const std::string &name, const std::vector<uint8_t> &bytes, int age = 1000, bool racy = false)
    {
        const std::string path = ToolTest::write("tree/" + name, bytes);
        fs::last_write_time(path, fs::file_time_type::clock::now() + std::chrono::hours(racy ? 1 : -age));
    }
    std::string tree() const { return (dir_ / "tree").string(); }

    std::string fresh(const std::string &inputs, const std::string &xmp = "parsed")
    {
        return run(inputs + " - --format json --xmp " + xmp).out;
    }
    std::string exported() { return run("--catalog c.db --export").out; }

    std::string query(const std::string &sql)
    {
        sqlite3 *db = nullptr;
        sqlite3_open_v2(db_.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_stmt *stmt = nullptr;
        std::string value = "(failed)";
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW)
            value = reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0));
        sqlite3_finalize(stmt);
        sqlite3_close(db);
        return value;
    }

    // A run through the library, with a commit after every batch and a hook after each.
    bool update(std::function<void(uint64_t)> afterCommit, CatalogueCounts &counts, unsigned jobs = 2)
    {
        std::string error;
        if (!module_.table().getSummaryInfo && !module_.load(ZUDOR_MODULE_PATH, error))
            return false;
        CatalogueOptions options;
        options.commitSeconds = 0;
        options.afterCommit = std::move(afterCommit);
        Failure failure;
        auto catalogue = Catalogue::open(db_, Catalogue::Access::Update, options, failure);
        if (!catalogue)
            return false;
        RunOptions run;
        run.jobs = jobs;
        CatalogueInputs inputs;
        inputs.paths = {tree()};
        CatalogueUpdate update(*catalogue, module_.table(), inputs, run, nullptr);
        while (update.next()) {
        }
        const bool finished = update.finish();
        counts = update.counts();
        return finished;
    }
    void removeCatalogue()
    {
        for (const char *suffix : {"", "-wal", "-shm"})
            fs::remove(db_ + suffix);
    }

    // A file outside the tree, written long ago.
    void writeBeside(const std::string &name, const std::vector<uint8_t> &bytes)
    {
        fs::last_write_time(ToolTest::write(name, bytes), fs::file_time_type::clock::now() - std::chrono::hours(1000));
    }

    // Runs SQL on the catalogue at path, as another program would; empty, or what failed.
    static std::string execute(const std::string &path, const std::string &sql)
    {
        sqlite3 *db = nullptr;
        sqlite3_open(path.c_str(), &db);
        char *message = nullptr;
        std::string failure;
        if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK)
            failure = message != nullptr ? message : "failed";
        sqlite3_free(message);
        sqlite3_close(db);
        return failure;
    }

    // The catalogue of catalogue_v1.sql at path, its files' identities those of the files
    // writeOldTree wrote, taken long after they were written: as if the files had stayed as
    // they were since its last run, whatever a later version makes of them.
    void loadOldCatalogue(const std::string &path)
    {
        ASSERT_EQ(execute(path, slurp(CATALOGUE_V1_SQL)), "");
        std::string updates;
        for (const char *table : {"documents", "skipped"}) {
            sqlite3 *db = nullptr;
            sqlite3_open(path.c_str(), &db);
            sqlite3_stmt *rows = nullptr;
            sqlite3_prepare_v2(db, (std::string("SELECT id, CAST(source AS BLOB) FROM ") + table).c_str(), -1, &rows,
                               nullptr);
            while (sqlite3_step(rows) == SQLITE_ROW) {
                const std::string source(static_cast<const char *>(sqlite3_column_blob(rows, 1)),
                                         size_t(sqlite3_column_bytes(rows, 1)));
                struct stat st {};
                if (stat((dir_ / source).c_str(), &st) != 0)
                    continue; // a URL
                updates += std::string("UPDATE ") + table + " SET size = " + std::to_string(st.st_size) +
                           ", modified = " + std::to_string(st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec) +
                           ", inode = " + std::to_string(st.st_ino) + ", checked = " +
                           std::to_string(wallClockNs()) + " WHERE id = " +
                           std::to_string(sqlite3_column_int64(rows, 0)) + ";";
            }
            sqlite3_finalize(rows);
            sqlite3_close(db);
        }
        ASSERT_EQ(execute(path, updates), "");
    }

    // The files of the catalogue in catalogue_v1.sql, which the last sievecheck of schema 1
    // made with --catalog c.db -i tree -i tree/sub -i 'http://alice:PW@/a.tif?...' (kUrl).
    void writeOldTree()
    {
        write("a.tif", document("a"));
        write("sub/c.tif", document("c"));
        write("cut.tif", cutShort(document("cut"), 60));
        write("big.tif", kBigTiff);
        write("bad\xff\xfe.tif", document("bad"));
        write("notes.txt", {'h', 'i', '\n'});
    }

    LoadedModule module_;

    std::string db_;
};

// What a run over the tree counts after each change, and how much it read; its JSON and the
// export are always a fresh scan's.
TEST_F(CatalogueTest, EachRunReadsOnlyWhatChanged)
{
    struct Step {
        const char *what;
        std::function<void()> change;
        const char *counts;
        bool readsNothing;
    };
    const std::vector<Step> steps = {
        {"first run", [&] {
             write("a.tif", document("a"));
             write("b.tif", document("b", true));
             write("sub/c.tif", document("c"));
             write("sub-d.tif", document("d")); // sorts before sub/ in the walk
             write("notes.txt", {'h', 'i', '\n'});
         }, "new 4, changed 0, unchanged 0, removed 0", false},
        {"nothing changed", [] {}, "new 0, changed 0, unchanged 4, removed 0", true},
        {"changed content", [&] { write("b.tif", document("B-second", true)); }, "new 0, changed 1, unchanged 3, removed 0", false},
        {"same size, other time", [&] { write("a.tif", document("x"), 500); }, "new 0, changed 1, unchanged 3, removed 0", false},
        {"same size and time, other inode", [&] {
             const fs::path a = dir_ / "tree" / "a.tif";
             const auto when = fs::last_write_time(a);
             write("a.new", document("y"));
             fs::last_write_time(dir_ / "tree" / "a.new", when);
             fs::rename(dir_ / "tree" / "a.new", a);
         }, "new 0, changed 1, unchanged 3, removed 0", false},
        {"removed", [&] { fs::remove(dir_ / "tree" / "sub" / "c.tif"); }, "new 0, changed 0, unchanged 3, removed 1", true},
        {"renamed", [&] { fs::rename(dir_ / "tree" / "b.tif", dir_ / "tree" / "e.tif"); }, "new 1, changed 0, unchanged 2, removed 1", false},
        // Its first bytes are looked at; the reader reads nothing.
        {"no longer a TIFF", [&] { write("a.tif", {'n', 'o', 'p', 'e'}); }, "new 0, changed 0, unchanged 2, removed 1", true},
        {"a TIFF again, just written", [&] { write("a.tif", document("z"), 0, true); }, "new 1, changed 0, unchanged 2, removed 0", false},
        // Read again, and said to be that, not changed.
        {"still too fresh to trust", [] {},
         "new 0, changed 0, unchanged 2, removed 0, untouched 0\ncatalogue: read again though as it saw them: 1 ", false},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.what);
        step.change();
        ToolRun r = run("--catalog c.db -i tree --stats --format json --jobs 2");
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find(std::string("catalogue: ") + step.counts), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("reads 0,") != std::string::npos, step.readsNothing) << r.err;
        const std::string scan = fresh("-i tree");
        EXPECT_EQ(r.out, scan);
        EXPECT_EQ(exported(), scan);
    }
    // The index answers for the values a record holds now, not those it held once.
    EXPECT_EQ(query("SELECT count(*) FROM search WHERE search MATCH 'harbour'"), "3");
    EXPECT_EQ(query("SELECT count(*) FROM search WHERE search MATCH 'second'"), "1");
    EXPECT_EQ(query("SELECT count(*) FROM search WHERE search MATCH 'x OR y'"), "0");
    EXPECT_EQ(query("SELECT source FROM documents WHERE id IN (SELECT rowid FROM search WHERE search MATCH 'title:z')"),
              "tree/a.tif");

    // A list besides: its files in its order, after the tree, whose file named again is
    // the tree's; the tree's others are kept.
    writeBeside("list/one.tif", document("one"));
    writeBeside("list/two.tif", document("two"));
    std::ofstream(dir_ / "files.txt") << "list/two.tif\ntree/missing.tif\nlist/one.tif\n";
    ToolRun listed = run("--catalog c.db -i tree/sub-d.tif --files-from files.txt --stats");
    EXPECT_EQ(listed.status, 1) << "a listed file is missing";
    EXPECT_NE(listed.err.find("catalogue: new 3, changed 0, unchanged 1, removed 0, untouched 2"), std::string::npos)
        << listed.err;
    EXPECT_EQ(exported(), fresh("-i tree --files-from files.txt"));
    EXPECT_EQ(query("SELECT count(*) FROM inputs"), "2");

    // A changed file named twice is kept once, as its last line has it, index and all.
    writeBeside("list/one.tif", document("one-again"));
    std::ofstream(dir_ / "files.txt") << "list/one.tif\nlist/two.tif\nlist/one.tif\n";
    ToolRun twice = run("--catalog c.db -i tree/sub-d.tif --files-from files.txt --stats");
    EXPECT_EQ(twice.status, 0) << twice.err;
    EXPECT_NE(twice.err.find("catalogue: new 0, changed 2, unchanged 2, removed 1"), std::string::npos) << twice.err;
    EXPECT_EQ(query("SELECT group_concat(ord) FROM documents WHERE source = 'list/one.tif'"), "3");
    EXPECT_EQ(query("SELECT count(*) FROM search WHERE search MATCH 'again'"), "1");
}

// A file with the size, time and inode catalogued is not opened: its record comes from the
// catalogue, even when its bytes were changed in place behind the time's back.
TEST_F(CatalogueTest, UnchangedFilesAreNotOpened)
{
    write("a.tif", document("old"));
    ASSERT_EQ(run("--catalog c.db -i tree").status, 0);
    const fs::path a = dir_ / "tree" / "a.tif";
    const auto when = fs::last_write_time(a);
    const std::vector<uint8_t> bytes = document("new");
    std::fstream(a, std::ios::in | std::ios::out | std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
    fs::last_write_time(a, when);
    ToolRun r = run("--catalog c.db -i tree --format json --stats");
    EXPECT_NE(r.out.find("\"title\":\"old\""), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("reads 0,"), std::string::npos) << r.err;
    EXPECT_NE(fresh("-i tree").find("\"title\":\"new\""), std::string::npos);
}

// The look that tells an unchanged file finds it in its folder, as the open that reads it does:
// a file whose path passes the system's limit while its folder's does not was read again, as
// changed, by every run.
TEST_F(CatalogueTest, KnowsAFileUnchangedWhosePathPassesTheLimit)
{
    // Made and removed a folder at a time, as the whole path would be refused.
    const std::string folder(250, 'd'), file = std::string(200, 'f') + ".tif";
    ASSERT_GT(std::string("tree/").size() + 16 * (folder.size() + 1) + file.size(), size_t(PATH_MAX));
    fs::create_directories(dir_ / "tree");
    std::vector<int> fds{::open((dir_ / "tree").c_str(), O_DIRECTORY | O_CLOEXEC)};
    for (int depth = 0; depth < 16; ++depth) {
        ::mkdirat(fds.back(), folder.c_str(), 0755);
        fds.push_back(::openat(fds.back(), folder.c_str(), O_DIRECTORY | O_CLOEXEC));
    }
    const std::vector<uint8_t> bytes = document("deep");
    const int out = ::openat(fds.back(), file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    EXPECT_EQ(::write(out, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    const timespec longAgo[2] = {{std::time(nullptr) - 3600 * 1000, 0}, {std::time(nullptr) - 3600 * 1000, 0}};
    EXPECT_EQ(::futimens(out, longAgo), 0);
    ::close(out);

    EXPECT_EQ(run("--catalog c.db -i tree").status, 0);
    ToolRun again = run("--catalog c.db -i tree --stats");
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_NE(again.err.find("catalogue: new 0, changed 0, unchanged 1, removed 0"), std::string::npos) << again.err;
    EXPECT_NE(again.err.find("reads 0,"), std::string::npos) << again.err;

    ::unlinkat(fds.back(), file.c_str(), 0);
    while (fds.size() > 1) {
        ::close(fds.back());
        fds.pop_back();
        ::unlinkat(fds.back(), folder.c_str(), AT_REMOVEDIR);
    }
    ::close(fds.back());
}

// A catalogue of raw packets keeps their text, and holds every later run to raw mode.
TEST_F(CatalogueTest, KeepsTheXmpModeItWasMadeWith)
{
    write("a.tif", document("a", true));
    ASSERT_EQ(run("--catalog c.db -i tree --xmp raw").status, 0);
    EXPECT_EQ(exported(), fresh("-i tree", "raw"));
    EXPECT_EQ(query("SELECT packetBytes = length(packet) FROM documents"), "1");
    // The index holds what the packet says, not its markup, and forgets it with the record.
    EXPECT_EQ(query("SELECT count(*) FROM search WHERE search MATCH 'xmp:tiff'"), "1");
    EXPECT_EQ(query("SELECT count(*) FROM search WHERE search MATCH 'xmp:rdf OR xmp:purl'"), "0");
    write("a.tif", document("a"), 10);
    ASSERT_EQ(run("--catalog c.db -i tree").status, 0);
    EXPECT_EQ(query("SELECT count(*) FROM search WHERE search MATCH 'xmp:tiff'"), "0");
    ToolRun parsed = run("--catalog c.db -i tree --xmp parsed");
    EXPECT_EQ(parsed.status, 2);
    EXPECT_NE(parsed.err.find("keeps raw XMP"), std::string::npos) << parsed.err;
    EXPECT_EQ(run("--catalog c.db -i tree --stats").status, 0) << "raw by default from now on";
}

// Stopped after a chosen number of commits with kill -9, then run again: what was committed
// is not read again, and the end is a fresh scan's.
TEST_F(CatalogueTest, ResumesAfterAKillAtAnyCommit)
{
    for (int i = 0; i < 300; ++i)
        write("d" + std::to_string(i % 3) + "/" + std::to_string(1000 + i) + ".tif", document(std::to_string(i), i % 4 == 0));
    std::string error;
    ASSERT_TRUE(module_.load(ZUDOR_MODULE_PATH, error)) << error;
    for (uint64_t killAfter : {1, 4, 7}) {
        SCOPED_TRACE(killAfter);
        removeCatalogue();
        const pid_t child = fork();
        if (child == 0) {
            CatalogueCounts ignored;
            update([killAfter](uint64_t commits) {
                if (commits == killAfter)
                    raise(SIGKILL);
            }, ignored);
            _exit(0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
        const std::string committed = query("SELECT count(*) FROM documents");
        EXPECT_EQ(committed, std::to_string(32 * killAfter)) << "whole batches, each once";
        CatalogueCounts counts;
        ASSERT_TRUE(update(nullptr, counts));
        EXPECT_EQ(std::to_string(counts.unchanged), committed);
        EXPECT_EQ(counts.added + counts.unchanged, 300u);
        EXPECT_EQ(exported(), fresh("-i " + tree()));
    }
}

// A reader querying while a run writes sees whole batches: never a document without its
// properties, never part of a batch.
TEST_F(CatalogueTest, ReadersSeeWholeBatches)
{
    for (int i = 0; i < 400; ++i)
        write(std::to_string(1000 + i) + ".tif", document(std::to_string(i)));
    Failure failure;
    ASSERT_TRUE(Catalogue::open(db_, Catalogue::Access::Update, {}, failure)) << failure.message; // the schema exists
    std::atomic<bool> done{false};
    std::atomic<int> looks{0}, torn{0};
    std::thread reader([&] {
        sqlite3 *db = nullptr;
        sqlite3_open_v2(db_.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_busy_timeout(db, 5000);
        sqlite3_stmt *stmt = nullptr;
        sqlite3_prepare_v2(db, "SELECT (SELECT count(*) FROM documents), (SELECT count(*) FROM properties),"
                               " (SELECT count(*) FROM search WHERE search MATCH 'harbour')", -1, &stmt, nullptr);
        while (!done) {
            if (sqlite3_step(stmt) == SQLITE_ROW) {
                const int64_t documents = sqlite3_column_int64(stmt, 0);
                torn += sqlite3_column_int64(stmt, 1) != 2 * documents || sqlite3_column_int64(stmt, 2) != documents ||
                        (documents != 400 && documents % 32 != 0);
                ++looks;
            }
            sqlite3_reset(stmt);
        }
        sqlite3_finalize(stmt);
        sqlite3_close(db);
    });
    // Two runs: the first adds every document, the second replaces every one.
    CatalogueCounts first, second;
    EXPECT_TRUE(update(nullptr, first, 1));
    for (int i = 0; i < 400; ++i)
        write(std::to_string(1000 + i) + ".tif", document("second " + std::to_string(i)), 10);
    EXPECT_TRUE(update(nullptr, second, 2));
    done = true;
    reader.join();
    EXPECT_EQ(first.added, 400u);
    EXPECT_EQ(second.changed, 400u);
    EXPECT_GT(looks.load(), 0);
    EXPECT_EQ(torn.load(), 0);
}

// One run writes at a time: another is refused at once, or waits when asked to.
TEST_F(CatalogueTest, ASecondWriterIsRefusedOrWaits)
{
    write("a.tif", document("a"));
    Failure failure;
    auto holder = Catalogue::open(db_, Catalogue::Access::Update, {}, failure);
    ASSERT_TRUE(holder) << failure.message;
    // A caller tells a busy catalogue by its kind, as sievecheck does to suggest --wait.
    EXPECT_FALSE(Catalogue::open(db_, Catalogue::Access::Update, {}, failure));
    EXPECT_EQ(failure.kind, Failure::Kind::Busy);
    ToolRun refused = run("--catalog c.db -i tree");
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("another run is updating this catalogue; give --wait"), std::string::npos) << refused.err;
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        holder.reset();
    });
    ToolRun waited = run("--catalog c.db -i tree --wait --stats");
    release.join();
    EXPECT_EQ(waited.status, 0) << waited.err;
    EXPECT_NE(waited.err.find("catalogue: new 1"), std::string::npos) << waited.err;
    // Readers need no lock: the export works beside a writer.
    holder = Catalogue::open(db_, Catalogue::Access::Update, {}, failure);
    EXPECT_EQ(exported(), fresh("-i tree"));
}

// What is not a catalogue of ours, or no longer whole, is refused and left as it is.
TEST_F(CatalogueTest, RefusesWhatIsNotAWholeCatalogue)
{
    write("a.tif", document("a"));
    ASSERT_EQ(run("--catalog good.db -i tree").status, 0);
    const std::string good = slurp(dir_ / "good.db");
    ASSERT_GT(good.size(), 8192u);
    struct Case {
        const char *name;
        std::function<void()> make;
        const char *message;
    };
    const std::vector<Case> cases = {
        {"text", [&] { std::ofstream(db_) << "my notes, not a database\n"; }, "not an SQLite database"},
        {"another program's", [&] { removeCatalogue(); sqlite3 *db; sqlite3_open(db_.c_str(), &db);
             sqlite3_exec(db, "CREATE TABLE mine(x); INSERT INTO mine VALUES(1)", nullptr, nullptr, nullptr); sqlite3_close(db); },
         "an SQLite database of another kind"},
        {"newer", [&] { fs::copy_file(dir_ / "good.db", db_, fs::copy_options::overwrite_existing); sqlite3 *db;
             sqlite3_open(db_.c_str(), &db); sqlite3_exec(db, "PRAGMA user_version=99", nullptr, nullptr, nullptr); sqlite3_close(db); },
         "made by a newer version"},
        {"pages overwritten", [&] { std::string bytes = good; for (size_t i = 4096; i < bytes.size(); ++i) bytes[i] = char(i * 7);
             std::ofstream(db_, std::ios::binary) << bytes; }, "corrupt"},
        {"cut short", [&] { std::ofstream(db_, std::ios::binary) << good.substr(0, 50); }, "not an SQLite database"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        c.make();
        const std::string before = slurp(db_);
        ToolRun r = run("--catalog c.db -i tree");
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(slurp(db_), before) << "left as it was";
        EXPECT_EQ(run("--catalog c.db --export").status, 2);
    }
}

// A full disk or a catalogue that cannot be written: a clear error, status 2, and the
// catalogue as its last commit left it, which the next run resumes from.
TEST_F(CatalogueTest, FullOrReadOnlyDiskLeavesTheLastCommit)
{
    const fs::path small = dir_ / "small";
    fs::create_directories(small);
    if (mount("zudor-catalogue", small.c_str(), "tmpfs", 0, "size=640k") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here: " << std::strerror(errno);
    struct Unmount {
        std::string at;
        ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
    } unmount{small.string()};
    const std::string big(3000, 'w');
    for (int i = 0; i < 600; ++i)
        write(std::to_string(1000 + i) + ".tif", document(big + std::to_string(i)));
    ToolRun full = run("--catalog small/c.db -i tree --jobs 2");
    EXPECT_EQ(full.status, 2);
    EXPECT_NE(full.err.find("the disk is full"), std::string::npos) << full.err;
    db_ = (small / "c.db").string();
    const std::string kept = query("SELECT count(*) FROM documents");
    EXPECT_EQ(query("SELECT count(*) = 2 * " + kept + " FROM properties"), "1");
    EXPECT_EQ(query("PRAGMA quick_check"), "ok");
    ASSERT_EQ(mount("zudor-catalogue", small.c_str(), "tmpfs", MS_REMOUNT, "size=32m"), 0); // the log and the database
    ToolRun resumed = run("--catalog small/c.db -i tree --stats");
    EXPECT_EQ(resumed.status, 0) << resumed.err;
    EXPECT_NE(resumed.err.find("unchanged " + kept + ","), std::string::npos) << resumed.err;
    const std::string whole = run("--catalog small/c.db --export").out;
    EXPECT_EQ(whole, fresh("-i tree"));
    ASSERT_EQ(execute((small / "old.db").string(), slurp(CATALOGUE_V1_SQL)), "");

    // Read-only: refused to runs, which say how to go on, and read by the export as it is.
    ASSERT_EQ(mount("zudor-catalogue", small.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr), 0);
    write("new.tif", document("new"));
    ToolRun readOnly = run("--catalog small/c.db -i tree");
    EXPECT_EQ(readOnly.status, 2);
    EXPECT_NE(readOnly.err.find("cannot write: Read-only file system; an export reads it as it is"), std::string::npos)
        << readOnly.err;
    ToolRun exported = run("--catalog small/c.db --export");
    EXPECT_EQ(exported.status, 0) << exported.err;
    EXPECT_EQ(exported.out, whole);
    ToolRun old = run("--catalog small/old.db -i tree");
    EXPECT_EQ(old.status, 2);
    EXPECT_NE(old.err.find("made by an earlier version (schema 1) and cannot be upgraded here (cannot write: "
                           "Read-only file system): copy it where it can be written"), std::string::npos) << old.err;
    ToolRun oldExported = run("--catalog small/old.db --export");
    EXPECT_EQ(oldExported.status, 0) << oldExported.err;
    EXPECT_NE(oldExported.out.find("{\"file\":\"tree/a.tif\",\"summary\":\"complete\",\"title\":\"a\""),
              std::string::npos) << oldExported.out;
}

// A run updates what its inputs cover and leaves the rest: a path inside an input updates
// that input's files below it (not those beside it, like a-z.tif beside a/), an input that
// contains others takes them over, and --forget drops what it names. No file is held twice.
TEST_F(CatalogueTest, RunsOverPartOfTheCatalogue)
{
    for (const char *name : {"a/1.tif", "a/2.tif", "a-z.tif", "b/3.tif", "c.tif"})
        write(name, document(name));
    writeBeside("other/4.tif", document("4"));
    const std::string rest = "-i tree/a-z.tif -i tree/a -i tree/c.tif";
    struct Step {
        const char *what;
        std::function<void()> change;
        std::string args;
        int status;
        const char *says;      // in the standard error
        std::string exportOf;  // the inputs of a fresh scan the export equals
        const char *inputs;    // rows in the inputs table
        std::string outputOf;  // the inputs of a fresh scan the run's output equals, if any
    };
    const std::vector<Step> steps = {
        {"the tree", [] {}, "-i tree", 0, "new 5, changed 0, unchanged 0, removed 0, untouched 0", "-i tree", "1", ""},
        {"another input, the tree kept", [] {}, "-i other", 0, "new 1, changed 0, unchanged 0, removed 0, untouched 5",
         "-i tree -i other", "2", ""},
        {"a folder inside, a file gone from it", [&] { fs::remove(dir_ / "tree/a/2.tif"); }, "-i tree/a", 0,
         "new 0, changed 0, unchanged 1, removed 1, untouched 4", "-i tree -i other", "2", ""},
        {"a new file inside", [&] { write("b/5.tif", document("5")); }, "-i tree/b/5.tif", 0,
         "new 1, changed 0, unchanged 0, removed 0, untouched 5", "-i tree -i other", "2", ""},
        {"a folder inside forgotten", [] {}, "--forget tree/b", 0, "new 0, changed 0, unchanged 0, removed 2, untouched 4",
         rest + " -i other", "2", ""},
        {"nothing to forget there", [] {}, "--forget tree/b", 2, "tree/b: the catalogue holds no input of that name",
         rest + " -i other", "2", ""},
        {"an input forgotten", [] {}, "--forget other", 0, "removed 1, untouched 3", rest, "1", ""},
        {"the tree and a folder in it at once", [] {}, "-i tree -i tree/a --format json", 0,
         "new 2, changed 0, unchanged 3, removed 0, untouched 0", "-i tree", "1", "-i tree -i tree/a"},
        {"an input that contains others", [&] {
             removeCatalogue();
             ASSERT_EQ(run("--catalog c.db -i tree/b -i tree/a -i tree/c.tif").status, 0);
         }, "-i tree", 0, "new 1, changed 0, unchanged 4, removed 0, untouched 0", "-i tree", "1", ""},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.what);
        step.change();
        ToolRun r = run("--catalog c.db --stats " + step.args);
        EXPECT_EQ(r.status, step.status) << r.err;
        EXPECT_NE(r.err.find(step.says), std::string::npos) << r.err;
        EXPECT_EQ(exported(), fresh(step.exportOf));
        EXPECT_EQ(query("SELECT count(*) FROM inputs"), step.inputs);
        if (!step.outputOf.empty()) {
            EXPECT_EQ(r.out, fresh(step.outputOf));
        }
    }
}

// A run that writes no records still says why its exit status is 1: the file it could not read,
// and the records it holds unread that are not complete.
TEST_F(CatalogueTest, SaysWhyARunIsNotComplete)
{
    write("a.tif", document("a"));
    ToolRun r = run("--catalog c.db -i tree/a.tif -i tree/gone.tif");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("tree/gone.tif: cannot open"), std::string::npos) << r.err;
    r = run("--catalog c.db -i tree/a.tif");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("c.db: 1 of the records it holds and this run did not read are not complete"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("a.tif"), std::string::npos) << r.err;
}

// A record keeps what a fresh scan writes of it: why it is not complete, and a name that is
// not UTF-8 exactly, apart from the name that reads alike once mended. A list of the exported
// names (fileBytes decoded where there is one) reads the same files again.
TEST_F(CatalogueTest, KeepsWarningsAndExactNames)
{
    write("cut.tif", cutShort(document("cut"), 60));
    write("bad\xff\xfe.tif", document("bytes"));
    write("bad\xc3\xbf\xc3\xbe.tif", document("text")); // what the other's name reads as
    write("ok.tif", document("ok"));
    const std::string scan = fresh("-i tree");
    ASSERT_NE(scan.find("\"warnings\":[\"the "), std::string::npos) << scan;
    for (const char *counts : {"new 4, changed 0, unchanged 0", "new 0, changed 0, unchanged 4"}) {
        ToolRun r = run("--catalog c.db -i tree --stats --format json");
        EXPECT_NE(r.err.find(counts), std::string::npos) << r.err;
        EXPECT_EQ(r.out, scan) << "unchanged files' records come from the catalogue";
    }
    const std::string records = exported();
    EXPECT_EQ(records, scan);
    EXPECT_EQ(query("SELECT count(*) FROM documents WHERE source = 'tree/bad\xc3\xbf\xc3\xbe.tif'"), "2");
    EXPECT_EQ(query("SELECT hex(sourceBytes) FROM documents WHERE sourceBytes IS NOT NULL"),
              "747265652F626164FFFE2E746966");

    std::string names;
    for (size_t at = 0; at < records.size(); at = records.find('\n', at) + 1) {
        const std::string line = records.substr(at, records.find('\n', at) - at);
        const auto value = [&](const std::string &key) {
            const size_t start = line.find("\"" + key + "\":\"");
            return start == std::string::npos ? std::string()
                                              : line.substr(start + key.size() + 4, line.find('"', start + key.size() + 4) -
                                                                                        start - key.size() - 4);
        };
        const std::string bytes = value("fileBytes");
        names += (bytes.empty() ? value("file") : fromBase64(bytes)) + '\0';
    }
    ToolTest::write("names.list", names);
    EXPECT_EQ(run("--files-from names.list -0 - --format json").out, records);
}

// A catalogue holds no secret: a URL's credentials and signature stay out of its inputs and
// records, and the same URL with other credentials is the same input.
TEST_F(CatalogueTest, KeepsNoSecret)
{
    const std::vector<std::string> urls = {kUrl, "'http://bob:QQ@/a.tif?X-Amz-Signature=ghi&X-Amz-Credential=jkl'"};
    const char *counts[] = {"new 1, changed 0, unchanged 0, removed 0", "new 0, changed 1, unchanged 0, removed 0"};
    for (size_t i = 0; i < urls.size(); ++i) {
        ToolRun r = run("--catalog c.db --stats -i " + urls[i]);
        EXPECT_NE(r.err.find(counts[i]), std::string::npos) << r.err;
        EXPECT_EQ(exported(), fresh("-i " + urls[i]));
    }
    EXPECT_EQ(query("SELECT group_concat(path) FROM inputs"), "http:///a.tif");
    const std::string bytes = slurp(db_) + slurp(db_ + "-wal");
    for (const char *secret : {"alice", "PW", "abc", "def", "bob", "QQ", "ghi", "jkl"})
        EXPECT_EQ(bytes.find(secret), std::string::npos) << secret;
}

// A catalogue reads every DateTime in one zone, the one it was first filled in: a later run
// takes it whatever zone it starts in, and one asked for another zone is refused.
TEST_F(CatalogueTest, KeepsItsTimeZone)
{
    const auto dated = [](const std::string &title) {
        return TiffBuilder().ifd().ascii(269, title).ascii(306, "2024:02:29 08:07:49").build();
    };
    struct Step {
        const char *what;
        std::string program, args;
        int status;
        const char *says;
    };
    const std::string sievecheck = SIEVECHECK_PATH;
    const std::vector<Step> steps = {
        {"filled in New York", sievecheck, "--time-zone America/New_York", 0, ""},
        {"started in Tokyo", "env TZ=Asia/Tokyo " + sievecheck, "", 0, ""},
        {"asked for Tokyo", sievecheck, "--time-zone Asia/Tokyo", 2,
         "reads DateTimes in America/New_York, not Asia/Tokyo; run with --time-zone America/New_York"},
    };
    int age = 100;
    for (const Step &step : steps) {
        SCOPED_TRACE(step.what);
        write("a.tif", dated(step.what), age--); // read again by each run
        const std::string inNewYork = fresh("-i tree --time-zone America/New_York");
        ASSERT_NE(inNewYork, fresh("-i tree --time-zone Asia/Tokyo"));
        ToolRun r = run("--catalog c.db -i tree --format json " + step.args, step.program);
        EXPECT_EQ(r.status, step.status) << r.err;
        EXPECT_NE(r.err.find(step.says), std::string::npos) << r.err;
        if (step.status == 0) {
            EXPECT_EQ(r.out, inNewYork);
        }
    }
    EXPECT_EQ(query("SELECT value FROM settings WHERE name = 'timeZone'"), "America/New_York");
}

// A catalogue of schema 1 is upgraded by the first run that writes it: a name that is not
// UTF-8 keeps its exact bytes, the secrets go, inputs that lay one inside the other become one
// and hold each file once, and what schema 1 could not say is read again (the warnings of a
// record that is not complete, a BigTIFF it skipped in a walk), the rest not. Its export is
// then a fresh scan's.
TEST_F(CatalogueTest, UpgradesACatalogueOfSchema1)
{
    writeOldTree();
    loadOldCatalogue(db_);
    const std::string inputs = std::string("-i tree -i ") + kUrl;
    ToolRun r = run("--catalog c.db --stats " + inputs);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("catalogue: new 1, changed 2, unchanged 3, removed 0, untouched 0"), std::string::npos)
        << r.err;
    EXPECT_EQ(exported(), fresh(inputs));
    EXPECT_EQ(query("SELECT user_version FROM pragma_user_version"), "2");
    EXPECT_EQ(query("SELECT group_concat(path, ' ') FROM (SELECT path FROM inputs ORDER BY position)"), "tree http:///a.tif");
    EXPECT_EQ(query("SELECT value FROM settings WHERE name = 'timeZone'"), "UTC");
    const std::string bytes = slurp(db_) + slurp(db_ + "-wal");
    for (const char *secret : {"alice", "PW", "abc", "def"})
        EXPECT_EQ(bytes.find(secret), std::string::npos) << secret;
    ToolRun again = run("--catalog c.db --stats " + inputs);
    EXPECT_NE(again.err.find("reads 0,"), std::string::npos) << again.err;
}


} // namespace

// sievecheck run as a user runs it, on files made by the test builder and by a real peer.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tiff_builder.h"
#include "tool_fixture.h"

namespace fs = std::filesystem;
using nlohmann::json;
using testhost::TiffBuilder;

namespace {

const char *kPacket =
    "<?xpacket begin=\"\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?><x:xmpmeta xmlns:x=\"adobe:ns:meta/\">"
    "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description "
    "rdf:about=\"\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\"><dc:format>image/tiff"
    "</dc:format></rdf:Description></rdf:RDF></x:xmpmeta><?xpacket end=\"r\"?>";

class CliTest : public ToolTest {
protected:
    std::vector<json> lines(const std::string &out)
    {
        std::vector<json> records;
        size_t start = 0;
        for (size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1)
            records.push_back(json::parse(out.substr(start, end - start)));
        return records;
    }

    static std::vector<uint8_t> richDocument(bool littleEndian = true)
    {
        return TiffBuilder(littleEndian)
            .ifd()
            .ascii(269, "Harbour")
            .ascii(270, "Boats at dawn")
            .ascii(271, "Northlight")
            .ascii(272, "NL")
            .ascii(305, "darkroom")
            .ascii(306, "2024:02:29 13:45:00")
            .ascii(315, "Ada")
            .bytes(700, testhost::kUndefined, kPacket)
            .ifd()
            .ascii(316, "studio")
            .ascii(333, "cyan\0magenta")
            .ascii(337, "press")
            .ascii(33432, "(c) Ada")
            .ascii(315, "Second Artist")
            .build();
    }

};

TEST_F(CliTest, JsonRecordHoldsEveryRoleInOrder)
{
    for (bool littleEndian : {true, false}) {
        const std::string file = write(littleEndian ? "le.tif" : "be.tif", richDocument(littleEndian));
        ToolRun r = run("-i " + file + " - --format json");
        ASSERT_EQ(r.status, 0) << r.err;
        const auto records = lines(r.out);
        ASSERT_EQ(records.size(), 1u);
        const json expected = json::parse(R"({"file":")" + file + R"(","summary":"complete",
            "title":"Harbour","author":"Ada","createTime":"2024-02-29T13:45:00Z",
            "properties":[["Description","Boats at dawn"],["Make","Northlight"],["Model","NL"],
                ["Software","darkroom"],["Host Computer","studio"],["Ink Set","cyan"],
                ["Target Printer","press"],["Copyright","(c) Ada"],["Author","Second Artist"]],
            "xmp":{"packetBytes":)" + std::to_string(std::strlen(kPacket)) + R"(,
                "properties":[["dc:format","image/tiff"]]},"error":null,"warnings":[]})");
        EXPECT_EQ(records[0], expected);
        // Keys in the documented order, not merely the same set.
        EXPECT_EQ(r.out.find("{\"file\""), 0u);
        EXPECT_LT(r.out.find("\"summary\""), r.out.find("\"title\""));
        EXPECT_LT(r.out.find("\"xmp\""), r.out.find("\"error\""));
        EXPECT_LT(r.out.find("\"error\""), r.out.find("\"warnings\""));
    }
    // The DateTime read in another zone: the same wall clock, another instant.
    const std::string file = (dir_ / "le.tif").string();
    for (const auto &[zone, time] : {std::pair<std::string, std::string>{"Asia/Tokyo", "2024-02-29T04:45:00Z"},
                                     {"America/New_York", "2024-02-29T18:45:00Z"}, {"EST5EDT", "2024-02-29T18:45:00Z"}})
        EXPECT_EQ(lines(run("-i " + file + " - --format json --time-zone " + zone).out).at(0)["createTime"], time)
            << zone;
    // No DateTime is no time: null, never the zero time shown as 1970.
    const std::string undated = write("undated.tif", TiffBuilder().ifd().ascii(269, "Harbour").build());
    ToolRun r = run("-i " + undated + " - --format json");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lines(r.out).at(0), json::parse(R"({"file":")" + undated + R"(","summary":"complete","title":"Harbour",
        "author":null,"createTime":null,"properties":[],"xmp":null,"error":null,"warnings":[]})"));
}

// Every record that is not complete says why, in words that name the place in the file; a
// complete one that lost its XMP says so too. The reason is the host's: a read it served short,
// a request it refused, a packet it turned down, or its own walk of the directories.
TEST_F(CliTest, RecordsThatAreNotCompleteSayWhy)
{
    struct Case {
        const char *name;
        std::vector<uint8_t> bytes;
        const char *options;
        const char *summary;
        std::vector<std::string> warnings;
    };
    const auto cut = [](std::vector<uint8_t> bytes, size_t size) { return bytes.resize(size), bytes; };
    const std::vector<uint8_t> twoPages = TiffBuilder().ifd().ascii(269, "Harbour").ifd().ascii(271, "NL").build();
    const std::string xmpOpen = std::string(kPacket).substr(0, std::strlen(kPacket) - 40);
    const std::vector<Case> cases = {
        {"cut-entries.tif", cut(TiffBuilder().ifd().ascii(269, "Harbour").ascii(271, "Northlight").build(), 20), "",
         "none", {"the 2 entries of directory 1 (24 bytes from offset 10) run past the end of the file (20 bytes)"}},
        {"chain-leaves.tif", TiffBuilder().ifd().ascii(269, "Harbour").nextOffset(90000).build(), "", "none",
         {"directory 2 is said to lie at offset 90000, past the end of the file (34 bytes)"}},
        {"cut-second-page.tif", cut(twoPages, twoPages.size() - 10), "", "none",
         {"the one entry of directory 2 (12 bytes from offset 36) runs past the end of the file (42 bytes)"}},
        {"value-past.tif", TiffBuilder().ifd().raw(271, testhost::kAscii, 30, 70000).build(), "", "none",
         {"the Make value in directory 1 is said to lie at offset 70000, past the end of the file (26 bytes)"}},
        {"bad-date.tif", TiffBuilder().ifd().ascii(306, "the day after today").build(), "", "partial",
         {"the first DateTime, \"the day after today\", is not of the form YYYY:MM:DD HH:MM:SS"}},
        {"short-date.tif", TiffBuilder().ifd().ascii(306, "2024:02:29").build(), "", "partial",
         {"the first DateTime, \"2024:02:29\", holds 11 bytes, not the 20 of YYYY:MM:DD HH:MM:SS and its end"}},
        {"old-date.tif", TiffBuilder().ifd().ascii(306, "1901:12:13 20:45:52").build(), "", "partial",
         {"the first DateTime, \"1901:12:13 20:45:52\", falls outside 1970 to 3000 in the local time zone"}},
        {"refused.tif", TiffBuilder().ifd().ascii(270, std::string(5000, 'd')).build(), "--max-request 4096", "none",
         {"a request for 5002 bytes was refused: a file of 5028 bytes may ask for 4096 bytes at most "
          "(the host's cap on a request)"}},
        {"broken-xmp.tif", TiffBuilder().ifd().ascii(269, "Harbour").bytes(700, testhost::kUndefined, xmpOpen).build(),
         "", "complete", {"an XMP packet of " + std::to_string(xmpOpen.size()) + " bytes is not XMP that parses; it was left out"}},
        {"clean.tif", richDocument(), "", "complete", {}},
    };
    for (const Case &c : cases) {
        const std::string file = write(c.name, c.bytes);
        const ToolRun r = run("-i " + file + " - --format json " + c.options);
        const auto records = lines(r.out);
        ASSERT_EQ(records.size(), 1u) << c.name << r.err;
        EXPECT_EQ(records[0]["summary"], c.summary) << c.name;
        EXPECT_TRUE(records[0]["error"].is_null()) << c.name;
        EXPECT_EQ(records[0]["warnings"], json(c.warnings)) << c.name;
        const ToolRun text = run("-i " + file + " - --format text " + c.options);
        for (const std::string &warning : c.warnings)
            EXPECT_NE(text.out.find("  warning        " + warning + "\n"), std::string::npos) << text.out;
    }
}

TEST_F(CliTest, RawXmpAndTextFormat)
{
    const std::string file = write("a.tif", richDocument());
    ToolRun raw = run("-i " + file + " - --format json --xmp raw");
    ASSERT_EQ(raw.status, 0);
    EXPECT_EQ(lines(raw.out)[0]["xmp"], (json{{"packetBytes", std::strlen(kPacket)}, {"packet", kPacket}}));

    ToolRun text = run("-i " + file + " - --format text");
    EXPECT_EQ(text.status, 0);
    for (const char *expected : {"  summary        complete\n", "  title          Harbour\n",
                                 "  created        2024-02-29T13:45:00Z\n", "  Host Computer  studio\n",
                                 "    dc:format = image/tiff\n"})
        EXPECT_NE(text.out.find(expected), std::string::npos) << expected << "\n" << text.out;
}

TEST_F(CliTest, StatusesAndErrorsNameTheFile)
{
    const std::string good = write("d/1-good.tif", richDocument());
    write("d/2-short.tif", std::string("II*\0", 4));
    write("d/3-text.tif", "just some text, not a TIFF at all\n");
    const std::string badDate = write("d/sub/4-date.tif", TiffBuilder().ifd().ascii(306, "not a date at all!!").ascii(271, "M").build());
    const std::string missing = (dir_ / "missing.tif").string();

    ToolRun r = run("-i " + (dir_ / "d").string() + " -i " + missing + " - --format json");
    EXPECT_EQ(r.status, 1);
    const auto records = lines(r.out);
    // The text file met in the walk is no TIFF and is skipped.
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0]["file"], good);
    EXPECT_EQ(records[0]["summary"], "complete");
    EXPECT_EQ(records[1]["error"], "cannot read the TIFF header (shorter than 8 bytes)");
    // The rejected date fails the first walk; the second finds the chain ended.
    EXPECT_EQ(records[2]["file"], badDate);
    EXPECT_EQ(records[2]["summary"], "partial");
    EXPECT_EQ(records[3]["error"], "cannot open: No such file or directory");
    EXPECT_NE(r.err.find("sievecheck: " + missing + ": cannot open"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("2-short.tif: cannot read the TIFF header"), std::string::npos) << r.err;

    EXPECT_EQ(run("-i " + good + " -").status, 0);
    EXPECT_EQ(run("-i " + good + " a b").status, 2);
    EXPECT_EQ(run("--format xml -i " + good).status, 2);
    EXPECT_EQ(run("-i " + good + " " + good).status, 2) << "would overwrite its input";
    ToolRun noModule = run("--module " + missing + " -i " + good);
    EXPECT_EQ(noModule.status, 2);
    EXPECT_NE(noModule.err.find("cannot load the reader module"), std::string::npos);
    EXPECT_NE(run("--help").out.find("EXIT STATUS"), std::string::npos);
    ToolRun version = run("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("sievecheck 1.", 0), 0u) << version.out;
}

// Enough documents to take every worker's ring of batches round many times, of uneven cost
// so that batches finish out of order: every job count writes what one job writes.
TEST_F(CliTest, JobsDoNotChangeTheOutput)
{
    constexpr int kDocuments = 4000;
    for (int i = 0; i < kDocuments; ++i) {
        TiffBuilder b(i % 2 == 0);
        b.ifd().ascii(269, "doc " + std::to_string(i));
        if (i % 3 == 0)
            b.bytes(700, testhost::kUndefined, kPacket);
        if (i % 5 == 0)
            b.ifd().ascii(305, std::string(size_t(i % 97) * 200, 's'));
        write("many/" + std::to_string(i) + ".tif", i % 7 == 0 ? std::vector<uint8_t>(3, 0) : b.build());
    }
    const std::string dir = (dir_ / "many").string();
    const std::string totals = "documents 3428: complete 3428, partial 0, none 0, errors 0; skipped 572";
    ToolRun one = run("-i " + dir + " - --format json --jobs 1 --stats");
    EXPECT_EQ(lines(one.out).size(), 3428u);
    EXPECT_NE(one.err.find(totals), std::string::npos) << one.err;
    for (unsigned jobs : std::set<unsigned>{2, 3, std::max(1u, std::thread::hardware_concurrency())}) {
        const ToolRun many = run("-i " + dir + " - --format json --stats --jobs " + std::to_string(jobs));
        EXPECT_EQ(many.status, 0) << many.err;
        EXPECT_NE(many.err.find(totals), std::string::npos) << many.err;
        const auto differ = std::mismatch(one.out.begin(), one.out.end(), many.out.begin(), many.out.end());
        EXPECT_TRUE(one.out == many.out) << jobs << " jobs differ from one at byte " << differ.first - one.out.begin();
    }
}

// A walk's files are opened and read a batch at a time where the system allows it, each then
// served from that read or, when it did not end within it, opened again. Whatever its size,
// a walked file gives the record it gives listed, when it is opened on its own.
TEST_F(CliTest, WalkedFilesGiveTheRecordsTheyGiveListed)
{
    std::string list;
    for (int i = 0; i < 40; ++i) {
        // From under a KiB to past the stream's 64 KiB window.
        const std::string name = (i < 10 ? "walk/0" : "walk/") + std::to_string(i) + ".tif";
        const std::vector<uint8_t> doc = TiffBuilder(i % 2 == 0)
                                             .ifd()
                                             .ascii(269, "doc " + std::to_string(i))
                                             .ascii(305, std::string(size_t(i * i) * 50, 's'))
                                             .bytes(700, testhost::kUndefined, kPacket)
                                             .build();
        list += write(name, doc) + "\n";
    }
    const ToolRun listed = run("--files-from " + write("list", list) + " - --format json --jobs 1");
    ASSERT_EQ(lines(listed.out).size(), 40u) << listed.err;
    for (const char *jobs : {"1", "2"}) {
        const ToolRun walked = run("-i " + (dir_ / "walk").string() + " - --format json --jobs " + jobs);
        EXPECT_EQ(walked.status, 0) << walked.err;
        EXPECT_TRUE(walked.out == listed.out) << jobs << " jobs";
    }
}

// A walk reads a linked file as the file, and never follows a link into a directory: neither
// one that leads back up the tree nor one that leads out of it.
TEST_F(CliTest, WalksReadLinkedFilesButNeverEnterLinkedDirectories)
{
    const std::string a = write("tree/a.tif", richDocument()), c = write("tree/sub/c.tif", richDocument());
    const std::string outside = write("outside/o.tif", richDocument(false));
    fs::create_directory_symlink("..", dir_ / "tree/sub/up");
    fs::create_directory_symlink(dir_ / "outside", dir_ / "tree/out");
    fs::create_symlink(outside, dir_ / "tree/b.tif");
    ToolRun r = run("-i " + (dir_ / "tree").string() + " - --format json");
    const auto records = lines(r.out);
    std::vector<std::string> files;
    for (const json &record : records)
        files.push_back(record["file"]);
    EXPECT_EQ(files, (std::vector<std::string>{a, (dir_ / "tree/b.tif").string(), c}));
    EXPECT_EQ(r.status, 0) << r.err;
}

// Two packets bind one prefix to different namespaces. Each file lists its own prefix, read
// alone or after the other, on one job or two; the toolkit's registry would make up zz_1_ for
// whichever came second.
TEST_F(CliTest, ARecordsPrefixesDependOnlyOnItsOwnFile)
{
    auto document = [](const char *uri) {
        const std::string packet = std::string("<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF xmlns:rdf="
            "\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description rdf:about=\"\" xmlns:zz=\"") + uri +
            "\"><zz:Q>" + uri + "</zz:Q></rdf:Description></rdf:RDF></x:xmpmeta>";
        return TiffBuilder().ifd().ascii(269, "doc").bytes(700, testhost::kUndefined, packet).build();
    };
    const std::string a = write("a.tif", document("http://ns.example/a/"));
    const std::string b = write("b.tif", document("http://ns.example/b/"));
    for (const char *order : {"-i A -i B", "-i B -i A"})
        for (const char *jobs : {"1", "2"}) {
            std::string args = order;
            args.replace(args.find('A'), 1, a);
            args.replace(args.find('B'), 1, b);
            const auto records = lines(run(args + " - --format json --jobs " + jobs).out);
            ASSERT_EQ(records.size(), 2u) << order << " --jobs " << jobs;
            for (const json &record : records) {
                const std::string uri = record["file"] == a ? "http://ns.example/a/" : "http://ns.example/b/";
                EXPECT_EQ(record["xmp"]["properties"], json::array({json::array({"zz:Q", uri})}))
                    << order << " --jobs " << jobs;
            }
        }
}

// What the host does before the reader: classic TIFF headers go on, a BigTIFF gets its error
// wherever it is met, anything else is skipped in a directory walk, an error when named, and
// read anyway with --any-file.
TEST_F(CliTest, FilesAreIdentifiedByTheirFirstBytes)
{
    struct Case { const char *name; std::string bytes; const char *namedError; };
    const std::vector<Case> cases = {
        {"a-le.tif", std::string("II*\0\0\0\0\0", 8), nullptr},
        {"b-be.tif", std::string("MM\0*\0\0\0\0", 8), nullptr},
        {"c-big.tif", std::string("II+\0\x08\0\0\0\x10\0\0\0\0\0\0\0", 16), "BigTIFF is not supported"},
        {"d.jpg", std::string("\xff\xd8\xff\xe0\0\x10JFIF\0", 11), "not a TIFF file"},
        {"e.png", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16), "not a TIFF file"},
        {"f.txt", "II is how a text may start\n", "not a TIFF file"},
    };
    std::string named, files = (dir_ / "id").string();
    for (const Case &c : cases)
        named += " -i " + write("id/" + std::string(c.name), c.bytes);

    ToolRun walked = run("-i " + files + " - --format json --stats");
    EXPECT_EQ(walked.status, 1) << "skipped files are no failures, the BigTIFF is";
    EXPECT_EQ(lines(walked.out).size(), 3u);
    EXPECT_NE(walked.err.find("errors 1 (BigTIFF 1); skipped 3"), std::string::npos) << walked.err;

    ToolRun one = run(named + " - --format json");
    EXPECT_EQ(one.status, 1);
    const auto records = lines(one.out);
    ASSERT_EQ(records.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(records[i]["error"], cases[i].namedError ? json(cases[i].namedError) : json(nullptr)) << cases[i].name;

    const auto any = lines(run("--any-file -i " + files + " - --format json").out);
    ASSERT_EQ(any.size(), cases.size());
    EXPECT_TRUE(any[3]["error"].is_null()) << "the reader itself saw the JPEG";
}

// Standard input, lists of files with either separator, a pipe that must not block, and a file
// gone between listing and reading.
TEST_F(CliTest, InputsFromStandardInputListsAndSpecialFiles)
{
    const std::string a = write("in/a.tif", richDocument()), b = write("in/b c.tif", richDocument(false));
    const std::string gone = (dir_ / "in/gone.tif").string();
    const std::string fifo = (dir_ / "in/fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const auto direct = lines(run("-i " + a + " -i '" + b + "' - --format json").out);

    json fromStdin = lines(run("-i - - --format json < " + a).out).at(0);
    EXPECT_EQ(fromStdin["file"], "-");
    fromStdin["file"] = a;
    EXPECT_EQ(fromStdin, direct[0]);
    // Standard input is held whole, so no more of it than the largest request: a document one
    // byte over the cap is refused, one at it is read.
    const std::string size = std::to_string(fs::file_size(a));
    ToolRun over = run("-i - - --format json --max-request " + std::to_string(fs::file_size(a) - 1) + " < " + a);
    EXPECT_EQ(lines(over.out).at(0)["error"], "standard input is larger than the largest request granted (" +
                                                  std::to_string(fs::file_size(a) - 1) + " bytes)");
    EXPECT_EQ(over.status, 1);
    // What is not a TIFF is judged by its header: read no further, it is never over the cap.
    const std::string zeros = write("in/zeros", std::string(1 << 20, '\0'));
    for (const char *isolate : {"", " --isolate"}) {
        const ToolRun notTiff = run(std::string("-i - - --format json --max-request 4096") + isolate + " < " + zeros);
        EXPECT_EQ(lines(notTiff.out).at(0)["error"], "not a TIFF file") << isolate << notTiff.out;
    }
    EXPECT_EQ(lines(run("-i - - --format json --max-request " + size + " < " + a).out).at(0)["summary"], "complete");

    // Blank lines, CR LF line ends (a list written on Windows), no separator after the last.
    for (const bool nul : {false, true}) {
        const std::string list = nul ? std::string(1, '\0') + a + '\0' + '\0' + gone + '\0' + b
                                     : "\n" + a + "\r\n\r\n" + gone + "\n\n" + b;
        ToolRun r = run("--files-from " + write("list", list) + (nul ? " -0" : "") + " - --format json");
        const auto records = lines(r.out);
        ASSERT_EQ(records.size(), 3u) << r.err;
        EXPECT_EQ(records[0], direct[0]);
        EXPECT_EQ(records[1]["error"], "cannot open: No such file or directory");
        EXPECT_EQ(records[2], direct[1]);
        EXPECT_EQ(r.status, 1);
    }

    // What never ends or never comes is refused at once, in the same words whether named or
    // listed (a list skips the look before opening); a walk passes it by.
    const std::string socketPath = (dir_ / "in/socket").string();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    const int listening = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(bind(listening, reinterpret_cast<const sockaddr *>(&address), sizeof address), 0);
    close(listening);
    std::string named, listed;
    for (const std::string &special : {std::string("/dev/zero"), fifo, std::string("/dev/null"), socketPath}) {
        named += " -i " + special;
        listed += special + "\n";
    }
    const ToolRun byName = run(named + " - --format json"), byList = run("--files-from " + write("specials", listed) + " - --format json");
    std::vector<json> errors;
    for (const json &record : lines(byName.out))
        errors.push_back(record["error"]);
    EXPECT_EQ(errors, (std::vector<json>{"not a regular file (a device)", "not a regular file (a named pipe)",
                                         "not a regular file (a device)", "not a regular file (a socket)"}));
    EXPECT_EQ(byList.out, byName.out);
    EXPECT_EQ(byList.err, byName.err);
    EXPECT_EQ(byList.status, 1);

    ToolRun walk = run("-i " + (dir_ / "in").string() + " - --format json");
    EXPECT_EQ(lines(walk.out), (std::vector<json>{direct[0], direct[1]})) << walk.err;
}

TEST_F(CliTest, StatsCountTheMinimumReads)
{
    // Header, then per IFD: entry count, entries, next offset, and one read per value over
    // four bytes; a seek to each IFD, each such value and back to the next offset.
    const std::string file = write("s.tif", TiffBuilder().ifd().ascii(269, "Harbour").ascii(271, "NL").ifd().ascii(305, "darkroom").build());
    ToolRun r = run("-i " + file + " --stats --format json");
    EXPECT_NE(r.err.find("reads 9, seeks 6,"), std::string::npos) << r.err;
}

TEST_F(CliTest, LatinOneBytesBecomeCharacters)
{
    // Also in the file's name, and next to what JSON must escape.
    const std::string file = write("l\xe9.tif", TiffBuilder().ifd().ascii(271, "Caf\xe9 \xc3\xa9")
                                                    .ascii(272, "a\"b\\c\nd\x01").build());
    ToolRun r = run("-i " + file + " --format json");
    ASSERT_EQ(r.status, 0) << r.err;
    const json record = lines(r.out)[0];
    EXPECT_EQ(record["file"], file.substr(0, file.size() - 5) + "\xc3\xa9.tif");
    EXPECT_EQ(record["properties"][0][1], "Caf\xc3\xa9 \xc3\xa9");
    EXPECT_EQ(record["properties"][1][1], "a\"b\\c\nd\x01");
}

// A name that is not UTF-8 is shown mended and given exactly, so that two names that mend
// alike stay apart and each can be named again; a UTF-8 name has no fileBytes.
TEST_F(CliTest, NamesThatAreNotUtf8KeepTheirExactBytes)
{
    const std::string raw = write("bad\xff\xfe.tif", richDocument()), real = write("bad\xc3\xbf\xc3\xbe.tif", richDocument());
    ToolRun r = run("-i '" + raw + "' -i '" + real + "' - --format json");
    const auto records = lines(r.out);
    ASSERT_EQ(records.size(), 2u) << r.err;
    EXPECT_EQ(records[0]["file"], records[1]["file"]);
    std::string encoded; // the exact name in base64, by hand: the directory is ASCII
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (size_t i = 0; i < raw.size(); i += 3) {
        const uint32_t b = uint32_t(uint8_t(raw[i])) << 16 | (i + 1 < raw.size() ? uint8_t(raw[i + 1]) << 8 : 0) |
                           (i + 2 < raw.size() ? uint8_t(raw[i + 2]) : 0);
        encoded += {digits[b >> 18 & 63], digits[b >> 12 & 63], i + 1 < raw.size() ? digits[b >> 6 & 63] : '=',
                    i + 2 < raw.size() ? digits[b & 63] : '='};
    }
    EXPECT_EQ(records[0]["fileBytes"], encoded);
    EXPECT_FALSE(records[1].contains("fileBytes"));
    EXPECT_LT(r.out.find("\"fileBytes\""), r.out.find("\"summary\"")) << "right after file";
    // The exact bytes name the file again.
    ToolRun again = run("--files-from " + write("list", raw + "\n") + " - --format json");
    EXPECT_EQ(lines(again.out).at(0), records[0]);
}

// What a terminal would obey rather than show, read back from text output: \n, \r, \t, \xHH
// and \u00HH stand for the byte or character; anything else is itself.
std::string unshown(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const char next = i + 1 < text.size() ? text[i + 1] : '\0';
        if (text[i] == '\\' && (next == 'n' || next == 'r' || next == 't')) {
            out += next == 'n' ? '\n' : next == 'r' ? '\r' : '\t';
            ++i;
        } else if (text.compare(i, 2, "\\x") == 0 || text.compare(i, 4, "\\u00") == 0) {
            const size_t digits = text[i + 1] == 'x' ? i + 2 : i + 4;
            const unsigned code = unsigned(std::stoul(text.substr(digits, 2), nullptr, 16));
            out += code < 0x80 ? std::string(1, char(code)) : std::string{char(0xC2), char(code)};
            i = digits + 1;
        } else {
            out += text[i];
        }
    }
    return out;
}

// Whatever bytes a value or a name holds, the JSON record keeps them for a strict parser and
// the text record shows them without handing the terminal a raw control byte.
TEST_F(CliTest, EveryByteReachesStrictJsonAndTheTerminalIntact)
{
    struct Value { std::string put, shown; };
    std::vector<std::vector<Value>> documents;
    // Each byte JSON must escape, and each byte that is not UTF-8 on its own (read as Latin-1),
    // at every offset of a 48-byte value: the scans take eight or sixteen bytes at a time from
    // wherever the value lies, so this crosses every word and block edge.
    std::string special = "\x7f\"\\", high;
    for (int b = 1; b < 0x20; ++b)
        special += char(b);
    for (int b = 0x80; b < 0x100; ++b)
        high += char(b);
    const auto latin1 = [](char c) {
        return uint8_t(c) < 0x80 ? std::string(1, c) : std::string{char(0xC0 | uint8_t(c) >> 6), char(0x80 | (c & 0x3F))};
    };
    for (char c : special + high) {
        auto &values = documents.emplace_back();
        for (size_t at = 0; at < 48; ++at) {
            std::string v(48, 'v');
            v[at] = c;
            values.push_back({v, std::string(v).replace(at, 1, latin1(c))});
        }
    }
    // Bytes that are not UTF-8 become Latin-1 characters, C1 controls among them; a zero
    // ends an ASCII value.
    std::string longValue;
    for (size_t i = 0; i < 100000; ++i)
        longValue += i % 97 == 0 ? special[i / 97 % special.size()] : char('A' + i % 26);
    documents.push_back({{"\xe9\x1b[31mred", "\xc3\xa9\x1b[31mred"},
                         {"\xe2\x82\x1f", "\xc3\xa2\xc2\x82\x1f"},
                         {"\xc0\xaf\"\xed\xa0\x80", "\xc3\x80\xc2\xaf\"\xc3\xad\xc2\xa0\xc2\x80"},
                         // Overlong forms of '/' in three and four bytes, which strict parsers refuse.
                         {"\xe0\x80\xaf|\xf0\x80\x80\xaf", "\xc3\xa0\xc2\x80\xc2\xaf|\xc3\xb0\xc2\x80\xc2\x80\xc2\xaf"},
                         {"\x9b" "2J\r\xe2\x82\xac", "\xc2\x9b" "2J\r\xe2\x82\xac"},
                         {std::string("ab\0\x1b", 4), "ab"},
                         {longValue, longValue}});
    const std::string packet = std::string(kPacket).replace(std::strlen(kPacket) - 60, 0, "\x1b]0;title\x07\r\n\t\x1e");
    // The file names hold bytes to mend too: the one of each high byte's document at the
    // offset of its number in a 16-byte span of the path.
    const std::string bytesDir = (dir_ / "bytes/").string();
    std::vector<std::string> files;
    for (size_t d = 0; d < documents.size(); ++d) {
        TiffBuilder b;
        b.ifd();
        for (const Value &v : documents[d])
            b.ascii(270, v.put);
        if (d == 0)
            b.bytes(700, testhost::kUndefined, packet);
        std::string name = bytesDir + std::to_string(100 + d), file = name;
        if (d == 1) {
            name += "\x1b[2J\n\xe9", file += "\x1b[2J\n\xc3\xa9";
        } else if (d >= special.size() && d < special.size() + high.size()) {
            file = name.append(size_t(d - name.size()) % 16, '-') + latin1(high[d - special.size()]);
            name += high[d - special.size()];
        }
        write(name + ".tif", b.build());
        files.push_back(file + ".tif");
    }
    const std::string dir = "'" + (dir_ / "bytes").string() + "'";

    ToolRun json = run("-i " + dir + " - --format json --xmp raw");
    ASSERT_EQ(json.status, 0) << json.err;
    const auto records = lines(json.out); // a strict parser: it throws on a raw control byte
    ASSERT_EQ(records.size(), documents.size());
    EXPECT_EQ(records[0]["xmp"]["packet"], packet);
    for (size_t d = 0; d < documents.size(); ++d) {
        EXPECT_EQ(records[d]["file"], files[d]);
        for (size_t i = 0; i < documents[d].size(); ++i)
            EXPECT_EQ(records[d]["properties"][i][1], documents[d][i].shown) << d << " " << i;
    }

    ToolRun text = run("-i " + dir + " - --format text --xmp raw");
    ASSERT_EQ(text.status, 0) << text.err;
    const std::string &out = text.out;
    for (size_t i = 0; i < out.size(); ++i) {
        const auto b = uint8_t(out[i]);
        const bool lines = b == '\n' || b == '\t' || (b == '\r' && out[i + 1] == '\n');
        ASSERT_TRUE((b >= 0x20 && b != 0x7F && !(b == 0xC2 && uint8_t(out[i + 1]) < 0xA0)) || lines)
            << "raw byte " << unsigned(b) << " at " << i;
    }
    // A value may span lines, each later one starting under its first (17 columns in); the next
    // field or file starts a line of its own.
    std::vector<std::string> shown;
    const std::string label = "\n  Description    ", indent(17, ' ');
    for (size_t at = 0; (at = out.find(label, at)) != std::string::npos;) {
        size_t end = at += label.size();
        while (out[end] != '\n' || (end + 1 < out.size() && out.compare(end + 1, indent.size(), indent) == 0))
            ++end;
        std::string value = out.substr(at, end - at);
        for (size_t line = 0; (line = value.find("\n" + indent, line)) != std::string::npos;)
            value.erase(++line, indent.size());
        shown.push_back(unshown(value));
    }
    size_t k = 0;
    for (const auto &values : documents)
        for (const Value &v : values)
            ASSERT_TRUE(shown.at(k++) == v.shown) << "value " << k - 1 << " differs from byte "
                << std::mismatch(v.shown.begin(), v.shown.end(), shown[k - 1].begin(), shown[k - 1].end()).first - v.shown.begin();
    std::vector<std::string> shownFiles;
    for (size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1)
        if (out.compare(at, bytesDir.size(), bytesDir) == 0)
            shownFiles.push_back(unshown(out.substr(at, end - at)));
    EXPECT_EQ(shownFiles, files);
    EXPECT_NE(out.find("101\\x1B[2J\\n\xc3\xa9.tif\n"), std::string::npos) << "a name is one line";
    EXPECT_NE(out.find("\\x1B]0;title\\x07\r\n  \t\\x1E"), std::string::npos) << "a packet keeps its lines, indented";

    // The error line names the file visibly too.
    ToolRun named = run("-i '" + write("\x1b[2Jx.txt", "text") + "' - --format json");
    EXPECT_NE(named.err.find("\\x1B[2Jx.txt: not a TIFF file"), std::string::npos) << named.err;

    // An output that cannot be written is not an incomplete document.
    ToolRun full = run("-i " + dir + " /dev/full --format json");
    EXPECT_EQ(full.status, 2);
    EXPECT_NE(full.err.find("sievecheck: cannot write /dev/full: No space left on device"), std::string::npos) << full.err;
}

TEST_F(CliTest, TextOutputModeWritesTheReadersHint)
{
    const std::string file = write("t.tif", richDocument());
    const std::string out = (dir_ / "hint.txt").string();
    EXPECT_EQ(run(file + " " + out).status, 0);
    std::ifstream in(out);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(text, "sievecheck -i inputfile outputfile-to getsummary info\n");
}

// A new user's first commands: what they have is never overwritten, a wrong option never
// touches an existing file, and every named input that gives nothing says so. Relative names:
// the run starts in the test's folder, which holds a.tif, b.tif (TIFF files), big.tif
// (BigTIFF), kept.jsonl (earlier output), text/ (no TIFF in it), empty/ and mixed/ (a TIFF
// and a BigTIFF).
TEST_F(CliTest, FirstCommandsNeverDestroyAndNeverStaySilent)
{
    struct Case {
        std::string args;
        int status;
        std::string err;      // a line on the standard error holds this
        std::string intact;   // a file that must keep its bytes
        size_t records;       // JSON records on the standard output
    };
    const std::string tiff = write("a.tif", richDocument());
    write("b.tif", richDocument(false));
    const std::string bigTiff = std::string("II+\0\x08\0\0\0\x10\0\0\0\0\0\0\0", 16);
    write("big.tif", bigTiff);
    write("mixed/big.tif", bigTiff);
    write("mixed/c.tif", richDocument());
    write("kept.jsonl", "{\"earlier\":\"output\"}\n");
    write("text/a.txt", "not a TIFF\n");
    write("text/sub/b.txt", "nor this\n");
    fs::create_directories(dir_ / "empty");
    write("empty.list", "\n");
    fs::create_hard_link(dir_ / "a.tif", dir_ / "also-a.tif");
    const std::string outputIsTiff = "is a TIFF file and would be overwritten";
    const std::vector<Case> cases = {
        // A shell glob after one -i: the last file became OUTPUT.
        {"-i a.tif b.tif", 2, "b.tif: OUTPUT, the last argument, " + outputIsTiff, "b.tif", 0},
        {"-i a.tif big.tif", 2, "big.tif: OUTPUT, the last argument, " + outputIsTiff, "big.tif", 0},
        // Without -i, INPUT OUTPUT writes the reader's hint: not over a TIFF either.
        {"a.tif b.tif", 2, outputIsTiff, "b.tif", 0},
        {"-i a.tif b.tif --force --format json", 0, "", "a.tif", 0},
        // An input is never OUTPUT, whatever its name and whatever --force says.
        {"-i a.tif also-a.tif --force", 2, "also-a.tif: this is also an input", "a.tif", 0},
        {"--files-from empty.list empty.list --force", 2, "this is the list of --files-from", "empty.list", 0},
        // Usage errors leave an existing output as it was.
        {"-i a.tif kept.jsonl --format xml", 2, "--format", "kept.jsonl", 0},
        {"-i a.tif kept.jsonl -j 100000", 2, "--jobs: takes 1 to 256, not 100000", "kept.jsonl", 0},
        {"-i a.tif kept.jsonl -j 0", 2, "--jobs: takes 1 to 256, not 0", "kept.jsonl", 0},
        {"-i a.tif kept.jsonl --timeout 0", 2, "--timeout: takes 0.1 to 3600, not 0", "kept.jsonl", 0},
        {"-i a.tif kept.jsonl --document-memory 2000000", 2, "--document-memory: takes 0 to 1048576, not 2000000",
         "kept.jsonl", 0},
        {"-i a.tif kept.jsonl --time-zone Europe/Atlantis", 2, "unknown time zone \"Europe/Atlantis\"", "kept.jsonl", 0},
        // A readable file or directory that is not a zone would read every DateTime as UTC.
        {"-i a.tif kept.jsonl --time-zone Europe", 2, "unknown time zone \"Europe\"", "kept.jsonl", 0},
        {"-i a.tif kept.jsonl --time-zone a.tif", 2, "unknown time zone \"a.tif\"", "kept.jsonl", 0},
        {"-i a.tif kept.jsonl --time-zone ''", 2, "--time-zone: give a zone", "kept.jsonl", 0},
        {"-i a.tif kept.jsonl --max-request -1", 2, "--max-request: takes 0 to 9200000000000000000, not -1", "kept.jsonl", 0},
        // NaN passes a range test written the other way round; here it would mean no limit.
        {"-i a.tif kept.jsonl --timeout nan", 2, "--timeout: takes 0.1 to 3600, not nan", "kept.jsonl", 0},
        {"-i a.tif kept.jsonl --isolate --document-timeout nan", 2, "--document-timeout: takes 0.1 to 86400, not nan",
         "kept.jsonl", 0},
        // An export writes what the catalogue holds: options for reading would do nothing.
        {"--catalog kept.jsonl --export - --xmp raw", 2, "--xmp does not go with --export", "kept.jsonl", 0},
        {"--catalog kept.jsonl --export - --any-file", 2, "--any-file does not go with --export", "kept.jsonl", 0},
#ifndef _WIN32
        {"-i a.tif kept.jsonl --xmp-warnings", 2, "it goes with --xmp toolkit", "kept.jsonl", 0},
#endif
        {"-i a.tif -j 256 - --format json", 0, "", "", 1},
        // Every named input accounts for itself; a BigTIFF in a walk is a TIFF not read.
        {"-i text -i a.tif - --format json", 1, "text: none of its 2 files is a TIFF file", "", 1},
        {"-i empty -i a.tif - --format json", 1, "empty: no file in this directory or below it", "", 1},
        {"--files-from empty.list - --format json", 1, "empty.list: the list names no file", "", 0},
        {"-i mixed - --format json --stats", 1, "errors 1 (BigTIFF 1); skipped 0", "", 2},
        {"-i text --any-file - --format json", 1, "", "", 2},
        {"-i ftp://host/a.tif - --format json", 1,
         "ftp://host/a.tif: cannot open: No such file or directory; ftp:// URLs are not read (http://, https:// and s3:// are)", "", 1},
    };
    const std::string keptBytes = slurp(dir_ / "kept.jsonl"), tiffBytes = slurp(tiff);
    for (const Case &c : cases) {
        const std::string before = c.intact.empty() ? "" : slurp(dir_ / c.intact);
        const ToolRun r = run(c.args + " --quiet");
        EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.err;
        if (!c.err.empty()) {
            EXPECT_NE(r.err.find(c.err), std::string::npos) << c.args << "\n" << r.err;
        }
        if (!c.intact.empty()) {
            EXPECT_EQ(slurp(dir_ / c.intact), before) << c.args << " changed " << c.intact;
        }
        if (c.status != 2) {
            EXPECT_EQ(lines(r.out).size(), c.records) << c.args;
        }
        if (c.args.find("--force") != std::string::npos && c.status == 0) {
            EXPECT_EQ(lines(slurp(dir_ / "b.tif")).size(), 1u) << "--force wrote the record over the TIFF";
            write("b.tif", richDocument(false));
        }
    }
    // A run never reads what it writes, even where OUTPUT lies in a folder it walks whole.
    for (const char *catalogue : {"", " --catalog walked.db"})
        for (int pass = 0; pass < 2; ++pass) {
            const ToolRun again = run(std::string("-i mixed mixed/out.jsonl --any-file --quiet --format json") + catalogue);
            EXPECT_EQ(lines(slurp(dir_ / "mixed/out.jsonl")).size(), 2u) << catalogue << again.err;
        }
}

#ifndef _WIN32
// The library's messages reach Python users too: none may name a sievecheck flag, which the
// front end puts in its own words. The worker program's own command line is no message.
TEST_F(CliTest, LibraryMessagesNameNoFlag)
{
    const std::string help = run("--help").out;
    std::vector<std::string> flags;
    for (size_t at = 0; (at = help.find("--", at)) != std::string::npos;) {
        size_t end = at + 2;
        while (end < help.size() && (std::islower(static_cast<unsigned char>(help[end])) || help[end] == '-'))
            ++end;
        if (end - at > 3)
            flags.push_back(help.substr(at, end - at));
        at = end;
    }
    ASSERT_GT(flags.size(), 20u) << help;
    std::string named;
    for (const fs::directory_entry &entry : fs::recursive_directory_iterator(ZUDOR_HOST_SOURCES)) {
        const std::string path = entry.path().string();
        if (!entry.is_regular_file() || path.find("/isolation/") != std::string::npos ||
            path.find("/worker_") != std::string::npos)
            continue;
        std::istringstream text(slurp(entry.path()));
        int number = 0;
        for (std::string line; std::getline(text, line);) {
            ++number;
            const size_t quote = line.find('"'), comment = line.find("//");
            if (quote == std::string::npos || (comment != std::string::npos && comment < quote))
                continue;
            for (const std::string &flag : flags) {
                const size_t at = line.find(flag, quote);
                if (at != std::string::npos && (at + flag.size() == line.size() ||
                                                !std::islower(static_cast<unsigned char>(line[at + flag.size()]))))
                    named += path + ":" + std::to_string(number) + ": " + flag + "\n";
            }
        }
    }
    EXPECT_EQ(named, "");
}
#endif

// On a terminal that shows both, the progress line never breaks into a record, and a message
// about a document starts a line of its own.
TEST_F(CliTest, ProgressKeepsOutOfRecordsAndMessagesOnOneTerminal)
{
    ZUDOR_NEED_PROGRAM("script");
    for (int i = 0; i < 40; ++i)
        write("tty/" + std::to_string(100 + i) + ".tif", i % 10 == 9 ? std::vector<uint8_t>{0x49, 0x49, 0x2A, 0} : richDocument());
    const std::string dir = (dir_ / "tty").string();
    const auto onTerminal = [&](const std::string &args) {
        return run("-qec '" + std::string(SIEVECHECK_PATH) + " " + args + "' /dev/null", "script").out;
    };
    const std::string shown = onTerminal("-i " + dir + " --format text");
    EXPECT_NE(shown.find("  title          Harbour"), std::string::npos) << shown;
    EXPECT_EQ(shown.find(" documents, "), std::string::npos) << "progress among the records:\n" << shown;

    const std::string toFile = onTerminal("-i " + dir + " " + (dir_ / "out.jsonl").string());
    EXPECT_NE(toFile.find(" documents, "), std::string::npos) << "no progress while writing a file:\n" << toFile;
    for (size_t at = 0; (at = toFile.find("sievecheck: ", at)) != std::string::npos; ++at)
        EXPECT_TRUE(at == 0 || toFile[at - 1] == '\n' || toFile[at - 1] == '\r') << toFile;
}

TEST_F(CliTest, ReadsWhatAPeerWrote)
{
    ZUDOR_NEED_PROGRAM("tiffset");
    const std::string file = (dir_ / "peer.tif").string();
    fs::copy_file(ZUDOR_SAMPLE_TIFF, file);
    ASSERT_EQ(std::system(("tiffset -s 305 'peer software' " + file + " && tiffset -s 315 'Peer Artist' " + file).c_str()), 0);
    ToolRun r = run("-i " + file + " --format json");
    const json record = lines(r.out)[0];
    EXPECT_EQ(record["author"], "Peer Artist");
    EXPECT_EQ(record["properties"][3], json::parse(R"(["Software","peer software"])"));
}

} // namespace

// The reference host on Windows, where the walk, the list reader and the look at a path are the
// system's own: the ring of batches taken round with several jobs, links in a walk, lists
// written on either platform, a device and a pipe named or listed.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/system.h"
#include "reader_fixture.h"
#include "zudor_host/driver.h"
#include "zudor_host/inputs.h"
#include "zudor_host/record_writers.h"
#include "zudor_host/runner.h"

namespace fs = std::filesystem;
using namespace zudorhost;

namespace {

// A fresh folder of the test's own, named with '/' as the host names paths.
std::string folder(const char *name)
{
    const fs::path dir = fs::temp_directory_path() / name;
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir.generic_string();
}

void write(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string document(const std::string &title)
{
    const std::vector<uint8_t> bytes = testhost::TiffBuilder().ifd().ascii(269, title).build();
    return std::string(bytes.begin(), bytes.end());
}

// Each input's path, and the error the source gave it, if any.
std::vector<std::string> inputsOf(InputSource &source)
{
    std::vector<std::string> inputs;
    for (InputItem item; source.next(item);)
        inputs.push_back(item.error.empty() ? item.path : item.path + ": " + item.error);
    return inputs;
}

class JsonLines : public RecordFormatter {
public:
    void format(const DocumentView &doc, FinishedBatch &out) override
    {
        if (!doc.skipped)
            writer_->write(doc, out.records);
    }

private:
    std::unique_ptr<RecordWriter> writer_ = summaryWriter(RecordFormat::Json);
};

std::string recordsOf(const std::string &input, unsigned jobs)
{
    const auto source = pathSource({input});
    RunOptions options;
    options.jobs = jobs;
    options.driver.xmpMode = XmpMode::Raw;
    BatchRunner runner(testhost::reader(), *source, [] { return std::make_unique<JsonLines>(); }, options);
    std::string records;
    for (int n = 0; const FinishedBatch *batch = runner.next(); ++n) {
        // Now and then a slow reader, as one writing to a full pipe: the workers fill every
        // other slot meanwhile and must leave this one alone.
        if (n % 16 == 5)
            Sleep(150);
        records.append(batch->records.data(), batch->records.size());
    }
    return records;
}

} // namespace

// Enough documents to take every worker's ring of batches round several times, some slower
// than others: the records come back as one job reads them.
TEST(WindowsHost, JobsDoNotChangeTheRecords)
{
    const std::string dir = folder("zudor_ring");
    for (int i = 0; i < 1500; ++i)
        write(dir + "/" + std::to_string(i) + ".tif", document(std::string(size_t(i % 97) * (i % 5 == 0 ? 500 : 1), 'd')));
    const std::string one = recordsOf(dir, 1);
    EXPECT_EQ(std::count(one.begin(), one.end(), '\n'), 1500);
    for (unsigned jobs : {2u, 3u})
        EXPECT_TRUE(recordsOf(dir, jobs) == one) << jobs << " jobs";
    fs::remove_all(dir);
}

// A walk reads a linked file and never enters a linked folder: neither one that leads back up
// the tree nor one that leads out of it. The links come from the build (Wine makes none of its
// own but shows the system's as reparse points); the test writes the files.
TEST(WindowsHost, WalksReadLinkedFilesButNeverEnterLinkedFolders)
{
    const char *tree = std::getenv("ZUDOR_LINK_TREE");
    if (tree == nullptr)
        GTEST_SKIP() << "no tree of links from the build";
    const std::string dir = tree;
    for (const char *file : {"/tree/a.tif", "/tree/sub/c.tif", "/outside/o.tif"})
        write(dir + file, document(file));
    const auto walk = pathSource({dir + "/tree"});
    EXPECT_EQ(inputsOf(*walk), (std::vector<std::string>{dir + "/tree/a.tif", dir + "/tree/b.tif", dir + "/tree/sub/c.tif"}));
}

// Blank lines, CR LF or LF line ends, no separator after the last; NUL-separated alike.
TEST(WindowsHost, ListsTakeBlankLinesEitherLineEndAndNoLastSeparator)
{
    const std::string dir = folder("zudor_lists");
    for (const bool nul : {false, true}) {
        write(dir + "/list", nul ? std::string("\0a\0\0b c\0last", 13) : "\na\r\n\r\nb c\n\nlast");
        const auto list = listSource(std::fopen((dir + "/list").c_str(), "rb"), nul ? '\0' : '\n');
        EXPECT_EQ(inputsOf(*list), (std::vector<std::string>{"a", "b c", "last"})) << nul;
    }
    fs::remove_all(dir);
}

// A list skips the look at what a path is; opening it must refuse a device or a pipe in the
// words the look uses, never wait on it.
TEST(WindowsHost, DevicesAndPipesAreRefusedAlikeNamedOrListed)
{
    const char *pipe = "\\\\.\\pipe\\zudor_host_test";
    HANDLE servers[3]; // each look at the pipe and each opening of it takes an instance
    for (HANDLE &server : servers) {
        server = CreateNamedPipeA(pipe, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 3, 0, 0, 0, nullptr);
        ASSERT_NE(server, INVALID_HANDLE_VALUE);
    }
    DriverOptions options;
    options.xmpMode = XmpMode::Raw;
    DocumentDriver driver(testhost::reader(), options);
    const auto errorOf = [&](const InputItem &item) {
        const char *error = driver.read(item).error;
        return std::string(error != nullptr ? error : "none");
    };
    const std::pair<std::string, std::string> cases[] = {{"NUL", "not a regular file (a device)"},
                                                         {pipe, "not a regular file (a named pipe)"}};
    for (const auto &[path, words] : cases) {
        InputItem named, listed;
        listed.path = path;
        pathSource({path})->next(named);
        EXPECT_EQ(errorOf(named), words);
        EXPECT_EQ(errorOf(listed), words);
    }
    for (HANDLE server : servers)
        CloseHandle(server);
}

// A tree deeper than MAX_PATH is walked, each file read, and named as the walk met it, from a
// name given relative to the folder or whole; and a file named on its own reads the same.
TEST(WindowsHost, PathsOfAnyLengthAreWalkedReadAndNamedAsGiven)
{
    const std::string root = folder("zudor_long");
    std::string deep = root;
    for (int level = 0; level < 6; ++level)
        deep += "/" + std::string(48, char('a' + level));
    ASSERT_GT(deep.size(), 300u);
    // Made with the wide API under \\?\, as no shorter name reaches them.
    std::wstring wide = L"\\\\?\\" + fs::path(root).make_preferred().wstring();
    std::vector<std::wstring> made;
    for (size_t at = root.size() + 1; at <= deep.size(); at = deep.find('/', at) + 1) {
        const size_t end = deep.find('/', at);
        wide += L"\\" + fs::path(deep.substr(at, end - at)).wstring();
        ASSERT_TRUE(CreateDirectoryW(wide.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
        made.push_back(wide);
        if (end == std::string::npos)
            break;
    }
    const std::string body = document("deep");
    const HANDLE file = CreateFileW((wide + L"\\a.tif").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, body.data(), DWORD(body.size()), &written, nullptr);
    CloseHandle(file);

    const std::string record = recordsOf(root, 2);
    EXPECT_NE(record.find("\"file\":\"" + deep + "/a.tif\""), std::string::npos) << record;
    EXPECT_NE(record.find("\"title\":\"deep\""), std::string::npos) << record;
    DriverOptions options;
    options.xmpMode = XmpMode::Raw;
    DocumentDriver driver(testhost::reader(), options);
    InputItem named;
    named.path = deep + "/a.tif";
    const DocumentView &doc = driver.read(named);
    EXPECT_EQ(doc.error, nullptr) << doc.error;
    EXPECT_STREQ(doc.title, "deep");
    driver.finish();
    // Taken down as it was made, as no shorter name reaches it either.
    DeleteFileW((wide + L"\\a.tif").c_str());
    for (auto dir = made.rbegin(); dir != made.rend(); ++dir)
        RemoveDirectoryW(dir->c_str());
}

// The AWS variables, AWS_CA_BUNDLE among them, may name files by paths beyond the ANSI code page.
TEST(WindowsHost, EnvironmentVariablesAreReadAsUtf8)
{
    ASSERT_EQ(_wputenv_s(L"ZUDOR_TEST_PLACE", L"Z\u00fcrich \u6771\u4eac"), 0);
    EXPECT_EQ(zudorhost::os::environmentVariable("ZUDOR_TEST_PLACE"), "Z\xc3\xbcrich \xe6\x9d\xb1\xe4\xba\xac");
    bool set = true;
    EXPECT_EQ(zudorhost::os::environmentVariable("ZUDOR_TEST_UNSET", set), "");
    EXPECT_FALSE(set);
}

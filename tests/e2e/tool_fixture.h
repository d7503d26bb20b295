// sievecheck run as a user runs it, in a folder of the test's own that goes when it ends.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

// For a test that needs a program the system may lack: without it the test skips, but under
// scripts/check (ZUDOR_CHECK_STRICT) it fails, as a package left out of scripts/lib/packages.
#define ZUDOR_NEED_PROGRAM(name)                                                                       \
    do {                                                                                               \
        if (std::system("command -v " name " >/dev/null 2>&1") != 0) {                                 \
            if (std::getenv("ZUDOR_CHECK_STRICT") != nullptr)                                          \
                FAIL() << name " is not installed";                                                    \
            GTEST_SKIP() << name " is not installed";                                                  \
        }                                                                                              \
    } while (false)

struct ToolRun {
    int status;
    std::string out, err;
};

class ToolTest : public testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        dir_ = std::filesystem::path(testing::TempDir()) /
               ("zudor_" + std::to_string(getpid()) + "_" +
                testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    static std::string slurp(const std::filesystem::path &path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    std::string write(const std::string &name, const std::vector<uint8_t> &bytes)
    {
        const std::filesystem::path path = dir_ / name;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()),
                                                    std::streamsize(bytes.size()));
        return path.string();
    }
    std::string write(const std::string &name, const std::string &text)
    {
        return write(name, std::vector<uint8_t>(text.begin(), text.end()));
    }

    // Runs in the test's folder, so that relative inputs name its files.
    ToolRun run(const std::string &args, const std::string &program = SIEVECHECK_PATH)
    {
        const std::string errFile = (dir_ / "stderr.txt").string();
        // Nothing may wait forever: a tool that blocks fails the test instead of hanging it.
        const std::string command =
            "cd " + dir_.string() + " && timeout 60 " + program + " " + args + " 2>" + errFile;
        ToolRun result{};
        FILE *pipe = popen(command.c_str(), "r");
        char buffer[4096];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            result.out.append(buffer, n);
        const int raw = pclose(pipe);
        result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        result.err = slurp(errFile);
        return result;
    }

    std::filesystem::path dir_;
};

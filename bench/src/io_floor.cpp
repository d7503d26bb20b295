// The least any reader must do: find every file under the inputs, open it, read its first
// 64 KiB and close it. Whole-process timings are compared with this.
#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

int main(int argc, char **argv)
{
    namespace fs = std::filesystem;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        std::error_code ec;
        if (!fs::is_directory(argv[i], ec)) {
            files.push_back(argv[i]);
            continue;
        }
        for (fs::recursive_directory_iterator it(argv[i], ec), end; !ec && it != end; it.increment(ec))
            if (it->is_regular_file(ec))
                files.push_back(it->path().string());
    }
    std::sort(files.begin(), files.end());

    static char buffer[64 * 1024];
    unsigned long long total = 0;
    for (const std::string &file : files) {
        const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            std::perror(file.c_str());
            return 1;
        }
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got > 0)
            total += static_cast<unsigned long long>(got);
        close(fd);
    }
    std::printf("%zu files, %llu bytes\n", files.size(), total);
    return 0;
}

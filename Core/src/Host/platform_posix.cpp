#include "zudor_host/platform.h"

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace zudorhost {

std::vector<std::string> commandLineArguments(int argc, char **argv)
{
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

void useBinaryStandardStreams() {}

std::FILE *openFile(const std::string &path, const char *mode) { return std::fopen(path.c_str(), mode); }

bool isTerminal(std::FILE *stream) { return isatty(fileno(stream)) != 0; }

bool sameFile(const std::string &a, const std::string &b)
{
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

void settleLocalTimeZone() { setenv("TZ", ":/etc/localtime", 0); }

} // namespace zudorhost

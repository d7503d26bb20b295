// What a command-line front end does differently on each platform. Paths are UTF-8 on every
// platform; on Windows they become UTF-16 only where they meet the system.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace zudorhost {

// The program's arguments after its name, in UTF-8: argv as it is on POSIX systems, the
// UTF-16 command line converted on Windows (argv there is in the ANSI code page).
std::vector<std::string> commandLineArguments(int argc, char **argv);

// Standard input, output and error carry bytes as they are: no CR added before LF on Windows.
void useBinaryStandardStreams();

// std::fopen for a UTF-8 path.
std::FILE *openFile(const std::string &path, const char *mode);

bool isTerminal(std::FILE *stream);

// Whether both paths exist and name one file.
bool sameFile(const std::string &a, const std::string &b);

// Fixes the local time zone for the process before any date is read. With TZ unset, glibc
// looks at /etc/localtime again at every mktime, one system call per DateTime read; naming
// that same zone file keeps it to the first. Windows reads TZ or the system's zone itself.
void settleLocalTimeZone();

} // namespace zudorhost

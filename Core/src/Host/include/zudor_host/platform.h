// What the host library and its front ends ask of the system, implemented by the library's one
// door to it (platform/system_posix.cpp, platform/system_windows.cpp). Paths are UTF-8 on every platform; on Windows
// they become UTF-16 only where they meet the system.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "zudor_host/file_identity.h"

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

// Reads DateTimes in zone from now on, for the whole process: an IANA name ("Europe/Berlin",
// "UTC") or a POSIX rule ("EST5EDT", "CET-1CEST,M3.5.0,M10.5.0/3") where the platform knows
// them. False, with why, for a zone the platform does not know, which would otherwise be read
// silently as UTC.
bool setTimeZone(const std::string &zone, std::string &error);
// Whether setTimeZone would take zone; false with why where it would not.
bool isTimeZone(const std::string &zone, std::string &error);

// Reading in a zone of one's own while the lease lives, the process's zone left as it was:
// the C library converts DateTimes in the process's one zone, so while a lease of one zone
// lives, reads in another wait (each lease is one document's read), and the process's zone is
// put back once the last lease ends. An empty zone is the process's own. Leases of one zone
// run side by side. zone must be one isTimeZone takes.
class TimeZoneLease {
public:
    explicit TimeZoneLease(const std::string &zone);
    ~TimeZoneLease();
    TimeZoneLease(const TimeZoneLease &) = delete;
    TimeZoneLease &operator=(const TimeZoneLease &) = delete;
};
// The name of the zone DateTimes are read in: the one set, or the system's ("Europe/Berlin"),
// or "localtime" where the system does not say.
std::string timeZoneName();

bool pathExists(const std::string &path);

// The user's home directory: HOME, or %USERPROFILE% on Windows; empty where none is set.
std::string homeDirectory();

// The identity of the regular file at path (links followed) as one stat gives it; false where
// there is no such file or the platform keeps no identities (Windows).
bool fileIdentity(const std::string &path, FileIdentity &identity);

// The directory of this program, or of the executable or library that holds the code at
// address; empty when the system cannot tell.
std::string programDirectory();
std::string directoryOfCode(const void *address);

} // namespace zudorhost

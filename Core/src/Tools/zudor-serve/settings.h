// What the service is told: flags, or the same names in a key=value file (--config), the
// flags winning.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zudorserve {

struct ServeSettings {
    std::string listen = "127.0.0.1:8750";
    std::string tokens;                         // the token file; empty: no token asked for
    uint64_t maxBody = uint64_t(64) << 20;      // bytes of one document
    uint64_t maxHeader = uint64_t(16) << 10;    // bytes of a request's line and headers
    unsigned maxDocuments = 2;                  // documents read at once
    unsigned queue = 64;                        // documents waiting beyond those
    double documentTimeout = 60;                // seconds a reader may take over one document
    unsigned documentMemory = 1024;             // MiB a reader may hold; 0 for no cap
    unsigned connections = 1024;                // connections held at once
    unsigned connectionTimeout = 30;            // seconds a connection may stay silent
    double receiveTimeout = 120;                // seconds from a request's headers to its last byte
    unsigned httpThreads = 2;                   // threads that serve the connections
    std::vector<std::string> timeZones;         // zones DateTimes may be read in; the first is the default
    std::string module;                         // the reader module; empty: where sievecheck finds it
    std::vector<std::string> allowHosts;        // HOST or HOST:PORT lists may fetch from
    std::vector<std::string> allowBuckets;      // S3 buckets lists may fetch from
    uint64_t maxList = uint64_t(1) << 20;       // bytes of one list
    unsigned lists = 2;                         // lists read at once
};

enum class Parsed { Run, Exit, Usage };
// Fills settings from the command line; Exit after --help or --version (written), Usage after
// a message that says what was wrong.
Parsed parseSettings(int argc, char **argv, ServeSettings &settings);

} // namespace zudorserve

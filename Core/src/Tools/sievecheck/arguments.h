// sievecheck's command line: the options as read, the run they ask for, and the words for a
// rule of the run they break.
#pragma once

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "zudor_host/isolation.h"
#include "zudor_host/remote.h"
#include "zudor_host/run_policy.h"

namespace sievecheck {

struct Arguments {
    std::vector<std::string> inputs, positionals, forget;
    std::string format, xmp, modulePath, filesFrom, catalogPath, timeZone;
    unsigned jobs = 0;
    bool quiet = false, stats = false, xmpWarnings = false, anyFile = false, nulSeparated = false;
    bool exportCatalog = false, waitForWriter = false, force = false, isolate = false;
    int64_t maxRequest = 0;
    double documentTimeout = 0;
    unsigned documentMemory = 0;
    zudorhost::RemoteOptions remote;
};

void addOptions(CLI::App &app, Arguments &arguments);

// The run the parsed command line asks for, the options given marked as given.
zudorhost::RunRequest runRequest(const CLI::App &app, const Arguments &arguments);

// A broken rule in sievecheck's terms, without the leading "sievecheck: ".
std::string words(const zudorhost::RunProblem &problem);

} // namespace sievecheck

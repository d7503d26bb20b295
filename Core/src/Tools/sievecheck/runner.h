// Runs every document through the reader, on one or several threads, and writes the records
// in input order.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "module_loader.h"
#include "writers.h"

namespace sievecheck {

struct RunOptions {
    Format format = Format::Json;
    zudorhost::XmpMode xmpMode = zudorhost::XmpMode::Parsed;
    bool textOutput = false; // the reader's text record instead of the summary
    unsigned jobs = 1;
    bool progress = false;
    bool stats = false;
    int64_t maxRequest = zudorhost::kDefaultMaxRequest;
};

struct RunTotals {
    size_t documents = 0, complete = 0, partial = 0, none = 0, errors = 0;
    zudorhost::StreamCounts counts;
    double seconds = 0;
};

RunTotals runDocuments(const LoadedModule &module, const std::vector<std::string> &files,
                       const RunOptions &options, std::FILE *out);

void printTotals(const RunTotals &totals, std::FILE *to);

} // namespace sievecheck

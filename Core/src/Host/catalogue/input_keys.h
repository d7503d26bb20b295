// The names and keys a run's inputs are known by, and a run's inputs as its plan settles them:
// what the plan, the source and the writer all speak of, apart from any of them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "catalogue/catalogue_db.h"

namespace zudorhost {

// The keys (a path's exact bytes) from low up to high, high left out; unbounded: every key.
struct KeyRange {
    std::string low, high;
    bool bounded = false;
};

// The name the catalogue knows an input by: as given, a URL without its secrets.
std::string inputName(const std::string &given);
// Whether every file a walk of inner gives lies below outer, inner not being outer itself. A
// URL of one document holds nothing below it.
bool containsInput(const std::string &outer, const std::string &inner);
// The keys a walk of name gives: the name itself (a file) and every key below it.
std::vector<KeyRange> keysOf(const std::string &name);

// One input of a run, as it is read.
struct RunTarget {
    InputKind kind = InputKind::Path;
    std::string given;            // as named: what is walked, a URL with its secrets
    uint32_t named = 0;           // its place among the run's inputs, from 1
    int64_t input = 0;            // the catalogue's input it updates; 0: read for the output alone
    std::vector<KeyRange> ranges; // the keys of that input it covers; empty: all of them
};

struct RunPlan {
    std::vector<RunTarget> targets;
    bool refused = false; // the plan failed as --forget named what the catalogue does not hold
};

} // namespace zudorhost

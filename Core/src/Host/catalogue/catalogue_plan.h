// How a run's inputs meet the catalogue's. Inputs relate by their names as given (a URL's
// without its secrets): a walk names every file below an input by the input's name, the '/'
// it adds after it, and the rest, so a name that starts so lies below the input. The keys of
// such a name are a range of the input's keys; an input holds no other's.
#pragma once

#include <string>
#include <vector>

#include "catalogue/catalogue_db.h"

namespace zudorhost {

class CatalogueWriter;

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

// Drops what inputs.forget names (refused, with nothing dropped, for a name that holds
// nothing), then settles each input of the run: the catalogue's input it updates, or one made
// for it, which takes over the inputs it contains. Committed before anything is read, as the
// run's source reads the catalogue through a connection of its own.
bool planRun(CatalogueWriter &writer, const CatalogueInputs &inputs, RunPlan &plan, std::string &error);

// The documents the plan's targets do not cover, once the run has written them.
bool countUntouched(CatalogueWriter &writer, const RunPlan &plan, uint64_t &count, std::string &error);

} // namespace zudorhost

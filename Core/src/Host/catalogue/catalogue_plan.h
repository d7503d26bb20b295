// How a run's inputs meet the catalogue's. Inputs relate by their names as given (a URL's
// without its secrets): a walk names every file below an input by the input's name, the '/'
// it adds after it, and the rest, so a name that starts so lies below the input. The keys of
// such a name are a range of the input's keys; an input holds no other's.
#pragma once

#include <string>
#include <vector>

#include "catalogue/catalogue_db.h"
#include "catalogue/input_keys.h"

namespace zudorhost {

class CatalogueWriter;

// Drops what inputs.forget names (refused, with nothing dropped, for a name that holds
// nothing), then settles each input of the run: the catalogue's input it updates, or one made
// for it, which takes over the inputs it contains. Committed before anything is read, as the
// run's source reads the catalogue through a connection of its own.
bool planRun(CatalogueWriter &writer, const CatalogueInputs &inputs, RunPlan &plan, std::string &error);

// The documents the plan's targets do not cover, once the run has written them.
bool countUntouched(CatalogueWriter &writer, const RunPlan &plan, uint64_t &count, std::string &error);

} // namespace zudorhost

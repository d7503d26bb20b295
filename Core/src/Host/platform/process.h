// What a run asks of the process itself: its standard input taken whole, and a descriptor table
// of a worker thread's own. The driver and the runner use them; a front end asks for neither.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zudorhost {

// Standard input whole, as the reader seeks; more than cap bytes is refused, saying so, and no
// more than that is held. tiffOnly: input whose header is not a classic TIFF's is read no
// further than its header, which is all it takes to say so.
bool readStandardInput(std::vector<char> &into, uint64_t cap, bool tiffOnly, std::string &error);

// Gives the calling thread a descriptor table of its own where the system allows it (Linux,
// outside the thread sanitizer, which keeps one table per process); false where the thread
// goes on sharing the process's table, which is as correct, only more contended.
bool takeOwnDescriptorTable();

} // namespace zudorhost

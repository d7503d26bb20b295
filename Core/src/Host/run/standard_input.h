// Standard input taken whole for the driver and the isolated reader, which read it as one
// document.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zudorhost {

// Standard input whole, as the reader seeks; more than cap bytes is refused, saying so, and no
// more than that is held. tiffOnly: input whose header is not a classic TIFF's is read no
// further than its header, which is all it takes to say so.
bool readStandardInput(std::vector<char> &into, uint64_t cap, bool tiffOnly, std::string &error);

} // namespace zudorhost

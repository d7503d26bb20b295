#pragma once

#include <string>
#include <vector>

namespace sievecheck {

// The documents named by the inputs, in order: a file as given, a directory as every regular
// file below it in sorted order. A directory that cannot be read is reported in errors.
std::vector<std::string> expandInputs(const std::vector<std::string> &inputs,
                                      std::vector<std::string> &errors);

} // namespace sievecheck

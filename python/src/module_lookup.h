// Finds the reader module for the extension: python3 is not beside it, so the host library's
// own search (beside the program) does not serve.
#pragma once

#include <string>
#include <vector>

#include "zudor_host/module.h"

namespace zudorpy {

// Loads, in turn: the module of the build tree the extension was built in, the module
// installed under the extension's prefix, and libzudor.so.1 from the system's search path.
bool loadReaderModule(zudorhost::LoadedModule &module, std::string &error);
// The same places, for the worker program of isolated reading to load the module from.
std::vector<std::string> modulePlaces();
// The worker program of the build tree, or the one installed under the extension's prefix.
std::string workerProgram();

} // namespace zudorpy

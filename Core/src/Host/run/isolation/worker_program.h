// The worker program of isolated reading (zudor-worker): its main, and where a run looks for it.
// Only the library and that program use these; a front end names the program, if at all, in
// IsolationOptions::workerProgram.
#pragma once

#include <string>
#include <vector>

namespace zudorhost {

// The worker program's main.
int runReaderWorker(int argc, char **argv);

// Where the worker program lies, in the order to try: beside this program (a build tree, or
// Windows), then in the libexec directory of the prefix it is installed under.
std::vector<std::string> workerProgramPlaces();

} // namespace zudorhost

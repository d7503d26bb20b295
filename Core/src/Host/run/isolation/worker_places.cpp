// Where the worker program lies: found the way the module is, beside the program that runs
// (a build tree; Windows, where an install keeps everything beside the program), then in the
// libexec directory of the prefix the program is installed under.
#include "run/isolation/worker_program.h"
#include "zudor_host/isolation.h"
#include "zudor_host/platform.h"

namespace zudorhost {
namespace {

#ifdef _WIN32
const char *const kProgram = "zudor-worker.exe";
#else
const char *const kProgram = "zudor-worker";
#endif

} // namespace

bool isolationAvailable() { return true; }

std::vector<std::string> installedWorkerPlaces(const std::string &prefix)
{
    return {prefix + "/" ZUDOR_LIBEXECDIR "/zudor/" + kProgram};
}

std::vector<std::string> workerProgramPlaces()
{
    std::vector<std::string> places;
    const std::string dir = programDirectory();
    if (dir.empty())
        return {kProgram};
    places.push_back(dir + "/" + kProgram);
    const size_t slash = dir.find_last_of("/\\");
    if (slash != std::string::npos)
        for (std::string &place : installedWorkerPlaces(dir.substr(0, slash)))
            places.push_back(std::move(place));
    return places;
}

} // namespace zudorhost

// The remote options as a front end hands them over, settled once before a run.
#include "zudor_host/remote.h"

namespace zudorhost {

bool prepareRemoteOptions(RemoteOptions &, std::string &) { return true; }

} // namespace zudorhost

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/system.h"
#include "zudor_host/platform.h"

namespace zudorhost {

bool readStandardInput(std::vector<char> &into, uint64_t cap, std::string &error)
{
    into.clear();
    size_t used = 0;
    while (true) {
        if (into.size() - used < 65536)
            into.resize(std::max<size_t>(into.size() * 2, 65536));
        const long got = os::readSomeStandardInput(into.data() + used, into.size() - used);
        if (got < 0) {
            error = std::string("cannot read standard input: ") + std::strerror(errno);
            return false;
        }
        if (got == 0)
            break;
        used += size_t(got);
        if (used > cap) {
            error = "standard input is larger than the largest request granted (" + std::to_string(cap) + " bytes)";
            return false;
        }
    }
    into.resize(used);
    return true;
}

} // namespace zudorhost

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "run/standard_input.h"

#include "platform/system.h"
#include "zudor_host/module.h"

namespace zudorhost {

bool readStandardInput(std::vector<char> &into, uint64_t cap, bool tiffOnly, std::string &error)
{
    into.clear();
    size_t used = 0;
    // Never more room than one byte past the cap, which is enough to know it is exceeded.
    const size_t most = size_t(std::min<uint64_t>(cap, SIZE_MAX - 1)) + 1;
    constexpr size_t kHeader = 8;
    while (true) {
        if (into.size() == used) {
            if (used == most) {
                error = "standard input is larger than the largest request granted (" + std::to_string(cap) +
                        " bytes)";
                return false;
            }
            into.resize(std::min(std::max<size_t>(into.size() * 2, 65536), most));
        }
        // The header first: what is not a TIFF is judged by it, not read on to its end.
        const size_t want = used < kHeader ? kHeader - used : into.size() - used;
        const long got = os::readSomeStandardInput(into.data() + used, want);
        if (got < 0) {
            error = std::string("cannot read standard input: ") + std::strerror(errno);
            return false;
        }
        if (got == 0)
            break;
        used += size_t(got);
        if (tiffOnly && used >= kHeader && used - size_t(got) < kHeader &&
            identify(reinterpret_cast<const uint8_t *>(into.data()), used) != DocumentKind::Tiff)
            break;
    }
    into.resize(used);
    return true;
}

} // namespace zudorhost

#include "catalogue/input_keys.h"

#include "io/remote/url.h"
#include "zudor_host/remote.h"

namespace zudorhost {
namespace {

// What a walk puts before the rest of each file's path below name.
std::string below(const std::string &name) { return !name.empty() && name.back() == '/' ? name : name + '/'; }

bool isDocumentUrl(const std::string &name)
{
    return isRemoteInput(name) && name.compare(0, 5, "s3://") != 0 && name.compare(0, 5, "S3://") != 0;
}

} // namespace

std::string inputName(const std::string &given) { return isRemoteInput(given) ? redactUrl(given) : given; }

bool containsInput(const std::string &outer, const std::string &inner)
{
    if (outer.empty() || isDocumentUrl(outer))
        return false;
    const std::string prefix = below(outer);
    return inner != outer && inner.size() >= prefix.size() && inner.compare(0, prefix.size(), prefix) == 0;
}

std::vector<KeyRange> keysOf(const std::string &name)
{
    // Below the prefix: up to the prefix with its '/' made the next byte, '0'.
    std::string prefix = below(name), end = prefix;
    end.back() = '0';
    std::vector<KeyRange> ranges;
    if (prefix != name)
        ranges.push_back({name, name + '\0', true});
    ranges.push_back({prefix, end, true});
    return ranges;
}

} // namespace zudorhost

// SHA-256 and HMAC-SHA-256 from the system itself, where the host loads no libcrypto (Windows).
#include "io/remote/digest.h"

#include <cstdio>
#include <cstdlib>

#include "platform/system.h"

namespace zudorhost {
namespace {

// SHA-256 is in every system this runs on; a failure means no memory for a hash object.
void fail()
{
    std::fprintf(stderr, "zudor: the system's SHA-256 failed\n");
    std::abort();
}

} // namespace

bool digestsAvailable(std::string &) { return true; }

void sha256(const void *data, size_t size, unsigned char out[kSha256Bytes])
{
    if (!os::systemSha256(data, size, out))
        fail();
}

void hmacSha256(const void *key, size_t keySize, const void *data, size_t size, unsigned char out[kSha256Bytes])
{
    if (!os::systemHmacSha256(key, keySize, data, size, out))
        fail();
}

} // namespace zudorhost

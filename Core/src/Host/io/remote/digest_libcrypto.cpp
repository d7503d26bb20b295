#include "digest.h"

#include "remote_libraries.h"

namespace zudorhost {

void sha256(const void *data, size_t size, unsigned char out[kSha256Bytes])
{
    remote().sha256(static_cast<const unsigned char *>(data), size, out);
}

void hmacSha256(const void *key, size_t keySize, const void *data, size_t size, unsigned char out[kSha256Bytes])
{
    unsigned int length = kSha256Bytes;
    const RemoteLibraries &crypto = remote();
    crypto.hmac(crypto.evpSha256(), key, int(keySize), static_cast<const unsigned char *>(data), size, out, &length);
}

} // namespace zudorhost

// SHA-256 and HMAC-SHA-256 from libcrypto, loaded with libcurl when the first URL is met.
#include "io/remote/digest.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include "platform/loader.h"
#include "zudor_host/platform.h"

namespace zudorhost {
namespace {

// The soname of the ABI these declarations describe.
constexpr const char *kCrypto = "libcrypto.so.3";

struct Crypto {
    decltype(&::HMAC) hmac = nullptr;
    decltype(&::EVP_sha256) evpSha256 = nullptr;
    decltype(&::SHA256) sha256 = nullptr;
    std::string why;
};

const Crypto &crypto()
{
    static const Crypto loaded = [] {
        Crypto c;
        void *library = loadSystemLibrary(kCrypto, c.why);
        if (library == nullptr) {
            c.why = "cannot read URLs: " + c.why;
            return c;
        }
        if (!findFunction(library, "HMAC", c.hmac) || !findFunction(library, "EVP_sha256", c.evpSha256) ||
            !findFunction(library, "SHA256", c.sha256)) {
            c.hmac = nullptr;
            c.why = "cannot read URLs: libcrypto lacks SHA-256";
        }
        return c;
    }();
    return loaded;
}

} // namespace

bool digestsAvailable(std::string &why)
{
    if (crypto().hmac != nullptr)
        return true;
    why = crypto().why;
    return false;
}

// Reached only once digestsAvailable has said yes: the signer runs for fetched URLs alone.
void sha256(const void *data, size_t size, unsigned char out[kSha256Bytes])
{
    crypto().sha256(static_cast<const unsigned char *>(data), size, out);
}

void hmacSha256(const void *key, size_t keySize, const void *data, size_t size, unsigned char out[kSha256Bytes])
{
    unsigned int length = kSha256Bytes;
    const Crypto &c = crypto();
    c.hmac(c.evpSha256(), key, int(keySize), static_cast<const unsigned char *>(data), size, out, &length);
}

} // namespace zudorhost

#include "digest.h"

#include <windows.h>

#include <bcrypt.h>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace zudorhost {
namespace {

// Opened once: opening a provider costs far more than a digest, and an open one serves every
// thread. Since Windows 7 a hash object can be made without a buffer of the caller's.
struct Providers {
    BCRYPT_ALG_HANDLE plain = nullptr, keyed = nullptr;
};

const Providers &providers()
{
    static const Providers p = [] {
        Providers opened;
        if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&opened.plain, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
            opened.plain = nullptr;
        if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&opened.keyed, BCRYPT_SHA256_ALGORITHM, nullptr,
                                                        BCRYPT_ALG_HANDLE_HMAC_FLAG)))
            opened.keyed = nullptr;
        return opened;
    }();
    return p;
}

bool digest(BCRYPT_ALG_HANDLE algorithm, const void *key, size_t keySize, const void *data, size_t size,
            unsigned char out[kSha256Bytes])
{
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (algorithm == nullptr || keySize > ULONG_MAX ||
        !BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0,
                                         static_cast<PUCHAR>(const_cast<void *>(key)), ULONG(keySize), 0)))
        return false;
    auto *bytes = static_cast<PUCHAR>(const_cast<void *>(data));
    bool ok = true;
    while (ok && size > 0) {
        const ULONG piece = size > ULONG_MAX ? ULONG_MAX : ULONG(size);
        ok = BCRYPT_SUCCESS(BCryptHashData(hash, bytes, piece, 0));
        bytes += piece;
        size -= piece;
    }
    ok = ok && BCRYPT_SUCCESS(BCryptFinishHash(hash, out, kSha256Bytes, 0));
    BCryptDestroyHash(hash);
    return ok;
}

// SHA-256 is in every Windows this runs on; a failure means no memory for a hash object.
void fail()
{
    std::fprintf(stderr, "zudor: Windows' SHA-256 (bcrypt.dll) failed\n");
    std::abort();
}

} // namespace

void sha256(const void *data, size_t size, unsigned char out[kSha256Bytes])
{
    if (!digest(providers().plain, nullptr, 0, data, size, out))
        fail();
}

void hmacSha256(const void *key, size_t keySize, const void *data, size_t size, unsigned char out[kSha256Bytes])
{
    if (!digest(providers().keyed, key, keySize, data, size, out))
        fail();
}

} // namespace zudorhost

// SHA-256 and HMAC-SHA-256 for request signatures: libcrypto's where the host loads libcurl and
// libcrypto at the first URL (digest_libcrypto.cpp), Windows' own CNG on Windows
// (digest_system.cpp).
#pragma once

#include <cstddef>
#include <string>

namespace zudorhost {

constexpr size_t kSha256Bytes = 32;

// Whether the digests can be had (libcrypto loads); false, with why, where they cannot.
bool digestsAvailable(std::string &why);

void sha256(const void *data, size_t size, unsigned char out[kSha256Bytes]);
void hmacSha256(const void *key, size_t keySize, const void *data, size_t size, unsigned char out[kSha256Bytes]);

} // namespace zudorhost

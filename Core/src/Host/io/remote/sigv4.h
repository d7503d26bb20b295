// AWS Signature Version 4 for the requests this host makes: GETs with no body. The signer
// keeps the derived signing key of the day, so a request costs two SHA-256 digests and two
// HMACs, not six.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zudorhost {

struct AwsCredentials {
    std::string accessKeyId;
    std::string secretAccessKey;
    std::string sessionToken; // empty unless the credentials are temporary
};

struct SignableRequest {
    std::string method = "GET";
    std::string host;          // as the Host header carries it, port included when not default
    std::string canonicalPath; // already percent-encoded, as sent
    // Parameters as sent (already encoded), in any order; the signer sorts them.
    std::vector<std::pair<std::string, std::string>> query;
    // Further headers to sign, beside host, x-amz-date, x-amz-content-sha256 and the token.
    std::vector<std::pair<std::string, std::string>> headers;
    std::string payloadHash;   // hex SHA-256 of the body; empty means the empty body's
    // S3 wants the payload's hash as the x-amz-content-sha256 header too, signed.
    bool contentHashHeader = true;
};

// "Name: value" lines to send: x-amz-date, x-amz-content-sha256, x-amz-security-token when
// there is one, and Authorization.
using SignedHeaders = std::vector<std::string>;

class SigV4Signer {
public:
    SigV4Signer(AwsCredentials credentials, std::string region, std::string service);

    // amzDate is the request's time as YYYYMMDDTHHMMSSZ.
    SignedHeaders sign(const SignableRequest &request, const std::string &amzDate);

    // The canonical request and the signature alone, for tests against published vectors.
    static std::string canonicalRequest(const SignableRequest &request, const std::string &amzDate,
                                        const std::string &sessionToken, std::string &signedNames);
    std::string signature(const std::string &canonical, const std::string &amzDate);

private:
    AwsCredentials credentials_;
    std::string region_, service_;
    std::string keyDate_; // the day signingKey_ was derived for
    unsigned char signingKey_[32] = {};
};

// YYYYMMDDTHHMMSSZ for seconds since 1970 (UTC).
std::string amzDate(int64_t unixSeconds);
// Hex SHA-256 of bytes.
std::string sha256Hex(const std::string &bytes);

extern const char kEmptyPayloadHash[];

} // namespace zudorhost

#include "io/remote/sigv4.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "io/remote/digest.h"

namespace zudorhost {

const char kEmptyPayloadHash[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

namespace {

std::string hex(const unsigned char *bytes, size_t n)
{
    static const char kHex[] = "0123456789abcdef";
    std::string out(2 * n, '0');
    for (size_t i = 0; i < n; ++i) {
        out[2 * i] = kHex[bytes[i] >> 4];
        out[2 * i + 1] = kHex[bytes[i] & 15];
    }
    return out;
}

void hmac(const unsigned char *key, size_t keyLength, const std::string &data, unsigned char out[32])
{
    hmacSha256(key, keyLength, data.data(), data.size(), out);
}

// Lower-cased name; the value without leading and trailing blanks, inner runs of blanks as one.
std::pair<std::string, std::string> canonicalHeader(const std::string &name, const std::string &value)
{
    std::string lower(name);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return char(c >= 'A' && c <= 'Z' ? c + 32 : c); });
    std::string trimmed;
    bool blank = false;
    for (const char c : value) {
        if (c == ' ' || c == '\t') {
            blank = !trimmed.empty();
            continue;
        }
        if (blank)
            trimmed += ' ';
        blank = false;
        trimmed += c;
    }
    return {lower, trimmed};
}

std::string credentialScope(const std::string &amzDate, const std::string &region, const std::string &service)
{
    return amzDate.substr(0, 8) + '/' + region + '/' + service + "/aws4_request";
}

} // namespace

std::string sha256Hex(const std::string &bytes)
{
    unsigned char digest[kSha256Bytes];
    sha256(bytes.data(), bytes.size(), digest);
    return hex(digest, sizeof digest);
}

std::string amzDate(int64_t unixSeconds)
{
    // Days to a civil date (proleptic Gregorian), after Howard Hinnant's days_from_civil.
    int64_t days = unixSeconds >= 0 ? unixSeconds / 86400 : (unixSeconds - 86399) / 86400;
    const int64_t secondsOfDay = unixSeconds - days * 86400;
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t mp = (5 * dayOfYear + 2) / 153;
    const int64_t day = dayOfYear - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yearOfEra + era * 400 + (month <= 2);
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02d%02dT%02d%02d%02dZ", int(year), int(month), int(day),
                  int(secondsOfDay / 3600), int(secondsOfDay / 60 % 60), int(secondsOfDay % 60));
    return text;
}

SigV4Signer::SigV4Signer(AwsCredentials credentials, std::string region, std::string service)
    : credentials_(std::move(credentials)), region_(std::move(region)), service_(std::move(service))
{
}

std::string SigV4Signer::canonicalRequest(const SignableRequest &request, const std::string &amzDate,
                                          const std::string &sessionToken, std::string &signedNames)
{
    const std::string &payload = request.payloadHash.empty() ? std::string(kEmptyPayloadHash) : request.payloadHash;
    std::vector<std::pair<std::string, std::string>> headers;
    headers.push_back({"host", request.host});
    headers.push_back({"x-amz-date", amzDate});
    if (request.contentHashHeader)
        headers.push_back({"x-amz-content-sha256", payload});
    if (!sessionToken.empty())
        headers.push_back({"x-amz-security-token", sessionToken});
    for (const auto &[name, value] : request.headers)
        headers.push_back(canonicalHeader(name, value));
    std::sort(headers.begin(), headers.end());

    auto query = request.query;
    std::sort(query.begin(), query.end());

    std::string canonical = request.method + '\n' + request.canonicalPath + '\n';
    for (size_t i = 0; i < query.size(); ++i)
        canonical += (i ? "&" : "") + query[i].first + '=' + query[i].second;
    canonical += '\n';
    signedNames.clear();
    // Repeated names would join their values with commas; this host never repeats one.
    for (const auto &[name, value] : headers) {
        canonical += name + ':' + value + '\n';
        signedNames += (signedNames.empty() ? "" : ";") + name;
    }
    canonical += '\n' + signedNames + '\n' + payload;
    return canonical;
}

std::string SigV4Signer::signature(const std::string &canonical, const std::string &amzDate)
{
    const std::string day = amzDate.substr(0, 8);
    if (day != keyDate_) {
        const std::string secret = "AWS4" + credentials_.secretAccessKey;
        unsigned char key[32];
        hmac(reinterpret_cast<const unsigned char *>(secret.data()), secret.size(), day, key);
        hmac(key, 32, region_, key);
        hmac(key, 32, service_, key);
        hmac(key, 32, "aws4_request", signingKey_);
        keyDate_ = day;
    }
    const std::string toSign = "AWS4-HMAC-SHA256\n" + amzDate + '\n' +
                               credentialScope(amzDate, region_, service_) + '\n' + sha256Hex(canonical);
    unsigned char mac[32];
    hmac(signingKey_, sizeof signingKey_, toSign, mac);
    return hex(mac, sizeof mac);
}

SignedHeaders SigV4Signer::sign(const SignableRequest &request, const std::string &amzDate)
{
    std::string signedNames;
    const std::string canonical = canonicalRequest(request, amzDate, credentials_.sessionToken, signedNames);
    SignedHeaders out;
    out.push_back("x-amz-date: " + amzDate);
    if (request.contentHashHeader)
        out.push_back("x-amz-content-sha256: " +
                      (request.payloadHash.empty() ? std::string(kEmptyPayloadHash) : request.payloadHash));
    if (!credentials_.sessionToken.empty())
        out.push_back("x-amz-security-token: " + credentials_.sessionToken);
    out.push_back("Authorization: AWS4-HMAC-SHA256 Credential=" + credentials_.accessKeyId + '/' +
                  credentialScope(amzDate, region_, service_) + ", SignedHeaders=" + signedNames +
                  ", Signature=" + signature(canonical, amzDate));
    return out;
}

} // namespace zudorhost

#include "io/remote/url.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace zudorhost {
namespace {

bool startsWithNoCase(const std::string &text, const char *prefix)
{
    const size_t n = std::strlen(prefix);
    if (text.size() < n)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i])
            return false;
    return true;
}

bool equalsNoCase(const char *a, size_t n, const char *b)
{
    if (std::strlen(b) != n)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != b[i])
            return false;
    return true;
}

// Query parameters that sign a request or carry a credential in the forms people paste:
// S3 and GCS presigned URLs (both signature versions), Azure shared access signatures,
// and the usual token parameters.
const char *const kSecretParameters[] = {
    "x-amz-signature", "x-amz-credential", "x-amz-security-token", "x-amz-algorithm",
    "x-amz-date", "x-amz-expires", "x-amz-signedheaders", "awsaccesskeyid", "signature",
    "expires", "x-goog-signature", "x-goog-credential", "x-goog-algorithm", "x-goog-date",
    "x-goog-expires", "x-goog-signedheaders", "googleaccessid", "sig", "se", "sp", "sv", "st",
    "spr", "srt", "ss", "skoid", "sktid", "skt", "ske", "sks", "skv", "token", "access_token",
    "api_key", "apikey", "key", "password"};

bool isSecretParameter(const char *name, size_t n)
{
    return std::any_of(std::begin(kSecretParameters), std::end(kSecretParameters),
                       [&](const char *secret) { return equalsNoCase(name, n, secret); });
}

std::string redactQuery(const std::string &query)
{
    std::string kept;
    size_t start = 0;
    while (start <= query.size()) {
        size_t end = query.find('&', start);
        if (end == std::string::npos)
            end = query.size();
        const size_t equals = std::min(query.find('=', start), end);
        if (end > start && !isSecretParameter(query.data() + start, equals - start)) {
            if (!kept.empty())
                kept += '&';
            kept.append(query, start, end - start);
        }
        start = end + 1;
    }
    return kept;
}

bool isUnreserved(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.' || c == '~';
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = char(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// libcurl refuses a URL holding a space or a control character, saying only that its format is
// bad. An S3 key may hold either: it is encoded when the request is built.
bool needsEncoding(const std::string &text, std::string &why)
{
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte > ' ' && byte != 0x7F)
            continue;
        const std::string code = percentEncode(std::string(1, c), false);
        const std::string what = byte == ' ' ? "a space" : "a control character (byte 0x" + code.substr(1) + ")";
        why = "the URL holds " + what + "; write it as " + code;
        return true;
    }
    return false;
}

// The length of text's scheme when it begins as a URL does (a letter, letters and digits, then
// "://"), else 0.
size_t schemeLength(const std::string &text)
{
    size_t scheme = 0;
    while (scheme < text.size() && (std::isalpha(static_cast<unsigned char>(text[scheme])) ||
                                    (scheme > 0 && std::isdigit(static_cast<unsigned char>(text[scheme])))))
        ++scheme;
    return scheme != 0 && text.compare(scheme, 3, "://") == 0 ? scheme : 0;
}

} // namespace

std::string unreadScheme(const std::string &path)
{
    // One letter is a Windows drive (C://photos/a.tif), not a scheme.
    const size_t scheme = schemeLength(path);
    return isRemoteInput(path) || scheme < 2 ? std::string() : path.substr(0, scheme);
}

bool isRemoteInput(const std::string &path)
{
    return startsWithNoCase(path, "http://") || startsWithNoCase(path, "https://") ||
           startsWithNoCase(path, "s3://");
}

std::string redactUrl(const std::string &text)
{
    // Only a URL has parts to leave out.
    const size_t scheme = schemeLength(text);
    if (scheme == 0)
        return text;
    const size_t authority = scheme + 3;
    const size_t authorityEnd = std::min(text.find_first_of("/?#", authority), text.size());
    // The last '@' of the authority ends the user information, which may hold '@' itself.
    const size_t at = text.rfind('@', authorityEnd == 0 ? 0 : authorityEnd - 1);
    std::string shown = text.substr(0, authority);
    shown.append(text, at != std::string::npos && at >= authority ? at + 1 : authority,
                 std::string::npos);
    // The query runs from the first '?' to the fragment; a '?' inside the fragment is text.
    const size_t question = shown.find('?');
    if (question == std::string::npos || question > shown.find('#'))
        return shown;
    const size_t hash = std::min(shown.find('#', question), shown.size());
    const std::string query = redactQuery(shown.substr(question + 1, hash - question - 1));
    std::string tail = shown.substr(hash);
    shown.resize(question);
    if (!query.empty())
        shown += '?' + query;
    return shown + tail;
}

bool parseRemoteUrl(const std::string &text, RemoteUrl &url, std::string &why)
{
    url = RemoteUrl{};
    url.text = text;
    url.shown = redactUrl(text);
    if (startsWithNoCase(text, "s3://")) {
        url.scheme = UrlScheme::S3;
        const size_t slash = text.find('/', 5);
        url.bucket = text.substr(5, slash == std::string::npos ? std::string::npos : slash - 5);
        url.key = slash == std::string::npos ? std::string() : text.substr(slash + 1);
        url.prefix = url.key.empty() || url.key.back() == '/';
        if (url.bucket.empty() || url.bucket.find_first_of("?#@:") != std::string::npos) {
            why = "not an S3 URL (s3://bucket/key)";
            return false;
        }
        return true;
    }
    url.scheme = startsWithNoCase(text, "https://") ? UrlScheme::Https : UrlScheme::Http;
    const size_t authority = url.scheme == UrlScheme::Https ? 8 : 7;
    const size_t end = std::min(text.find_first_of("/?#", authority), text.size());
    const size_t at = text.rfind('@', end - 1);
    const size_t host = at != std::string::npos && at >= authority ? at + 1 : authority;
    if (end <= host) {
        why = "the URL names no host";
        return false;
    }
    return !needsEncoding(text, why);
}

namespace {

// host:port in lower case with the port always written, or empty where the authority is not a
// plain name or address: what the URL parser and libcurl could read differently is refused.
std::string normalAuthority(std::string authority, bool https)
{
    for (char &c : authority)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    size_t hostEnd = authority.size();
    if (!authority.empty() && authority[0] == '[') {
        hostEnd = authority.find(']');
        if (hostEnd == std::string::npos || hostEnd == 1 ||
            authority.find_first_not_of("0123456789abcdef:.", 1) != hostEnd)
            return std::string();
        ++hostEnd;
    } else {
        hostEnd = std::min(authority.find(':'), authority.size());
        if (hostEnd == 0 || authority.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789.-") < hostEnd)
            return std::string();
    }
    std::string port = authority.substr(hostEnd);
    if (port.empty())
        return authority + (https ? ":443" : ":80");
    if (port.size() < 2 || port.size() > 6 || port[0] != ':' ||
        port.find_first_not_of("0123456789", 1) != std::string::npos || std::stoul(port.substr(1)) > 65535)
        return std::string();
    return authority;
}

} // namespace

bool remoteInputAllowed(const std::string &input, const RemoteOptions &options, std::string &why)
{
    if (!options.limited)
        return true;
    RemoteUrl url;
    if (!parseRemoteUrl(input, url, why))
        return false;
    if (url.scheme == UrlScheme::S3) {
        if (std::find(options.allowedBuckets.begin(), options.allowedBuckets.end(), url.bucket) !=
            options.allowedBuckets.end())
            return true;
        why = "not fetched: the bucket " + url.bucket + " is not among those this run may fetch from";
        return false;
    }
    const bool https = url.scheme == UrlScheme::Https;
    const size_t begin = https ? 8 : 7;
    const size_t end = std::min(input.find_first_of("/?#", begin), input.size());
    const size_t at = input.rfind('@', end - 1);
    const bool credentials = at != std::string::npos && at >= begin;
    const size_t host = credentials ? at + 1 : begin;
    const std::string authority = normalAuthority(input.substr(host, end - host), https);
    if (authority.empty() || (credentials && input.find_first_of("\\[]", begin) < at)) {
        why = "not fetched: the URL's host is not a plain name or address";
        return false;
    }
    for (const std::string &host : options.allowedHosts)
        if (normalAuthority(host, https) == authority)
            return true;
    why = "not fetched: " + authority + " is not among the hosts this run may fetch from";
    return false;
}

std::string percentEncode(const std::string &text, bool keepSlash)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() + text.size() / 4);
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (isUnreserved(c) || (keepSlash && c == '/')) {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        }
    }
    return out;
}

bool percentDecode(const std::string &text, std::string &out, bool plusIsSpace)
{
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+' && plusIsSpace) {
            out += ' ';
        } else if (text[i] != '%') {
            out += text[i];
        } else {
            const int high = i + 2 < text.size() ? hexValue(text[i + 1]) : -1;
            const int low = high < 0 ? -1 : hexValue(text[i + 2]);
            if (low < 0)
                return false;
            out += char(high << 4 | low);
            i += 2;
        }
    }
    return true;
}

} // namespace zudorhost

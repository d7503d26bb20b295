// What a remote input names: an http(s) URL, an S3 object, or every object under an S3
// prefix. The URL as given may carry secrets (user:password@, a presigned query); `shown` is
// the form that records and messages use, without them.
#pragma once

#include <string>

#include "zudor_host/remote.h"

namespace zudorhost {

enum class UrlScheme { Http, Https, S3 };

struct RemoteUrl {
    UrlScheme scheme = UrlScheme::Http;
    std::string text;   // as given: what is fetched
    std::string shown;  // as given, less credentials and signing parameters
    std::string bucket; // S3 only
    std::string key;    // S3 only, as given (not percent-decoded)
    bool prefix = false; // S3 only: the key is empty or ends in '/': every key below it
};

// false with why for a URL that cannot be fetched (no host, no bucket, ...).
bool parseRemoteUrl(const std::string &text, RemoteUrl &url, std::string &why);

// The scheme of a name that begins as a URL of a kind no input reads (ftp://, file://), else
// empty: such a name is taken for a local path.
std::string unreadScheme(const std::string &path);

// text without user information and without the query parameters that carry signatures,
// credentials or tokens.
std::string redactUrl(const std::string &text);

// Percent-encodes every byte but the unreserved ones (and '/' when keepSlash), as S3's
// canonical requests and ListObjectsV2 parameters want it.
std::string percentEncode(const std::string &text, bool keepSlash);
// The inverse, for keys that a listing returns URL-encoded (where '+' stands for a space);
// false on a malformed escape.
bool percentDecode(const std::string &text, std::string &out, bool plusIsSpace);

} // namespace zudorhost

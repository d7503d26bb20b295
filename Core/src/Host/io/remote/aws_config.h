// Where S3 requests go and how they are signed, from the usual places: the AWS environment
// variables first, then the shared credentials and config files of the profile. Secrets
// stay in here and in the signer; nothing here is ever written to a record or a message.
#pragma once

#include <functional>
#include <string>

#include "io/remote/sigv4.h"

namespace zudorhost {

// What resolution reads, handed in so that tests need no real environment or home.
struct AwsSources {
    std::function<std::string(const char *name)> variable; // empty where unset
    std::function<bool(const std::string &path, std::string &contents)> readFile;
    // The user's home, where ~/.aws lies: HOME, or %USERPROFILE% on Windows; when unset, the
    // variable HOME.
    std::function<std::string()> home;
};
// The process's environment and files.
AwsSources processAwsSources();

struct S3Settings {
    bool sign = true;          // false with --no-sign-request: anonymous requests
    AwsCredentials credentials;
    std::string region = "us-east-1";
    std::string endpoint;      // scheme://host[:port] without a trailing '/'; empty: AWS itself
    std::string problem;       // why S3 inputs cannot be read (no credentials, ...), or empty
};

S3Settings resolveS3Settings(const AwsSources &sources, bool noSignRequest);

// Where an object or listing of a bucket lives: the URL's start up to the bucket's root
// (".../" for path style), and the Host header the request is signed with.
struct S3Location {
    std::string base;         // e.g. https://bucket.s3.eu-west-1.amazonaws.com/ or http://127.0.0.1:9000/bucket/
    std::string host;         // bucket.s3.eu-west-1.amazonaws.com, or 127.0.0.1:9000
    std::string pathPrefix;   // the path before the key: "/" or "/bucket/"
};
S3Location locateBucket(const S3Settings &settings, const std::string &bucket);

} // namespace zudorhost

#include "io/remote/aws_config.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>

#include "platform/system.h"
#include "zudor_host/platform.h"

namespace zudorhost {
namespace {

using Section = std::map<std::string, std::string>;

std::string trim(const std::string &text)
{
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// The keys of one section of an INI file as the AWS tools write them, and whether the file
// has that section. Indented lines belong to a nested setting of the line above them and are
// left out.
Section readSection(const std::string &contents, const std::string &wanted, bool &found)
{
    Section keys;
    std::istringstream in(contents);
    bool inside = false;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && (line[0] == ' ' || line[0] == '\t'))
            continue;
        line = trim(line);
        if (line.empty() || line[0] == '#' || line[0] == ';')
            continue;
        if (line[0] == '[') {
            const size_t close = line.find(']');
            inside = close != std::string::npos && trim(line.substr(1, close - 1)) == wanted;
            found = found || inside;
            continue;
        }
        const size_t equals = line.find('=');
        if (inside && equals != std::string::npos)
            keys[trim(line.substr(0, equals))] = trim(line.substr(equals + 1));
    }
    return keys;
}

std::string variable(const AwsSources &sources, const char *name)
{
    return sources.variable(name);
}

struct ProfileFile {
    std::string shown;  // the file as a message names it
    bool found = false; // it has the profile's section
    Section keys;
};

ProfileFile profileSection(const AwsSources &sources, const char *fileVariable, const char *defaultName,
                           const std::string &section)
{
    ProfileFile file;
    std::string path = variable(sources, fileVariable);
    file.shown = path.empty() ? std::string("~/.aws/") + defaultName : path;
    if (path.empty()) {
        const std::string home = sources.home ? sources.home() : variable(sources, "HOME");
        if (home.empty())
            return file;
        path = home + "/.aws/" + defaultName;
    }
    std::string contents;
    if (sources.readFile(path, contents))
        file.keys = readSection(contents, section, file.found);
    return file;
}

std::string firstOf(std::initializer_list<std::string> values)
{
    for (const std::string &value : values)
        if (!value.empty())
            return value;
    return std::string();
}

bool takeKeys(const Section &section, AwsCredentials &credentials)
{
    const auto id = section.find("aws_access_key_id"), secret = section.find("aws_secret_access_key");
    if (id == section.end() || secret == section.end() || id->second.empty() || secret->second.empty())
        return false;
    credentials.accessKeyId = id->second;
    credentials.secretAccessKey = secret->second;
    const auto token = section.find("aws_session_token");
    credentials.sessionToken = token != section.end() ? token->second : std::string();
    return true;
}

// A bucket name that can stand as a DNS label under TLS: no dots (a wildcard certificate
// covers one label), no capitals or underscores.
bool virtualHostable(const std::string &bucket)
{
    if (bucket.size() < 3 || bucket.size() > 63 || bucket.front() == '-' || bucket.back() == '-')
        return false;
    for (const char c : bucket)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'))
            return false;
    return true;
}

} // namespace

AwsSources processAwsSources()
{
    AwsSources sources;
    sources.variable = [](const char *name) {
        bool set;
        return os::native().environmentVariable(name, set);
    };
    sources.readFile = [](const std::string &path, std::string &contents) {
        std::FILE *in = openFile(path, "rb");
        if (in == nullptr)
            return false;
        contents.clear();
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, in)) > 0;)
            contents.append(buffer, n);
        const bool read = std::ferror(in) == 0;
        std::fclose(in);
        return read;
    };
    sources.home = homeDirectory;
    return sources;
}

S3Settings resolveS3Settings(const AwsSources &sources, bool noSignRequest)
{
    S3Settings settings;
    const std::string profile = firstOf({variable(sources, "AWS_PROFILE"), "default"});
    const ProfileFile config = profileSection(sources, "AWS_CONFIG_FILE", "config",
                                              profile == "default" ? profile : "profile " + profile);
    const auto setting = [&config](const char *name) {
        const auto found = config.keys.find(name);
        return found != config.keys.end() ? found->second : std::string();
    };
    settings.region = firstOf({variable(sources, "AWS_REGION"), variable(sources, "AWS_DEFAULT_REGION"),
                               setting("region"), "us-east-1"});
    settings.endpoint = firstOf({variable(sources, "AWS_ENDPOINT_URL_S3"), variable(sources, "AWS_ENDPOINT_URL"),
                                 setting("endpoint_url")});
    while (!settings.endpoint.empty() && settings.endpoint.back() == '/')
        settings.endpoint.pop_back();
    // The variable serves front ends without a --no-sign-request of their own (Python).
    const std::string unsigned_ = variable(sources, "AWS_NO_SIGN_REQUEST");
    if (noSignRequest || unsigned_ == "true" || unsigned_ == "TRUE" || unsigned_ == "yes" || unsigned_ == "YES" ||
        unsigned_ == "1") {
        settings.sign = false;
        return settings;
    }
    AwsCredentials &credentials = settings.credentials;
    credentials.accessKeyId = variable(sources, "AWS_ACCESS_KEY_ID");
    credentials.secretAccessKey = variable(sources, "AWS_SECRET_ACCESS_KEY");
    credentials.sessionToken = variable(sources, "AWS_SESSION_TOKEN");
    if (!credentials.accessKeyId.empty() && !credentials.secretAccessKey.empty())
        return settings;
    const ProfileFile shared = profileSection(sources, "AWS_SHARED_CREDENTIALS_FILE", "credentials", profile);
    if (takeKeys(shared.keys, credentials) || takeKeys(config.keys, credentials))
        return settings;
    credentials = AwsCredentials{};
    // A profile named and found nowhere is most often a misspelt name or the wrong HOME.
    if (!variable(sources, "AWS_PROFILE").empty() && !shared.found && !config.found) {
        settings.problem = "no AWS credentials: the profile \"" + profile + "\" (AWS_PROFILE) is in neither " +
                           shared.shown + " nor " + config.shown;
        return settings;
    }
    settings.problem = "no AWS credentials: set AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY, name a profile "
                       "with AWS_PROFILE, or read a public bucket unsigned (AWS_NO_SIGN_REQUEST=true)";
    return settings;
}

S3Location locateBucket(const S3Settings &settings, const std::string &bucket)
{
    S3Location where;
    if (settings.endpoint.empty()) {
        const std::string regional = "s3." + settings.region + ".amazonaws.com";
        if (virtualHostable(bucket)) {
            where.host = bucket + '.' + regional;
            where.pathPrefix = "/";
        } else {
            where.host = regional;
            where.pathPrefix = "/" + bucket + "/";
        }
        where.base = "https://" + where.host + where.pathPrefix;
        return where;
    }
    // An S3-compatible store named by its endpoint is addressed path style.
    const size_t authority = settings.endpoint.find("://");
    const size_t start = authority == std::string::npos ? 0 : authority + 3;
    const size_t end = settings.endpoint.find('/', start);
    where.host = settings.endpoint.substr(start, end == std::string::npos ? std::string::npos : end - start);
    const std::string basePath = end == std::string::npos ? std::string() : settings.endpoint.substr(end);
    // The Host header leaves out the scheme's own port, as clients send it.
    const bool https = settings.endpoint.compare(0, 8, "https://") == 0;
    const std::string defaultPort = https ? ":443" : ":80";
    if (where.host.size() > defaultPort.size() &&
        where.host.compare(where.host.size() - defaultPort.size(), defaultPort.size(), defaultPort) == 0)
        where.host.resize(where.host.size() - defaultPort.size());
    where.pathPrefix = basePath + "/" + bucket + "/";
    where.base = settings.endpoint.substr(0, start) + where.host + where.pathPrefix;
    return where;
}

} // namespace zudorhost

// The bearer tokens a client may present: read from a file at start and again on SIGHUP, and
// compared in time that depends on the presented text only, never on a token held here.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace zudorserve {

class TokenSet {
public:
    // Reads path: one token a line, surrounding blanks dropped; blank lines and lines that
    // start with '#' are passed over. On failure the tokens held stay as they were.
    bool load(const std::string &path, std::string &why);
    // Whether presented is one of the tokens; every token is compared, to the end.
    bool accepts(const char *presented, size_t length) const;
    size_t count() const;

private:
    // Swapped whole on reload while the service's threads read the old set.
    std::shared_ptr<const std::vector<std::string>> tokens_ = std::make_shared<std::vector<std::string>>();
};

// The token of an Authorization header ("Bearer TOKEN", the scheme in any case), or null.
const char *bearerToken(const char *header, size_t &length);

} // namespace zudorserve

#include "tokens.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <strings.h>

namespace zudorserve {
namespace {

// Differs from zero when a and b differ; the time taken depends on a's length only. A token
// shorter than the presented text is compared against itself again, and the lengths decide.
unsigned char difference(const char *a, size_t aLength, const std::string &b)
{
    unsigned char diff = aLength == b.size() ? 0 : 1;
    const size_t bLength = b.size();
    if (bLength == 0)
        return 1;
    for (size_t i = 0; i < aLength; ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i % bLength]);
    return diff;
}

std::string trimmed(const std::string &line)
{
    const char *blanks = " \t\r\n\v\f";
    const size_t start = line.find_first_not_of(blanks);
    if (start == std::string::npos)
        return std::string();
    return line.substr(start, line.find_last_not_of(blanks) - start + 1);
}

} // namespace

bool TokenSet::load(const std::string &path, std::string &why)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        why = "cannot read the token file " + path + ": " + std::strerror(errno);
        return false;
    }
    auto tokens = std::make_shared<std::vector<std::string>>();
    for (std::string line; std::getline(in, line);) {
        const std::string token = trimmed(line);
        if (!token.empty() && token[0] != '#')
            tokens->push_back(token);
    }
    if (in.bad()) {
        why = "cannot read the token file " + path + ": " + std::strerror(errno);
        return false;
    }
    if (tokens->empty()) {
        why = "the token file " + path + " holds no token (one a line); without one every request would be refused";
        return false;
    }
    std::atomic_store(&tokens_, std::shared_ptr<const std::vector<std::string>>(std::move(tokens)));
    return true;
}

bool TokenSet::accepts(const char *presented, size_t length) const
{
    const auto tokens = std::atomic_load(&tokens_);
    unsigned matched = 0;
    for (const std::string &token : *tokens)
        matched |= difference(presented, length, token) == 0 ? 1u : 0u;
    return matched != 0;
}

size_t TokenSet::count() const { return std::atomic_load(&tokens_)->size(); }

const char *bearerToken(const char *header, size_t &length)
{
    if (header == nullptr || strncasecmp(header, "Bearer ", 7) != 0)
        return nullptr;
    const char *token = header + 7;
    while (*token == ' ')
        ++token;
    length = std::strlen(token);
    while (length != 0 && token[length - 1] == ' ')
        --length;
    return length != 0 ? token : nullptr;
}

} // namespace zudorserve

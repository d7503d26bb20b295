#pragma once

#include <string>

namespace sievecheck {

// The bytes of a zero-terminated string as UTF-8: valid UTF-8 sequences stay as they are,
// every other byte is taken as a Latin-1 character.
std::string toUtf8(const char *text);

} // namespace sievecheck

#pragma once

#include <cstddef>
#include <string>

namespace sievecheck {

// The n bytes at text as UTF-8: valid UTF-8 sequences stay as they are, every other byte is
// taken as a Latin-1 character. Returns text itself when it is valid UTF-8 (the usual case,
// found in one pass with no copy), else scratch holding the mended copy; n is updated.
const char *asUtf8(const char *text, size_t &n, std::string &scratch);

} // namespace sievecheck

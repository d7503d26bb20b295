// What every front end does to the bytes the reader hands over before they reach a user:
// mend them into UTF-8, and write times in ISO 8601.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zudorhost {

// The n bytes at text as UTF-8: valid UTF-8 sequences stay as they are, every other byte is
// taken as a Latin-1 character. Returns text itself when it is valid UTF-8 (the usual case,
// found in one pass with no copy), else scratch holding the mended copy; n is updated.
const char *asUtf8(const char *text, size_t &n, std::string &scratch);

// FILETIME ticks as UTC, in the form 2024-02-29T13:45:00Z (or @seconds where the C library
// has no calendar date for them); returns the length written to text.
size_t isoTime(uint64_t ticks, char (&text)[40]);

} // namespace zudorhost

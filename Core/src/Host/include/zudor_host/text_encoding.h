// What every front end does to the bytes the reader hands over before they reach a user:
// mend them into UTF-8, show control characters on a terminal, and write times in ISO 8601.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "zudor_host/output_buffer.h"

namespace zudorhost {

// The n bytes at text as UTF-8: valid UTF-8 sequences stay as they are, every other byte is
// taken as a Latin-1 character. Returns text itself when it is valid UTF-8 (the usual case,
// found in one pass with no copy), else scratch holding the mended copy; n is updated.
const char *asUtf8(const char *text, size_t &n, std::string &scratch);

// The n bytes of valid UTF-8 at text as a terminal may show them: control characters (C0,
// DEL, and C1, which some terminals obey in UTF-8 too) become visible escapes: \n, \r, \t,
// \x1B, \u009B. In a block of lines (a packet's text), line feeds, tabs and CR LF stay as they
// are. Returns text itself when nothing needs showing, else scratch holding the copy; n is
// updated.
const char *visible(const char *text, size_t &n, std::string &scratch, bool block);

// Appends the n bytes at text for a terminal: mended (asUtf8), then made visible (visible).
void appendVisible(OutputBuffer &out, const char *text, size_t n, bool block, std::string &scratch);

// The n bytes at data in base64 (RFC 4648, padded), into out.
void base64(const char *data, size_t n, std::string &out);

// FILETIME ticks as UTC, in the form 2024-02-29T13:45:00Z (or @seconds where the C library
// has no calendar date for them); returns the length written to text.
size_t isoTime(uint64_t ticks, char (&text)[40]);
// The ticks isoTime wrote as text (to the second), or 0 for text it did not write.
uint64_t ticksFromIsoTime(const char *text, size_t length);

} // namespace zudorhost

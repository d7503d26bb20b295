// The two output formats: readable text, and JSON Lines with one object per document.
#pragma once

#include <string>

#include "document.h"

namespace sievecheck {

enum class Format { Text, Json };

std::string formatSummary(const DocumentResult &doc, Format format);
std::string formatTextOutput(const DocumentResult &doc, Format format);

// FILETIME ticks as UTC, in the form 2024-02-29T13:45:00Z.
std::string filetimeToIso(uint64_t ticks);

const char *summaryName(SummaryState state);

} // namespace sievecheck

// The two output formats: readable text, and JSON Lines with one object per document.
#pragma once

#include <memory>

#include "zudor_host/zudor_host.h"

namespace sievecheck {

enum class Format { Text, Json };

// One formatter per worker; it writes the summary, or the reader's text record in
// text-output mode, and an error line for the standard error.
std::unique_ptr<zudorhost::RecordFormatter> makeFormatter(Format format, bool textOutput);

} // namespace sievecheck

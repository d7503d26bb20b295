// What sievecheck writes for each document: its record, and a line on the standard error for
// a document that failed.
#pragma once

#include <memory>

#include "zudor_host/record_writers.h"
#include "zudor_host/runner.h"

namespace sievecheck {

// One formatter per worker, around the record writer the front end chose; with none, it only
// names the documents that failed.
std::unique_ptr<zudorhost::RecordFormatter> makeFormatter(std::unique_ptr<zudorhost::RecordWriter> writer);

} // namespace sievecheck

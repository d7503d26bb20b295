// Records cross from the worker threads to Python as the record walk's events written down:
// the workers may not touch Python objects, so they write each document's walk as bytes into
// the batch's buffer, and the caller, holding the GIL, plays them into a DictBuilder. The
// events carry no knowledge of the fields; the walk alone defines them.
#pragma once

#include <memory>

#include "zudor_host/record.h"
#include "zudor_host/runner.h"

namespace zudorpy {

// The formatter the workers use: each document's walk, as events.
std::unique_ptr<zudorhost::RecordFormatter> makeEventRecorder();

// Plays the events in data[0, size) into visitor, record after record.
void replayEvents(const char *data, size_t size, zudorhost::RecordVisitor &visitor);

} // namespace zudorpy

// The record as bytes: JSON Lines for programs, text for people.
#pragma once

#include <memory>

#include "zudor_host/driver.h"
#include "zudor_host/output_buffer.h"

namespace zudorhost {

enum class RecordFormat { Json, Text };

// Appends each document's record to out; one per thread.
class RecordWriter {
public:
    virtual ~RecordWriter() = default;
    virtual void write(const DocumentView &doc, OutputBuffer &out) = 0;
    // The same record from its walk written down (record_events.h), without walking it again.
    virtual void writeRecorded(const char *events, size_t size, OutputBuffer &out) = 0;
};

// The summary record: one JSON object per line, or a readable block.
std::unique_ptr<RecordWriter> summaryWriter(RecordFormat format);
// The reader's own text record (Retrieval::TextRecord): as JSON with the file and any error,
// or the record's text alone.
std::unique_ptr<RecordWriter> textRecordWriter(RecordFormat format);

} // namespace zudorhost

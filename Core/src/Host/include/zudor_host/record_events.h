// A record's walk written down as bytes, and played back later or on another thread: the
// workers of a scan may not touch Python objects or the catalogue's database, so they write
// each document's walk into the batch's buffer and the thread that may, plays it back into its
// own visitor. The events carry no knowledge of the fields; the walk alone defines them.
#pragma once

#include <cstddef>

#include "zudor_host/output_buffer.h"
#include "zudor_host/record.h"

namespace zudorhost {

class EventRecorder : private RecordVisitor {
public:
    // Appends the walk of doc's summary record to out.
    void record(const DocumentView &doc, OutputBuffer &out);

private:
    void event(char e, Field field);
    void bytes(const char *text, size_t length);

    void beginRecord(bool failed) override;
    void string(Field field, const char *text, size_t length) override;
    void number(Field field, uint64_t value) override;
    void beginList(Field field) override;
    void pair(const char *name, size_t nameLength, const char *value, size_t valueLength) override;
    void item(const char *text, size_t length) override;
    void endList(Field field) override;
    void beginGroup(Field field) override;
    void endGroup(Field field) override;
    void endRecord() override;

    RecordWalker walker_;
    OutputBuffer *out_ = nullptr;
};

// Plays one record's events from data into visitor; returns the bytes it took. The strings
// the visitor receives point into data. The bytes come from our own recorder, so they are
// trusted to be well formed.
size_t replayRecord(const char *data, size_t size, RecordVisitor &visitor);

// Plays every record in data[0, size).
void replayEvents(const char *data, size_t size, RecordVisitor &visitor);

} // namespace zudorhost

// Why a record is not complete, in a sentence a person can act on: from what the host saw while
// the reader read the document (a request refused, a read cut short, an XMP packet turned
// down), and where that does not tell, from a walk of the file's directories of the host's own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zudor/host.h"
#include "hostcalls/reference_host.h"
#include "io/file_stream.h"

namespace zudorhost {

struct DocumentEvidence {
    bool incomplete = false;  // the summary is partial or none
    XmpMode xmpMode = XmpMode::Parsed;
    HostNotes host;
    ShortRead shortRead;
    uint64_t size = 0;        // the file's
    uint64_t memoryCap = 0;   // the reader process's, where one holds
};

// Appends the sentences for what the evidence shows. stream serves the document's bytes for
// the host's own walk; its position and counts are the caller's to restore.
void explainDocument(const DocumentEvidence &evidence, InputStream *stream, std::vector<std::string> &warnings);

// The first fault the reader's walk of the directories meets, as the reader meets it: a
// directory or value past the end of the file, or a first DateTime that does not convert.
// Empty where the walk meets none.
std::string firstDirectoryFault(InputStream *stream, uint64_t size);

} // namespace zudorhost

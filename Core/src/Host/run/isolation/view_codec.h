// A document's view as bytes, from the reader process to the parent: every field a record is
// made of, the strings as the reader gave them (the record walk mends them in the parent, as
// in process), the warnings, and the stream's counts. The parent takes the bytes from a process it does not
// trust: decoding checks every length, and a view it cannot decode is refused whole.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "zudor_host/driver.h"
#include "zudor_host/output_buffer.h"
#include "records/xmp_record.h"

namespace zudorhost {
namespace isolation {

// Appends doc's fields (not its input or identity, which are the parent's).
void encodeView(const DocumentView &doc, OutputBuffer &out);

// A view over encoded bytes, valid while they are.
class DecodedView {
public:
    // Fills view (its input and identity left as they are) from size bytes at data, its
    // warnings and XMP listing mended into UTF-8; false when they are not a view.
    bool decode(const char *data, size_t size, DocumentView &view);

private:
    std::vector<PropertyEntry> properties_;
    std::string listing_; // the packet's properties, as a listing the record walk reads
    std::string scratch_;
    std::vector<std::string> warnings_;
    HostXmpRecord xmp_{};
};

} // namespace isolation
} // namespace zudorhost

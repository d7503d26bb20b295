// How a document fuzzer input is read: its first kScriptBytes tell the host how to lead the
// document and where to fail; the rest is the document.
//   byte 0     bit 0 XMP first, 1 both retrievals again, 2 release between them, 3 a second
//              initDoc, 4 text record first, 5 refuse every request from the chosen one on
//   bytes 1-2  the allocation request to refuse, little-endian (0: none)
//   bytes 3-4  the read to cut short (0: none)
//   byte 5     XMP calls answered with a record (255: all)
//   bytes 6-7  unused, so the document keeps its alignment
#pragma once

#include "life.h"

namespace testhost {

constexpr size_t kScriptBytes = 8;
// Fails nowhere: the prefix the seed corpus puts before each document.
constexpr uint8_t kNeutralScript[kScriptBytes] = {0, 0, 0, 0, 0, 255, 0, 0};

inline LifeScript scriptFromBytes(const uint8_t *b)
{
    LifeScript s;
    const std::string pair = b[0] & 1 ? "XS" : "SX";
    s.steps = std::string(b[0] & 16 ? "T" : "") + "I" + pair[0] + (b[0] & 4 ? "R" : "") + pair[1] +
              (b[0] & 2 ? pair : "") + (b[0] & 8 ? "ISX" : "") + (b[0] & 16 ? "" : "T");
    s.refuseOnward = b[0] & 32;
    s.refuseRequest = b[1] | b[2] << 8;
    s.cutRead = b[3] | b[4] << 8;
    s.xmpRecords = b[5] == 255 ? SIZE_MAX : b[5];
    return s;
}

} // namespace testhost

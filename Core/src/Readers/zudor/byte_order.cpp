#include "context.h"

// Assembled byte by byte, so the result does not depend on the machine's byte order.
uint16_t tifReadShort(const uint8_t *bytes, uint32_t littleEndian)
{
    if (littleEndian != 0)
        return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
    return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

uint32_t tifReadLong(const uint8_t *bytes, uint32_t littleEndian)
{
    const uint32_t b0 = bytes[0], b1 = bytes[1], b2 = bytes[2], b3 = bytes[3];
    if (littleEndian != 0)
        return b0 | (b1 << 8) | (b2 << 16) | (b3 << 24);
    return (b0 << 24) | (b1 << 16) | (b2 << 8) | b3;
}

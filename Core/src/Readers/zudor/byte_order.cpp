#include "context.h"
#include "tiff_rules/walk_rules.h"

uint16_t tifReadShort(const uint8_t *bytes, uint32_t littleEndian)
{
    return tiffrules::readShort(bytes, littleEndian != 0);
}

uint32_t tifReadLong(const uint8_t *bytes, uint32_t littleEndian)
{
    return tiffrules::readLong(bytes, littleEndian != 0);
}

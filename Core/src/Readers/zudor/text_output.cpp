#include <cstring>

#include "context.h"

// Writes the fixed hint record whatever the document holds; the third argument is not read,
// so the host must pass a buffer of at least sizeof(TextOutputRecord) bytes.
extern "C" uint32_t tifFillBuffer(TifContext *ctx, uint8_t *out, uint64_t, uint32_t *status,
                                  uint32_t)
{
    if (ctx != nullptr && out != nullptr) {
        uint8_t *cursor = out;
        uint8_t *recordLength = cursor + 1;
        *cursor = 0;
        cursor += 5;
        const uint32_t textLength = TIF_HINT_LENGTH;
        std::memcpy(cursor, &textLength, 4);
        cursor += 4;
        std::memcpy(cursor, TIF_HINT_TEXT, TIF_HINT_LENGTH);
        cursor += TIF_HINT_LENGTH;
        const uint32_t length = static_cast<uint32_t>(cursor - recordLength) + 1;
        std::memcpy(recordLength, &length, 4);
        ctx->outCursor = cursor;
    }
    if (status != nullptr)
        *status = TIF_STATUS_TEXT_DONE;
    return TIF_STATUS_OK;
}

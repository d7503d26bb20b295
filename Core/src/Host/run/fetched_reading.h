// How the fetch stage's probe reads a document through what has been fetched of it, and asks
// for the first read those windows could not serve. Only the fetch stage sees this.
#pragma once

#include <cstdint>

#include "zudor_host/driver.h"

namespace zudorhost {

struct RemoteDocument;

struct FetchedReading {
    static const DocumentView &read(DocumentDriver &driver, const InputItem &input, const RemoteDocument &document);
    static bool missed(const DocumentDriver &driver, uint64_t &offset, uint64_t &length);
};

} // namespace zudorhost

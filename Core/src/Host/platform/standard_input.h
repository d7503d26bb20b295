// The one system call behind readStandardInput, per platform: up to room bytes of standard
// input, 0 at its end, or -1 with errno set.
#pragma once

#include <cstddef>

namespace zudorhost {

long readSomeStandardInput(char *into, size_t room);

} // namespace zudorhost

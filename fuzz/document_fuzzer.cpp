// One input, one document's whole life through the reader's table, against a host that
// fails where the input's script says. Any broken invariant aborts with its description.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz_script.h"
#include "test_host.h"

using namespace testhost;

static ReaderInterface table; // filled once, before the first input

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    setTimeZone("UTC0"); // the same date converts the same way on every machine
    tifGetReaderInterface(&table);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < kScriptBytes)
        return -1; // not kept in the corpus
    const LifeScript script = scriptFromBytes(data);
    const std::vector<uint8_t> document(data + kScriptBytes, data + size);
    const LifeResult result = liveHostileLife(table, document, script);
    if (!result.violations.empty()) {
        std::fprintf(stderr, "invariants broken:\n%s", describe(result).c_str());
        std::abort();
    }
    return 0;
}

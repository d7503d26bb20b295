// The reader module, loaded at run time as any host loads it, and the look a host takes at a
// file's first bytes before it hands the file to the reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "zudor/reader.h"
#include "zudor_host/platform.h"

namespace zudorhost {

class LoadedModule {
public:
    LoadedModule() = default;
    ~LoadedModule();
    LoadedModule(const LoadedModule &) = delete;
    LoadedModule &operator=(const LoadedModule &) = delete;

    // Loads the module at path; an empty path tries defaultModulePlaces() in turn.
    bool load(const std::string &path, std::string &error);
    // The first of places that loads. A place with a directory in it that does not exist is
    // passed over; the error is the first real failure's.
    bool loadFirst(const std::vector<std::string> &places, std::string &error);
    const ReaderInterface &table() const { return table_; }

private:
    bool loadFrom(const std::string &file, std::string &error);
    // Fills table from the module's entry point; false, saying why, when a slot is missing.
    static bool takeTable(TifGetReaderInterfaceFn entry, const std::string &file, ReaderInterface &table,
                          std::string &error);

    void *handle_ = nullptr;
    ReaderInterface table_{};
};

// The library beside this program (a build tree), the one installed beside its bin directory,
// and the system's search path.
std::vector<std::string> defaultModulePlaces();
// Where a module installed under prefix lies, in the order to try them, and the module's name for
// the system's own search (libzudor.so.1, ZUDOR.dll): what a front end installed under a prefix
// of its own (the Python package) looks through before the system's search.
std::vector<std::string> installedModulePlaces(const std::string &prefix);
const char *systemModuleName();

enum class DocumentKind { Tiff, BigTiff, Other };
DocumentKind identify(const uint8_t *head, size_t size);

} // namespace zudorhost

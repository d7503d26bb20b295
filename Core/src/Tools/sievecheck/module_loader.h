// Loads the reader module at run time, the way any host does, and hands out its table.
#pragma once

#include <string>

#include "zudor/reader.h"

namespace sievecheck {

class LoadedModule {
public:
    LoadedModule() = default;
    ~LoadedModule();
    LoadedModule(const LoadedModule &) = delete;
    LoadedModule &operator=(const LoadedModule &) = delete;

    // An empty path means the library next to this executable.
    bool load(const std::string &path, std::string &error);
    const ReaderInterface &table() const { return table_; }

private:
    void *handle_ = nullptr;
    ReaderInterface table_{};
};

} // namespace sievecheck

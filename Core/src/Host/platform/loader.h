// Libraries the library loads for itself at run time, implemented by the platform's door to the
// system (system_posix.cpp, system_windows.cpp). Front ends load the module through
// LoadedModule (zudor_host/module.h) and never need these.
#pragma once

#include <string>

namespace zudorhost {

// A library the host uses only for some runs (libcurl, the XMP toolkit), loaded by its system
// name when first needed and kept for the process's life; null, with why, where it cannot be.
void *loadSystemLibrary(const char *name, std::string &why);
void *librarySymbol(void *library, const char *name);

// librarySymbol as the function type it is declared with; false where the library lacks it.
template <typename F> bool findFunction(void *library, const char *name, F &into)
{
    into = reinterpret_cast<F>(librarySymbol(library, name));
    return into != nullptr;
}

} // namespace zudorhost

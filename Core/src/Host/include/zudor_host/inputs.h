// What a front end reads: paths the user named, directories walked as a stream, and lists of
// paths. Nothing holds more than one directory listing per level of a walk.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace zudorhost {

enum class InputOrigin : uint8_t {
    Named,         // named by the user: a file that is not a TIFF gets an error
    Walked,        // met while walking a directory: a file that is not a TIFF is skipped
    StandardInput, // "-": one document read from standard input into memory
    Failed         // nothing to read; error says why (a directory that cannot be read, ...)
};

struct InputItem {
    std::string path;
    InputOrigin origin = InputOrigin::Named;
    std::string error;
};

class InputSource {
public:
    virtual ~InputSource() = default;
    // The next input, or false at the end.
    virtual bool next(InputItem &item) = 0;
};

// Files, "-", and directories, walked depth first with each directory's entries in byte
// order (a directory sorting as its name and a '/'), which is the order of the sorted full
// paths. Only one directory listing per level is held at a time.
std::unique_ptr<InputSource> pathSource(std::vector<std::string> inputs);

// The paths read from a stream (closed at the end unless it is stdin), one per separator,
// each taken as pathSource takes its inputs.
std::unique_ptr<InputSource> listSource(std::FILE *from, char separator);

} // namespace zudorhost

// What a front end reads: paths the user named, directories walked as a stream, and lists of
// paths. Nothing holds more than one directory listing per level of a walk.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "zudor_host/file_identity.h"

namespace zudorhost {

enum class InputOrigin : uint8_t {
    Named,         // named by the user: a file that is not a TIFF gets an error
    Walked,        // met while walking a directory: a file that is not a TIFF is skipped
    StandardInput, // "-": one document read from standard input into memory
    Failed         // nothing to read; error says why (a directory that cannot be read, ...)
};

// What the library carries with an input from one of its stages to the next (a remote
// document's fetched bytes, what a listing or a catalogue said of it). An incomplete type here:
// the library's own, opaque to a front end.
struct InputCarried;

struct InputItem {
    std::string path; // a remote document's: its URL as shown, never with its secrets
    InputOrigin origin = InputOrigin::Named;
    // Which named input it came from, counted from 1 in the order they were named (a list of
    // files counts as one); 0 for none. A front end tells from it which input gave nothing.
    uint32_t named = 0;
    std::string error;
    bool directory = false; // Failed: a directory that could not be read
    // The library's own (InputCarried); null where it carries nothing.
    std::shared_ptr<InputCarried> carried;
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
// Their items are numbered as named inputs from firstNamed on. A walked or listed file that is
// output (the run's own, by identity) is passed over: a run never reads what it writes.
std::unique_ptr<InputSource> pathSource(std::vector<std::string> inputs, uint32_t firstNamed = 1,
                                        std::string output = std::string());

// The paths read from a stream (closed at the end unless it is stdin), one per separator,
// each taken as a file without a look at what it is first; its items are the named input
// `named`.
std::unique_ptr<InputSource> listSource(std::FILE *from, char separator, uint32_t named = 0,
                                        std::string output = std::string());

} // namespace zudorhost

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

struct RemoteDocument;

// What tells one version of a file from another without reading it: a local file's size,
// modification time and inode as one stat gives them; a remote object's size and ETag as its
// listing or its first answer gives them; and when they were taken.
struct FileIdentity {
    uint64_t size = 0;
    int64_t modifiedNs = 0; // since 1970, in nanoseconds
    uint64_t inode = 0;
    std::string etag;       // a remote object's; empty for a local file
    int64_t takenNs = 0;    // wall clock when it was taken; 0: nothing known
    bool known() const { return takenNs != 0; }
};

// Whether a file seen now as `now` is the one `before` described. A local file changed within
// the coarsest timestamp granularity of the moment `before` was taken could have changed
// again with the same time and size, so such a file never counts as unchanged. An object's
// ETag changes with its content whenever it is written.
bool unchangedSince(const FileIdentity &before, const FileIdentity &now);

// The wall clock, in nanoseconds since 1970.
int64_t wallClockNs();

// Set on an input by a catalogue's source (catalogue.h): where its record is kept and what the
// catalogue knew of the file. The driver does not read a file that is unchanged since.
struct CatalogueRef {
    int64_t input = 0;    // the catalogue's row of the named input that yielded it
    int64_t order = -1;   // its line in a list of files; -1 in a walk
    int64_t row = 0;      // the row that held it, 0 for none
    bool skipped = false; // that row was of a file skipped as no TIFF
    FileIdentity identity; // what that row says of the file
    // Known unchanged already, from a listing: neither fetched nor read.
    bool unchanged = false;
};

struct InputItem {
    std::string path; // a remote document's: its URL as shown, never with its secrets
    InputOrigin origin = InputOrigin::Named;
    // Which named input it came from, counted from 1 in the order they were named (a list of
    // files counts as one); 0 for none. A front end tells from it which input gave nothing.
    uint32_t named = 0;
    std::string error;
    bool directory = false; // Failed: a directory that could not be read
    CatalogueRef catalogue;
    // A remote document's bytes, fetched ahead of the workers (remote.h); null for a path.
    std::shared_ptr<const RemoteDocument> remote;
    FileIdentity listed; // a key an S3 listing gave: its size and ETag as listed
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
// Their items are numbered as named inputs from firstNamed on.
std::unique_ptr<InputSource> pathSource(std::vector<std::string> inputs, uint32_t firstNamed = 1);

// The paths read from a stream (closed at the end unless it is stdin), one per separator,
// each taken as a file without a look at what it is first; its items are the named input
// `named`.
std::unique_ptr<InputSource> listSource(std::FILE *from, char separator, uint32_t named = 0);

} // namespace zudorhost

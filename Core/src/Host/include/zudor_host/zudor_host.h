// The reference host library: what every front end (sievecheck, the Python package) uses to
// take documents through the reader. It loads the module, drives one document at a time
// through the reader table, and runs a stream of inputs on worker threads with the results
// coming back in input order through a bounded window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "zudor/reader.h"
#include "zudor_host/file_stream.h"
#include "zudor_host/reference_host.h"

namespace zudorhost {

// ---- The module, loaded at run time as any host loads it.

class LoadedModule {
public:
    LoadedModule() = default;
    ~LoadedModule();
    LoadedModule(const LoadedModule &) = delete;
    LoadedModule &operator=(const LoadedModule &) = delete;

    // An empty path tries, in turn: the library beside this program, the library installed
    // beside its bin directory, and the system's library search path.
    bool load(const std::string &path, std::string &error);
    const ReaderInterface &table() const { return table_; }

private:
    bool loadFrom(const std::string &file, std::string &error);
    // Fills table from the module's entry point; false, saying why, when a slot is missing.
    static bool takeTable(TifGetReaderInterfaceFn entry, const std::string &file, ReaderInterface &table,
                          std::string &error);

    void *handle_ = nullptr;
    ReaderInterface table_{};
};

// ---- What a host looks at before it hands a file to the reader.

enum class DocumentKind { Tiff, BigTiff, Other };
DocumentKind identify(const uint8_t *head, size_t size);

// ---- Inputs.

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

// ---- One document.

enum class SummaryState { Complete, Partial, None };
const char *summaryName(SummaryState state);

// What one document gave. Every pointer stays valid until the driver's next document or
// finish(): the strings and the list are the reader's own blocks, not copies. The strings
// are the file's bytes, zero-terminated, in no particular encoding.
struct DocumentView {
    const InputItem *input = nullptr;
    const char *error = nullptr; // null, or why the file gave no summary
    bool skipped = false;        // not a TIFF, met in a directory walk: no record at all
    SummaryState summary = SummaryState::None;
    const char *title = nullptr;
    const char *author = nullptr;
    uint64_t createTime = 0; // FILETIME ticks; 0 when the reader gave none
    const PropertyEntry *properties = nullptr;
    size_t propertyCount = 0;
    const HostXmpRecord *xmp = nullptr; // the last packet's record, or null
    const char *text = nullptr;         // the reader's text record, in text-output mode
    size_t textLength = 0;
    StreamCounts counts;
};

struct DriverOptions {
    XmpMode xmpMode = XmpMode::Parsed;
    int64_t maxRequest = kDefaultMaxRequest;
    bool anyFile = false;    // hand every file to the reader, whatever its first bytes
    bool textOutput = false; // the reader's text record instead of the summary
};

// Takes documents through one reader table with one host; one per thread.
class DocumentDriver {
public:
    DocumentDriver(const ReaderInterface &table, const DriverOptions &options);
    ~DocumentDriver();
    DocumentDriver(const DocumentDriver &) = delete;
    DocumentDriver &operator=(const DocumentDriver &) = delete;

    const DocumentView &read(const InputItem &input);
    // A document already in memory; data is read in place, not copied.
    const DocumentView &readBytes(const InputItem &input, const void *data, size_t size);
    // Gives back everything the last document holds.
    void finish();

private:
    const DocumentView &fail(const std::string &why);
    const DocumentView &run();
    void summarize(TifContext *ctx);
    void textRecord(TifContext *ctx);

    const ReaderInterface &table_;
    DriverOptions options_;
    ReferenceHost host_;
    FileStream stream_;
    DocumentView view_;
    std::string error_;
    std::vector<char> standardInput_;
    TifContext *ctx_ = nullptr;
    SummaryInfo summary_;
    TextOutputRecord text_;
};

// ---- Many documents.

struct RunTotals {
    uint64_t documents = 0, complete = 0, partial = 0, none = 0, errors = 0, skipped = 0;
    StreamCounts counts;
    void add(const DocumentView &doc);
    void add(const RunTotals &other);
};

// A growable byte buffer that keeps its memory from one batch to the next.
class OutputBuffer {
public:
    OutputBuffer() = default;
    ~OutputBuffer() { std::free(data_); }
    OutputBuffer(OutputBuffer &&other) noexcept
        : data_(other.data_), size_(other.size_), capacity_(other.capacity_)
    {
        other.data_ = nullptr;
        other.size_ = other.capacity_ = 0;
    }
    OutputBuffer &operator=(OutputBuffer &&) = delete;

    const char *data() const { return data_; }
    size_t size() const { return size_; }
    void clear() { size_ = 0; }
    // Room for n more bytes; the caller writes them and calls commit(n).
    char *reserve(size_t n)
    {
        if (capacity_ - size_ < n)
            grow(n);
        return data_ + size_;
    }
    void commit(size_t n) { size_ += n; }
    void append(const char *bytes, size_t n)
    {
        if (n != 0) {
            std::memcpy(reserve(n), bytes, n);
            size_ += n;
        }
    }
    void push(char c) { *reserve(1) = c, ++size_; }
    // Gives back a buffer that one huge record made large.
    void trim(size_t keep);

private:
    void grow(size_t n);

    char *data_ = nullptr;
    size_t size_ = 0, capacity_ = 0;
};

// Turns documents into output bytes; one per worker, so it may keep scratch state.
class RecordFormatter {
public:
    virtual ~RecordFormatter() = default;
    // Called for every document that is not skipped; messages collects lines for stderr.
    virtual void format(const DocumentView &doc, OutputBuffer &records, OutputBuffer &messages) = 0;
};

struct FinishedBatch {
    OutputBuffer records;
    OutputBuffer messages;
    RunTotals totals;
};

struct RunOptions {
    unsigned jobs = 1;
    DriverOptions driver;
    // On Linux each worker gets a descriptor table of its own, so that workers opening and
    // closing files do not contend for the process's one. A worker's table holds on to every
    // descriptor the process had when it started until it ends, so only a program that closes
    // nothing meanwhile (a command line) should ask for it.
    bool ownDescriptorTables = false;
};

// Reads the inputs on `jobs` threads (none of its own for one job) and hands back their
// records in input order, a batch at a time. Each worker has a few batches in flight at most,
// so memory does not grow with the number of inputs and a slow document holds back at most
// that many.
class BatchRunner {
public:
    using FormatterFactory = std::function<std::unique_ptr<RecordFormatter>()>;
    BatchRunner(const ReaderInterface &table, InputSource &source, FormatterFactory factory,
                const RunOptions &options);
    ~BatchRunner();
    BatchRunner(const BatchRunner &) = delete;
    BatchRunner &operator=(const BatchRunner &) = delete;

    // The next batch in input order, valid until the next call; null when all are done.
    const FinishedBatch *next();

private:
    struct Shared;
    std::unique_ptr<Shared> shared_;
};

} // namespace zudorhost

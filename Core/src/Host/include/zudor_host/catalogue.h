// A catalogue that remembers: the records of a run kept in an SQLite database, so that a later
// run over the same inputs reads only what is new or changed, and people can query them.
//
// A file is unchanged when its size, modification time (ns) and inode are the ones the
// catalogue keeps; such a file is not opened at all, and its record comes from the catalogue.
// A run updates what its inputs cover and keeps the rest: the files an input no longer yields
// are removed, the records of inputs it does not name are left as they are. Inputs relate by
// their names: a path inside an input the catalogue has updates that input's records below
// it, and an input that contains others takes them over, so that no file is held twice.
// Records are committed a batch at a time in WAL mode, so a run stopped at any point keeps
// every committed batch and the next one goes on from there, and readers see whole batches
// only. One run writes at a time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "zudor/reader.h"
#include "zudor_host/record_writers.h"
#include "zudor_host/failure.h"
#include "zudor_host/run_policy.h"
#include "zudor_host/runner.h"

namespace zudorhost {

// The schema this library writes (PRAGMA user_version); a newer one is refused, an older one
// upgraded by the first run that writes.
constexpr int kCatalogueSchema = 2;

struct CatalogueCounts {
    uint64_t added = 0, changed = 0, unchanged = 0, removed = 0; // documents
    uint64_t untouched = 0; // documents the run's inputs did not cover, kept as they were
    // Documents read again though they are as the catalogue saw them: modified too shortly
    // before it saw them for their time to tell a later change (not counted as changed).
    uint64_t reread = 0;
};

struct CatalogueOptions {
    bool wait = false;          // wait for another run that updates the catalogue, not refuse
    double commitSeconds = 0.5; // a batch is committed once this long has passed since the last
    // Called on the thread that writes, after each commit, with the number of commits so far.
    std::function<void(uint64_t)> afterCommit;
};

class Catalogue {
public:
    enum class Access { Update, Read };
    // Opens the catalogue at path, making it when the file is missing or empty (Update only).
    // Refuses, never touching it, a file that is not a catalogue, a corrupt one and one of a
    // newer schema; Update also refuses while another run updates it, or waits (options.wait).
    static std::unique_ptr<Catalogue> open(const std::string &path, Access access,
                                           const CatalogueOptions &options, Failure &failure);
    virtual ~Catalogue() = default;

    // The options every run must share, as the catalogue keeps them; false for a catalogue
    // that no run has filled yet.
    virtual bool settings(XmpMode &xmp, bool &anyFile) const = 0;
    // The zone its DateTimes were read in (timeZoneName()); empty while it keeps none.
    virtual std::string timeZone() const = 0;

    // The totals of the records it holds (documents and their summaries).
    virtual bool totals(RunTotals &totals, std::string &error) = 0;

    // Writes every record with writer, as a fresh scan of its inputs in the order they were
    // first named gives them, handing the bytes to sink a few records at a time; stops when
    // sink returns false.
    virtual bool exportRecords(RecordWriter &writer, const std::function<bool(const OutputBuffer &)> &sink,
                               std::string &error) = 0;
};

// What one run reads: the named paths (files and directories), then the files of a list.
struct CatalogueInputs {
    std::vector<std::string> paths;
    std::FILE *list = nullptr; // closed at the end unless it is stdin
    char separator = '\n';
    std::string listName;      // how the list is known from one run to the next
    // Inputs, or paths inside one, whose records are dropped before the run reads anything.
    std::vector<std::string> forget;
    std::string output; // the run's own output, never read as an input (pathSource)
};

// One run over the inputs into the catalogue. Batches come back in input order as from a
// BatchRunner, each written to the catalogue by a thread of its own; with an output formatter
// their records are written too, an unchanged file's from the catalogue. An input inside (or
// the same as) another of the same run is read for the output alone: the catalogue holds each
// file once.
class CatalogueUpdate {
public:
    CatalogueUpdate(Catalogue &catalogue, const ReaderInterface &table, CatalogueInputs inputs,
                    const RunOptions &options, BatchRunner::FormatterFactory output);
    ~CatalogueUpdate();
    CatalogueUpdate(const CatalogueUpdate &) = delete;
    CatalogueUpdate &operator=(const CatalogueUpdate &) = delete;

    // The next batch, valid until the next call; null at the end or once the catalogue
    // cannot be written (error()).
    const FinishedBatch *next();
    // Commits what is left and removes what the inputs no longer give; false on failure,
    // after which the catalogue is as its last committed batch left it.
    bool finish();
    // Why the run failed, and its kind (Resources where the threads could not start: the
    // system's limits, not a fault of the catalogue).
    const Failure &error() const;
    CatalogueCounts counts() const;
    // What a named input gave, as BatchRunner::tally.
    InputTally tally(uint32_t named) const;

private:
    struct Run;
    std::unique_ptr<Run> run_;
};

// The catalogue's settings imposed on the request (inheritSettings): its XMP mode and zone
// where none is given, and a refusal where what is given differs from what it keeps.
RunProblem inheritCatalogue(RunRequest &request, const Catalogue &catalogue);

} // namespace zudorhost

// sievecheck: runs the reader module over TIFF files and reports what it found.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "arguments.h"
#include "formatters.h"
#include "manual.h"
#include "run/run_internals.h"
#include "zudor_host/catalogue.h"
#include "zudor_host/inputs.h"
#include "zudor_host/isolation.h"
#include "zudor_host/module.h"
#include "zudor_host/platform.h"
#include "zudor_host/remote.h"
#include "zudor_host/run_policy.h"
#include "zudor_host/runner.h"
#include "zudor_host/text_encoding.h"

namespace {

constexpr int kExitAllComplete = int(zudorhost::RunOutcome::AllComplete);
constexpr int kExitUsage = int(zudorhost::RunOutcome::Refused);

using Clock = std::chrono::steady_clock;

// The named inputs, then the files of the list.
class ChainedSource : public zudorhost::InputSource {
public:
    ChainedSource(zudorhost::InputSource &first, zudorhost::InputSource *second)
        : first_(first), second_(second) {}
    bool next(zudorhost::InputItem &item) override
    {
        return first_.next(item) || (second_ != nullptr && second_->next(item));
    }

private:
    zudorhost::InputSource &first_;
    zudorhost::InputSource *second_;
};

void printCounts(const zudorhost::CatalogueCounts &c, std::FILE *to)
{
    std::fprintf(to, "catalogue: new %llu, changed %llu, unchanged %llu, removed %llu, untouched %llu\n",
                 (unsigned long long)c.added, (unsigned long long)c.changed,
                 (unsigned long long)c.unchanged, (unsigned long long)c.removed,
                 (unsigned long long)c.untouched);
    if (c.reread != 0)
        std::fprintf(to, "catalogue: read again though as it saw them: %llu (modified within 2 s of the run that "
                         "read them, too recently for their times to show a later change)\n",
                     (unsigned long long)c.reread);
}

void printTotals(const zudorhost::RunTotals &t, const zudorhost::RemoteCounters &remote, double seconds,
                 std::FILE *to)
{
    // BigTIFF files are TIFF files the reader does not read: said apart from other errors.
    char bigTiff[48] = "";
    if (t.bigTiff != 0)
        std::snprintf(bigTiff, sizeof bigTiff, " (BigTIFF %llu)", (unsigned long long)t.bigTiff);
    std::fprintf(to,
                 "documents %llu: complete %llu, partial %llu, none %llu, errors %llu%s; skipped %llu\n"
                 "reads %llu, seeks %llu, bytes read %llu\n"
                 "time %.3f s (%.0f documents/s)\n",
                 (unsigned long long)t.documents, (unsigned long long)t.complete,
                 (unsigned long long)t.partial, (unsigned long long)t.none,
                 (unsigned long long)t.errors, bigTiff, (unsigned long long)t.skipped,
                 (unsigned long long)t.counts.reads, (unsigned long long)t.counts.seeks,
                 (unsigned long long)t.counts.bytesRead, seconds,
                 seconds > 0 ? double(t.documents) / seconds : 0.0);
    if (remote.requests != 0)
        std::fprintf(to, "requests %llu, bytes fetched %llu, retries %llu; fetch time median %.2f ms (10%% %.2f, 90%% %.2f)\n",
                     (unsigned long long)remote.requests.load(), (unsigned long long)remote.bytes.load(),
                     (unsigned long long)remote.retries.load(), remote.latencies.median() * 1e3,
                     remote.latencies.quantile(0.1) * 1e3, remote.latencies.quantile(0.9) * 1e3);
}

// A count and a rate on the terminal, at most ten times a second.
class Progress {
public:
    Progress(bool enabled, const zudorhost::RemoteCounters &remote) : enabled_(enabled), remote_(remote) {}
    void update(uint64_t done, bool last)
    {
        if (!enabled_)
            return;
        const auto now = Clock::now();
        if (!last && now - shown_ < std::chrono::milliseconds(100))
            return;
        shown_ = now;
        const double seconds = std::chrono::duration<double>(now - start_).count();
        int length = std::fprintf(stderr, "\r%llu %s, %.0f/s ", (unsigned long long)done,
                                  done == 1 ? "document" : "documents", seconds > 0 ? double(done) / seconds : 0.0);
        if (remote_.requests != 0)
            length += std::fprintf(stderr, "; %llu requests, %.1f MB, %llu retries ",
                                   (unsigned long long)remote_.requests.load(), double(remote_.bytes.load()) / 1e6,
                                   (unsigned long long)remote_.retries.load());
        shownLength_ = std::max(0, length - 1);
        if (last) {
            std::fputs("\n", stderr);
            shownLength_ = 0;
        }
    }
    // Blanks the line, so that a message written next starts on a line of its own.
    void clear()
    {
        if (shownLength_ != 0)
            std::fprintf(stderr, "\r%*s\r", shownLength_, "");
        shownLength_ = 0;
    }

private:
    bool enabled_;
    const zudorhost::RemoteCounters &remote_;
    Clock::time_point start_ = Clock::now();
    Clock::time_point shown_{};
    int shownLength_ = 0; // of the line on the terminal now
};

// Where the records go: a file or standard output, written batch by batch.
class Output {
public:
    bool open(const std::string &path)
    {
        path_ = path;
        file_ = path == "-" ? stdout : zudorhost::openFile(path, "wb");
        if (file_ == nullptr)
            std::perror(("sievecheck: " + path).c_str());
        return file_ != nullptr;
    }
    // Output that cannot be written is lost whatever comes after: the caller stops.
    bool write(const zudorhost::OutputBuffer &bytes)
    {
        const size_t size = bytes.size();
        if (error_ == 0 && size != 0 && std::fwrite(bytes.data(), 1, size, file_) != size)
            error_ = errno;
        return error_ == 0;
    }
    // Flushes and closes; false, having said why, when anything was lost.
    bool close()
    {
        if (error_ == 0 && std::fflush(file_) != 0)
            error_ = errno;
        if (file_ != stdout && std::fclose(file_) != 0 && error_ == 0)
            error_ = errno;
        if (error_ != 0)
            std::fprintf(stderr, "sievecheck: cannot write %s: %s\n",
                         path_ == "-" ? "the standard output" : path_.c_str(), std::strerror(error_));
        return error_ == 0;
    }

private:
    std::string path_;
    std::FILE *file_ = nullptr;
    int error_ = 0;
};

// What an existing OUTPUT holds that no run may write over: an input, named by another
// path or the same one, or a TIFF file, typically the last file of a shell glob taken as
// OUTPUT. --force lets a TIFF go, never an input. A message that says how to proceed, or empty.
std::string outputRefusal(const std::string &output, const std::vector<std::string> &inputs,
                          const std::string &list, bool force)
{
    if (output == "-")
        return std::string();
    for (const std::string &input : inputs)
        if (!zudorhost::isRemoteInput(input) && input != "-" && zudorhost::sameFile(input, output))
            return output + ": this is also an input, which the output would overwrite; name another OUTPUT";
    if (!list.empty() && list != "-" && zudorhost::sameFile(list, output))
        return output + ": this is the list of --files-from, which the output would overwrite; name another OUTPUT";
    if (force)
        return std::string();
    uint8_t head[4];
    size_t got = 0;
    if (std::FILE *existing = zudorhost::openFile(output, "rb")) {
        got = std::fread(head, 1, sizeof head, existing);
        std::fclose(existing);
    }
    if (zudorhost::identify(head, got) == zudorhost::DocumentKind::Other)
        return std::string();
    return output + ": OUTPUT, the last argument, is a TIFF file and would be overwritten. To read several "
                    "files, give each its own -i (-i a.tif -i b.tif), name their directory, or use "
                    "--files-from; --force writes over it all the same";
}

// A name as a terminal may show it, on one line.
std::string visibleName(const std::string &name)
{
    zudorhost::OutputBuffer shown;
    std::string scratch;
    zudorhost::appendVisible(shown, name.data(), name.size(), false, scratch);
    return std::string(shown.data(), shown.size());
}

// A named directory, prefix or list that gave no document.
void reportQuietInput(const std::string &name, bool isList, const zudorhost::InputTally &tally)
{
    const std::string shown = visibleName(name);
    const bool prefix = zudorhost::isRemoteInput(name);
    const unsigned long long met = tally.items;
    if (isList)
        std::fprintf(stderr, "sievecheck: %s: the list names no file\n", shown.c_str());
    else if (met == 0)
        std::fprintf(stderr, "sievecheck: %s: %s\n", shown.c_str(),
                     prefix ? "no key under this prefix" : "no file in this directory or below it");
    else if (met == 1)
        std::fprintf(stderr, "sievecheck: %s: its one %s is not a TIFF file (--any-file reads every file)\n",
                     shown.c_str(), prefix ? "key" : "file");
    else
        std::fprintf(stderr, "sievecheck: %s: none of its %llu %s is a TIFF file (--any-file reads every file)\n",
                     shown.c_str(), met, prefix ? "keys" : "files");
}

int catalogueFailure(const std::string &path, const zudorhost::Failure &failure)
{
    std::fprintf(stderr, "sievecheck: %s: %s%s\n", path.c_str(), failure.message.c_str(),
                 failure.kind == zudorhost::Failure::Kind::Busy ? "; give --wait to wait for it" : "");
    return kExitUsage;
}

int catalogueFailure(const std::string &path, const std::string &why)
{
    return catalogueFailure(path, zudorhost::Failure(zudorhost::Failure::Kind::Io, why));
}

// --export: the catalogue's records, as a run without a catalogue writes them.
int exportCatalogue(const std::string &path, const std::string &output, std::string format, bool force)
{
    zudorhost::Failure failure;
    auto catalogue = zudorhost::Catalogue::open(path, zudorhost::Catalogue::Access::Read, {}, failure);
    if (!catalogue)
        return catalogueFailure(path, failure);
    std::string error;
    Output out;
    const std::string refused = outputRefusal(output, {path}, std::string(), force);
    if (!refused.empty()) {
        std::fprintf(stderr, "sievecheck: %s\n", refused.c_str());
        return kExitUsage;
    }
    if (!out.open(output))
        return kExitUsage;
    if (format.empty())
        format = output == "-" && zudorhost::isTerminal(stdout) ? "text" : "json";
    auto writer = zudorhost::summaryWriter(format == "text" ? zudorhost::RecordFormat::Text
                                                             : zudorhost::RecordFormat::Json);
    const bool exported = catalogue->exportRecords(*writer, [&](const zudorhost::OutputBuffer &bytes) {
        return out.write(bytes);
    }, error);
    if (!out.close())
        return kExitUsage;
    if (!exported)
        return catalogueFailure(path, error);
    return kExitAllComplete;
}

int refuse(const std::string &why)
{
    std::fprintf(stderr, "sievecheck: %s\n", why.c_str());
    return kExitUsage;
}

// Where the records go and how: OUTPUT after -i (standard output without one), or the module's
// own text output for INPUT OUTPUT. A usage error's words, or empty.
std::string settleOutput(sievecheck::Arguments &a, std::string &output, bool &textOutput)
{
    output = "-";
    textOutput = false;
    if (!a.inputs.empty() || !a.filesFrom.empty() || !a.forget.empty()) {
        if (a.positionals.size() > 1)
            return "with -i or --files-from, give one OUTPUT only (see --help)";
        if (!a.positionals.empty())
            output = a.positionals[0];
        return std::string();
    }
    if (a.positionals.size() != 2 || !a.catalogPath.empty())
        return "give -i INPUT [OUTPUT], or INPUT OUTPUT (see --help)";
    a.inputs = {a.positionals[0]};
    output = a.positionals[1];
    textOutput = true;
    return std::string();
}

// The catalogue opened for its update, its settings imposed on the request; null having said why.
std::unique_ptr<zudorhost::Catalogue> openCatalogue(const sievecheck::Arguments &a, zudorhost::RunRequest &request)
{
    zudorhost::Failure failure;
    zudorhost::CatalogueOptions catalogueOptions;
    catalogueOptions.wait = a.waitForWriter;
    auto catalogue = zudorhost::Catalogue::open(a.catalogPath, zudorhost::Catalogue::Access::Update,
                                                catalogueOptions, failure);
    if (!catalogue) {
        catalogueFailure(a.catalogPath, failure);
        return nullptr;
    }
    if (const zudorhost::RunProblem problem = zudorhost::inheritCatalogue(request, *catalogue)) {
        refuse(a.catalogPath + ": " + sievecheck::words(problem));
        return nullptr;
    }
    return catalogue;
}

// The run's options from the settled request.
zudorhost::RunOptions runOptions(const sievecheck::Arguments &a, const zudorhost::RunRequest &request, bool textOutput)
{
    zudorhost::RunOptions options;
    if (a.isolate) {
        options.isolation.enabled = true;
        options.isolation.modulePlaces = a.modulePath.empty() ? zudorhost::defaultModulePlaces()
                                                              : std::vector<std::string>{a.modulePath};
        options.isolation.documentTimeout = request.number(zudorhost::RunOption::DocumentTimeout);
        options.isolation.documentMemory = uint64_t(request.number(zudorhost::RunOption::DocumentMemory)) << 20;
        options.isolation.xmpWarnings = a.xmpWarnings;
    }
    options.driver.xmpMode = zudorhost::requestedXmpMode(request);
    options.driver.maxRequest = a.maxRequest;
    options.driver.anyFile = a.anyFile;
    // The reader's own text record, or the summary: chosen here once, for the driver and the writer.
    options.driver.retrieval = textOutput ? zudorhost::Retrieval::TextRecord : zudorhost::Retrieval::Summary;
    options.jobs = a.jobs;
    // A command line closes nothing while it runs: each worker may have a descriptor table of
    // its own (the library's own option, run/run_internals.h).
    auto internals = std::make_shared<zudorhost::RunInternals>();
    internals->ownDescriptorTables = true;
    options.internals = std::move(internals);
    options.timeZone = zudorhost::timeZoneName();
    options.driver.remote = a.remote;
    return options;
}

// Every named directory, list and prefix accounts for itself: one that gave no document says
// so, as a missing file does. Whether one did.
template <typename Tallies>
bool reportQuietInputs(const sievecheck::Arguments &a, bool listed, Tallies tally, Progress &progress)
{
    bool quiet = false;
    const uint32_t listNamed = uint32_t(a.inputs.size() + 1);
    for (uint32_t k = 1; k <= listNamed; ++k) {
        const bool isList = k == listNamed;
        if (isList ? !listed : std::find(a.inputs.begin(), a.inputs.begin() + (k - 1), a.inputs[k - 1]) !=
                                   a.inputs.begin() + (k - 1))
            continue; // no list; an input named again, whose tally is the first's
        const zudorhost::InputTally counted = tally(k);
        if (counted.documents != 0 || (!isList && a.inputs[k - 1] == "-"))
            continue;
        progress.clear();
        reportQuietInput(isList ? a.filesFrom : a.inputs[k - 1], isList, counted);
        quiet = true;
    }
    return quiet;
}

// A catalogue's records are the run's result, unchanged ones among them: its totals replace
// what this run read, and what it holds unread that is not complete is said. False on failure.
bool catalogueTotals(zudorhost::Catalogue &catalogue, const std::string &path, zudorhost::RunTotals &totals,
                     Progress &progress)
{
    const uint64_t skipped = totals.skipped;
    const zudorhost::StreamCounts reads = totals.counts;
    const uint64_t readIncomplete = totals.documents - totals.complete;
    std::string error;
    if (!catalogue.totals(totals, error)) {
        catalogueFailure(path, error);
        return false;
    }
    totals.skipped = skipped;
    totals.counts = reads;
    const uint64_t heldIncomplete = totals.documents - totals.complete;
    if (heldIncomplete > readIncomplete) {
        progress.clear();
        std::fprintf(stderr, "sievecheck: %s: %llu of the records it holds and this run did not read are not "
                     "complete (--export shows them)\n", path.c_str(),
                     static_cast<unsigned long long>(heldIncomplete - readIncomplete));
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    zudorhost::settleLocalTimeZone();
    zudorhost::useBinaryStandardStreams();

    CLI::App app{"sievecheck - read the metadata of TIFF files through the ZUDOR reader", "sievecheck"};
    app.footer(sievecheck::manual());
    app.set_version_flag("--version", "sievecheck " ZUDOR_VERSION);
    app.get_formatter()->column_width(28);
    sievecheck::Arguments a;
    sievecheck::addOptions(app, a);
    try {
        // UTF-8 on every platform; CLI11 takes the arguments last first.
        std::vector<std::string> arguments = zudorhost::commandLineArguments(argc, argv);
        std::reverse(arguments.begin(), arguments.end());
        app.parse(arguments);
    } catch (const CLI::Success &e) { // --help, --version
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        app.exit(e);
        return kExitUsage;
    }
    if (app.count("--time-zone") != 0 && a.timeZone.empty())
        return refuse("--time-zone: give a zone (Europe/Berlin, UTC), or leave the option out for the system's");
    zudorhost::RunRequest request = sievecheck::runRequest(app, a);
    if (const zudorhost::RunProblem problem = zudorhost::checkRun(request))
        return refuse(sievecheck::words(problem));
    if (a.exportCatalog) {
        if (a.positionals.size() > 1)
            return refuse("--export takes one OUTPUT at most (see --help)");
        return exportCatalogue(a.catalogPath, a.positionals.empty() ? "-" : a.positionals[0], a.format, a.force);
    }
    std::string output;
    bool textOutput;
    const std::string usage = settleOutput(a, output, textOutput);
    if (!usage.empty())
        return refuse(usage);
    const bool catalogued = !a.catalogPath.empty();
    // A catalogue run writes records only when asked to.
    const bool writeRecords = !catalogued || !a.positionals.empty() || !a.format.empty();
    if (catalogued && writeRecords && output != "-" && zudorhost::sameFile(a.catalogPath, output))
        return refuse(output + ": the output would overwrite the catalogue");
    std::unique_ptr<zudorhost::Catalogue> catalogue;
    if (catalogued && !(catalogue = openCatalogue(a, request)))
        return kExitUsage;
    std::string problem; // a CA file that cannot serve is one error, not one in every record
    if (!request.timeZone.empty() && !zudorhost::setTimeZone(request.timeZone, problem))
        return refuse("--time-zone: " + problem);
    if ((!a.filesFrom.empty() || std::any_of(a.inputs.begin(), a.inputs.end(), zudorhost::isRemoteInput)) &&
        !zudorhost::prepareRemoteOptions(a.remote, problem))
        return refuse(problem);
    if (writeRecords && !(problem = outputRefusal(output, a.inputs, a.filesFrom, a.force)).empty())
        return refuse(problem);
    std::FILE *list = nullptr;
    if (!a.filesFrom.empty() && !(list = a.filesFrom == "-" ? stdin : zudorhost::openFile(a.filesFrom, "rb"))) {
        std::perror(("sievecheck: " + a.filesFrom).c_str());
        return kExitUsage;
    }
    // Isolated, the module is the workers' alone: this process never runs its code.
    zudorhost::LoadedModule module;
    if (!a.isolate && !module.load(a.modulePath, problem))
        return refuse("cannot load the reader module: " + problem);
    zudorhost::RunOptions options = runOptions(a, request, textOutput);
    zudorhost::RemoteCounters counted;
    options.driver.remote.counters = &counted;
    if (!a.isolate && options.driver.xmpMode == zudorhost::XmpMode::Toolkit && !zudorhost::initXmpToolkit(a.xmpWarnings))
        std::fprintf(stderr, "sievecheck: the XMP toolkit did not start; packets will not parse\n");

    // A catalogue's run that writes no records still names each document that failed.
    const auto format = a.format.empty() ? textOutput || (output == "-" && zudorhost::isTerminal(stdout)) ? "text" : "json"
                                         : a.format;
    const auto makeWriter = textOutput ? zudorhost::textRecordWriter : zudorhost::summaryWriter;
    const auto outputFormat = format == std::string("text") ? zudorhost::RecordFormat::Text : zudorhost::RecordFormat::Json;
    zudorhost::BatchRunner::FormatterFactory formatters;
    if (writeRecords)
        formatters = [&] { return sievecheck::makeFormatter(makeWriter(outputFormat)); };
    else if (catalogued)
        formatters = [] { return sievecheck::makeFormatter(nullptr); };
    const auto start = Clock::now();
    // The run is set up before OUTPUT is opened: what cannot start leaves an existing file as it is.
    std::unique_ptr<zudorhost::CatalogueUpdate> update;
    std::unique_ptr<zudorhost::InputSource> named, fromList;
    std::unique_ptr<ChainedSource> source;
    std::unique_ptr<zudorhost::BatchRunner> runner;
    if (catalogued) {
        zudorhost::CatalogueInputs inputs{a.inputs, list, a.nulSeparated ? '\0' : '\n', a.filesFrom, a.forget,
                                          writeRecords ? output : std::string()};
        update = std::make_unique<zudorhost::CatalogueUpdate>(*catalogue, module.table(), std::move(inputs), options,
                                                              formatters);
        if (update->error())
            return catalogueFailure(a.catalogPath, update->error());
    } else {
        // The named inputs first, then the listed files.
        named = zudorhost::pathSource(a.inputs, 1, output);
        if (list != nullptr)
            fromList = zudorhost::listSource(list, a.nulSeparated ? '\0' : '\n', uint32_t(a.inputs.size() + 1), output);
        source = std::make_unique<ChainedSource>(*named, fromList.get());
        runner = std::make_unique<zudorhost::BatchRunner>(module.table(), *source, formatters, options);
        if (runner->error())
            return refuse(runner->error().message);
    }
    Output out;
    if (writeRecords && !out.open(output))
        return kExitUsage;

    // Progress shares the terminal with the records when both go there; then the records
    // themselves show the run's progress, and a progress line would only break into them.
    const bool recordsOnTerminal = writeRecords && output == "-" && zudorhost::isTerminal(stdout);
    Progress progress(!a.quiet && !recordsOnTerminal && zudorhost::isTerminal(stderr), counted);
    zudorhost::RunTotals totals;
    bool written = true;
    while (const zudorhost::FinishedBatch *batch = catalogued ? update->next() : runner->next()) {
        if (batch->messages.size() != 0) {
            progress.clear();
            std::fwrite(batch->messages.data(), 1, batch->messages.size(), stderr);
        }
        totals.add(batch->totals);
        progress.update(totals.documents + totals.unchanged, false);
        if (writeRecords && !(written = out.write(batch->records)))
            break; // a lost output stops the run; a catalogue keeps what it committed
    }
    const bool catalogueFailed = catalogued && written && !update->finish();
    const bool quietInput = written && !catalogueFailed &&
                            reportQuietInputs(a, list != nullptr, [&](uint32_t k) {
                                return catalogued ? update->tally(k) : runner->tally(k);
                            }, progress);
    progress.update(totals.documents + totals.unchanged, true);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    // A lost output is not an incomplete document: status 2 lets a script tell the two apart.
    if (writeRecords && !out.close())
        return kExitUsage;
    if (catalogueFailed)
        return catalogueFailure(a.catalogPath, update->error());
    if (catalogued && !catalogueTotals(*catalogue, a.catalogPath, totals, progress))
        return kExitUsage;
    if (a.stats) {
        printTotals(totals, counted, seconds, stderr);
        if (catalogued)
            printCounts(update->counts(), stderr);
    }
    return int(zudorhost::runOutcome(totals, quietInput));
}

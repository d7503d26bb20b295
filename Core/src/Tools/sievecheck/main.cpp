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

#include "formatters.h"
#include "zudor_host/catalogue.h"
#include "zudor_host/inputs.h"
#include "zudor_host/isolation.h"
#include "zudor_host/module.h"
#include "zudor_host/platform.h"
#include "zudor_host/remote.h"
#include "zudor_host/runner.h"
#include "zudor_host/text_encoding.h"

namespace {

constexpr int kExitAllComplete = 0;
constexpr int kExitIncomplete = 1;
constexpr int kExitUsage = 2;

// The manual, in parts.
const char *kManualStart = R"(
DESCRIPTION
  With -i, each INPUT is taken through the reader module and its summary is
  written to OUTPUT ('-' or nothing for standard output): title (DocumentName),
  author (Artist), creation time (the first DateTime, as UTC), the named
  properties in file order, and the XMP packet (every packet goes to the XMP
  service; of several, the record holds the last one it accepted). Without -i,
  'sievecheck INPUT OUTPUT' writes the module's own text output for INPUT.
  OUTPUT is never an input, and never an existing TIFF file unless --force is
  given: a shell glob such as 'photos/*.tif' without -i before each file would
  otherwise take the last file as OUTPUT.

INPUTS
  An INPUT is a file, a directory, or '-' for one document on standard input.
  A directory is walked depth first, each directory's entries in byte order,
  which puts the files in the order of their sorted paths; links to files are
  read, links to directories are not followed. --files-from FILE (or '-') reads
  the files to process from FILE, one per line (LF or CR LF; blank lines are
  passed over), or NUL-separated with -0.

  Before a file reaches the reader its first bytes are checked: a classic TIFF
  header ("II" or "MM" and 42) goes on; a BigTIFF header gets the error "BigTIFF
  is not supported" and anything else "not a TIFF file". Files met while walking
  a directory that are not TIFF files are skipped and only counted; a file named
  on the command line, and a BigTIFF wherever it is met, gets a record with the
  error. --any-file hands every file to the reader whatever its first bytes.
  Named pipes, sockets and devices are refused, never waited on. A directory,
  list or S3 prefix that gives no document says so on the standard error, and
  the exit status is 1, as for a missing file.

  Memory does not grow with the number of files: inputs are walked as they are
  read and each worker has at most a few batches of documents in flight.
  --jobs takes 1 to 256.
)";

const char *kManualRemote = R"(

REMOTE FILES
  An INPUT, or a line of --files-from, may be an http:// or https:// URL,
  s3://bucket/key, or s3://bucket/prefix/ for every key below the prefix (in
  the byte order of the keys, as a directory walk orders its files; keys that
  are not TIFF files are skipped). Each document is read by ranged GETs: its
  first 64 KiB, then a window around each further piece the reader needs.
  Records name the URL as given, less any credentials and signing parameters.
  Up to --connections requests are in flight on one I/O thread, with
)"
#ifdef _WIN32
R"(  connections kept alive (HTTP/1.1 only); --jobs remains the number of
  workers that read the fetched bytes. Failed requests (429, 5xx,
)"
#else
R"(  connections kept alive (HTTP/2 over TLS where offered); --jobs remains the
  number of workers that read the fetched bytes. Failed requests (429, 5xx,
)"
#endif
R"(  resets, timeouts, truncated answers) are tried again with backoff, then the
  document's record says why; --timeout bounds every wait: to connect, for an
  answer's first byte, and between any two of its bytes. S3 requests are
  signed (AWS Signature Version 4) with the credentials of AWS_ACCESS_KEY_ID,
  AWS_SECRET_ACCESS_KEY and AWS_SESSION_TOKEN, or of the profile AWS_PROFILE
)"
#ifdef _WIN32
R"(  in %USERPROFILE%\.aws\credentials and config; AWS_REGION or
  AWS_DEFAULT_REGION name the region, and AWS_ENDPOINT_URL_S3 or
  AWS_ENDPOINT_URL an S3-compatible store (addressed path style).
  Certificates are checked against Windows' certificate store, or those of
  --ca-file FILE (PEM), else of AWS_CA_BUNDLE; one that cannot be read is
  refused at once (exit status 2).
)";
#else
R"(  in ~/.aws/credentials and ~/.aws/config; AWS_REGION or AWS_DEFAULT_REGION
  name the region, and AWS_ENDPOINT_URL_S3 or AWS_ENDPOINT_URL an
  S3-compatible store (addressed path style). Certificates are checked
  against the system's store, or those of --ca-file FILE (PEM), else of
  AWS_CA_BUNDLE; one that cannot be read is refused at once (exit status 2).
)";
#endif

const char *kManualOutput = R"(
OUTPUT
  text   one block per document, readable (the default on a terminal)
  json   JSON Lines, one object per document with the keys file, fileBytes
         (only for a name that is not UTF-8: its exact bytes in base64),
         summary ("complete", "partial" or "none"), title, author, createTime,
         properties ([name, value] pairs), xmp (null, or {packetBytes, and
         properties or packet}), error (null or a message) and warnings (why
         a record is not complete, or its packet was turned down; else [])

XMP
  --xmp parsed (the default) lists each packet's simple properties, without
  their qualifiers, as the XMP toolkit lists them: the same paths, values and
  order, and the same packets turned down. The host reads each packet on its
  own, so a prefix one packet declares never changes what another lists, as
  it does within the toolkit. --xmp raw gives each packet's text.
)"
#ifdef _WIN32
R"(  This build has no XMP toolkit: --xmp toolkit is refused (exit status 2).
)"
#else
R"(  --xmp toolkit has the XMP toolkit (Exempi) read the packets, for its own
  reading, earlier packets' prefixes included.
)"
#endif
R"(
  The progress line on the standard error is left out when the records go to
  the same terminal, where they show the progress themselves.
)";

const char *kManualCatalogue = R"(
CATALOGUE
  --catalog FILE keeps the records in an SQLite database. The first run fills
)"
#ifdef _WIN32
R"(  it; a later run reads only the files that are new or changed (size or last
  write time not the same; for a key under an S3 prefix, the size or ETag its
  listing gives) and removes those its inputs no longer give.
)"
#else
R"(  it; a later run reads only the files that are new or changed (size,
  modification time or inode not the same; for a key under an S3 prefix, the
  size or ETag its listing gives) and removes those its inputs no longer give.
)"
#endif
R"(  The records of inputs a run does not name are kept: inputs relate by their
  names as given, so a path inside an input the catalogue has updates that
  input's files below it, and an input that contains others takes them over.
  --forget INPUT drops an input's records, or those below a path inside one.
  JSON or text is written too when OUTPUT or --format is given, else only
  the files that could not be read and the count of records held unread that
  are not complete, on the standard error; --stats counts what was new,
  changed, unchanged, removed and untouched.
  Batches are committed as they come: a run stopped at any point keeps what it
  committed, and the next run goes on from there. A second run on the same
  catalogue is refused, or waits with --wait. A catalogue keeps its XMP mode,
  --any-file and time zone; later runs take them, and other ones are refused.
  --export writes every record the catalogue holds as a run over its inputs
  without a catalogue would (--format json or text), and reads a catalogue on
  read-only media too.
)";

const char *kManualIsolation = R"(
ISOLATION
  --isolate reads every document in a reader process of its own, made for it
  and ended after it (zudor-worker, found beside sievecheck or in its libexec
  directory, loads the module); sievecheck itself never loads the module. A
  reader sees its own document's bytes and nothing of any other, and what it
  sends can become its own document's record only: a document that crashes its
  reader, takes longer than --document-timeout SECONDS (default 60), makes it
  hold more than --document-memory MIB (default 1024; 0 for no cap) or breaks
  the rules of its channel gets a record that says why; every other record is
  as without --isolate. A process per document costs some 0.75 ms of CPU on
  two cores (see the README): far more than reading a small document in process.
)"
#ifdef _WIN32
R"(  Each reader runs in a job object that holds it to --document-memory, lets it
  start no process and ends it with sievecheck; it sees none of the
  environment's credentials. Windows has no sandbox beyond that: a reader can
  open what the user can.
)";
#else
R"(  Each reader runs in a sandbox (seccomp, and Landlock where the kernel has
  it): the module is loaded with no way to write a file, start a program or
  reach the network already in force, and a reader can open no file, reach no
  network, start no process, and sees none of the environment's credentials.
)";
#endif

const char *kManualEnd = R"(
EXIT STATUS
  0  every document's summary is complete (skipped files do not count); with
     --catalog, every document the catalogue holds
  1  some document's summary is partial or none, a file could not be read, or
     a named directory, list or prefix gave no document
  2  usage error, the module could not be loaded, the output could not be
     written or would replace an input or a TIFF file, or the catalogue could
     not be used

EXAMPLES
  sievecheck -i scan.tif -
)"
#ifdef _WIN32
R"(  sievecheck -i photos out.jsonl --format json --jobs 4 --stats
  sievecheck --files-from list.txt out.jsonl
)"
#else
R"(  sievecheck -i photos/ out.jsonl --format json --jobs 4 --stats
  find archive -name '*.tif' -print0 | sievecheck --files-from - -0 out.jsonl
)"
#endif
R"(  curl -s URL | sievecheck -i - -
)";

const char *kExamplesRemote = R"(  sievecheck -i s3://bucket/scans/ out.jsonl --connections 64 --stats
  sievecheck -i https://example.org/scan.tif -
)";

const char *kExamplesCatalogue = R"(  sievecheck --catalog archive.db -i archive --stats
  sievecheck --catalog archive.db -i archive/2019 --stats
  sievecheck --catalog archive.db --forget archive/old
  sievecheck --catalog archive.db --export archive.jsonl
)";

std::string manual()
{
    std::string text = std::string(kManualStart) + kManualRemote + kManualOutput + kManualCatalogue;
    if (zudorhost::isolationAvailable())
        text += kManualIsolation;
    return text + kManualEnd + kExamplesRemote + kExamplesCatalogue;
}

using Clock = std::chrono::steady_clock;

// A number within bounds, refused in words rather than as CLI11's floating-point range.
// Whole numbers in full: a cap of 1048576 MiB reads as that, not as 1.04858e+06.
template <typename T> std::string shown(T value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", double(value));
    return text;
}

template <typename T> CLI::Validator within(T low, T high)
{
    const std::string range = shown(low) + " to " + shown(high);
    return CLI::Validator(
        [=](std::string &text) -> std::string {
            T value{};
            if (!CLI::detail::lexical_cast(text, value) || value < low || value > high)
                return "takes " + range + ", not " + text;
            return std::string();
        },
        range);
}

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
        int length = std::fprintf(stderr, "\r%llu documents, %.0f/s ", (unsigned long long)done,
                                  seconds > 0 ? double(done) / seconds : 0.0);
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

} // namespace

int main(int argc, char **argv)
{
    zudorhost::settleLocalTimeZone();
    zudorhost::useBinaryStandardStreams();

    CLI::App app{"sievecheck - read the metadata of TIFF files through the ZUDOR reader",
                 "sievecheck"};
    app.footer(manual());
    app.set_version_flag("--version", "sievecheck " ZUDOR_VERSION);
    app.get_formatter()->column_width(28);

    std::vector<std::string> inputs, positionals, forget;
    std::string format, xmp, modulePath, filesFrom, catalogPath, timeZone;
    unsigned jobs = zudorhost::defaultJobs();
    bool quiet = false, stats = false, xmpWarnings = false, anyFile = false, nulSeparated = false;
    bool exportCatalog = false, waitForWriter = false, force = false, isolate = false;
    int64_t maxRequest = zudorhost::kDefaultMaxRequest;
    zudorhost::IsolationOptions isolation;
    unsigned documentMemory = unsigned(isolation.documentMemory >> 20);

    app.add_option("-i,--input", inputs, "A TIFF file, a directory, or - for standard input (repeatable)")
        ->allow_extra_args(false);
    app.add_option("--files-from", filesFrom, "Read the files to process from FILE (- for standard input)");
    app.add_flag("-0,--null", nulSeparated, "Paths in --files-from end with NUL, not newline");
    app.add_option("files", positionals, "OUTPUT with -i; INPUT OUTPUT without it");
    app.add_option("--format", format, "Output format: text or json")
        ->check(CLI::IsMember({"text", "json"}));
#ifdef _WIN32
    app.add_option("--xmp", xmp, "XMP packets: parsed (the default) or raw text (toolkit: refused, no toolkit here)")
#else
    app.add_option("--xmp", xmp, "XMP packets: parsed (the default), toolkit (Exempi's reading) or raw text")
#endif
        ->check(CLI::IsMember({"parsed", "toolkit", "raw"}));
    app.add_option("-j,--jobs", jobs, "Documents read in parallel, 1 to 256 (default: the cores)")
        ->check(within(1u, zudorhost::kMaxJobs));
    static_assert(zudorhost::kMaxJobs == 256, "--jobs's help names the cap");
    app.add_flag("--any-file", anyFile, "Hand every file to the reader, whatever its first bytes");
#ifdef _WIN32
    // The C runtime knows zones only as TZ rules.
    app.add_option("--time-zone", timeZone, "Read DateTimes in ZONE (a rule: EST5EDT, UTC0; default: the system's)");
#else
    app.add_option("--time-zone", timeZone, "Read DateTimes in ZONE (Europe/Berlin, UTC; default: the system's)");
#endif
    app.add_option("--catalog", catalogPath, "Keep the records in an SQLite catalogue; read only what changed");
    app.add_flag("--export", exportCatalog, "With --catalog: write the catalogue's records to OUTPUT");
    app.add_flag("--wait", waitForWriter, "With --catalog: wait for another run that updates it");
    app.add_option("--forget", forget, "With --catalog: drop the records of INPUT, or below a path inside one (repeatable)")
        ->allow_extra_args(false);
    app.add_flag("--force", force, "Write OUTPUT even where it is a TIFF file (never where it is an input)");
    app.add_flag("-q,--quiet", quiet, "No progress line on standard error");
    app.add_flag("--stats", stats, "Totals on standard error at the end");
#ifdef _WIN32
    // Kept so that a command line written for either platform runs on both.
    app.add_flag("--xmp-warnings", xmpWarnings, "No effect: this build has no XMP toolkit");
#else
    app.add_flag("--xmp-warnings", xmpWarnings, "With --xmp toolkit, let the toolkit report parse failures on standard error");
#endif
    app.add_option("--module", modulePath, "The reader module to load");
    app.add_option("--max-request", maxRequest, "Largest single allocation granted, in bytes")
        ->check(CLI::NonNegativeNumber);
    if (zudorhost::isolationAvailable()) {
        app.add_flag("--isolate", isolate, "Read in worker processes, each document within a time and memory cap");
        app.add_option("--document-timeout", isolation.documentTimeout,
                       "With --isolate: seconds a worker may spend on one document (default: 60)")
            ->check(within(0.1, 86400.0));
        app.add_option("--document-memory", documentMemory,
                       "With --isolate: MiB a worker may hold, 0 for no cap (default: 1024)")
            ->check(within(0u, 1048576u));
    }
    zudorhost::RemoteOptions remote;
    app.add_option("--connections", remote.connections, "Requests in flight for remote inputs (default: 32)")
        ->check(within(1u, 1024u));
    app.add_flag("--no-sign-request", remote.noSignRequest, "Send S3 requests unsigned (public buckets)");
    app.add_option("--ca-file", remote.caFile,
                   "Trust the certificates in FILE (PEM), not the system's (default: AWS_CA_BUNDLE)");
    app.add_option("--timeout", remote.timeout,
                   "Longest wait in seconds: to connect, for a first byte, between bytes (default: 10)")
        ->check(within(0.1, 3600.0));
    app.add_option("--retries", remote.retries, "Tries again after a failed request (default: 4)")
        ->check(within(0u, 20u));

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

    if (!isolate && (app.count("--document-timeout") != 0 || app.count("--document-memory") != 0)) {
        std::fprintf(stderr, "sievecheck: --document-timeout and --document-memory go with --isolate (see --help)\n");
        return kExitUsage;
    }
    std::string zoneProblem;
    if (!timeZone.empty() && !zudorhost::setTimeZone(timeZone, zoneProblem)) {
        std::fprintf(stderr, "sievecheck: --time-zone: %s\n", zoneProblem.c_str());
        return kExitUsage;
    }
    const bool catalogued = !catalogPath.empty();
    if ((exportCatalog || waitForWriter || !forget.empty()) && !catalogued) {
        std::fprintf(stderr, "sievecheck: --export, --wait and --forget go with --catalog FILE (see --help)\n");
        return kExitUsage;
    }
    zudorhost::RunOptions options;
    bool textOutput = false;
    std::string output = "-";
    const bool listed = !inputs.empty() || !filesFrom.empty();
    if (exportCatalog) {
        if (listed || !forget.empty() || positionals.size() > 1) {
            std::fprintf(stderr, "sievecheck: --export takes no inputs and one OUTPUT at most (see --help)\n");
            return kExitUsage;
        }
        return exportCatalogue(catalogPath, positionals.empty() ? "-" : positionals[0], format, force);
    }
    if (listed || !forget.empty()) {
        if (positionals.size() > 1) {
            std::fprintf(stderr, "sievecheck: with -i or --files-from, give one OUTPUT only (see --help)\n");
            return kExitUsage;
        }
        if (!positionals.empty())
            output = positionals[0];
    } else {
        if (positionals.size() != 2 || catalogued) {
            std::fprintf(stderr, "sievecheck: give -i INPUT [OUTPUT], or INPUT OUTPUT (see --help)\n");
            return kExitUsage;
        }
        inputs = {positionals[0]};
        output = positionals[1];
        textOutput = true;
    }
    // A catalogue run writes records only when asked to.
    const bool writeRecords = !catalogued || !positionals.empty() || !format.empty();
    std::unique_ptr<zudorhost::Catalogue> catalogue;
    zudorhost::Failure failure;
    if (catalogued) {
        if (std::count(inputs.begin(), inputs.end(), "-") != 0) {
            std::fprintf(stderr, "sievecheck: standard input cannot be catalogued\n");
            return kExitUsage;
        }
        if (writeRecords && output != "-" && zudorhost::sameFile(catalogPath, output)) {
            std::fprintf(stderr, "sievecheck: %s: the output would overwrite the catalogue\n", output.c_str());
            return kExitUsage;
        }
        zudorhost::CatalogueOptions catalogueOptions;
        catalogueOptions.wait = waitForWriter;
        catalogue = zudorhost::Catalogue::open(catalogPath, zudorhost::Catalogue::Access::Update,
                                               catalogueOptions, failure);
        if (!catalogue)
            return catalogueFailure(catalogPath, failure);
        // A catalogue keeps the XMP mode it was made with, the default of its later runs, and so
        // its time zone.
        zudorhost::XmpMode kept;
        bool keptAnyFile;
        if (xmp.empty() && catalogue->settings(kept, keptAnyFile))
            xmp = zudorhost::xmpModeName(kept);
        const std::string keptZone = catalogue->timeZone();
        if (timeZone.empty() && !keptZone.empty() && keptZone != zudorhost::timeZoneName() &&
            !zudorhost::setTimeZone(keptZone, zoneProblem)) {
            std::fprintf(stderr, "sievecheck: %s: this catalogue reads DateTimes in %s, a zone this system does not "
                                 "know: install its data (Debian's tzdata), or start another catalogue\n",
                         catalogPath.c_str(), keptZone.c_str());
            return kExitUsage;
        }
    }
    // A build without the XMP toolkit refuses toolkit mode at once rather than turning down
    // every packet.
    if (xmp.empty())
        xmp = "parsed";
    if (xmp == "toolkit" && !zudorhost::xmpToolkitAvailable()) {
        std::fprintf(stderr, "sievecheck: this build has no XMP toolkit; use --xmp parsed\n");
        return kExitUsage;
    }
    if (std::count(inputs.begin(), inputs.end(), "-") + (filesFrom == "-") > 1) {
        std::fprintf(stderr, "sievecheck: standard input can be read only once\n");
        return kExitUsage;
    }
    std::string remoteProblem; // a CA file that cannot serve is one error, not one in every record
    if ((!filesFrom.empty() || std::any_of(inputs.begin(), inputs.end(), zudorhost::isRemoteInput)) &&
        !zudorhost::prepareRemoteOptions(remote, remoteProblem)) {
        std::fprintf(stderr, "sievecheck: %s\n", remoteProblem.c_str());
        return kExitUsage;
    }
    if (writeRecords) {
        const std::string refused = outputRefusal(output, inputs, filesFrom, force);
        if (!refused.empty()) {
            std::fprintf(stderr, "sievecheck: %s\n", refused.c_str());
            return kExitUsage;
        }
    }
    std::FILE *list = nullptr;
    if (!filesFrom.empty()) {
        list = filesFrom == "-" ? stdin : zudorhost::openFile(filesFrom, "rb");
        if (list == nullptr) {
            std::perror(("sievecheck: " + filesFrom).c_str());
            return kExitUsage;
        }
    }

    // Isolated, the module is the workers' alone: this process never runs its code.
    zudorhost::LoadedModule module;
    std::string error;
    if (!isolate && !module.load(modulePath, error)) {
        std::fprintf(stderr, "sievecheck: cannot load the reader module: %s\n", error.c_str());
        return kExitUsage;
    }
    if (isolate) {
        isolation.enabled = true;
        isolation.modulePlaces = modulePath.empty() ? zudorhost::defaultModulePlaces()
                                                    : std::vector<std::string>{modulePath};
        isolation.documentMemory = uint64_t(documentMemory) << 20;
        isolation.xmpWarnings = xmpWarnings;
        options.isolation = isolation;
    }

    if (format.empty())
        format = textOutput || (output == "-" && zudorhost::isTerminal(stdout)) ? "text" : "json";
    const auto outputFormat = format == "text" ? zudorhost::RecordFormat::Text : zudorhost::RecordFormat::Json;
    options.driver.xmpMode = xmp == "raw" ? zudorhost::XmpMode::Raw
                             : xmp == "toolkit" ? zudorhost::XmpMode::Toolkit : zudorhost::XmpMode::Parsed;
    options.driver.maxRequest = maxRequest;
    options.driver.anyFile = anyFile;
    // The reader's own text record, or the summary: chosen here once, for the driver and the writer.
    options.driver.retrieval = textOutput ? zudorhost::Retrieval::TextRecord : zudorhost::Retrieval::Summary;
    const auto makeWriter = textOutput ? zudorhost::textRecordWriter : zudorhost::summaryWriter;
    options.jobs = jobs;
    options.ownDescriptorTables = true;
    options.timeZone = zudorhost::timeZoneName();
    zudorhost::RemoteCounters counted;
    remote.counters = &counted;
    options.driver.remote = remote;
    if (!isolate && options.driver.xmpMode == zudorhost::XmpMode::Toolkit && !zudorhost::initXmpToolkit(xmpWarnings))
        std::fprintf(stderr, "sievecheck: the XMP toolkit did not start; packets will not parse\n");

    // A catalogue's run that writes no records still names each document that failed.
    zudorhost::BatchRunner::FormatterFactory formatters;
    if (writeRecords)
        formatters = [&] { return sievecheck::makeFormatter(makeWriter(outputFormat)); };
    else if (catalogued)
        formatters = [] { return sievecheck::makeFormatter(nullptr); };
    const auto start = Clock::now();
    // The run is set up before OUTPUT is opened: what cannot start leaves an existing file as it is.
    const uint32_t listNamed = uint32_t(inputs.size() + 1);
    std::unique_ptr<zudorhost::CatalogueUpdate> update;
    std::unique_ptr<zudorhost::InputSource> named, fromList;
    std::unique_ptr<ChainedSource> source;
    std::unique_ptr<zudorhost::BatchRunner> runner;
    if (catalogued) {
        zudorhost::CatalogueInputs catalogueInputs;
        catalogueInputs.paths = inputs;
        catalogueInputs.list = list;
        catalogueInputs.separator = nulSeparated ? '\0' : '\n';
        catalogueInputs.listName = filesFrom;
        catalogueInputs.forget = forget;
        update = std::make_unique<zudorhost::CatalogueUpdate>(*catalogue, module.table(), std::move(catalogueInputs),
                                                              options, formatters);
        if (update->error())
            return catalogueFailure(catalogPath, update->error());
    } else {
        // The named inputs first, then the listed files.
        named = zudorhost::pathSource(inputs);
        if (list != nullptr)
            fromList = zudorhost::listSource(list, nulSeparated ? '\0' : '\n', listNamed);
        source = std::make_unique<ChainedSource>(*named, fromList.get());
        runner = std::make_unique<zudorhost::BatchRunner>(module.table(), *source, formatters, options);
        if (runner->error()) {
            std::fprintf(stderr, "sievecheck: %s\n", runner->error().message.c_str());
            return kExitUsage;
        }
    }
    Output out;
    if (writeRecords && !out.open(output))
        return kExitUsage;

    // Progress shares the terminal with the records when both go there; then the records
    // themselves show the run's progress, and a progress line would only break into them.
    const bool recordsOnTerminal = writeRecords && output == "-" && zudorhost::isTerminal(stdout);
    Progress progress(!quiet && !recordsOnTerminal && zudorhost::isTerminal(stderr), counted);
    zudorhost::RunTotals totals;
    const auto take = [&](const zudorhost::FinishedBatch &batch) {
        if (batch.messages.size() != 0) {
            progress.clear();
            std::fwrite(batch.messages.data(), 1, batch.messages.size(), stderr);
        }
        totals.add(batch.totals);
        progress.update(totals.documents + totals.unchanged, false);
        return !writeRecords || out.write(batch.records);
    };
    bool catalogueFailed = false, written = true;
    zudorhost::CatalogueCounts counts;
    if (catalogued) {
        while (const zudorhost::FinishedBatch *batch = update->next())
            if (!(written = take(*batch)))
                break;
        // A lost output stops the run; the catalogue keeps what it committed.
        catalogueFailed = written && !update->finish();
        if (catalogueFailed)
            failure = update->error();
        counts = update->counts();
    } else {
        while (const zudorhost::FinishedBatch *batch = runner->next())
            if (!(written = take(*batch)))
                break;
    }
    // Every named directory, list and prefix accounts for itself: one that gave no document
    // says so, as a missing file does.
    bool quietInput = false;
    if (written && !catalogueFailed) {
        for (uint32_t k = 1; k <= listNamed; ++k) {
            const bool isList = k == listNamed;
            if (isList ? list == nullptr : std::find(inputs.begin(), inputs.begin() + (k - 1), inputs[k - 1]) !=
                                               inputs.begin() + (k - 1))
                continue; // no list; an input named again, whose tally is the first's
            const zudorhost::InputTally tally = catalogued ? update->tally(k) : runner->tally(k);
            if (tally.documents != 0 || (!isList && inputs[k - 1] == "-"))
                continue;
            progress.clear();
            reportQuietInput(isList ? filesFrom : inputs[k - 1], isList, tally);
            quietInput = true;
        }
    }
    progress.update(totals.documents + totals.unchanged, true);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    // A lost output is not an incomplete document: status 2 lets a script tell the two apart.
    if (writeRecords && !out.close())
        return kExitUsage;
    if (catalogueFailed)
        return catalogueFailure(catalogPath, failure);
    if (catalogued) {
        // The catalogue's records are the run's result, unchanged ones among them.
        const uint64_t skipped = totals.skipped;
        const zudorhost::StreamCounts reads = totals.counts;
        const uint64_t readIncomplete = totals.documents - totals.complete;
        if (!catalogue->totals(totals, error))
            return catalogueFailure(catalogPath, error);
        totals.skipped = skipped;
        totals.counts = reads;
        // What this run read said so document by document; the rest would leave the exit
        // status without a word.
        const uint64_t heldIncomplete = totals.documents - totals.complete;
        if (heldIncomplete > readIncomplete) {
            progress.clear();
            std::fprintf(stderr, "sievecheck: %s: %llu of the records it holds and this run did not read are not "
                         "complete (--export shows them)\n", catalogPath.c_str(),
                         static_cast<unsigned long long>(heldIncomplete - readIncomplete));
        }
    }
    if (stats) {
        printTotals(totals, counted, seconds, stderr);
        if (catalogued)
            printCounts(counts, stderr);
    }
    return totals.complete == totals.documents && !quietInput ? kExitAllComplete : kExitIncomplete;
}

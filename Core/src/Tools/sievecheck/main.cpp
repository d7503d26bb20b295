// sievecheck: runs the reader module over TIFF files and reports what it found.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <CLI/CLI.hpp>

#include "inputs.h"
#include "runner.h"

namespace {

constexpr int kExitAllComplete = 0;
constexpr int kExitIncomplete = 1;
constexpr int kExitUsage = 2;

const char *kManual = R"(
DESCRIPTION
  With -i, each INPUT (a TIFF file, or a directory: every regular file below it,
  in sorted order) is taken through the reader module and its summary is written
  to OUTPUT ('-' or nothing for standard output): title (DocumentName), author
  (Artist), creation time (the first DateTime, as UTC), the named properties in
  file order, and the last XMP packet. Without -i, 'sievecheck INPUT OUTPUT'
  writes the module's own text output for INPUT.

  The module is loaded at run time from the directory of this program, or from
  --module PATH.

OUTPUT
  text   one block per document, readable (the default on a terminal)
  json   JSON Lines, one object per document with the keys file, summary
         ("complete", "partial" or "none"), title, author, createTime,
         properties ([name, value] pairs), xmp (null, or {packetBytes, and
         properties or packet}) and error (null or a message)

EXIT STATUS
  0  every document's summary is complete
  1  some document's summary is partial or none, or a file could not be read
  2  usage error, or the module could not be loaded

EXAMPLES
  sievecheck -i scan.tif -
  sievecheck -i photos/ out.jsonl --format json --jobs 4 --stats
  sievecheck -i a.tif -i b.tif - --format json --xmp raw
)";

bool sameFile(const std::string &a, const std::string &b)
{
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

} // namespace

int main(int argc, char **argv)
{
    // With TZ unset, the C library looks at /etc/localtime again at every mktime, one system
    // call per DateTime read; naming that same zone file keeps it to the first.
    setenv("TZ", ":/etc/localtime", 0);

    CLI::App app{"sievecheck - read the metadata of TIFF files through the ZUDOR reader",
                 "sievecheck"};
    app.footer(kManual);
    app.get_formatter()->column_width(28);

    std::vector<std::string> inputs, positionals;
    std::string format, xmp = "parsed", modulePath;
    unsigned jobs = std::max(1u, std::thread::hardware_concurrency());
    bool quiet = false, stats = false, xmpWarnings = false;
    int64_t maxRequest = zudorhost::kDefaultMaxRequest;

    app.add_option("-i,--input", inputs, "A TIFF file or a directory to summarise (repeatable)")
        ->allow_extra_args(false);
    app.add_option("files", positionals, "OUTPUT with -i; INPUT OUTPUT without it");
    app.add_option("--format", format, "Output format: text or json")
        ->check(CLI::IsMember({"text", "json"}));
    app.add_option("--xmp", xmp, "XMP packets: parsed (default) or raw text")
        ->check(CLI::IsMember({"parsed", "raw"}));
    app.add_option("-j,--jobs", jobs, "Documents read in parallel (default: the cores)")
        ->check(CLI::PositiveNumber);
    app.add_flag("-q,--quiet", quiet, "No progress line on standard error");
    app.add_flag("--stats", stats, "Totals on standard error at the end");
    app.add_flag("--xmp-warnings", xmpWarnings, "Let the XMP toolkit report parse failures on standard error");
    app.add_option("--module", modulePath, "The reader module to load");
    app.add_option("--max-request", maxRequest, "Largest single allocation granted, in bytes")
        ->check(CLI::NonNegativeNumber);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        app.exit(e);
        return kExitUsage;
    }

    sievecheck::RunOptions options;
    std::string output = "-";
    if (!inputs.empty()) {
        if (positionals.size() > 1) {
            std::fprintf(stderr, "sievecheck: with -i, give one OUTPUT only (see --help)\n");
            return kExitUsage;
        }
        if (!positionals.empty())
            output = positionals[0];
    } else {
        if (positionals.size() != 2) {
            std::fprintf(stderr, "sievecheck: give -i INPUT [OUTPUT], or INPUT OUTPUT (see --help)\n");
            return kExitUsage;
        }
        inputs = {positionals[0]};
        output = positionals[1];
        options.textOutput = true;
    }
    for (const std::string &input : inputs)
        if (output != "-" && sameFile(input, output)) {
            std::fprintf(stderr, "sievecheck: %s: the output would overwrite an input\n", output.c_str());
            return kExitUsage;
        }

    sievecheck::LoadedModule module;
    std::string error;
    if (!module.load(modulePath, error)) {
        std::fprintf(stderr, "sievecheck: cannot load the reader module: %s\n", error.c_str());
        return kExitUsage;
    }

    std::FILE *out = output == "-" ? stdout : std::fopen(output.c_str(), "wb");
    if (out == nullptr) {
        std::perror(("sievecheck: " + output).c_str());
        return kExitUsage;
    }
    // Records of a few hundred bytes each: write them in large pieces, not 4 KiB ones.
    static char outBuffer[1 << 16];
    if (!isatty(fileno(out)))
        std::setvbuf(out, outBuffer, _IOFBF, sizeof outBuffer);
    if (format.empty())
        format = options.textOutput || (output == "-" && isatty(STDOUT_FILENO)) ? "text" : "json";
    options.format = format == "text" ? sievecheck::Format::Text : sievecheck::Format::Json;
    options.xmpMode = xmp == "raw" ? zudorhost::XmpMode::Raw : zudorhost::XmpMode::Parsed;
    options.jobs = jobs;
    options.progress = !quiet && isatty(STDERR_FILENO);
    options.maxRequest = maxRequest;
    if (options.xmpMode == zudorhost::XmpMode::Parsed && !zudorhost::initXmpToolkit(xmpWarnings))
        std::fprintf(stderr, "sievecheck: the XMP toolkit did not start; packets will not parse\n");

    std::vector<std::string> directoryErrors;
    const std::vector<std::string> files = sievecheck::expandInputs(inputs, directoryErrors);
    for (const std::string &message : directoryErrors)
        std::fprintf(stderr, "sievecheck: %s\n", message.c_str());

    const sievecheck::RunTotals totals = sievecheck::runDocuments(module, files, options, out);
    const bool written = std::fflush(out) == 0 && (out == stdout || std::fclose(out) == 0);
    if (!written) {
        std::perror(("sievecheck: " + output).c_str());
        return kExitIncomplete;
    }
    if (stats)
        sievecheck::printTotals(totals, stderr);
    const bool allComplete = totals.complete == totals.documents && directoryErrors.empty();
    return allComplete ? kExitAllComplete : kExitIncomplete;
}

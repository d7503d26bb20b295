#include "arguments.h"

#include <cmath>
#include <cstdio>

#include "zudor_host/platform.h"

namespace sievecheck {
namespace {

using zudorhost::RunOption;
using zudorhost::RunProblem;

const char *flag(RunOption option)
{
    switch (option) {
    case RunOption::Jobs: return "--jobs";
    case RunOption::Xmp: return "--xmp";
    case RunOption::XmpWarnings: return "--xmp-warnings";
    case RunOption::AnyFile: return "--any-file";
    case RunOption::TimeZone: return "--time-zone";
    case RunOption::MaxRequest: return "--max-request";
    case RunOption::Isolate: return "--isolate";
    case RunOption::DocumentTimeout: return "--document-timeout";
    case RunOption::DocumentMemory: return "--document-memory";
    case RunOption::Connections: return "--connections";
    case RunOption::Timeout: return "--timeout";
    case RunOption::Retries: return "--retries";
    case RunOption::Catalog: return "--catalog";
    case RunOption::Export: return "--export";
    case RunOption::Wait: return "--wait";
    case RunOption::Forget: return "--forget";
    case RunOption::Inputs: return "inputs";
    case RunOption::Count: break;
    }
    return "?";
}

// Whole numbers in full: a cap of 1048576 MiB reads as that, not as 1.04858e+06.
std::string shown(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, value == std::floor(value) && std::fabs(value) < 1e19 ? "%.0f" : "%.10g", value);
    return text;
}

} // namespace

void addOptions(CLI::App &app, Arguments &a)
{
    a.jobs = zudorhost::defaultJobs();
    a.maxRequest = zudorhost::kDefaultMaxRequest;
    a.documentTimeout = zudorhost::optionRange(RunOption::DocumentTimeout).fallback;
    a.documentMemory = unsigned(zudorhost::optionRange(RunOption::DocumentMemory).fallback);
    app.add_option("-i,--input", a.inputs, "A TIFF file, a directory, or - for standard input (repeatable)")
        ->allow_extra_args(false);
    app.add_option("--files-from", a.filesFrom, "Read the files to process from FILE (- for standard input)");
    app.add_flag("-0,--null", a.nulSeparated, "Paths in --files-from end with NUL, not newline");
    app.add_option("files", a.positionals, "OUTPUT with -i; INPUT OUTPUT without it (the module's own fixed text)");
    app.add_option("--format", a.format, "Output format: text or json")->check(CLI::IsMember({"text", "json"}));
#ifdef _WIN32
    app.add_option("--xmp", a.xmp, "XMP packets: parsed (the default) or raw text (toolkit: refused, no toolkit here)")
#else
    app.add_option("--xmp", a.xmp, "XMP packets: parsed (the default), toolkit (Exempi's reading) or raw text")
#endif
        ->check(CLI::IsMember({"parsed", "toolkit", "raw"}));
    app.add_option("-j,--jobs", a.jobs, "Documents read in parallel, 1 to 256 (default: the cores)");
    static_assert(zudorhost::kMaxJobs == 256, "--jobs's help names the cap");
    app.add_flag("--any-file", a.anyFile, "Hand every file to the reader, whatever its first bytes");
#ifdef _WIN32
    // The C runtime knows zones only as TZ rules.
    app.add_option("--time-zone", a.timeZone, "Read DateTimes in ZONE (a rule: EST5EDT, UTC0; default: the system's)");
#else
    app.add_option("--time-zone", a.timeZone,
                   "Read DateTimes in ZONE, a zone of the system's zone files (Europe/Berlin, UTC) or a POSIX "
                   "rule (EST5EDT); default: the system's");
#endif
    app.add_option("--catalog", a.catalogPath, "Keep the records in an SQLite catalogue; read only what changed");
    app.add_flag("--export", a.exportCatalog, "With --catalog: write the catalogue's records to OUTPUT");
    app.add_flag("--wait", a.waitForWriter, "With --catalog: wait for another run that updates it");
    app.add_option("--forget", a.forget, "With --catalog: drop the records of INPUT, or below a path inside one (repeatable)")
        ->allow_extra_args(false);
    app.add_flag("--force", a.force, "Write OUTPUT even where it is a TIFF file (never where it is an input)");
    app.add_flag("-q,--quiet", a.quiet, "No progress line on standard error");
    app.add_flag("--stats", a.stats, "Totals on standard error at the end");
#ifdef _WIN32
    // Kept so that a command line written for either platform runs on both.
    app.add_flag("--xmp-warnings", a.xmpWarnings, "No effect: this build has no XMP toolkit");
#else
    app.add_flag("--xmp-warnings", a.xmpWarnings, "With --xmp toolkit, let the toolkit report parse failures on standard error");
#endif
    app.add_option("--module", a.modulePath, "The reader module to load");
    app.add_option("--max-request", a.maxRequest, "Largest single allocation granted, in bytes");
    if (zudorhost::isolationAvailable()) {
        app.add_flag("--isolate", a.isolate, "Read in worker processes, each document within a time and memory cap");
        app.add_option("--document-timeout", a.documentTimeout,
                       "With --isolate: seconds a worker may spend on one document (default: 60)");
        app.add_option("--document-memory", a.documentMemory,
                       "With --isolate: MiB a worker may hold, 0 for no cap (default: 1024)");
    }
    app.add_option("--connections", a.remote.connections, "Requests in flight for remote inputs (default: 32)");
    app.add_flag("--no-sign-request", a.remote.noSignRequest, "Send S3 requests unsigned (public buckets)");
    app.add_option("--ca-file", a.remote.caFile,
                   "Trust the certificates in FILE (PEM), not the system's (default: AWS_CA_BUNDLE)");
    app.add_option("--timeout", a.remote.timeout,
                   "Longest wait in seconds: to connect, for a first byte, between bytes (default: 10)");
    app.add_option("--retries", a.remote.retries, "Tries again after a failed request (default: 4)");
}

zudorhost::RunRequest runRequest(const CLI::App &app, const Arguments &a)
{
    zudorhost::RunRequest request;
    const auto number = [&](const char *name, RunOption option, double value) {
        if (app.count(name) != 0)
            request.set(option, value);
    };
    number("--jobs", RunOption::Jobs, a.jobs);
    number("--max-request", RunOption::MaxRequest, double(a.maxRequest));
    number("--document-timeout", RunOption::DocumentTimeout, a.documentTimeout);
    number("--document-memory", RunOption::DocumentMemory, a.documentMemory);
    number("--connections", RunOption::Connections, a.remote.connections);
    number("--timeout", RunOption::Timeout, a.remote.timeout);
    number("--retries", RunOption::Retries, a.remote.retries);
    request.given[size_t(RunOption::Inputs)] = !a.inputs.empty() || !a.filesFrom.empty();
    request.xmp = a.xmp;
    request.timeZone = a.timeZone;
    request.isolate = a.isolate;
    request.xmpWarnings = a.xmpWarnings;
    request.anyFile = a.anyFile;
    request.catalogue = !a.catalogPath.empty();
    request.exportRecords = a.exportCatalog;
    request.wait = a.waitForWriter;
    request.forget = !a.forget.empty();
    request.standardInputs = unsigned(std::count(a.inputs.begin(), a.inputs.end(), "-") + (a.filesFrom == "-"));
    return request;
}

std::string words(const RunProblem &p)
{
    const std::string option = flag(p.option), other = flag(p.other);
    switch (p.kind) {
    case RunProblem::Kind::OutOfRange: {
        const zudorhost::OptionRange &range = zudorhost::optionRange(p.option);
        return option + ": takes " + shown(range.low) + " to " + shown(range.high) + ", not " + shown(p.given);
    }
    case RunProblem::Kind::UnknownZone:
        return "--time-zone: " + p.detail;
    case RunProblem::Kind::NeedsOther:
        if (p.option == RunOption::XmpWarnings)
            return "--xmp-warnings shows the XMP toolkit's complaints: it goes with --xmp toolkit";
        return option + " goes with " + (p.other == RunOption::Catalog ? "--catalog FILE" : other) + " (see --help)";
    case RunProblem::Kind::NotWith:
        if (p.option == RunOption::Inputs)
            return "--export takes no inputs: it writes the records the catalogue holds (see --help)";
        return option + " does not go with --export, which writes the records as the catalogue holds them; an "
                        "update run reads with it";
    case RunProblem::Kind::NoToolkit:
        return "this build has no XMP toolkit; use --xmp parsed";
    case RunProblem::Kind::StandardInputTwice:
        return "standard input can be read only once";
    case RunProblem::Kind::StandardInputCatalogued:
        return "standard input cannot be catalogued";
    case RunProblem::Kind::CatalogueKeeps:
        if (p.option == RunOption::AnyFile)
            return std::string("this catalogue was made ") + (p.value == "on" ? "with" : "without") +
                   " --any-file; run " + (p.value == "on" ? "with" : "without") + " it, or start another catalogue";
        if (p.option == RunOption::Xmp)
            return "this catalogue keeps " + p.value + " XMP; run with --xmp " + p.value +
                   " (or without --xmp), or start another catalogue";
        return "this catalogue reads DateTimes in " + p.value + ", not " + p.detail + "; run with --time-zone " +
               p.value + " (or without --time-zone), or start another catalogue";
    case RunProblem::Kind::CatalogueZoneUnknown:
        return "this catalogue reads DateTimes in " + p.value +
               ", a zone this system does not know: install its data (Debian's tzdata), or start another catalogue";
    case RunProblem::Kind::None:
        break;
    }
    return std::string();
}

} // namespace sievecheck

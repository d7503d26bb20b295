#include "zudor_host/run_policy.h"

#include <cmath>

#include "zudor_host/platform.h"

namespace zudorhost {
namespace {

constexpr OptionRange kNone{0, 0, 0, false};

// Every numeric option's bounds and default, in RunOption's order.
constexpr OptionRange kRanges[size_t(RunOption::Count)] = {
    {1, double(kMaxJobs), 0, true},                       // Jobs: the default is the cores
    kNone,                                                // Xmp
    kNone,                                                // XmpWarnings
    kNone,                                                // AnyFile
    kNone,                                                // TimeZone
    {0, 9.2e18, double(kDefaultMaxRequest), true},        // MaxRequest, bytes
    kNone,                                                // Isolate
    {0.1, 86400, 60, false},                              // DocumentTimeout, seconds
    {0, 1048576, 1024, true},                             // DocumentMemory, MiB
    {1, 1024, 32, true},                                  // Connections
    {0.1, 3600, 10, false},                               // Timeout, seconds
    {0, 20, 4, true},                                     // Retries
    kNone, kNone, kNone, kNone, kNone,                    // Catalog, Export, Wait, Forget, Inputs
};

RunProblem problem(RunProblem::Kind kind, RunOption option, RunOption other = RunOption::Count)
{
    RunProblem p;
    p.kind = kind;
    p.option = option;
    p.other = other;
    return p;
}

// What an export cannot honour: it writes the records as they were read.
constexpr RunOption kReadingOptions[] = {
    RunOption::Inputs,     RunOption::Forget,      RunOption::Xmp,         RunOption::XmpWarnings,
    RunOption::TimeZone,   RunOption::AnyFile,     RunOption::Isolate,     RunOption::DocumentTimeout,
    RunOption::DocumentMemory, RunOption::MaxRequest, RunOption::Jobs,     RunOption::Connections,
    RunOption::Timeout,    RunOption::Retries,     RunOption::Wait,
};

bool named(const RunRequest &request, RunOption option)
{
    switch (option) {
    case RunOption::Xmp: return !request.xmp.empty();
    case RunOption::TimeZone: return !request.timeZone.empty();
    case RunOption::XmpWarnings: return request.xmpWarnings;
    case RunOption::AnyFile: return request.anyFile;
    case RunOption::Isolate: return request.isolate;
    case RunOption::Wait: return request.wait;
    case RunOption::Forget: return request.forget;
    default: return request.given[size_t(option)];
    }
}

// The toolkit's complaints come only from the toolkit.
RunProblem checkWarnings(const RunRequest &request)
{
    if (request.xmpWarnings && xmpToolkitAvailable() && request.xmp != "toolkit")
        return problem(RunProblem::Kind::NeedsOther, RunOption::XmpWarnings, RunOption::Xmp);
    return {};
}

} // namespace

const OptionRange &optionRange(RunOption option) { return kRanges[size_t(option)]; }

double RunRequest::number(RunOption option) const
{
    if (given[size_t(option)])
        return numbers[size_t(option)];
    return option == RunOption::Jobs ? double(defaultJobs()) : optionRange(option).fallback;
}

RunProblem checkNumber(RunOption option, double value)
{
    const OptionRange &range = optionRange(option);
    // Written so that NaN fails: every comparison with it is false.
    if (value >= range.low && value <= range.high && (!range.whole || value == std::floor(value)))
        return {};
    RunProblem p = problem(RunProblem::Kind::OutOfRange, option);
    p.given = value;
    return p;
}

RunProblem checkTimeZone(const std::string &zone)
{
    std::string why;
    if (isTimeZone(zone, why))
        return {};
    RunProblem p = problem(RunProblem::Kind::UnknownZone, RunOption::TimeZone);
    p.value = zone;
    p.detail = why;
    return p;
}

RunProblem checkRun(const RunRequest &request)
{
    for (size_t k = 0; k < size_t(RunOption::Count); ++k)
        if (request.given[k] && kRanges[k].high != 0)
            if (RunProblem p = checkNumber(RunOption(k), request.numbers[k]))
                return p;
    if (!request.timeZone.empty())
        if (RunProblem p = checkTimeZone(request.timeZone))
            return p;
    if (request.xmp == "toolkit" && !xmpToolkitAvailable())
        return problem(RunProblem::Kind::NoToolkit, RunOption::Xmp);
    for (RunOption cap : {RunOption::DocumentTimeout, RunOption::DocumentMemory})
        if (request.given[size_t(cap)] && !request.isolate)
            return problem(RunProblem::Kind::NeedsOther, cap, RunOption::Isolate);
    for (RunOption withCatalogue : {RunOption::Export, RunOption::Wait, RunOption::Forget})
        if ((withCatalogue == RunOption::Export ? request.exportRecords : named(request, withCatalogue)) &&
            !request.catalogue)
            return problem(RunProblem::Kind::NeedsOther, withCatalogue, RunOption::Catalog);
    if (request.exportRecords)
        for (RunOption reading : kReadingOptions)
            if (named(request, reading))
                return problem(RunProblem::Kind::NotWith, reading, RunOption::Export);
    if (request.standardInputs > 1)
        return problem(RunProblem::Kind::StandardInputTwice, RunOption::Inputs);
    if (request.standardInputs != 0 && request.catalogue)
        return problem(RunProblem::Kind::StandardInputCatalogued, RunOption::Inputs, RunOption::Catalog);
    // With a catalogue the mode may be its own: checked once it is known.
    return request.catalogue ? RunProblem() : checkWarnings(request);
}

RunProblem inheritSettings(RunRequest &request, const KeptSettings &kept)
{
    if (kept.modeKept) {
        const std::string keptMode = xmpModeName(kept.xmp);
        if (request.xmp.empty()) {
            request.xmp = keptMode;
        } else if (request.xmp != keptMode) {
            RunProblem p = problem(RunProblem::Kind::CatalogueKeeps, RunOption::Xmp);
            p.value = keptMode;
            p.detail = request.xmp;
            return p;
        }
        if (request.anyFile != kept.anyFile) {
            RunProblem p = problem(RunProblem::Kind::CatalogueKeeps, RunOption::AnyFile);
            p.value = kept.anyFile ? "on" : "off";
            p.detail = request.anyFile ? "on" : "off";
            return p;
        }
    }
    const std::string &keptZone = kept.timeZone;
    if (!keptZone.empty()) {
        const std::string zone = request.timeZone.empty() ? timeZoneName() : request.timeZone;
        if (!request.timeZone.empty() && zone != keptZone) {
            RunProblem p = problem(RunProblem::Kind::CatalogueKeeps, RunOption::TimeZone);
            p.value = keptZone;
            p.detail = zone;
            return p;
        }
        std::string why;
        if (zone != keptZone && !isTimeZone(keptZone, why)) {
            RunProblem p = problem(RunProblem::Kind::CatalogueZoneUnknown, RunOption::TimeZone);
            p.value = keptZone;
            p.detail = why;
            return p;
        }
        if (zone != keptZone)
            request.timeZone = keptZone;
    }
    return checkWarnings(request);
}

RunOutcome runOutcome(const RunTotals &totals, bool quietInput)
{
    return totals.complete == totals.documents && !quietInput ? RunOutcome::AllComplete : RunOutcome::Incomplete;
}

XmpMode requestedXmpMode(const RunRequest &request)
{
    return request.xmp == "raw" ? XmpMode::Raw : request.xmp == "toolkit" ? XmpMode::Toolkit : XmpMode::Parsed;
}

} // namespace zudorhost

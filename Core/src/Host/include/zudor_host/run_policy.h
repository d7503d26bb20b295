// The rules of a run, the same for every front end: each option's range and default, what
// goes with what, what a catalogue's settings impose, and what the exit status says. A rule
// broken comes back as a cause (what, which option, the values), never as words: each front
// end words it in its own terms (--time-zone on the command line, time_zone= in Python).
#pragma once

#include <cstdint>
#include <string>

#include "zudor_host/runner.h"

namespace zudorhost {


enum class RunOption : uint8_t {
    Jobs,
    Xmp,
    XmpWarnings,
    AnyFile,
    TimeZone,
    MaxRequest,
    Isolate,
    DocumentTimeout,
    DocumentMemory, // MiB; 0 for no cap
    Connections,
    Timeout,
    Retries,
    Catalog,
    Export,
    Wait,
    Forget,
    Inputs, // -i, --files-from, or a path to read
    Count
};

// A numeric option's bounds and default; whole says it takes whole numbers only.
struct OptionRange {
    double low, high, fallback;
    bool whole;
};
// Every numeric option has one; the others give {0, 0, 0, false}.
const OptionRange &optionRange(RunOption option);

// What a run was asked for, as the front end read it: a number given is checked against its
// range, a number not given takes its default.
struct RunRequest {
    bool given[size_t(RunOption::Count)] = {};
    double numbers[size_t(RunOption::Count)] = {};
    std::string xmp;      // "parsed", "toolkit", "raw"; empty for the default
    std::string timeZone; // empty for the system's
    bool isolate = false, xmpWarnings = false, anyFile = false;
    bool catalogue = false, exportRecords = false, wait = false, forget = false;
    unsigned standardInputs = 0; // inputs that are standard input

    RunRequest &set(RunOption option, double value)
    {
        given[size_t(option)] = true;
        numbers[size_t(option)] = value;
        return *this;
    }
    // The value given, or the option's default.
    double number(RunOption option) const;
};

struct RunProblem {
    enum class Kind : uint8_t {
        None,
        OutOfRange,       // option: its range, the value given (NaN and infinities included)
        UnknownZone,      // value: the zone; detail: why
        NeedsOther,       // option goes only with other
        NotWith,          // option does not go with other
        NoToolkit,        // option (Xmp or XmpWarnings) needs the XMP toolkit this build lacks
        StandardInputTwice,
        StandardInputCatalogued,
        CatalogueKeeps,   // the catalogue keeps value for option, not detail (what was given)
        CatalogueZoneUnknown, // the catalogue's zone value is unknown here
    };
    Kind kind = Kind::None;
    RunOption option = RunOption::Count, other = RunOption::Count;
    double given = 0;
    std::string value, detail;
    explicit operator bool() const { return kind != Kind::None; }
};

// The range check of one number (false for NaN and beyond the bounds, and for a fraction where
// only whole numbers go).
RunProblem checkNumber(RunOption option, double value);

// A time zone as a zone: a compiled zone of the system's zone directory (Europe/Berlin, UTC) or
// a POSIX rule (EST5EDT), never any other file.
RunProblem checkTimeZone(const std::string &zone);

// Every rule of the request that does not need the catalogue: ranges, zone, what goes together.
RunProblem checkRun(const RunRequest &request);

// What a catalogue keeps of the runs that filled it, which a run on it must agree with.
struct KeptSettings {
    bool modeKept = false; // whether a run has yet, and so fixed the XMP mode and --any-file
    XmpMode xmp = XmpMode::Parsed;
    bool anyFile = false;
    std::string timeZone; // empty: none kept
};

// Kept settings imposed on the request: the XMP mode and zone where none is given, and a
// refusal where what is given differs from what is kept (XMP mode, --any-file, zone). On
// success the request's zone is the one to read in (empty: the process's own). A catalogue's
// own are imposed by inheritCatalogue (catalogue.h).
RunProblem inheritSettings(RunRequest &request, const KeptSettings &kept);

// The run's exit status: every document complete, some not (or an input that gave nothing),
// or a run that could not be carried out.
enum class RunOutcome : int { AllComplete = 0, Incomplete = 1, Refused = 2 };
RunOutcome runOutcome(const RunTotals &totals, bool quietInput);

// The XMP mode the request names (parsed where none).
XmpMode requestedXmpMode(const RunRequest &request);

} // namespace zudorhost

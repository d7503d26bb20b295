// The _zudor extension: a front end of the reference host library. One document is read on
// the calling thread, many on the runner's threads; either way without the GIL, which is
// taken again only to turn the encoded records into dicts.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "dict_builder.h"
#include "module_lookup.h"
#include "zudor_host/catalogue.h"
#include "zudor_host/driver.h"
#include "zudor_host/isolation.h"
#include "zudor_host/platform.h"
#include "zudor_host/record.h"
#include "zudor_host/record_events.h"
#include "zudor_host/remote.h"
#include "zudor_host/run_policy.h"
#include "zudor_host/runner.h"

namespace py = pybind11;
using namespace zudorhost;

namespace {

LoadedModule &readerModule()
{
    // Never unloaded: worker threads and thread-local drivers may outlive the extension's
    // module object at interpreter exit.
    static LoadedModule *module = new LoadedModule;
    return *module;
}

// The package's errors, made with the module so that the bindings raise them where they arise.
PyObject *zudorError = nullptr;
PyObject *catalogueError = nullptr;

[[noreturn]] void raise(PyObject *type, const std::string &message)
{
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

// The remote options as the Python side checked them: the CA file (empty: the default), the
// timeout in seconds, the retries, the connections, and whether S3 requests go unsigned.
using RemoteArgs = std::tuple<std::string, double, unsigned, unsigned, bool>;

// Settled as sievecheck settles its own, and only where something is read remotely: a local
// read is not refused for a CA file it would never use. A CA file that cannot serve is one
// ValueError now, not an error in every record.
RemoteOptions remoteOptions(const RemoteArgs &args, bool remote)
{
    RemoteOptions options;
    std::tie(options.caFile, options.timeout, options.retries, options.connections, options.noSignRequest) = args;
    std::string error;
    if (remote && !prepareRemoteOptions(options, error))
        throw py::value_error(error);
    return options;
}

bool anyRemote(const std::vector<std::string> &paths)
{
    return std::any_of(paths.begin(), paths.end(), [](const std::string &path) { return isRemoteInput(path); });
}

// Reading in worker processes, as the Python side checked it: whether, the seconds a document
// may take, and the MiB a worker may hold (0: no cap).
using IsolationArgs = std::tuple<bool, double, uint64_t>;

IsolationOptions isolationOptions(const IsolationArgs &args)
{
    IsolationOptions options;
    uint64_t mib;
    std::tie(options.enabled, options.documentTimeout, mib) = args;
    options.documentMemory = mib << 20;
    if (options.enabled) {
        options.modulePlaces = zudorpy::modulePlaces();
        options.workerProgram = zudorpy::workerProgram();
    }
    return options;
}

// The package's keyword for each option the run rules name.
const std::pair<const char *, RunOption> kKeywords[] = {
    {"jobs", RunOption::Jobs},
    {"xmp", RunOption::Xmp},
    {"any_file", RunOption::AnyFile},
    {"time_zone", RunOption::TimeZone},
    {"isolate", RunOption::Isolate},
    {"document_timeout", RunOption::DocumentTimeout},
    {"document_memory", RunOption::DocumentMemory},
    {"connections", RunOption::Connections},
    {"timeout", RunOption::Timeout},
    {"retries", RunOption::Retries},
    {"forget", RunOption::Forget},
};

std::string keyword(RunOption option)
{
    for (const auto &named : kKeywords)
        if (named.second == option)
            return named.first;
    return "?";
}

RunOption optionNamed(const std::string &name)
{
    for (const auto &named : kKeywords)
        if (name == named.first)
            return named.second;
    throw py::value_error("no option named " + name);
}

std::string shown(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, value == std::floor(value) && std::fabs(value) < 1e19 ? "%.0f" : "%.10g", value);
    return text;
}

// A broken rule of the run in the package's terms.
std::string pythonWords(const RunProblem &p)
{
    const std::string option = keyword(p.option);
    switch (p.kind) {
    case RunProblem::Kind::OutOfRange: {
        const OptionRange &range = optionRange(p.option);
        return option + " takes " + shown(range.low) + " to " + shown(range.high) + ", not " + shown(p.given);
    }
    case RunProblem::Kind::UnknownZone: return "time_zone: " + p.detail;
    case RunProblem::Kind::NeedsOther: return option + " goes with " + keyword(p.other) + "=True";
    case RunProblem::Kind::NoToolkit: return "this build has no XMP toolkit; use xmp='parsed'";
    case RunProblem::Kind::CatalogueKeeps:
        if (p.option == RunOption::AnyFile)
            return std::string("this catalogue was made with any_file=") + (p.value == "on" ? "True" : "False") +
                   "; read with it, or start another catalogue";
        if (p.option == RunOption::Xmp)
            return "this catalogue keeps " + p.value + " XMP; read with xmp='" + p.value +
                   "' (or without xmp), or start another catalogue";
        return "this catalogue reads DateTimes in " + p.value + ", not " + p.detail + "; read with time_zone='" +
               p.value + "' (or without time_zone), or start another catalogue";
    case RunProblem::Kind::CatalogueZoneUnknown:
        return "this catalogue reads DateTimes in " + p.value +
               ", a zone this system does not know: install its data (Debian's tzdata), or start another catalogue";
    default: return option + " cannot be used so";
    }
}

// The run rules for the options a call was given (keyword: number), raising ValueError in the
// package's words for one it breaks.
void checkRunArguments(const std::map<std::string, double> &numbers, bool isolate, const std::string &zone)
{
    RunRequest request;
    for (const auto &given : numbers)
        request.set(optionNamed(given.first), given.second);
    request.isolate = isolate;
    request.timeZone = zone;
    if (const RunProblem problem = checkRun(request))
        throw py::value_error(pythonWords(problem));
}

// 1 is parsed, 2 raw, 3 toolkit, as XmpMode; the Python side has checked the name.
DriverOptions driverOptions(int xmp, bool anyFile)
{
    DriverOptions options;
    options.xmpMode = static_cast<XmpMode>(xmp);
    options.anyFile = anyFile;
    if (options.xmpMode == XmpMode::Toolkit)
        initXmpToolkit();
    return options;
}

// The records a batch's events describe, one dict each.
class RecordList : public zudorpy::DictBuilder {
public:
    void endRecord() override
    {
        PyObject *record = take();
        if (record == nullptr || PyList_Append(list_.ptr(), record) != 0)
            ok_ = false;
        Py_XDECREF(record);
    }
    py::list take(const OutputBuffer &events)
    {
        replayEvents(events.data(), events.size(), *this);
        if (!ok_)
            throw py::error_already_set();
        return std::move(list_);
    }

private:
    using DictBuilder::take;
    py::list list_;
    bool ok_ = true;
};

// A reader per thread, XMP mode and way of reading, kept between calls: read() may be called
// from many Python threads at once, each reading without the GIL. Isolated, its worker
// process stays for the next call.
struct ThreadReader {
    ThreadReader(const DriverOptions &options, const IsolationArgs &isolated)
        : isolation(isolated), zone(options.timeZone), startedIn(timeZoneName())
    {
        const IsolationOptions how = isolationOptions(isolated);
        if (!how.enabled) {
            driver = std::make_unique<DocumentDriver>(readerModule().table(), options);
            return;
        }
        Failure failure;
        workers = startReaderWorkers(how, options, failure);
        if (!workers)
            raise(zudorError, failure.message);
        driver = makeIsolatedReader(workers, options);
    }
    std::shared_ptr<ReaderWorkers> workers; // null in process
    std::unique_ptr<DocumentReader> driver;
    RecordWalker walker;
    IsolationArgs isolation;
    std::string zone;      // the calls' own, empty for the process's
    std::string startedIn; // a worker process reads DateTimes in the zone it started in
};

template <typename Read>
py::object readOne(int xmp, const IsolationArgs &isolation, const std::string &zone, const std::string &name, Read read)
{
    thread_local std::unique_ptr<ThreadReader> readers[2][3];
    std::unique_ptr<ThreadReader> &slot = readers[std::get<0>(isolation)][xmp - 1];
    if (!slot || slot->isolation != isolation || slot->zone != zone ||
        (slot->workers && zone.empty() && slot->startedIn != timeZoneName())) {
        slot.reset();
        DriverOptions options = driverOptions(xmp, false);
        options.timeZone = zone;
        slot = std::make_unique<ThreadReader>(options, isolation);
    }
    ThreadReader &r = *slot;
    InputItem item;
    item.path = name;
    const DocumentView *doc;
    {
        py::gil_scoped_release nogil;
        doc = &read(r, item);
    }
    // The view holds until finish(): the dict is built from the reader's blocks directly.
    zudorpy::DictBuilder builder;
    r.walker.summary(*doc, builder);
    PyObject *record = builder.take();
    r.driver->finish();
    if (record == nullptr)
        throw py::error_already_set();
    return py::reinterpret_steal<py::object>(record);
}

py::object readPath(const std::string &path, int xmp, const RemoteArgs &remoteArgs, const IsolationArgs &isolation,
                    const std::string &zone)
{
    const RemoteOptions remote = remoteOptions(remoteArgs, isRemoteInput(path));
    return readOne(xmp, isolation, zone, path, [&remote, xmp](ThreadReader &r, InputItem &item) -> const DocumentView & {
        // A URL is fetched on its own with the call's options, then read as any document.
        if (isRemoteInput(item.path)) {
            DriverOptions options = driverOptions(xmp, false);
            options.remote = remote;
            fetchDocument(item, readerModule().table(), options, r.workers);
        }
        return r.driver->read(item);
    });
}

py::object readBytes(py::object data, const std::string &name, int xmp, const IsolationArgs &isolation,
                     const std::string &zone)
{
    Py_buffer view;
    if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE) != 0) {
        PyErr_Clear();
        throw py::type_error("read_bytes() needs a contiguous bytes-like object, not " +
                             std::string(Py_TYPE(data.ptr())->tp_name));
    }
    // Released whatever happens; the bytes are read in place, without a copy.
    std::unique_ptr<Py_buffer, void (*)(Py_buffer *)> hold(&view, PyBuffer_Release);
    return readOne(xmp, isolation, zone, name, [&view](ThreadReader &r, const InputItem &item) -> const DocumentView & {
        return r.driver->readBytes(item, view.buf, size_t(view.len));
    });
}

// The workers' formatter: each document's walk, as events for the caller to play into dicts.
class EventFormatter : public RecordFormatter {
public:
    void format(const DocumentView &doc, FinishedBatch &out) override
    {
        if (!doc.skipped)
            recorder_.record(doc, out.records);
    }

private:
    EventRecorder recorder_;
};

// Inputs already walked elsewhere (by the Dask client), each with its origin.
class ItemSource : public InputSource {
public:
    explicit ItemSource(std::vector<InputItem> items) : items_(std::move(items)) {}
    bool next(InputItem &item) override
    {
        if (next_ == items_.size())
            return false;
        item = items_[next_++];
        return true;
    }

private:
    std::vector<InputItem> items_;
    size_t next_ = 0;
};

using Item = std::tuple<py::bytes, int, std::string>;

std::vector<InputItem> toItems(const std::vector<std::tuple<std::string, int, std::string>> &tuples)
{
    std::vector<InputItem> items;
    items.reserve(tuples.size());
    for (const auto &[path, origin, error] : tuples) {
        if (origin < int(InputOrigin::Named) || origin > int(InputOrigin::Failed))
            throw py::value_error("unknown input origin");
        items.emplace_back();
        items.back().path = path;
        items.back().origin = InputOrigin(origin);
        items.back().error = error;
    }
    return items;
}

// The files below the paths, and the indices of the paths that gave none at all.
std::pair<std::vector<Item>, std::vector<size_t>> walk(std::vector<std::string> paths, const RemoteArgs &remoteArgs)
{
    const RemoteOptions remote = remoteOptions(remoteArgs, anyRemote(paths));
    std::vector<InputItem> found;
    std::vector<bool> gave(paths.size() + 1, false);
    {
        py::gil_scoped_release nogil;
        // S3 prefixes are listed here; their keys, like URLs, are fetched by whoever reads them.
        std::unique_ptr<InputSource> named = pathSource(std::move(paths));
        std::unique_ptr<InputSource> source = listedSource(*named, remote);
        for (InputItem item; source->next(item);) {
            if (item.named < gave.size())
                gave[item.named] = true;
            found.push_back(item);
        }
    }
    std::vector<Item> items;
    items.reserve(found.size());
    for (const InputItem &item : found)
        items.emplace_back(py::bytes(item.path), int(item.origin), item.error);
    std::vector<size_t> empty;
    for (size_t k = 1; k < gave.size(); ++k)
        if (!gave[k])
            empty.push_back(k - 1);
    return {std::move(items), std::move(empty)};
}

class Scanner {
public:
    Scanner(std::unique_ptr<InputSource> source, unsigned jobs, int xmp, bool anyFile, const RemoteOptions &remote,
            const IsolationArgs &isolation, const std::string &zone, size_t named = 0)
        : source_(std::move(source)), named_(named)
    {
        RunOptions options;
        options.isolation = isolationOptions(isolation);
        options.jobs = jobs;
        options.driver = driverOptions(xmp, anyFile);
        options.driver.remote = remote;
        options.driver.timeZone = zone;
        runner_ = std::make_unique<BatchRunner>(readerModule().table(), *source_,
                                                [] { return std::make_unique<EventFormatter>(); }, options);
        // A runner whose threads did not start would end the iteration as if all were read.
        if (runner_->error()) {
            const std::string error = runner_->error().message;
            close();
            raise(zudorError, error);
        }
    }
    ~Scanner() { close(); }

    // The next batch's records, or None at the end.
    py::object nextBatch()
    {
        if (!runner_)
            return py::none();
        const FinishedBatch *batch;
        {
            py::gil_scoped_release nogil;
            batch = runner_->next();
        }
        if (batch == nullptr) {
            for (uint32_t k = 1; k <= named_; ++k)
                if (runner_->tally(k).documents == 0)
                    quiet_.emplace_back(k - 1, runner_->tally(k).items);
            close();
            return py::none();
        }
        return RecordList().take(batch->records);
    }

    // Once the scan has ended: the named inputs that gave no document, as (index, items met).
    const std::vector<std::pair<size_t, uint64_t>> &quiet() const { return quiet_; }

    // Stops the workers (the runner joins them) and drops the inputs; a scan abandoned
    // half-way ends here.
    void close()
    {
        std::unique_ptr<BatchRunner> runner = std::move(runner_);
        if (runner) {
            py::gil_scoped_release nogil;
            runner.reset();
        }
        source_.reset();
    }

private:
    std::unique_ptr<InputSource> source_;
    std::unique_ptr<BatchRunner> runner_;
    size_t named_;
    std::vector<std::pair<size_t, uint64_t>> quiet_;
};

// The catalogue updated from the inputs, on the runner's threads without the GIL; xmp 0 takes
// the catalogue's own mode (parsed for a new one), and without a zone given, the catalogue's
// zone becomes the process's, as a zone given does.
py::dict updateCatalog(const std::string &path, std::vector<std::string> paths, std::vector<std::string> forget,
                       unsigned jobs, int xmp, bool anyFile, bool wait, const std::string &zone, const RemoteArgs &remoteArgs,
                       const IsolationArgs &isolation)
{
    const RemoteOptions remote = remoteOptions(remoteArgs, anyRemote(paths));
    Failure failure;
    CatalogueCounts counts;
    bool updated = false;
    std::unique_ptr<Catalogue> catalogue;
    {
        py::gil_scoped_release nogil;
        CatalogueOptions options;
        options.wait = wait;
        catalogue = Catalogue::open(path, Catalogue::Access::Update, options, failure);
    }
    // The catalogue's mode and zone where none is given, refused where another is; the zone
    // is this call's alone.
    RunRequest request;
    request.xmp = xmp != 0 ? xmpModeName(XmpMode(xmp)) : "";
    request.anyFile = anyFile;
    request.timeZone = zone;
    if (catalogue) {
        if (const RunProblem problem = inheritCatalogue(request, *catalogue)) {
            failure = Failure(Failure::Kind::Refused, pythonWords(problem));
            catalogue.reset();
        }
    }
    if (catalogue) {
        py::gil_scoped_release nogil;
        RunOptions run;
        run.jobs = jobs;
        run.timeZone = request.timeZone.empty() ? timeZoneName() : request.timeZone;
        run.isolation = isolationOptions(isolation);
        run.driver = driverOptions(int(requestedXmpMode(request)), anyFile);
        run.driver.remote = remote;
        run.driver.timeZone = request.timeZone;
        CatalogueInputs inputs;
        inputs.paths = std::move(paths);
        inputs.forget = std::move(forget);
        CatalogueUpdate update(*catalogue, readerModule().table(), std::move(inputs), run, nullptr);
        while (update.next()) {
        }
        updated = update.finish();
        failure = update.error();
        counts = update.counts();
        catalogue.reset();
    }
    // A system out of threads is no fault of the catalogue's.
    if (!updated && failure.kind == Failure::Kind::Resources)
        raise(zudorError, failure.message);
    if (!updated)
        raise(catalogueError, path + ": " + failure.message);
    py::dict result;
    result["new"] = counts.added;
    result["changed"] = counts.changed;
    result["unchanged"] = counts.unchanged;
    result["removed"] = counts.removed;
    result["untouched"] = counts.untouched;
    result["reread"] = counts.reread;
    return result;
}

} // namespace

PYBIND11_MODULE(_zudor, m)
{
    m.doc() = "The native part of the zudor package; use the functions of zudor itself.";
    // The same zone as the system's, read once, as in sievecheck.
    settleLocalTimeZone();
    std::string error;
    if (!zudorpy::loadReaderModule(readerModule(), error))
        throw py::import_error("cannot load the ZUDOR reader module: " + error);

    zudorError = PyErr_NewExceptionWithDoc(
        "zudor.ZudorError",
        "The base of the package's errors: a run that could not be carried out, as when the system\n"
        "cannot start its reading threads. A document that cannot be read is a record, never an error.",
        PyExc_RuntimeError, nullptr);
    catalogueError = PyErr_NewExceptionWithDoc(
        "zudor.CatalogueError",
        "A catalogue that cannot be used: not a catalogue, corrupt, of a newer version, being\n"
        "updated by another run, on a full or read-only disk, or made with other options.",
        zudorError, nullptr);
    if (zudorError == nullptr || catalogueError == nullptr)
        throw py::error_already_set();
    m.attr("ZudorError") = py::handle(zudorError);
    m.attr("CatalogueError") = py::handle(catalogueError);

    m.attr("__version__") = ZUDOR_VERSION;
    m.attr("MAX_JOBS") = kMaxJobs;
    m.def("default_jobs", &defaultJobs, "Every core, within MAX_JOBS.");
    m.attr("XMP_PARSED") = int(XmpMode::Parsed);
    m.attr("XMP_RAW") = int(XmpMode::Raw);
    m.attr("XMP_TOOLKIT") = int(XmpMode::Toolkit);
    m.def("read", &readPath, py::arg("path"), py::arg("xmp"), py::arg("remote"), py::arg("isolation"),
          py::arg("zone"));
    m.def("read_bytes", &readBytes, py::arg("data"), py::arg("name"), py::arg("xmp"), py::arg("isolation"),
          py::arg("zone"));
    m.def("update_catalog", &updateCatalog, py::arg("path"), py::arg("paths"), py::arg("forget"), py::arg("jobs"),
          py::arg("xmp"), py::arg("any_file"), py::arg("wait"), py::arg("zone"), py::arg("remote"),
          py::arg("isolation"));
    m.def("time_zone_name", &timeZoneName, "The zone DateTimes are read in.");
    m.def("check_run", &checkRunArguments, py::arg("numbers"), py::arg("isolate"), py::arg("time_zone"),
          "Raises ValueError, in the package's words, for a value or combination the run rules refuse.");
    m.def("option_default", [](const std::string &name) { return optionRange(optionNamed(name)).fallback; },
          py::arg("name"), "The default of a numeric option.");
    m.def("walk", &walk, py::arg("paths"), py::arg("remote"),
          "Files below the given paths in reading order, as (path, origin, error) tuples, and the\n"
          "indices of the paths below which there was none.");
    py::class_<Scanner>(m, "Scanner")
        .def(py::init([](std::vector<std::string> paths, unsigned jobs, int xmp, bool anyFile,
                         const RemoteArgs &remoteArgs, const IsolationArgs &isolation, const std::string &zone) {
                 const RemoteOptions remote = remoteOptions(remoteArgs, anyRemote(paths));
                 const size_t named = paths.size();
                 return std::make_unique<Scanner>(pathSource(std::move(paths)), jobs, xmp, anyFile, remote, isolation,
                                                  zone, named);
             }),
             py::arg("paths"), py::arg("jobs"), py::arg("xmp"), py::arg("any_file"), py::arg("remote"),
             py::arg("isolation"), py::arg("zone"))
        .def_static("from_items",
                    [](const std::vector<std::tuple<std::string, int, std::string>> &items, unsigned jobs,
                       int xmp, bool anyFile, const RemoteArgs &remoteArgs, const IsolationArgs &isolation,
                       const std::string &zone) {
                        std::vector<InputItem> inputs = toItems(items);
                        const bool remote = std::any_of(inputs.begin(), inputs.end(), [](const InputItem &item) {
                            return isRemoteInput(item.path);
                        });
                        return std::make_unique<Scanner>(std::make_unique<ItemSource>(std::move(inputs)), jobs,
                                                         xmp, anyFile, remoteOptions(remoteArgs, remote), isolation,
                                                         zone);
                    },
                    py::arg("items"), py::arg("jobs"), py::arg("xmp"), py::arg("any_file"), py::arg("remote"),
                    py::arg("isolation"), py::arg("zone") = "")
        .def("next_batch", &Scanner::nextBatch)
        .def("quiet", &Scanner::quiet, "After the end: (index, items met) of each named input that gave no document.")
        .def("close", &Scanner::close);
}

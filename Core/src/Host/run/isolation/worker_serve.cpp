// The reader process: the worker program loads the module (and, for toolkit mode, the XMP
// toolkit) before its sandbox closes, then each reader takes one document from its parent,
// answers with its view, through a driver of its own like any thread's, and ends.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "io/remote/remote_document.h"
#include "platform/system.h"
#include "run/driver_core.h"
#include "run/isolation/protocol.h"
#include "run/isolation/view_codec.h"
#include "run/isolation/worker_program.h"
#include "zudor_host/isolation.h"
#include "zudor_host/module.h"
#include "zudor_host/platform.h"

namespace zudorhost {
namespace {

using namespace isolation;
using worker::Handle;
using worker::kNoHandle;

struct Program {
    LoadedModule module;
    bool warnings = false; // the XMP toolkit's complaints go to the parent
    uint64_t memoryCap = 0;
};

// A remote document's windows as the parent laid them out: (start, length) pairs, then bytes.
bool takeRemote(const char *data, size_t bytes, const Entry &entry, RemoteDocument &document)
{
    document = RemoteDocument{};
    document.size = entry.size;
    if (entry.windows > bytes / 16)
        return false;
    size_t at = size_t(entry.windows) * 16;
    for (uint64_t i = 0; i < entry.windows; ++i) {
        uint64_t pair[2];
        std::memcpy(pair, data + i * 16, sizeof pair);
        if (pair[1] > bytes - at)
            return false;
        FetchedWindow window;
        window.start = pair[0];
        window.bytes.assign(data + at, data + at + pair[1]);
        document.windows.push_back(std::move(window));
        at += size_t(pair[1]);
    }
    return true;
}

// A reader holds one document: it takes its one request, answers it and ends.
class Reader {
public:
    Reader(worker::Endpoint &endpoint, const ReaderInterface &table, const DriverOptions &options, char *inlineBytes,
           std::stringbuf *said)
        : endpoint_(endpoint), driver_(table, options), inline_(inlineBytes), said_(said)
    {
    }

    int serve()
    {
        std::vector<char> message(sizeof(RequestHeader) + sizeof(Entry) + 1);
        std::vector<Handle> handles;
        const long got = endpoint_.receive(message.data(), message.size(), handles);
        if (got <= 0)
            return got == 0 ? 0 : 1;
        RequestHeader header;
        Entry entry;
        if (size_t(got) != sizeof header + sizeof entry)
            return 1;
        std::memcpy(&header, message.data(), sizeof header);
        std::memcpy(&entry, message.data() + sizeof header, sizeof entry);
        if (header.magic != kRequestMagic || header.count != 1 || !answer(entry, handles))
            return 1;
        return endpoint_.send(out_.data(), out_.size()) ? 0 : 1;
    }

private:
    bool answer(const Entry &entry, std::vector<Handle> &handles)
    {
        InputItem item;
        item.origin = InputOrigin(entry.origin);
        Handle handle = kNoHandle;
        if (entry.carrier != uint8_t(Carrier::Inline)) {
            if (entry.handle >= handles.size() || handles[entry.handle] == kNoHandle)
                return false;
            std::swap(handle, handles[entry.handle]);
        }
        ReplyHeader reply{kReplyMagic, 0, entry.sequence, 0};
        out_.append(reinterpret_cast<const char *>(&reply), sizeof reply);
        worker::SharedMemory memory;
        std::string why;
        switch (Carrier(entry.carrier)) {
        case Carrier::Inline:
            if (entry.size > kInlineBytes)
                return false;
            encodeView(driver_.readBytes(item, inline_, size_t(entry.size)), out_);
            break;
        case Carrier::File:
            encodeView(driver_.readHanded(item, worker::descriptorOfHandle(handle), entry.size), out_);
            break;
        case Carrier::Memory:
            if (!memory.map(handle, size_t(entry.bytes), why) || entry.size > entry.bytes)
                return false;
            encodeView(driver_.readBytes(item, memory.data(), size_t(entry.size)), out_);
            break;
        case Carrier::Remote:
            if (!memory.map(handle, size_t(entry.bytes), why) || !takeRemote(memory.data(), memory.size(), entry, remote_))
                return false;
            memory.reset();
            if (entry.probe) {
                driver_.readFetched(item, remote_);
                ProbeAnswer probe{};
                probe.missed = driver_.missed(probe.offset, probe.length);
                out_.append(reinterpret_cast<const char *>(&probe), sizeof probe);
            } else {
                encodeView(driver_.readFetched(item, remote_), out_);
            }
            break;
        default:
            return false;
        }
        driver_.finish();
        // What the XMP toolkit said meanwhile goes to the parent, which shows it: a reader
        // never writes where the tool's own output goes.
        if (said_ != nullptr) {
            const std::string words = said_->str();
            const size_t told = std::min<size_t>(words.size(), size_t(1) << 20);
            out_.append(words.data(), told);
            reply.reserved = uint32_t(told);
        }
        reply.length = out_.size() - sizeof reply;
        std::memcpy(const_cast<char *>(out_.data()), &reply, sizeof reply);
        return true;
    }

    worker::Endpoint &endpoint_;
    DriverCore driver_;
    char *inline_;
    std::stringbuf *said_;
    RemoteDocument remote_;
    OutputBuffer out_;
};

int serveReader(worker::Endpoint &endpoint, const std::string &settings, Handle sharedHandle, void *state)
{
    worker::SharedMemory shared;
    std::string why;
    DriverOptions options;
    if (!decodeSettings(settings, options) || !shared.map(sharedHandle, kSharedBytes, why))
        return 1;
    auto &control = *reinterpret_cast<ControlPage *>(shared.data());
    worker::noteFaultsIn(&control.notes);
    Program &program = *static_cast<Program *>(state);
    options.memoryCap = program.memoryCap;
    // The toolkit writes its complaints to std::cerr.
    std::stringbuf said;
    if (program.warnings)
        std::cerr.rdbuf(&said);
    Reader reader(endpoint, program.module.table(), options, shared.data() + kControlBytes,
                  program.warnings ? &said : nullptr);
    return reader.serve();
}

} // namespace

int runReaderWorker(int argc, char **argv)
{
    std::vector<std::string> places;
    bool toolkit = false, warnings = false;
    const std::vector<std::string> arguments = worker::workerArguments(argc, argv);
    for (size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == "--module" && i + 1 < arguments.size())
            places.push_back(arguments[++i]);
        toolkit = toolkit || arguments[i] == "--toolkit";
        warnings = warnings || arguments[i] == "--xmp-warnings";
    }
    // What readers would otherwise fetch from the file system later, they have from now on:
    // the time zone first, then, in the loader's sandbox (a module's constructors run as it
    // loads), the module and the XMP toolkit.
    settleLocalTimeZone();
    os::native().loadTimeZone();
    std::vector<std::string> readable;
    for (const std::string &place : places) {
        const size_t slash = place.find_last_of('/');
        if (slash != std::string::npos)
            readable.push_back(slash == 0 ? "/" : place.substr(0, slash));
    }
    // The module found beside the worker program, and whatever a module loads from there.
    if (!programDirectory().empty())
        readable.push_back(programDirectory());
    static Program program;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--memory-cap") == 0)
            program.memoryCap = std::strtoull(argv[i + 1], nullptr, 10);
    std::string why;
    if (!worker::enterLoaderSandbox(readable, why))
        why = "cannot enter the loader's sandbox: " + why;
    else if (places.empty())
        why = "no module named";
    else if (places.size() == 1 ? program.module.load(places[0], why) : program.module.loadFirst(places, why))
        why.clear(); // one place is a module named (--module), loaded as the front end would
    if (why.empty() && toolkit)
        initXmpToolkit(warnings);
    program.warnings = toolkit && warnings;
    if (!why.empty() && why.rfind("cannot enter", 0) != 0)
        why = "cannot load the reader module: " + why;
    return worker::runWorkerProgram(argc, argv, why, serveReader, &program);
}

} // namespace zudorhost

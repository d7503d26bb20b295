// zudor-serve: the HTTP service. Startup settles everything that may fail (settings, tokens,
// the reader processes, the address) before the first request; then the main thread only
// waits for signals.
#include <csignal>
#include <cstdio>
#include <pthread.h>

#include "document_pool.h"
#include "http_service.h"
#include "list_runs.h"
#include "metrics.h"
#include "request_log.h"
#include "settings.h"
#include "tokens.h"
#include "zudor_host/isolation.h"
#include "zudor_host/module.h"
#include "zudor_host/platform.h"

namespace {

constexpr int kExitUsage = 2;

int fail(const std::string &why)
{
    std::fprintf(stderr, "zudor-serve: %s\n", why.c_str());
    return kExitUsage;
}

} // namespace

int main(int argc, char **argv)
{
    using namespace zudorserve;
    zudorhost::settleLocalTimeZone();
    ServeSettings settings;
    switch (parseSettings(argc, argv, settings)) {
    case Parsed::Exit:
        return 0;
    case Parsed::Usage:
        return kExitUsage;
    case Parsed::Run:
        break;
    }
    if (!zudorhost::isolationAvailable())
        return fail("this build cannot read in reader processes, which the service needs for every document");

    TokenSet tokens;
    std::string why;
    if (!settings.tokens.empty() && !tokens.load(settings.tokens, why))
        return fail(why);

    // A reader process reads DateTimes in the zone its workers started in: one set of workers
    // per zone offered, each started with the zone in force. Nothing else runs yet, so the
    // process's zone may change meanwhile.
    zudorhost::IsolationOptions isolation;
    isolation.enabled = true;
    isolation.modulePlaces = settings.module.empty() ? zudorhost::defaultModulePlaces()
                                                     : std::vector<std::string>{settings.module};
    isolation.documentTimeout = settings.documentTimeout;
    isolation.documentMemory = uint64_t(settings.documentMemory) << 20;
    zudorhost::DriverOptions driver;
    // The toolkit loaded in the workers serves every mode; a request names its own.
    driver.xmpMode = zudorhost::xmpToolkitAvailable() ? zudorhost::XmpMode::Toolkit : zudorhost::XmpMode::Parsed;
    std::vector<std::string> zones = settings.timeZones;
    if (zones.empty())
        zones.push_back(zudorhost::timeZoneName());
    std::vector<std::shared_ptr<zudorhost::ReaderWorkers>> workers;
    for (const std::string &zone : zones) {
        if (!settings.timeZones.empty() && !zudorhost::isTimeZone(zone, why))
            return fail("--time-zone: " + why);
        // Each zone's workers start in it, and read in it from then on.
        zudorhost::DriverOptions zoned = driver;
        zoned.timeZone = settings.timeZones.empty() ? std::string() : zone;
        zudorhost::Failure failure;
        workers.push_back(zudorhost::startReaderWorkers(isolation, zoned, failure));
        if (!workers.back())
            return fail("cannot start the reader processes: " + failure.message);
    }

    // The signals are taken by this thread alone, through sigwait: every thread started from
    // here on inherits the mask. A client that goes away must not end the service.
    sigset_t signals;
    sigemptyset(&signals);
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&signals, signal);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    // Lists fetch from the hosts and buckets named here alone.
    zudorhost::RemoteOptions remote;
    remote.limited = !settings.allowHosts.empty() || !settings.allowBuckets.empty();
    remote.allowedHosts = settings.allowHosts;
    remote.allowedBuckets = settings.allowBuckets;
    if (remote.limited && !zudorhost::prepareRemoteOptions(remote, why))
        return fail(why);

    Metrics metrics;
    DocumentPool pool(workers, settings.maxDocuments, settings.queue, metrics);
    ListRuns lists(workers, settings.lists, settings.maxDocuments, remote, metrics);
    const auto ready = [&workers] {
        for (const auto &set : workers)
            if (zudorhost::readerWorkersReady(*set))
                return false;
        return true;
    };
    HttpService service(settings, pool, lists, metrics, settings.tokens.empty() ? nullptr : &tokens, zones, remote,
                        ready);
    if (!service.start(why)) {
        pool.stop();
        return fail(why);
    }
    std::printf("zudor-serve: listening on http://%s\n", service.address().c_str());
    std::fflush(stdout);
    logEvent("started", "listening on " + service.address() + ", " + std::to_string(settings.maxDocuments) +
                            " documents at once, " + std::to_string(settings.queue) + " queued" +
                            (settings.tokens.empty() ? ", no token asked for" : ", tokens asked for") +
                            (remote.limited ? ", lists fetched only from --allow-host (" +
                                                  std::to_string(settings.allowHosts.size()) + ") and --allow-bucket (" +
                                                  std::to_string(settings.allowBuckets.size()) + ")"
                                            : ", no list read"));

    for (;;) {
        int signal = 0;
        if (sigwait(&signals, &signal) != 0)
            continue;
        if (signal != SIGHUP)
            break;
        if (settings.tokens.empty())
            logEvent("reload", "SIGHUP: no token file to read again (--tokens)");
        else if (tokens.load(settings.tokens, why))
            logEvent("reload", "read " + std::to_string(tokens.count()) + " tokens again");
        else
            logEvent("reload", why + "; the tokens read before stay in force");
    }
    service.stopAccepting();
    logEvent("stopping", "no new connections or requests; waiting for those under way");
    service.stop();
    lists.stop();
    pool.stop();
    logEvent("stopped", "every request under way was answered");
    return 0;
}

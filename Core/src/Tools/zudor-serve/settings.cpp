#include "settings.h"

#include <algorithm>
#include <cstdio>

#include <CLI/CLI.hpp>

#include "zudor_host/platform.h"
#include "zudor_host/remote.h"
#include "zudor_host/runner.h"

namespace zudorserve {
namespace {

const char *kManual = R"(
DESCRIPTION
  zudor-serve answers HTTP requests for the records sievecheck writes. Each
  document is read in a reader process of its own, sandboxed, within
  --document-timeout and --document-memory: a document that crashes, hangs or
  bloats its reader costs its own request only, whose record says why.

ENDPOINTS
  POST /v1/record   the body is the document; the answer is its JSON record,
                    byte for byte the line 'sievecheck --format json' writes for
                    the same bytes and options, with status 200 whatever the
                    record's summary (also in the X-Zudor-Summary header).
                    Query parameters: xmp=parsed|raw|toolkit (as --xmp),
                    time_zone=ZONE (one of --time-zone's), name=NAME (the
                    record's file; default '-').
  POST /v1/records  the body is a list, one http(s) URL, S3 object or S3
                    prefix a line, of hosts and buckets given with
                    --allow-host and --allow-bucket (else 403; without them,
                    every list is refused); the answer is JSON Lines, the
                    records 'sievecheck --format json --isolate' writes for
                    the same inputs, in the same order, sent as they are
                    read. Redirects are not followed. Query parameters: xmp,
                    time_zone. A stream that ends without its final chunk
                    was cut short.
  GET /v1/health    200 while the service runs.
  GET /v1/ready     200 while it takes documents; 503 while it stops.
  GET /metrics      Prometheus text: requests by status, documents by summary,
                    the record latency, readers replaced by cause, requests
                    refused by cause, bytes in.

  With --tokens FILE, /v1/record, /v1/records and /metrics need 'Authorization: Bearer
  TOKEN' with a token of FILE (one a line, '#' lines passed over), read at
  start and again on SIGHUP; else 401.

LIMITS
  A body longer than --max-body is refused with 413 before it is read; headers
  longer than --max-header with 431. Beyond --max-documents being read and
  --queue waiting, a document is refused at once with 503 and Retry-After. A
  connection silent for --connection-timeout seconds, or a request whose body
  takes longer than --receive-timeout, is closed; at most --connections are
  held at once, idle ones costing no thread.

OPERATION
  The bound address is written to the standard output as 'listening on
  http://ADDRESS' (with --listen 127.0.0.1:0, a free port). Logs go to the
  standard error, one JSON object a line, one per request: method, path (never
  the query), status, bytes, milliseconds and the record's summary. SIGTERM or
  SIGINT stops taking requests, lets those under way finish and exits with
  status 0; SIGHUP reads --tokens again. TLS belongs to a reverse proxy in
  front (see the README).

EXAMPLES
  zudor-serve --listen 127.0.0.1:8750 --max-documents 4
  curl --data-binary @scan.tif 'http://127.0.0.1:8750/v1/record?name=scan.tif'
  zudor-serve --allow-host images.example.org --allow-bucket scans
  printf 's3://scans/2026/\n' | curl --data-binary @- http://127.0.0.1:8750/v1/records
)";

template <typename T> CLI::Validator within(T low, T high)
{
    char range[64];
    std::snprintf(range, sizeof range, "%.10g to %.10g", double(low), double(high));
    const std::string shown = range;
    return CLI::Validator(
        [=](std::string &text) -> std::string {
            T value{};
            // Written so that NaN fails: every comparison with it is false.
            if (!CLI::detail::lexical_cast(text, value) || !(value >= low && value <= high))
                return "takes " + shown + ", not " + text;
            return std::string();
        },
        shown);
}

} // namespace

Parsed parseSettings(int argc, char **argv, ServeSettings &s)
{
    CLI::App app{"zudor-serve - an HTTP service that reads TIFF metadata through the ZUDOR reader", "zudor-serve"};
    app.footer(kManual);
    app.set_version_flag("--version", "zudor-serve " ZUDOR_VERSION);
    app.get_formatter()->column_width(30);
    app.set_config("--config", "", "Read settings from FILE: lines of NAME=VALUE, NAME a long flag's name");
    app.allow_config_extras(false); // a misspelt setting is an error, not a silent default
    s.maxDocuments = std::min(zudorhost::defaultJobs(), 64u);

    app.add_option("--listen", s.listen, "ADDRESS:PORT to listen on, a numeric address (default 127.0.0.1:8750)");
    app.add_option("--tokens", s.tokens, "Ask for a bearer token of FILE, one a line (read again on SIGHUP)");
    app.add_option("--max-body", s.maxBody, "Largest document, in bytes or with a unit: 64MiB (default)")
        ->transform(CLI::AsSizeValue(false));
    app.add_option("--max-header", s.maxHeader, "Largest request line and headers together (default 16KiB)")
        ->transform(CLI::AsSizeValue(false));
    app.add_option("--max-documents", s.maxDocuments, "Documents read at once, 1 to 256 (default: the cores)")
        ->check(within(1u, 256u));
    app.add_option("--queue", s.queue, "Documents waiting beyond those, 0 to 65536 (default 64)")
        ->check(within(0u, 65536u));
    app.add_option("--document-timeout", s.documentTimeout, "Seconds a reader may spend on one document (default 60)")
        ->check(within(0.1, 86400.0));
    app.add_option("--document-memory", s.documentMemory, "MiB a reader may hold, 0 for no cap (default 1024)")
        ->check(within(0u, 1048576u));
    app.add_option("--connections", s.connections, "Connections held at once, 1 to 100000 (default 1024)")
        ->check(within(1u, 100000u));
    app.add_option("--connection-timeout", s.connectionTimeout,
                   "Seconds a connection may stay silent, 1 to 3600 (default 30)")
        ->check(within(1u, 3600u));
    app.add_option("--receive-timeout", s.receiveTimeout,
                   "Seconds from a request's headers to its body's last byte (default 120)")
        ->check(within(0.1, 86400.0));
    app.add_option("--http-threads", s.httpThreads, "Threads serving the connections, 1 to 64 (default 2)")
        ->check(within(1u, 64u));
    app.add_option("--time-zone", s.timeZones,
                   "A zone requests may read DateTimes in (repeatable; the first is the default; default: the system's)");
    app.add_option("--module", s.module, "The reader module to load");
    app.add_option("--allow-host", s.allowHosts,
                   "A host lists may fetch from: HOST (its scheme's default port) or HOST:PORT (repeatable)");
    app.add_option("--allow-bucket", s.allowBuckets, "An S3 bucket lists may fetch from (repeatable)");
    app.add_option("--max-list", s.maxList, "Largest list, in bytes or with a unit (default 1MiB)")
        ->transform(CLI::AsSizeValue(false));
    app.add_option("--lists", s.lists, "Lists read at once, 1 to 64 (default 2); each reads --max-documents at once")
        ->check(within(1u, 64u));

    try {
        std::vector<std::string> arguments = zudorhost::commandLineArguments(argc, argv);
        std::reverse(arguments.begin(), arguments.end());
        app.parse(arguments);
    } catch (const CLI::Success &e) {
        app.exit(e);
        return Parsed::Exit;
    } catch (const CLI::ConfigError &e) {
        std::fprintf(stderr, "zudor-serve: --config: %s; each line is NAME=VALUE, NAME a long flag's name such as "
                             "max-documents (see --help)\n", e.what());
        return Parsed::Usage;
    } catch (const CLI::ParseError &e) {
        app.exit(e);
        return Parsed::Usage;
    }
    if (s.maxBody == 0) {
        std::fprintf(stderr, "zudor-serve: --max-body must allow at least one byte\n");
        return Parsed::Usage;
    }
    // An entry no URL could ever match would refuse every list without saying why at start.
    for (const std::string &host : s.allowHosts) {
        zudorhost::RemoteOptions only;
        only.limited = true;
        only.allowedHosts = {host};
        std::string why;
        if (!zudorhost::remoteInputAllowed("http://" + host + "/", only, why)) {
            std::fprintf(stderr, "zudor-serve: --allow-host takes HOST or HOST:PORT (images.example.org, "
                                 "127.0.0.1:9000, [::1]:9000), not '%s'\n", host.c_str());
            return Parsed::Usage;
        }
    }
    for (const std::string &bucket : s.allowBuckets)
        if (bucket.empty() || bucket.find_first_of("/?#@: ") != std::string::npos) {
            std::fprintf(stderr, "zudor-serve: --allow-bucket takes a bucket's name alone (scans), not '%s'\n",
                         bucket.c_str());
            return Parsed::Usage;
        }
    if (s.maxList == 0) {
        std::fprintf(stderr, "zudor-serve: --max-list must allow at least one byte\n");
        return Parsed::Usage;
    }
    if (s.maxHeader < 1024) {
        std::fprintf(stderr, "zudor-serve: --max-header must allow at least 1KiB, or no request would fit\n");
        return Parsed::Usage;
    }
    return Parsed::Run;
}

} // namespace zudorserve

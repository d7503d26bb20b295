#include "http_service.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <microhttpd.h>
#include <netinet/in.h>
#include <unistd.h>

#include "request_log.h"

namespace zudorserve {

using Clock = std::chrono::steady_clock;

struct Request {
    enum class State { Receiving, Reading, Answered };
    Clock::time_point start = Clock::now();
    std::string method, path;
    State state = State::Answered;
    std::string body;
    uint64_t received = 0; // the whole body's bytes, once it is here
    uint64_t charged = 0;  // counted against the bodies' budget until the request ends
    DocumentJob job;
    bool list = false;                 // POST /v1/records: the body is a list of remote inputs
    std::shared_ptr<ListRun> listRun;  // its run, once under way
    bool busy = false; // the pool turned the document away after its body arrived
    int status = 0;
    uint64_t bytesOut = 0;
    const char *summary = nullptr;
    const char *refused = nullptr;
    const char *ended = nullptr;
};

namespace {

const char *kRecordPath = "/v1/record";
const char *kListPath = "/v1/records";
const char *kEndpoints =
    "the endpoints are POST /v1/record, POST /v1/records, GET /v1/health, GET /v1/ready and GET /metrics";

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string errorBody(const std::string &why)
{
    std::string body = "{\"error\":";
    appendJsonString(body, why);
    return body + "}\n";
}

// A query parameter as given, its value possibly absent ("?flag").
struct Argument {
    std::string key, value;
    bool hasValue;
};

MHD_Result collect(void *into, MHD_ValueKind, const char *key, size_t keySize, const char *value, size_t valueSize)
{
    static_cast<std::vector<Argument> *>(into)->push_back(
        {std::string(key, keySize), value != nullptr ? std::string(value, valueSize) : std::string(), value != nullptr});
    return MHD_YES;
}

// The address to bind: a numeric IPv4 address, or an IPv6 one in brackets, then a port.
bool parseListen(const std::string &listen, sockaddr_storage &address, bool &ipv6, std::string &why)
{
    why = "--listen takes ADDRESS:PORT with a numeric address (127.0.0.1:8750, [::1]:8750), not " + listen;
    const size_t colon = listen.rfind(':');
    if (colon == std::string::npos || colon + 1 == listen.size())
        return false;
    std::string host = listen.substr(0, colon);
    const std::string port = listen.substr(colon + 1);
    if (port.find_first_not_of("0123456789") != std::string::npos || port.size() > 5 || std::stoul(port) > 65535)
        return false;
    ipv6 = host.size() >= 2 && host.front() == '[' && host.back() == ']';
    std::memset(&address, 0, sizeof address);
    if (ipv6) {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&address);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(uint16_t(std::stoul(port)));
        return inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &in6->sin6_addr) == 1;
    }
    auto *in4 = reinterpret_cast<sockaddr_in *>(&address);
    in4->sin_family = AF_INET;
    in4->sin_port = htons(uint16_t(std::stoul(port)));
    return inet_pton(AF_INET, host.c_str(), &in4->sin_addr) == 1;
}

MHD_Result handleRequest(void *cls, MHD_Connection *connection, const char *url, const char *method, const char *,
                         const char *upload, size_t *uploadSize, void **context)
{
    return MHD_Result(static_cast<HttpService *>(cls)->handle(connection, url, method, upload, uploadSize, context));
}

void requestCompleted(void *cls, MHD_Connection *connection, void **context, MHD_RequestTerminationCode code)
{
    static_cast<HttpService *>(cls)->completed(connection, context, int(code));
}

// The library's own messages, as their templates only: the values it would put in may come
// from a client's bytes.
void libraryMessage(void *, const char *format, va_list)
{
    std::string message = format;
    while (!message.empty() && message.back() == '\n')
        message.pop_back();
    logEvent("http", message);
}

int respond(Request &r, MHD_Connection *connection, int status, const std::string &body, const char *type,
            const std::vector<std::pair<const char *, std::string>> &headers = {})
{
    MHD_Response *response =
        MHD_create_response_from_buffer(body.size(), const_cast<char *>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr)
        return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    for (const auto &[name, value] : headers)
        MHD_add_response_header(response, name, value.c_str());
    const MHD_Result queued = MHD_queue_response(connection, unsigned(status), response);
    MHD_destroy_response(response);
    r.status = status;
    r.bytesOut = body.size();
    r.state = Request::State::Answered;
    return queued;
}

// A list's answer: its records as the run makes them, the connection suspended while none is
// ready (the run resumes it).
ssize_t readList(void *cls, uint64_t, char *into, size_t max)
{
    bool more = false, failed = false;
    const size_t size = (*static_cast<std::shared_ptr<ListRun> *>(cls))->take(into, max, more, failed);
    if (size != 0 || more)
        return ssize_t(size);
    return failed ? MHD_CONTENT_READER_END_WITH_ERROR : MHD_CONTENT_READER_END_OF_STREAM;
}

// The answer is done with, sent or not: a run still going stops.
void freeList(void *cls)
{
    auto *run = static_cast<std::shared_ptr<ListRun> *>(cls);
    (*run)->cancel();
    delete run;
}

} // namespace

HttpService::HttpService(const ServeSettings &settings, DocumentPool &pool, ListRuns &lists, Metrics &metrics,
                         const TokenSet *tokens, std::vector<std::string> zones, zudorhost::RemoteOptions remote,
                         std::function<bool()> readersReady)
    : settings_(settings), pool_(pool), lists_(lists), metrics_(metrics), tokens_(tokens), zones_(std::move(zones)),
      remote_(std::move(remote)), readersReady_(std::move(readersReady)),
      bodyBudget_(settings.maxBody * (uint64_t(settings.maxDocuments) + settings.queue))
{
}

HttpService::~HttpService()
{
    if (daemon_ != nullptr)
        MHD_stop_daemon(daemon_);
}

bool HttpService::start(std::string &why)
{
    sockaddr_storage address;
    bool ipv6 = false;
    if (!parseListen(settings_.listen, address, ipv6, why))
        return false;
    unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
    if (ipv6)
        flags |= MHD_USE_IPv6;
    daemon_ = MHD_start_daemon(
        flags, 0, nullptr, nullptr, &handleRequest, this,
        MHD_OPTION_EXTERNAL_LOGGER, &libraryMessage, this, // first, or the library's own logger writes some
        MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr *>(&address),
        MHD_OPTION_THREAD_POOL_SIZE, settings_.httpThreads,
        MHD_OPTION_CONNECTION_LIMIT, settings_.connections,
        MHD_OPTION_CONNECTION_TIMEOUT, settings_.connectionTimeout,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, size_t(settings_.maxHeader),
        MHD_OPTION_NOTIFY_COMPLETED, &requestCompleted, this,
        MHD_OPTION_LISTENING_ADDRESS_REUSE, 1u,
        MHD_OPTION_STRICT_FOR_CLIENT, 1, // a request without Host, or with bare CR or LF, is refused
        MHD_OPTION_END);
    if (daemon_ == nullptr) {
        why = "cannot listen on " + settings_.listen +
              ": the address is in use, not this machine's, or the port needs privileges (see the log above)";
        return false;
    }
    const MHD_DaemonInfo *info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
    const std::string host = settings_.listen.substr(0, settings_.listen.rfind(':'));
    address_ = host + ":" + std::to_string(info != nullptr ? info->port : 0);
    return true;
}

void HttpService::stopAccepting()
{
    if (daemon_ == nullptr || stopping_.exchange(true))
        return;
    const MHD_socket listener = MHD_quiesce_daemon(daemon_);
    if (listener != MHD_INVALID_SOCKET)
        ::close(listener);
}

void HttpService::stop()
{
    if (daemon_ == nullptr)
        return;
    stopAccepting();
    {
        std::unique_lock<std::mutex> hold(idleLock_);
        idle_.wait(hold, [this] { return inFlight_ == 0; });
    }
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
}

bool HttpService::authorized(MHD_Connection *connection) const
{
    if (tokens_ == nullptr)
        return true;
    size_t length = 0;
    const char *token =
        bearerToken(MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION), length);
    return token != nullptr && tokens_->accepts(token, length);
}

bool HttpService::charge(Request &r, uint64_t bytes)
{
    if (buffered_.fetch_add(bytes) + bytes > bodyBudget_) {
        buffered_ -= bytes;
        return false;
    }
    r.charged += bytes;
    return true;
}

int HttpService::refuse(Request &r, MHD_Connection *connection, Refusal refusal, int status, const std::string &why)
{
    metrics_.refused(refusal);
    r.refused = refusalName(refusal);
    std::vector<std::pair<const char *, std::string>> headers;
    if (status == MHD_HTTP_SERVICE_UNAVAILABLE)
        headers.emplace_back(MHD_HTTP_HEADER_RETRY_AFTER, "1");
    if (status == MHD_HTTP_UNAUTHORIZED)
        headers.emplace_back(MHD_HTTP_HEADER_WWW_AUTHENTICATE, "Bearer");
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED)
        headers.emplace_back(MHD_HTTP_HEADER_ALLOW, r.path == kRecordPath || r.path == kListPath ? "POST" : "GET, HEAD");
    if (stopping_)
        headers.emplace_back(MHD_HTTP_HEADER_CONNECTION, "close");
    return respond(r, connection, status, errorBody(why), "application/json", headers);
}

int HttpService::handle(MHD_Connection *connection, const char *url, const char *method, const char *upload,
                        size_t *uploadSize, void **context)
{
    auto *r = static_cast<Request *>(*context);
    if (r == nullptr) {
        r = new Request;
        r->method = method;
        r->path = url;
        *context = r;
        {
            std::lock_guard<std::mutex> hold(idleLock_);
            ++inFlight_;
        }
        metrics_.requestsInFlight++;
        return begin(*r, connection);
    }
    switch (r->state) {
    case Request::State::Receiving:
        return receive(*r, connection, upload, uploadSize);
    case Request::State::Reading:
        return answerRecord(*r, connection);
    case Request::State::Answered:
        break;
    }
    // Answered before its body: the library does not pass the body on, and closes the
    // connection after the answer.
    *uploadSize = 0;
    return MHD_YES;
}

int HttpService::begin(Request &r, MHD_Connection *connection)
{
    if (stopping_)
        return refuse(r, connection, Refusal::Stopping, MHD_HTTP_SERVICE_UNAVAILABLE,
                      "the service is stopping; try again when it is back, or another instance");
    const bool open = r.path == "/v1/health" || r.path == "/v1/ready";
    if (!open && !authorized(connection))
        return refuse(r, connection, Refusal::Unauthorized, MHD_HTTP_UNAUTHORIZED,
                      "this service needs 'Authorization: Bearer TOKEN' with one of the tokens it was given");
    if (r.path == kRecordPath || r.path == kListPath) {
        r.list = r.path == kListPath;
        if (r.method != "POST")
            return refuse(r, connection, Refusal::Method, MHD_HTTP_METHOD_NOT_ALLOWED,
                          r.list ? "records are asked for with POST, a list of URLs as the body"
                                 : "a record is asked for with POST, the document as the body");
        return beginRecord(r, connection);
    }
    if (r.path != "/v1/health" && r.path != "/v1/ready" && r.path != "/metrics")
        return refuse(r, connection, Refusal::NotFound, MHD_HTTP_NOT_FOUND, std::string("no such endpoint: ") + kEndpoints);
    if (r.method != "GET" && r.method != "HEAD")
        return refuse(r, connection, Refusal::Method, MHD_HTTP_METHOD_NOT_ALLOWED, r.path + " is read with GET");
    if (r.path == "/metrics")
        return respond(r, connection, MHD_HTTP_OK, metrics_.text(), "text/plain; version=0.0.4; charset=utf-8");
    if (r.path == "/v1/health")
        return respond(r, connection, MHD_HTTP_OK, "{\"status\":\"ok\"}\n", "application/json");
    if (!readersReady_())
        return respond(r, connection, MHD_HTTP_SERVICE_UNAVAILABLE,
                       "{\"status\":\"the reader processes did not start; see the service's log\"}\n",
                       "application/json");
    return respond(r, connection, MHD_HTTP_OK, "{\"status\":\"ready\"}\n", "application/json");
}

bool HttpService::readQuery(MHD_Connection *connection, bool named, DocumentJob &job, std::string &why) const
{
    std::vector<Argument> arguments;
    MHD_get_connection_values_n(connection, MHD_GET_ARGUMENT_KIND, &collect, &arguments);
    job.name = "-";
    bool seen[3] = {false, false, false};
    for (const Argument &a : arguments) {
        const std::string shown = a.key.substr(0, 64);
        const int which = a.key == "xmp" ? 0 : a.key == "time_zone" ? 1 : a.key == "name" && named ? 2 : -1;
        if (which < 0) {
            why = "unknown query parameter '" + shown + "': " +
                  (named ? "/v1/record takes xmp, time_zone and name" : "/v1/records takes xmp and time_zone");
            return false;
        }
        if (seen[which] || !a.hasValue) {
            why = "give " + shown + "=VALUE once";
            return false;
        }
        seen[which] = true;
        if (which == 0) {
            if (a.value == "parsed")
                job.xmp = zudorhost::XmpMode::Parsed;
            else if (a.value == "raw")
                job.xmp = zudorhost::XmpMode::Raw;
            else if (a.value == "toolkit" && zudorhost::xmpToolkitAvailable())
                job.xmp = zudorhost::XmpMode::Toolkit;
            else {
                why = a.value == "toolkit" ? "this build has no XMP toolkit; use xmp=parsed or xmp=raw"
                                           : "xmp takes parsed, raw or toolkit, as sievecheck's --xmp";
                return false;
            }
        } else if (which == 1) {
            size_t zone = 0;
            while (zone < zones_.size() && zones_[zone] != a.value)
                ++zone;
            if (zone == zones_.size()) {
                std::string offered;
                for (const std::string &name : zones_)
                    offered += (offered.empty() ? "" : ", ") + name;
                why = "this service reads DateTimes in " + offered +
                      " only; it takes another zone when started with --time-zone ZONE";
                return false;
            }
            job.zone = zone;
        } else {
            if (a.value.find('\0') != std::string::npos || a.value.empty()) {
                why = "name must be a file name: not empty, with no NUL byte";
                return false;
            }
            job.name = a.value;
        }
    }
    return true;
}

int HttpService::beginRecord(Request &r, MHD_Connection *connection)
{
    std::string why;
    if (!readQuery(connection, !r.list, r.job, why))
        return refuse(r, connection, Refusal::BadRequest, MHD_HTTP_BAD_REQUEST, why);
    const uint64_t most = r.list ? settings_.maxList : settings_.maxBody;
    if (r.list && !remote_.limited)
        return refuse(r, connection, Refusal::Forbidden, MHD_HTTP_FORBIDDEN,
                      "this service fetches nothing: it reads lists when started with --allow-host or --allow-bucket");
    const char *length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    const unsigned long long declared = length != nullptr ? std::strtoull(length, nullptr, 10) : 0;
    if (declared > most)
        return refuse(r, connection, Refusal::BodyTooLarge, MHD_HTTP_CONTENT_TOO_LARGE,
                      std::string(r.list ? "the list" : "the document") + " is " + std::to_string(declared) +
                          " bytes; this service takes at most " + std::to_string(most) +
                          (r.list ? " (--max-list)" : " (--max-body)"));
    if (r.list && lists_.full())
        return refuse(r, connection, Refusal::Busy, MHD_HTTP_SERVICE_UNAVAILABLE,
                      "as many lists as the service reads at once are under way; send the list again after "
                      "Retry-After");
    if (!r.list && pool_.full())
        return refuse(r, connection, Refusal::Busy, MHD_HTTP_SERVICE_UNAVAILABLE,
                      "every reader is busy and the queue is full; send the document again after Retry-After");
    if (!charge(r, declared))
        return refuse(r, connection, Refusal::Busy, MHD_HTTP_SERVICE_UNAVAILABLE,
                      "the service holds as many documents' bytes as it may; send the document again after "
                      "Retry-After");
    r.body.reserve(size_t(declared));
    r.state = Request::State::Receiving;
    return MHD_YES;
}

int HttpService::receive(Request &r, MHD_Connection *connection, const char *upload, size_t *uploadSize)
{
    if (*uploadSize != 0) {
        // Refused by closing the connection: the library answers nothing once a body is under way.
        if (secondsSince(r.start) > settings_.receiveTimeout) {
            metrics_.refused(Refusal::ReceiveTimeout);
            r.refused = refusalName(Refusal::ReceiveTimeout);
            r.ended = "the body took longer than --receive-timeout";
            return MHD_NO;
        }
        if (r.body.size() + *uploadSize > (r.list ? settings_.maxList : settings_.maxBody)) {
            metrics_.refused(Refusal::BodyTooLarge);
            r.refused = refusalName(Refusal::BodyTooLarge);
            r.ended = r.list ? "the body grew past --max-list" : "the body grew past --max-body";
            return MHD_NO;
        }
        // A chunked body said no length: it is counted as it comes.
        const uint64_t held = r.body.size() + *uploadSize;
        if (held > r.charged && !charge(r, held - r.charged)) {
            metrics_.refused(Refusal::Busy);
            r.refused = refusalName(Refusal::Busy);
            r.ended = "the service held as many documents' bytes as it may";
            return MHD_NO;
        }
        r.body.append(upload, *uploadSize);
        *uploadSize = 0;
        return MHD_YES;
    }
    r.received = r.body.size();
    metrics_.bytesIn(r.received);
    if (r.list)
        return answerList(r, connection);
    r.job.body = &r.body;
    r.job.done = [connection](DocumentJob &) { MHD_resume_connection(connection); };
    r.state = Request::State::Reading;
    // Suspended before the pool can finish and resume it.
    MHD_suspend_connection(connection);
    if (!pool_.submit(&r.job)) {
        r.busy = true;
        MHD_resume_connection(connection);
    }
    return MHD_YES;
}

int HttpService::answerRecord(Request &r, MHD_Connection *connection)
{
    // The body is given back before the answer goes out: a client that sends its next document
    // as soon as it has this one's answer finds its bytes free.
    std::string().swap(r.body);
    buffered_ -= r.charged;
    r.charged = 0;
    if (r.busy)
        return refuse(r, connection, Refusal::Busy, MHD_HTTP_SERVICE_UNAVAILABLE,
                      "every reader is busy and the queue is full; send the document again after Retry-After");
    const DocumentJob &job = r.job;
    if (!job.failure.empty())
        return respond(r, connection, MHD_HTTP_INTERNAL_SERVER_ERROR, errorBody(job.failure), "application/json");
    metrics_.document(job.summary, job.error.empty() ? nullptr : job.error.c_str(), secondsSince(r.start));
    r.summary = zudorhost::summaryName(job.summary);
    std::vector<std::pair<const char *, std::string>> headers = {{"X-Zudor-Summary", r.summary}};
    if (stopping_)
        headers.emplace_back(MHD_HTTP_HEADER_CONNECTION, "close");
    return respond(r, connection, MHD_HTTP_OK, job.record, "application/json", headers);
}

int HttpService::answerList(Request &r, MHD_Connection *connection)
{
    std::vector<std::string> inputs;
    std::string why;
    Refusal cause = Refusal::Forbidden;
    size_t line = 0;
    for (size_t at = 0; at < r.body.size() && why.empty();) {
        const size_t end = std::min(r.body.find('\n', at), r.body.size());
        std::string input = r.body.substr(at, end - at);
        at = end + 1;
        ++line;
        if (!input.empty() && input.back() == '\r')
            input.pop_back();
        if (input.empty())
            continue;
        // The line itself is never echoed: it may carry credentials.
        if (!zudorhost::isRemoteInput(input)) {
            cause = Refusal::BadRequest;
            why = "line " + std::to_string(line) +
                  " is not an http://, https:// or s3:// URL; this service reads no local path";
        } else if (!zudorhost::remoteInputAllowed(input, remote_, why)) {
            why = "line " + std::to_string(line) + ": " + why + " (--allow-host, --allow-bucket)";
        } else {
            inputs.push_back(std::move(input));
        }
    }
    std::string().swap(r.body);
    buffered_ -= r.charged;
    r.charged = 0;
    if (!why.empty())
        return refuse(r, connection, cause,
                      cause == Refusal::BadRequest ? MHD_HTTP_BAD_REQUEST : MHD_HTTP_FORBIDDEN, why);
    if (inputs.empty())
        return refuse(r, connection, Refusal::BadRequest, MHD_HTTP_BAD_REQUEST,
                      "the list names nothing: give one URL, S3 object or S3 prefix a line");
    // Once a run has begun its answer is its records as they come, so the stream is set up first.
    auto run = std::make_shared<ListRun>([connection] { MHD_suspend_connection(connection); },
                                         [connection] { MHD_resume_connection(connection); });
    auto *held = new std::shared_ptr<ListRun>(run);
    MHD_Response *response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 64 * 1024, &readList, held, &freeList);
    if (response == nullptr) {
        delete held;
        return MHD_NO;
    }
    if (!lists_.start(run, std::move(inputs), r.job.xmp, r.job.zone)) {
        MHD_destroy_response(response);
        return refuse(r, connection, Refusal::Busy, MHD_HTTP_SERVICE_UNAVAILABLE,
                      "as many lists as the service reads at once are under way; send the list again after "
                      "Retry-After");
    }
    r.listRun = run;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "application/x-ndjson");
    if (stopping_)
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    const MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    r.status = MHD_HTTP_OK;
    r.state = Request::State::Answered;
    return queued;
}

void HttpService::completed(MHD_Connection *, void **context, int termination)
{
    auto *r = static_cast<Request *>(*context);
    if (r == nullptr)
        return;
    *context = nullptr;
    RequestEntry entry;
    entry.method = r->method;
    entry.path = r->path;
    entry.status = r->status;
    entry.bytesIn = r->received != 0 ? r->received : r->body.size();
    entry.bytesOut = r->listRun ? r->listRun->sent() : r->bytesOut;
    entry.ms = secondsSince(r->start) * 1e3;
    entry.summary = r->summary;
    entry.refused = r->refused;
    if (termination != MHD_REQUEST_TERMINATED_COMPLETED_OK) {
        entry.status = 0;
        entry.ended = r->ended != nullptr ? r->ended
                      : termination == MHD_REQUEST_TERMINATED_TIMEOUT_REACHED ? "the connection stayed silent too long"
                      : termination == MHD_REQUEST_TERMINATED_CLIENT_ABORT    ? "the client closed the connection"
                      : termination == MHD_REQUEST_TERMINATED_DAEMON_SHUTDOWN ? "the service stopped"
                                                                              : "the connection failed";
    }
    logRequest(entry);
    metrics_.request(entry.status);
    metrics_.requestsInFlight--;
    buffered_ -= r->charged;
    delete r;
    {
        std::lock_guard<std::mutex> hold(idleLock_);
        --inFlight_;
    }
    idle_.notify_all();
}

} // namespace zudorserve

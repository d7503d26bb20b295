// The service's HTTP side, on libmicrohttpd: its threads poll the connections (epoll) and
// never wait for a reader. A record request's body is gathered, handed to the document pool,
// and its connection suspended until the record is ready, so that a slow document holds one
// pool thread and a slow or idle client only its connection.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "document_pool.h"
#include "list_runs.h"
#include "metrics.h"
#include "settings.h"
#include "tokens.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace zudorserve {

struct Request;

class HttpService {
public:
    // tokens null: none asked for. zones: the names of the zones the pool's workers read in.
    // remote: where lists may fetch from (RemoteOptions::limited, or no list is read).
    HttpService(const ServeSettings &settings, DocumentPool &pool, ListRuns &lists, Metrics &metrics,
                const TokenSet *tokens, std::vector<std::string> zones, zudorhost::RemoteOptions remote,
                std::function<bool()> readersReady);
    ~HttpService();
    HttpService(const HttpService &) = delete;
    HttpService &operator=(const HttpService &) = delete;

    // Binds and starts serving; false with why.
    bool start(std::string &why);
    // The bound address as ADDRESS:PORT (the port chosen when 0 was asked for).
    const std::string &address() const { return address_; }
    // Stops accepting connections and refuses new requests on those held.
    void stopAccepting();
    // Returns once every request under way has been answered, and closes the connections.
    void stop();

    // libmicrohttpd's callbacks.
    int handle(MHD_Connection *connection, const char *url, const char *method, const char *upload,
               size_t *uploadSize, void **context);
    void completed(MHD_Connection *connection, void **context, int termination);

private:
    int begin(Request &r, MHD_Connection *connection);
    int beginRecord(Request &r, MHD_Connection *connection);
    int receive(Request &r, MHD_Connection *connection, const char *upload, size_t *uploadSize);
    int answerRecord(Request &r, MHD_Connection *connection);
    int answerList(Request &r, MHD_Connection *connection);
    // The query's xmp, time_zone and (named) name into job; false with why.
    bool readQuery(MHD_Connection *connection, bool named, DocumentJob &job, std::string &why) const;
    int refuse(Request &r, MHD_Connection *connection, Refusal refusal, int status, const std::string &why);
    bool authorized(MHD_Connection *connection) const;
    // Counts bytes against the bodies' budget; false, counting nothing, where they would pass it.
    bool charge(Request &r, uint64_t bytes);

    const ServeSettings &settings_;
    DocumentPool &pool_;
    ListRuns &lists_;
    Metrics &metrics_;
    const TokenSet *tokens_;
    std::vector<std::string> zones_;
    zudorhost::RemoteOptions remote_;
    std::function<bool()> readersReady_;
    MHD_Daemon *daemon_ = nullptr;
    std::string address_;
    std::atomic<bool> stopping_{false};
    // The bytes of the bodies held now, and their cap: --max-body for every document the pool
    // may hold, so that bodies still arriving add nothing beyond what reading them would.
    std::atomic<uint64_t> buffered_{0};
    uint64_t bodyBudget_;
    std::mutex idleLock_;
    std::condition_variable idle_;
    int64_t inFlight_ = 0; // under idleLock_
};

} // namespace zudorserve

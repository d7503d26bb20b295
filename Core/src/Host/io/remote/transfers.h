// HTTP GETs with many in flight on one thread: a libcurl multi handle that keeps connections
// alive and reuses them (HTTP/2 streams over TLS where the server offers them), at most
// `connections` transfers at once, and retries with jittered exponential backoff that honours
// Retry-After. A transfer's owner learns its final outcome once; what went wrong on the way
// is counted, never logged.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "zudor_host/remote.h"

namespace zudorhost {

struct TransferOptions {
    unsigned connections = 32;     // transfers in flight, and connections kept, at most
    std::string caFile;            // certificates to trust instead of the system's store
    double connectTimeout = 10;    // seconds from an attempt's start to its connection
    double stallTimeout = 10;      // seconds without a byte, once connected, before a transfer is dropped
    unsigned attempts = 5;         // tries per request, the first among them
    double backoffBase = 0.25;     // seconds before the first retry, doubled for each next
    double backoffCap = 8;         // the longest backoff
    double retryAfterCap = 30;     // the longest a server's Retry-After is honoured
    unsigned maxRedirects = 5;
    bool followRedirects = true;   // false: a redirect fails the document (a limited run)
};
TransferOptions transferOptions(const RemoteOptions &options);

struct Transfer {
    // ---- Set by the owner.
    std::string url;                  // may carry secrets; never shown
    std::vector<std::string> headers; // "Name: value" sent with every attempt
    // Called before every attempt to add headers that depend on the time (a signature).
    std::function<void(std::vector<std::string> &headers)> sign;
    bool followRedirects = true;      // never from https to http either way
    // Body bytes kept at most: an answer that goes on past it (a whole object where a range
    // was asked for) is cut there and the transfer dropped, which counts as success.
    uint64_t keepLimit = 64 * 1024;
    void *owner = nullptr;

    // ---- The outcome, when done.
    long status = 0;             // the last response's HTTP status, 0 without one
    int curlCode = 0;            // CURLcode; 0 also for a transfer cut at keepLimit
    bool cut = false;            // dropped at keepLimit
    std::string error;           // why it failed for good, in a user's words; empty on success
    std::vector<char> body;      // kept bytes; for an error status, the first few KiB
    std::string contentRange, etag, lastModified, contentLength, bucketRegion;
    std::string effectiveUrl;    // after redirects
    unsigned attempts = 0;
    uint64_t received = 0;       // body bytes over every attempt, kept or not
    std::chrono::steady_clock::time_point started; // the first attempt's start

    // ---- The engine's.
    std::string retryAfter;
    std::chrono::steady_clock::time_point due;
    // The attempt's start, its connection, or its last byte of headers or body: the wait it
    // is in began there.
    std::chrono::steady_clock::time_point lastActivity;
    bool connected = false; // this attempt has its connection, made or reused
    void *handle = nullptr;
    void *headerList = nullptr;
    char errorText[256] = {};
};

class Transfers {
public:
    Transfers(const TransferOptions &options, RemoteCounters &counters);
    ~Transfers();
    Transfers(const Transfers &) = delete;
    Transfers &operator=(const Transfers &) = delete;

    // Whether another transfer may start now.
    bool hasRoom() const { return running_.size() + waiting_.size() < options_.connections; }
    // Starts a transfer (the owner keeps it alive until it comes back from poll()).
    void start(Transfer *transfer);
    // Moves transfers on for up to timeoutMs (less when one finishes or wake() is called) and
    // appends those finished for good to `finished`.
    void poll(std::vector<Transfer *> &finished, int timeoutMs);
    // Cuts short a poll() from another thread.
    void wake();
    // Drops every transfer not yet finished (none is reported).
    void cancelAll();
    bool idle() const { return running_.empty() && waiting_.empty(); }

private:
    void launch(Transfer *transfer);
    void collect(std::vector<Transfer *> &finished);
    void finish(Transfer *transfer, int code, std::vector<Transfer *> &finished);
    bool retryable(const Transfer &transfer, int code, std::string &why) const;
    double backoff(const Transfer &transfer);
    std::chrono::steady_clock::time_point stallDeadline(const Transfer &transfer) const;
    int msToFirstStall(int timeoutMs) const;
    void endStalled(std::vector<Transfer *> &finished);

    TransferOptions options_;
    RemoteCounters &counters_;
    void *multi_;
    std::vector<void *> spareHandles_;
    std::vector<Transfer *> running_;
    std::vector<Transfer *> waiting_; // retries not yet due
    std::mt19937 random_;
};

} // namespace zudorhost

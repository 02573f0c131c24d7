// Resolution: the endpoint a connect or listen goes to, worked out before the
// socket is opened.
//
// A request names the peer by host name (looked up) or by dotted address
// (taken as it stands: a name there becomes 255.255.255.255), and the port by
// service name (looked up) or by number; a listen takes every local address.
// The address is resolved first, then the port (TResolveStage). A lookup runs
// on a worker (Lookup) and its answer reaches `onAnswer` on the loop, unless
// the request is blocking: then it runs on the caller.
//
// Resolution only fills in the endpoint and says what comes next; the
// connection object that owns it reports errors, opens, listens and tears
// down. A cancelled lookup never answers. All calls on the loop's thread.
#pragma once

#include "net/Lookup.h"
#include "net/SocketTypes.h"

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class EventLoop;

struct ResolveRequest {
    std::string host;
    std::string address;
    std::string service;
    std::uint16_t port = 0;
    int queueLength = 0;    // listen only
    bool isClient = false;
    bool blocking = false;  // lookups run on the caller
};

class Resolution {
public:
    enum class Step {
        Ready,        // the endpoint is complete: open or listen now
        Waiting,      // a lookup runs; its answer goes to `onAnswer`
        NoAddress,    // a client request with neither host nor address
        LookupFailed  // a blocking lookup failed; the code is ErrorCode()
    };
    using AnswerCallback = std::function<void(const LookupResult&)>;

    explicit Resolution(AnswerCallback onAnswer);
    ~Resolution();
    Resolution(const Resolution&) = delete;
    Resolution& operator=(const Resolution&) = delete;

    // Starts over with `request` at rsIdle; a pending lookup is cancelled.
    void Begin(ResolveRequest request);
    // Goes through the stages as far as it can without waiting, filling in
    // `endpoint`. Throws the socket error format when no lookup can be started.
    Step Advance(EventLoop& loop, sockaddr_in& endpoint);
    // Takes a successful answer of the pending lookup into `endpoint`; then
    // Advance goes on.
    void TakeAnswer(const LookupResult& answer, sockaddr_in& endpoint);

    // Cancels a pending lookup; the stage stays where it is.
    void Cancel();
    // Cancels a pending lookup and goes back to rsIdle, with no error.
    void Reset();

    TResolveStage Stage() const { return stage_; }
    const ResolveRequest& Request() const { return request_; }
    int ErrorCode() const { return errorCode_; }

private:
    // A lookup of `name` for the current stage. Blocking: resolves at once
    // and returns true unless it failed. Otherwise starts it and returns false.
    bool LookUp(EventLoop& loop, LookupKind kind, const std::string& name, const char* operation,
                sockaddr_in& endpoint);

    AnswerCallback onAnswer_;
    ResolveRequest request_;
    TResolveStage stage_ = rsIdle;
    int errorCode_ = 0;
    std::shared_ptr<Lookup> lookup_;
};

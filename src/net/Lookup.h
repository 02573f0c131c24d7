// Lookup: one host-name or service lookup, run on a worker thread so that the
// event loop never waits for a name server.
//
// Start() hands the name to a detached worker; its result is posted back to
// the loop and passed to `onDone` there, unless Cancel() came first. The
// worker holds only the shared state, never the object that asked, so a
// lookup that finishes after its owner died touches nothing. Start and Cancel
// must be called on the loop's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

class EventLoop;

enum class LookupKind { Host, Service };

struct LookupResult {
    int errorCode = 0;          // 0, or a getaddrinfo code (negative) or errno value
    std::uint32_t address = 0;  // network byte order; first IPv4 address of a host
    std::uint16_t port = 0;     // network byte order; the service's TCP port
};

class Lookup : public std::enable_shared_from_this<Lookup> {
public:
    using DoneCallback = std::function<void(const LookupResult&)>;
    using Resolver = std::function<LookupResult(LookupKind, const std::string&)>;

    // Throws std::system_error when no worker thread can be started.
    static std::shared_ptr<Lookup> Start(EventLoop& loop, LookupKind kind, std::string name,
                                         DoneCallback onDone);
    // After this, `onDone` never runs. Idempotent.
    void Cancel();

    // Resolves on the calling thread, blocking: what the workers run, and
    // what blocking mode uses directly.
    static LookupResult Resolve(LookupKind kind, const std::string& name);
    // Replaces the resolver the next lookups use (tests slow it down or make
    // it fail); an empty one restores the system's.
    static void SetResolver(Resolver resolver);

    Lookup(EventLoop& loop, DoneCallback onDone);

private:
    void Finish(const LookupResult& result);

    std::mutex mutex_;      // orders a worker's post against Cancel
    bool cancelled_ = false;
    EventLoop& loop_;
    DoneCallback onDone_;
};

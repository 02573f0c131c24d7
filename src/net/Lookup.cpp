#include "net/Lookup.h"

#include "base/EventLoop.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <thread>

namespace {

// Big enough for any services(5) entry with its aliases.
constexpr std::size_t ServiceEntryBufferBytes = 1024;

LookupResult ResolveHost(const std::string& name)
{
    LookupResult result;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int code = ::getaddrinfo(name.c_str(), nullptr, &hints, &found);
    if (code != 0) {
        result.errorCode = code == EAI_SYSTEM ? errno : code;
        return result;
    }
    result.address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    ::freeaddrinfo(found);
    return result;
}

LookupResult ResolveService(const std::string& name)
{
    LookupResult result;
    servent entry{};
    servent* found = nullptr;
    char buffer[ServiceEntryBufferBytes];
    const int code = ::getservbyname_r(name.c_str(), "tcp", &entry, buffer, sizeof buffer, &found);
    if (code != 0 || found == nullptr) {
        result.errorCode = code != 0 ? code : EAI_SERVICE;
        return result;
    }
    result.port = static_cast<std::uint16_t>(found->s_port);
    return result;
}

LookupResult SystemResolve(LookupKind kind, const std::string& name)
{
    return kind == LookupKind::Host ? ResolveHost(name) : ResolveService(name);
}

Lookup::Resolver& CurrentResolver()
{
    static Lookup::Resolver resolver = SystemResolve;
    return resolver;
}

} // namespace

Lookup::Lookup(EventLoop& loop, DoneCallback onDone) : loop_(loop), onDone_(std::move(onDone)) {}

std::shared_ptr<Lookup> Lookup::Start(EventLoop& loop, LookupKind kind, std::string name, DoneCallback onDone)
{
    auto lookup = std::make_shared<Lookup>(loop, std::move(onDone));
    // The worker gets its own copy of the resolver: tests may replace the
    // shared one while it runs.
    std::thread([lookup, kind, name = std::move(name), resolver = CurrentResolver()] {
        lookup->Finish(resolver(kind, name));
    }).detach();
    return lookup;
}

void Lookup::Finish(const LookupResult& result)
{
    // Posting under the lock: once Cancel has returned, no post is in flight
    // that could reach a loop its owner is about to destroy.
    std::lock_guard lock(mutex_);
    if (cancelled_) return;
    loop_.Post([self = shared_from_this(), result] {
        DoneCallback onDone;
        {
            std::lock_guard lock(self->mutex_);
            if (self->cancelled_) return;
            onDone = std::move(self->onDone_);
            self->cancelled_ = true; // a completion is delivered once
        }
        onDone(result);
    });
}

void Lookup::Cancel()
{
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    onDone_ = nullptr;
}

LookupResult Lookup::Resolve(LookupKind kind, const std::string& name)
{
    return CurrentResolver()(kind, name);
}

void Lookup::SetResolver(Resolver resolver)
{
    CurrentResolver() = resolver ? std::move(resolver) : Resolver(SystemResolve);
}

#include "net/Resolution.h"

#include "net/SocketCalls.h"

#include <system_error>

Resolution::Resolution(AnswerCallback onAnswer) : onAnswer_(std::move(onAnswer)) {}

Resolution::~Resolution()
{
    Cancel();
}

void Resolution::Begin(ResolveRequest request)
{
    Reset();
    request_ = std::move(request);
}

Resolution::Step Resolution::Advance(EventLoop& loop, sockaddr_in& endpoint)
{
    for (;;) {
        switch (stage_) {
        case rsIdle:
            if (!request_.isClient) {
                stage_ = rsAddress;
                endpoint.sin_addr.s_addr = INADDR_ANY;
            } else if (!request_.host.empty()) {
                stage_ = rsAddress;
                if (!LookUp(loop, LookupKind::Host, request_.host, "WSAASyncGetHostByName", endpoint))
                    return errorCode_ != 0 ? Step::LookupFailed : Step::Waiting;
            } else if (!request_.address.empty()) {
                stage_ = rsAddress;
                endpoint.sin_addr.s_addr = SocketCalls::ParseDotted(request_.address);
            } else {
                return Step::NoAddress;
            }
            break;
        case rsAddress:
            stage_ = rsService;
            if (request_.service.empty()) {
                endpoint.sin_port = htons(request_.port);
            } else if (!LookUp(loop, LookupKind::Service, request_.service, "WSAASyncGetServByName", endpoint)) {
                return errorCode_ != 0 ? Step::LookupFailed : Step::Waiting;
            }
            break;
        case rsService:
            stage_ = rsIdle;
            return Step::Ready;
        }
    }
}

bool Resolution::LookUp(EventLoop& loop, LookupKind kind, const std::string& name, const char* operation,
                        sockaddr_in& endpoint)
{
    if (request_.blocking) {
        const LookupResult found = Lookup::Resolve(kind, name);
        if (found.errorCode != 0) {
            errorCode_ = found.errorCode;
            stage_ = rsIdle;
            return false;
        }
        TakeAnswer(found, endpoint);
        return true;
    }
    try {
        lookup_ = Lookup::Start(loop, kind, name, [this](const LookupResult& answer) {
            lookup_.reset();
            onAnswer_(answer);
        });
    } catch (const std::system_error& e) {
        throw SocketCalls::ApiError(e.code().value(), operation);
    }
    return false;
}

void Resolution::TakeAnswer(const LookupResult& answer, sockaddr_in& endpoint)
{
    if (stage_ == rsAddress) {
        endpoint.sin_addr.s_addr = answer.address;
    } else if (stage_ == rsService) {
        endpoint.sin_port = answer.port;
    }
}

void Resolution::Cancel()
{
    if (lookup_) lookup_->Cancel();
    lookup_.reset();
}

void Resolution::Reset()
{
    Cancel();
    stage_ = rsIdle;
    errorCode_ = 0;
}

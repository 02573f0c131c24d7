// TServerClientWinSocket: one accepted connection. It joins its server's
// connection list when made, routes its events to the server (which raises
// OnClient...), and leaves the list when destroyed: after its disconnect, on
// a later loop pass (FreeLater), or when the server stops. Owned by its
// TServerWinSocket; loop thread only.
#pragma once

#include "net/CustomWinSocket.h"

class TServerWinSocket;

class TServerClientWinSocket : public TCustomWinSocket {
public:
    // Takes ownership of `handle`; with a server, joins its list at once.
    TServerClientWinSocket(int handle, TServerWinSocket* server);

    TServerWinSocket* ServerWinSocket() const { return server_; }
    // Registers with the loop and reports the connection (OnClientConnect).
    // The accepting server calls it once the object is in its list, with the
    // peer's address as accept gave it.
    void Start(const sockaddr_in& peer);
    // The peer's IPv4 address as accept gave it (network order).
    std::uint32_t AcceptedAddress() const { return acceptedAddress_; }

protected:
    ~TServerClientWinSocket() override = default;
    void Dispose() override;

private:
    TServerWinSocket* server_;
    bool started_ = false;
    std::uint32_t acceptedAddress_ = 0;
};

// TClientWinSocket: the connection object of the client component. It adds
// the client type and marks itself connected when its connect completes.
// Owned by TClientSocket; loop thread only.
#pragma once

#include "net/CustomWinSocket.h"

class TClientWinSocket : public TCustomWinSocket {
public:
    explicit TClientWinSocket(int handle, EventLoop* loop = nullptr);

    TClientType ClientType() const { return clientType_; }
    // Raises "ソケットを使用中は値を変更できません" while connected.
    void SetClientType(TClientType value);

protected:
    ~TClientWinSocket() override = default;
    void ConnectDone(int handle) override;

private:
    TClientType clientType_ = ctNonBlocking;
};

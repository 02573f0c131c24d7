#include "net/ClientSocket.h"

TClientSocket::TClientSocket(TObject* owner, EventLoop* loop)
    : TCustomSocket(owner), connection_(new TClientWinSocket(InvalidSocket, loop))
{
    AttachConnection(*connection_);
}

TClientSocket::~TClientSocket()
{
    // The connection detaches its callbacks first: OnDisconnect does not run
    // and Active keeps its value.
    connection_->Destroy();
}

void TClientSocket::ApplyActive(bool value)
{
    if (value == connection_->IsConnected()) return;
    if (connection_->IsConnected()) {
        connection_->Teardown(connection_->Sock());
    } else {
        connection_->StartConnect(Host(), Address(), Service(), static_cast<std::uint16_t>(Port()),
                                  connection_->ClientType() == ctBlocking);
    }
}

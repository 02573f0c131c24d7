#include "net/ServerSocket.h"

TServerSocket::TServerSocket(TObject* owner, EventLoop* loop)
    : TCustomSocket(owner),
      listener_(new TServerWinSocket(InvalidSocket, loop)),
      OnGetSocket(listener_->OnGetSocket),
      OnClientConnect(listener_->OnClientConnect),
      OnClientDisconnect(listener_->OnClientDisconnect),
      OnClientRead(listener_->OnClientRead),
      OnClientWrite(listener_->OnClientWrite),
      OnClientError(listener_->OnClientError)
{
    AttachConnection(*listener_);
}

TServerSocket::~TServerSocket()
{
    // Connections and listener detach their callbacks first: no event runs.
    listener_->Destroy();
}

void TServerSocket::ApplyActive(bool value)
{
    if (value == listener_->IsConnected()) return;
    if (listener_->IsConnected()) {
        listener_->Teardown(listener_->Sock());
    } else {
        listener_->StartListen(Host(), Address(), Service(), static_cast<std::uint16_t>(Port()),
                               MaxListenQueueLength);
    }
}

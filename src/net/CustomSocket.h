// TCustomSocket: the handler slots the components publish and the mapping of
// connection events onto them (and onto Active). Each component makes public
// only the slots it publishes. Loop thread only.
#pragma once

#include "net/AbstractSocket.h"

class TCustomSocket : public TAbstractSocket {
protected:
    explicit TCustomSocket(TObject* owner) : TAbstractSocket(owner) {}

    // Active changes before the handler runs; an empty slot calls nothing.
    void HandleEvent(TCustomWinSocket* socket, TSocketEventKind kind) override;
    // Without OnError the code stays, so the connection object raises.
    void HandleError(TCustomWinSocket* socket, TErrorEvent kind, int& code) override;

    TSocketNotifyEvent OnLookup;
    TSocketNotifyEvent OnConnect;
    TSocketNotifyEvent OnConnecting;
    TSocketNotifyEvent OnDisconnect;
    TSocketNotifyEvent OnListen;
    TSocketNotifyEvent OnAccept;
    TSocketNotifyEvent OnRead;
    TSocketNotifyEvent OnWrite;
    TSocketErrorEvent OnError;
};

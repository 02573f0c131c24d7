#include "net/CustomSocket.h"

void TCustomSocket::HandleEvent(TCustomWinSocket* socket, TSocketEventKind kind)
{
    TSocketNotifyEvent handler;
    switch (kind) {
    case skLookup: handler = OnLookup; break;
    case skConnecting: handler = OnConnecting; break;
    case skConnect:
        SetActiveFlag(true);
        handler = OnConnect;
        break;
    case skDisconnect:
        SetActiveFlag(false);
        handler = OnDisconnect;
        break;
    case skListen:
        SetActiveFlag(true);
        handler = OnListen;
        break;
    case skAccept: handler = OnAccept; break;
    case skWrite: handler = OnWrite; break;
    case skRead: handler = OnRead; break;
    }
    // Last: the handler may end this component, and nothing here runs after.
    if (handler) handler(this, socket);
}

void TCustomSocket::HandleError(TCustomWinSocket* socket, TErrorEvent kind, int& code)
{
    if (TSocketErrorEvent handler = OnError) handler(this, socket, kind, code);
}

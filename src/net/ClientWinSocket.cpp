#include "net/ClientWinSocket.h"

#include "base/SysUtils.h"

TClientWinSocket::TClientWinSocket(int handle, EventLoop* loop) : TCustomWinSocket(handle, loop) {}

void TClientWinSocket::SetClientType(TClientType value)
{
    if (value == clientType_) return;
    if (IsConnected()) throw ESocketError("ソケットを使用中は値を変更できません");
    clientType_ = value;
    SetNotifyStyles(value == ctBlocking ? TNotifyStyles{0} : ClientNotifyStyles);
}

void TClientWinSocket::ConnectDone(int)
{
    // The target only reports the connect of the current socket: a replaced
    // attempt's socket is closed and unwatched before the new one exists.
    MarkConnected();
    if (BeginLink(false)) return;
    FireEvent(this, skConnect);
}

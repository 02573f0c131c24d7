#include "net/AbstractSocket.h"

#include "base/SysUtils.h"
#include "net/CustomWinSocket.h"

namespace {

// Only the ASCII letters fold: the texts are 8-bit and may carry other bytes.
bool SameTextAscii(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto fold = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
        if (fold(a[i]) != fold(b[i])) return false;
    }
    return true;
}

} // namespace

void TAbstractSocket::SetActive(bool value)
{
    if (value == active_) return;
    if (loading_) {
        active_ = value;
        return;
    }
    ApplyActive(value);
}

void TAbstractSocket::AfterLoad()
{
    loading_ = false;
    ApplyActive(active_);
}

void TAbstractSocket::CheckInactive() const
{
    if (active_ && !loading_) throw ESocketError("ソケットを使用中は値を変更できません");
}

void TAbstractSocket::SetPort(int value)
{
    if (value == port_) return;
    CheckInactive();
    port_ = value;
}

void TAbstractSocket::SetText(std::string& field, const std::string& value)
{
    if (SameTextAscii(field, value)) return;
    CheckInactive();
    field = value;
}

void TAbstractSocket::SetAddress(const std::string& value) { SetText(address_, value); }
void TAbstractSocket::SetHost(const std::string& value) { SetText(host_, value); }
void TAbstractSocket::SetService(const std::string& value) { SetText(service_, value); }

void TAbstractSocket::AttachConnection(TCustomWinSocket& socket)
{
    socket.EventSink = [this](TCustomWinSocket* sender, TCustomWinSocket* target, TSocketEventKind kind) {
        RelayEvent(sender, target, kind);
    };
    socket.ErrorSink = [this](TCustomWinSocket* sender, TCustomWinSocket* target, TErrorEvent kind, int& code) {
        RelayError(sender, target, kind, code);
    };
}

void TAbstractSocket::RelayEvent(TCustomWinSocket*, TCustomWinSocket* socket, TSocketEventKind kind)
{
    HandleEvent(socket, kind);
}

void TAbstractSocket::RelayError(TCustomWinSocket*, TCustomWinSocket* socket, TErrorEvent kind, int& code)
{
    HandleError(socket, kind, code);
}

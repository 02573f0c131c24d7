// TForm1's clipboard watcher and sender (Timer1's tick) and the receiver
// (the read events of both socket components).
#include "Unit1.h"

#include "Label.h"
#include "SysUtils.h"
#include "WireFormat.h"

#include <chrono>
#include <optional>
#include <string_view>
#include <utility>

namespace {

std::int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

void TForm1::Timer1Timer()
{
    label3_->SetCaption(Mode == 2 ? "Client Mode" : Mode == 1 ? "Server Mode" : "");
    // A connection that has ended stays counted until the loop frees it. A
    // second peer never gets this far: the server closes it at accept.
    SetPanelText(PeerCountPanel, IntToStr(serverSocket1_.Listener()->ConnectionCount()));

    // A start of transfer that waited for more bytes in vain is settled now.
    ShowTransferEvents(receiver_.Poll(NowMs()));

    const bool offered = (Mode == 1 && serverSocket1_.Listener()->ConnectionCount() > 0) || Mode == 2;
    if (const std::optional<std::string_view> text = watcher_.Tick(LastText, receiver_, offered)) SendToPeers(*text);
}

// `text` is LastText itself: sent from there, a large text is not copied
// again on its way to the sockets.
void TForm1::SendToPeers(std::string_view text)
{
    // One text read once: its length and its bytes always travel together.
    const TransferPieces pieces = MakeTransferPieces(text);
    if (Mode == 1) {
        TServerWinSocket* listener = serverSocket1_.Listener();
        for (int i = 0; i < listener->ConnectionCount(); ++i) {
            TServerClientWinSocket* connection = listener->Connection(i);
            connection->SendString(pieces.length);
            connection->SendString(pieces.text);
            ShowSendActivity();
        }
    } else if (Mode == 2) {
        TClientWinSocket* connection = clientSocket1_.ClientConnection();
        connection->SendString(pieces.length);
        connection->SendString(pieces.text);
        ShowSendActivity();
    }
}

void TForm1::ServerSocket1ClientRead(TObject*, TCustomWinSocket* Socket)
{
    ReceiveFrom(Socket);
}

void TForm1::ClientSocket1Read(TObject*, TCustomWinSocket* Socket)
{
    ReceiveFrom(Socket);
}

void TForm1::ReceiveFrom(TCustomWinSocket* socket)
{
    ShowReceiveActivity();
    const std::string bytes = socket->ReadAllText();
    // One transfer at a time: only the connection that began it feeds it.
    if (receiver_.InTransfer() && socket != receiverSource_) return;
    receiverSource_ = socket;
    ShowTransferEvents(receiver_.Feed(bytes, NowMs()));
}

void TForm1::DropTransferFrom(const TCustomWinSocket* socket)
{
    if (socket == nullptr || socket != receiverSource_) return;
    receiver_.Reset();
    receiverSource_ = nullptr;
}

void TForm1::ShowTransferEvents(TransferEvents events)
{
    for (TransferEvent& event : events) {
        switch (event.kind) {
        case TransferEvent::Kind::Progress:
            label4_->SetCaption(ProgressText(event.received, event.expected));
            break;
        case TransferEvent::Kind::Failed:
            label4_->SetCaption(std::string(TransferErrorText));
            break;
        case TransferEvent::Kind::Completed:
            watcher_.PlaceReceived(std::move(event.text), LastText);
            break;
        }
    }
}

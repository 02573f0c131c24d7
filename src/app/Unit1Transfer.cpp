// TForm1's clipboard watcher and sender (Timer1's tick) and the receiver
// (the read events of both socket components).
#include "app/Unit1.h"

#include "app/Label.h"
#include "app/TransferTexts.h"
#include "base/SysUtils.h"

#include <algorithm>
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

// The clipboard is read at most once in this time, whoever asks, counted
// from the end of the last read: where a read runs on the loop's thread
// (through Qt), an owner that never answers holds the loop at each read, and
// never more often than the watcher's tick would.
constexpr std::int64_t LookSpacingMs = 450;

} // namespace

void TForm1::Timer1Timer()
{
    label3_->SetCaption(Mode == 2 ? "Client Mode" : Mode == 1 ? "Server Mode" : "");
    // A connection that has ended stays counted until the loop frees it. A
    // second peer never gets this far: the server closes it at accept.
    SetPanelText(PeerCountPanel, IntToStr(serverSocket1_.Listener()->ConnectionCount()));

    // A start of transfer that waited for more bytes in vain is settled now.
    ShowTransferEvents(receiver_.Poll(NowMs()));

    // The tick also finds what a change report missed, and a start the
    // sender could not make at its own moment.
    sender_.Pump();
    if (sender_.Waiting() || NowMs() < lastReadEndMs_ + LookSpacingMs) return;
    WatchClipboard();
}

// A change reported by the clipboard: one look, as soon as the reading
// spacing and the peers' pace allow, so that a burst of changes sends the
// text the clipboard holds when the next transfer may start.
void TForm1::ClipboardChanged()
{
    const std::int64_t now = NowMs();
    std::int64_t due = std::max({now, sender_.NextStartMs(), lastReadEndMs_ + LookSpacingMs});
    if (sender_.Waiting()) due = std::max(due, now + LengthWaitMs);
    if (lookTimer_.Enabled() && lookDueMs_ <= due) return;
    lookDueMs_ = due;
    lookTimer_.SetEnabled(false);
    lookTimer_.SetInterval(static_cast<int>(std::max<std::int64_t>(due - now, 1)));
    lookTimer_.SetEnabled(true);
}

void TForm1::LookTimerTick()
{
    lookTimer_.SetEnabled(false);
    if (sender_.Waiting() || NowMs() < lastReadEndMs_ + LookSpacingMs) {
        ClipboardChanged();
        return;
    }
    WatchClipboard();
}

void TForm1::WatchClipboard()
{
    const bool offered = (Mode == 1 && serverSocket1_.Listener()->ConnectionCount() > 0) || Mode == 2;
    const std::uint64_t reads = watcher_.Reads();
    std::optional<std::string_view> text;
    try {
        text = watcher_.Tick(receiver_, offered);
    } catch (...) {
        if (watcher_.Reads() != reads) NoteRead();
        throw;
    }
    if (watcher_.Reads() != reads) NoteRead();
    if (text) OfferToPeers();
}

void TForm1::NoteRead()
{
    lastReadEndMs_ = NowMs();
}

// The new text is LastText itself; the sender reads it from there when each
// peer's transfer starts, so a large text is not copied on its way to the
// sockets, and a text not yet started is replaced by a newer one.
void TForm1::OfferToPeers()
{
    if (Mode == 1) {
        TServerWinSocket* listener = serverSocket1_.Listener();
        for (int i = 0; i < listener->ConnectionCount(); ++i) {
            TServerClientWinSocket* connection = listener->Connection(i);
            sender_.Offer(connection, LinkTo(connection));
        }
    } else if (Mode == 2) {
        TClientWinSocket* connection = clientSocket1_.ClientConnection();
        sender_.Offer(connection, LinkTo(connection));
    }
}

TransferSender::Link TForm1::LinkTo(TCustomWinSocket* connection)
{
    TransferSender::Link link;
    link.life = connection->Life();
    link.send = [this, connection](std::string_view bytes) {
        connection->SendString(bytes);
        ShowSendActivity();
    };
    link.busy = [connection] { return connection->QueuedBytes() > 0; };
    return link;
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
            // The peer's text is newer than any text of ours not yet sent.
            sender_.DropOwed();
            // Its read-back asks this program itself, the clipboard's owner
            // now: it does not count against the reading spacing.
            watcher_.PlaceReceived(std::move(event.text));
            break;
        }
    }
}

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
#include <vector>

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

// A text of ours sent to a peer this long before that peer's own text came
// may have crossed it on the way.
constexpr std::int64_t CrossingWindowMs = 2000;

} // namespace

void TForm1::Timer1Timer()
{
    label3_->SetCaption(Mode == 2 ? "Client Mode" : Mode == 1 ? "Server Mode" : "");
    // A connection that has ended stays counted until the loop frees it. A
    // second peer never gets this far: the server closes it at accept.
    SetPanelText(PeerCountPanel, IntToStr(serverSocket1_.Listener()->ConnectionCount()));

    // A start of transfer that waited for more bytes in vain is settled now.
    ShowTransferEvents(receiver_.Poll(NowMs()), receiverSource_);
    // Taken first: what a text relayed does may end connections.
    std::vector<const TCustomWinSocket*> sources;
    for (const auto& entry : relayReceivers_) sources.push_back(entry.first);
    for (const TCustomWinSocket* source : sources) {
        if (const auto own = relayReceivers_.find(source); own != relayReceivers_.end())
            ShowTransferEvents(own->second.Poll(NowMs()), source);
    }

    // The tick also finds what a change report missed, and a start the
    // sender could not make at its own moment.
    sender_.Pump();
    ResendToServer();
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
    // Nothing is sent while a text comes in, from any peer.
    if (RelayIncoming()) return;
    // A client's text waits for its connection: one copied while it is down
    // goes once it is back.
    const bool offered =
        (Mode == 1 && serverSocket1_.Listener()->ConnectionCount() > 0) || (Mode == 2 && ClientLinkReady());
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

// The new text is LastText itself, shared with every connection it goes to, so
// a large text is held once on its way to the sockets; a text not yet
// started is replaced by a newer one.
void TForm1::OfferToPeers()
{
    if (Mode == 1) {
        TServerWinSocket* listener = serverSocket1_.Listener();
        for (int i = 0; i < listener->ConnectionCount(); ++i) {
            TServerClientWinSocket* connection = listener->Connection(i);
            sender_.Offer(connection, SenderConnection(connection), watcher_.SharedLastText());
        }
        ownTextSent_ = true;
    } else if (Mode == 2) {
        TClientWinSocket* connection = clientSocket1_.ClientConnection();
        sender_.Offer(connection, SenderConnection(connection), watcher_.SharedLastText());
        ownTextSent_ = true;
    }
}

// The server's clipboard is the one truth. A text from one peer goes to
// every other, never back to its own peer, unless a text of ours went to
// that peer while its own was on the way (that peer then holds ours, and
// would be left apart): then it goes back too.
void TForm1::RelayFrom(const TCustomWinSocket* source)
{
    TServerWinSocket* listener = serverSocket1_.Listener();
    if (Mode != 1 || listener->PeerLimit() <= 1) return;
    for (int i = 0; i < listener->ConnectionCount(); ++i) {
        TServerClientWinSocket* connection = listener->Connection(i);
        if (connection == source) {
            const std::optional<std::int64_t> started = sender_.LastStartMs(connection);
            if (!(connection->QueuedBytes() > 0 || (started && *started + CrossingWindowMs >= NowMs()))) continue;
        }
        sender_.Offer(connection, SenderConnection(connection), watcher_.SharedLastText());
    }
}

bool TForm1::RelayIncoming() const
{
    return std::any_of(relayReceivers_.begin(), relayReceivers_.end(),
                       [](const auto& entry) { return entry.second.InTransfer(); });
}

TransferSender::Connection TForm1::SenderConnection(TCustomWinSocket* connection)
{
    TransferSender::Connection view;
    view.life = connection->Life();
    view.send = [this, connection](std::string_view bytes) {
        connection->SendString(bytes);
        ShowSendActivity();
    };
    view.busy = [connection] { return connection->QueuedBytes() > 0; };
    // Both ends of the encrypted link are this program, which reads the
    // length's end from the records: no wait, no pace.
    view.paced = !connection->Encrypted();
    return view;
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
    // One transfer per receiver: only the connection that began it feeds
    // it. A relaying server gives a second sending peer a receiver of its own.
    const bool relaying = Mode == 1 && serverSocket1_.PeerLimit() > 1;
    if (const auto own = relayReceivers_.find(socket); own != relayReceivers_.end()) {
        ShowTransferEvents(own->second.Feed(bytes, NowMs(), socket->ReadEndsAtPeerWrite()), socket);
        return;
    }
    if (receiver_.InTransfer() && socket != receiverSource_) {
        if (relaying) ShowTransferEvents(relayReceivers_[socket].Feed(bytes, NowMs(), socket->ReadEndsAtPeerWrite()), socket);
        return;
    }
    receiverSource_ = socket;
    ShowTransferEvents(receiver_.Feed(bytes, NowMs(), socket->ReadEndsAtPeerWrite()), socket);
}

void TForm1::DropTransferFrom(const TCustomWinSocket* socket)
{
    relayReceivers_.erase(socket);
    if (socket == nullptr || socket != receiverSource_) return;
    receiver_.Reset();
    receiverSource_ = nullptr;
}

void TForm1::ShowTransferEvents(TransferEvents events, const TCustomWinSocket* source)
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
            // The peer's text is newer than any text of ours not yet sent,
            // or sent and perhaps lost with a connection.
            sender_.DropOwed();
            ownTextSent_ = false;
            resendOnLink_ = false;
            // Its read-back asks this program itself, the clipboard's owner
            // now: it does not count against the reading spacing.
            watcher_.PlaceReceived(std::move(event.text));
            RelayFrom(source);
            break;
        }
    }
}

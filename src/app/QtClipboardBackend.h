// QtClipboardBackend: the desktop clipboard (X11 CLIPBOARD selection, or the
// compositor's on Wayland) through Qt, as the program's ClipboardBackend.
//
// Text crosses as UTF-8 bytes, Qt's own 8-bit form on Linux whatever the
// locale says; naming it keeps a peer's code page from being converted from
// the wrong encoding under a "C" locale. The bytes are read and placed as
// they are, without a UTF-16 copy wherever Qt allows it, so that a large
// text is held as few times as possible. The change count follows Qt's
// change signal, and the watcher reads the clipboard only after it moved (or
// after a read that failed). The signal is passed on
// (ClipboardBackend::SetOnChange) as it comes.
//
// On X11 the clipboard is X11Clipboard's, not Qt's: the program serves its
// own texts from the one copy it keeps, and reads other programs' texts off
// the GUI thread (Qt's reads wait on the owner, cannot tell an owner that
// refuses or does not answer from an empty text, and print warnings about
// such owners). Elsewhere (Wayland) Qt reads and places the text, and a
// failed read shows as an empty text there. Made and used on the GUI thread
// after the QApplication exists.
#pragma once

#include "app/X11Clipboard.h"
#include "transfer/ClipboardBackend.h"

#include <QMimeData>
#include <QObject>
#include <QPointer>

#include <memory>

class QClipboard;

class QtClipboardBackend final : public QObject, public ClipboardBackend {
public:
    QtClipboardBackend();

    bool HoldsText() override;
    ClipboardRead FetchText(std::string& text) override;
    ClipboardRead FetchShared(std::shared_ptr<const std::string>& text) override;
    bool PlaceText(const std::string& text) override;
    bool PlaceShared(std::shared_ptr<const std::string> text) override;
    std::uint64_t ChangeCount() override;
    std::string TextEncoding() const override;

private:
    ClipboardRead FetchThroughQt(std::string& text);

    QClipboard* clipboard_;
    // Set on X11 while its display can be reached.
    std::unique_ptr<X11Clipboard> x11_;
    std::uint64_t changes_ = 0;
    // The content this program placed last; Qt owns it and deletes it when
    // another owner takes the clipboard, which clears the pointer.
    QPointer<QMimeData> placed_;
};

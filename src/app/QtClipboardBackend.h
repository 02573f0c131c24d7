// QtClipboardBackend: the desktop clipboard (X11 CLIPBOARD selection, or the
// compositor's on Wayland) through Qt, as the program's ClipboardBackend.
//
// Text crosses as UTF-8 bytes, Qt's own 8-bit form on Linux whatever the
// locale says; naming it keeps a peer's code page from being converted from
// the wrong encoding under a "C" locale. The bytes are read and placed as
// they are, without a UTF-16 copy wherever Qt allows it, so that a large
// text is held as few times as possible. Qt waits synchronously on a foreign
// selection owner, so the change count matters: it follows Qt's change
// signal, and the watcher reads the clipboard only after it moved. The
// signal is passed on (ClipboardBackend::SetOnChange) as it comes. Made and
// used on the GUI thread after the QApplication exists.
#pragma once

#include "ClipboardBackend.h"

#include <QMimeData>
#include <QObject>
#include <QPointer>

class QClipboard;

class QtClipboardBackend final : public QObject, public ClipboardBackend {
public:
    QtClipboardBackend();

    bool HoldsText() override;
    bool FetchText(std::string& text) override;
    bool PlaceText(const std::string& text) override;
    std::uint64_t ChangeCount() override;
    std::string TextEncoding() const override;

private:
    QClipboard* clipboard_;
    std::uint64_t changes_ = 0;
    // The content this program placed last; Qt owns it and deletes it when
    // another owner takes the clipboard, which clears the pointer.
    QPointer<QMimeData> placed_;
};

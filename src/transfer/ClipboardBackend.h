// ClipboardBackend: the seam where the desktop's clipboard enters the program.
//
// The program installs one backed by the toolkit's clipboard; unit tests
// install MemoryClipboardBackend. Only TClipboard calls it, on the event
// loop's thread. Text crosses this seam as bytes in TextEncoding(); the
// backend does no other conversion. It reports a clipboard it cannot reach by
// returning false and leaves the message to TClipboard.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

class ClipboardBackend {
public:
    virtual ~ClipboardBackend() = default;

    // Whether the clipboard offers text now, without reading it.
    virtual bool HoldsText() = 0;
    // The clipboard's text, empty when it offers none. False: the clipboard
    // could not be reached, and `text` is left alone.
    virtual bool FetchText(std::string& text) = 0;
    // Replaces everything on the clipboard with `text`, every byte of it.
    // False: the clipboard could not be reached and is unchanged.
    virtual bool PlaceText(const std::string& text) = 0;
    // Grows with every change of the clipboard, this program's own included.
    // A backend that cannot tell returns a different value on every call, so
    // that its callers never skip a read on its word.
    virtual std::uint64_t ChangeCount() = 0;
    // The character encoding of the bytes this backend exchanges; by default
    // the one of the process's locale.
    virtual std::string TextEncoding() const;

    // Called after each change the backend learns of as it happens, this
    // program's own included. A backend that learns of none never calls it;
    // its changes are found by looking.
    void SetOnChange(std::function<void()> handler) { onChange_ = std::move(handler); }

protected:
    void NotifyChange()
    {
        if (onChange_) onChange_();
    }

private:
    std::function<void()> onChange_;
};

// ClipboardBackend: the seam where the desktop's clipboard enters the program.
//
// The program installs one backed by the toolkit's clipboard; unit tests
// install MemoryClipboardBackend. Only TClipboard calls it, on the event
// loop's thread. Text crosses this seam as bytes in TextEncoding(); the
// backend does no other conversion. It reports a clipboard it cannot reach by
// returning Unreachable and leaves the message to TClipboard.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// What one read of the clipboard found.
enum class ClipboardRead {
    Text,        // the clipboard's text (empty only when its owner holds an empty text)
    NoText,      // nothing in a text format
    Secret,      // a text its owner marks as secret (a password manager's); not read
    Failed,      // the owner offers text but did not hand it over (refused it, did
                 // not answer, or answered with something that is not text);
                 // a later read may succeed
    Unreachable, // the clipboard itself could not be reached
    Pending,     // the read goes on in the background: not a read yet; the
                 // backend calls the change handler once it has ended, and
                 // the next FetchText hands its result over
};

class ClipboardBackend {
public:
    virtual ~ClipboardBackend() = default;

    // Whether the clipboard offers text now, without reading it.
    virtual bool HoldsText() = 0;
    // Reads the clipboard once; only for Text is `text` set.
    virtual ClipboardRead FetchText(std::string& text) = 0;
    // The same, as a text the caller may keep a share of: a backend serving
    // its own placed text hands over that share instead of a copy.
    virtual ClipboardRead FetchShared(std::shared_ptr<const std::string>& text);
    // Replaces everything on the clipboard with `text`, every byte of it.
    // False: the clipboard could not be reached and is unchanged.
    virtual bool PlaceText(const std::string& text) = 0;
    // The same for a text the caller keeps as well: a backend that serves
    // the bytes itself keeps a share of them instead of a copy.
    virtual bool PlaceShared(std::shared_ptr<const std::string> text) { return PlaceText(*text); }
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

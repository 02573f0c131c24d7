// TClipboard: the program's only way to the desktop's text clipboard.
//
// One object per process, SharedClipboard(), over the backend the program
// installed with SetClipboardBackend (the toolkit's clipboard in the program,
// an in-memory one in tests). Text is bytes and ends at its first zero byte,
// both ways: a read gives, and a write places, only the bytes before it; a
// write replaces the whole clipboard content. A clipboard that cannot be
// reached raises ClipboardUnavailableError from Read, FetchText and
// PlaceText; HoldsText never does.
//
// Texts are exchanged in the wire's encoding. Unless SetWireEncoding names
// one, that is the backend's own (the locale's) and the bytes pass untouched;
// with a name, reads are converted from the backend's encoding to it and
// writes back (see TextCodec for what happens to what does not fit).
//
// The backend's calls are self-contained, so the open/close nesting of other
// platforms has nothing to guard here and is not kept. Call on the event
// loop's thread only.
#pragma once

#include "base/SysUtils.h"
#include "transfer/ClipboardBackend.h"
#include "transfer/TextCodec.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// "クリップボードを開くことができません"
Exception ClipboardUnavailableError();

class TClipboard {
public:
    // Without a backend the clipboard holds no text and cannot be reached.
    TClipboard() = default;
    explicit TClipboard(std::unique_ptr<ClipboardBackend> backend);
    TClipboard(const TClipboard&) = delete;
    TClipboard& operator=(const TClipboard&) = delete;

    // Replaces the backend; the wire encoding stays as set.
    void SetBackend(std::unique_ptr<ClipboardBackend> backend);
    ClipboardBackend* Backend() const { return backend_.get(); }

    bool HoldsText();
    // One read: `text` is set only for ClipboardRead::Text. A read whose
    // owner failed to hand the text over is reported as Failed, and one the
    // backend still makes in the background as Pending, not raised.
    // Throws ClipboardUnavailableError when the clipboard cannot be reached.
    ClipboardRead Read(std::string& text);
    // The same, sharing the bytes with the backend where it allows (a text
    // this program placed is then not copied to be read back).
    ClipboardRead ReadShared(std::shared_ptr<const std::string>& text);
    // The clipboard's text, empty when it offers none (or only a secret).
    // Throws ClipboardUnavailableError, also for a failed or pending read.
    std::string FetchText();
    // Throws ClipboardUnavailableError; the clipboard is then unchanged.
    void PlaceText(const std::string& text);
    // The same for a text the caller keeps as well: the backend may keep a
    // share of it instead of a copy (of the converted text, with a wire
    // encoding).
    void PlaceShared(std::shared_ptr<const std::string> text);
    // See ClipboardBackend::ChangeCount.
    std::uint64_t ChangeCount();
    // See ClipboardBackend::SetOnChange; kept across a change of backend.
    void SetOnChange(std::function<void()> handler);

    // Empty: no conversion. Throws UnknownEncodingError for a name the
    // converter does not know, keeping the previous setting.
    void SetWireEncoding(const std::string& name);
    const std::string& WireEncoding() const { return wireEncoding_; }

private:
    struct Codecs {
        std::unique_ptr<TextCodec> toWire;
        std::unique_ptr<TextCodec> fromWire;
    };
    Codecs MakeCodecs(const std::string& wireEncoding, const ClipboardBackend* backend) const;

    std::unique_ptr<ClipboardBackend> backend_;
    std::string wireEncoding_;
    Codecs codecs_;
    std::uint64_t unknownChanges_ = 0;
    std::function<void()> onChange_;
};

// The process's clipboard, made on first use and kept until the process ends.
TClipboard& SharedClipboard();
// Installs the backend of SharedClipboard().
void SetClipboardBackend(std::unique_ptr<ClipboardBackend> backend);

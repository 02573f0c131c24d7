// X11SelectionReader: reads the X11 CLIPBOARD selection of another program,
// telling a text from no text, a secret text and an owner that fails.
//
// It has its own connection to the X server and its own hidden window, so
// that the answers it waits for reach it and no one else. One read asks for
// the owner's list of targets, then for the hint a password manager sets when
// it is listed, then for the best text target; large texts come in pieces
// (INCR). Only text targets count: UTF8_STRING, "text/plain;charset=utf-8",
// STRING and TEXT (Latin-1 when the answer says STRING) and "text/plain";
// an answer of another type is a failure, not a text.
//
// The hint and the text must come from one owner: the reader follows the
// selection's owner changes (XFixes) through the whole read, and a read
// during which the selection changed hands, or that ends with another owner,
// fails with OwnerChanged() set, whatever it received. A text longer than
// MaxTransferBytes counts as no text (it could never be sent) and is let go
// as soon as its size is known, so a read never holds more than that.
//
// An owner that stays silent for StepTimeoutMs fails the read, and is not
// asked again until the clipboard changes (the caller's change count). Reads
// block the calling thread: the program runs them on a thread of their own.
// Stop() may be called from any thread and ends the read under way, and
// every later one, at once.
#pragma once

#include "transfer/ClipboardBackend.h"

#include <cstdint>
#include <string>

struct xcb_connection_t;

class X11SelectionReader {
public:
    // How long one step of a read may wait for the owner.
    static constexpr int StepTimeoutMs = 4000;

    // Connects to the display DISPLAY names; Connected() tells whether that
    // worked.
    X11SelectionReader();
    ~X11SelectionReader();
    X11SelectionReader(const X11SelectionReader&) = delete;
    X11SelectionReader& operator=(const X11SelectionReader&) = delete;

    bool Connected() const { return connection_ != nullptr; }

    // One read of the selection as it is now, as UTF-8 bytes. `changes`: the
    // caller's count of clipboard changes, which tells a silent owner asked
    // again from one asked after a change.
    ClipboardRead Read(std::string& text, std::uint64_t changes);
    // Whether the last Read failed because the selection changed hands.
    bool OwnerChanged() const { return ownerChanged_; }
    // Thread-safe.
    void Stop();

private:
    enum class Step { Done, Refused, Silent, Changed, TooLarge };
    struct Targets;
    struct Answer {
        std::string data;
        std::uint32_t type = 0;
        std::uint8_t format = 0;
    };

    Step ListTargets(Targets& targets);
    Step Convert(std::uint32_t target, Answer& answer);
    Step TakeProperty(Answer& answer, std::size_t room, bool& empty);
    Step WaitForEvent(std::uint8_t kind, std::int64_t deadlineMs, std::uint32_t target);
    bool TakeOwnerChange(const void* event);
    void DropQueuedEvents();
    bool IsTextType(std::uint32_t type, std::uint32_t target) const;
    std::uint32_t Owner();
    bool KnownSilent(std::uint32_t owner, std::uint64_t changes) const;
    void NoteSilent(std::uint32_t owner, std::uint64_t changes);
    void MakeWindow();

    xcb_connection_t* connection_ = nullptr;
    int stopFd_ = -1;
    std::uint8_t fixesEvent_ = 0; // first event code of XFixes
    std::uint32_t window_ = 0;
    std::uint32_t root_ = 0;
    std::uint32_t clipboardAtom_ = 0, targetsAtom_ = 0, incrAtom_ = 0, propertyAtom_ = 0;
    std::uint32_t utf8Atom_ = 0, utf8MimeAtom_ = 0, stringAtom_ = 0, textAtom_ = 0, plainMimeAtom_ = 0;
    std::uint32_t secretHintAtom_ = 0, atomAtom_ = 0;
    std::uint32_t lastNotifyProperty_ = 0; // of the SelectionNotify last waited for
    bool ownerChanged_ = false;
    bool silentKnown_ = false;
    std::uint32_t silentOwner_ = 0;
    std::uint64_t silentChanges_ = 0;
};

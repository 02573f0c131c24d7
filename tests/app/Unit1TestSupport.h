// What the main window's handler tests share: a TForm1 on a private settings
// file with a given command line, an in-memory clipboard, and errors captured
// instead of shown in a box; plus a loopback peer that the tests read and
// write without ever blocking the loop the window runs on.
#pragma once

#include "NetTestSupport.h"
#include "net/TlsEngine.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class MemoryClipboardBackend;
class TApplication;
class TForm1;

// One watcher tick and some slack: long enough for the window to have acted
// on a state it can see, for checks that something does NOT happen.
inline constexpr int QuietTicksMs = 1200;

class Form1Harness {
public:
    // Makes the application (settings file in a fresh folder, `arguments`
    // after the program name), installs the clipboard and the error capture.
    // The window itself comes with Create(), so that a test can prepare the
    // settings file first.
    explicit Form1Harness(const std::vector<std::string>& arguments = {});
    ~Form1Harness();
    Form1Harness(const Form1Harness&) = delete;
    Form1Harness& operator=(const Form1Harness&) = delete;

    TForm1& Create();

    TApplication& App() { return *app_; }
    TForm1& Form() { return *form_; }
    MemoryClipboardBackend& Clipboard() { return *clipboard_; }
    const std::string& SettingsFile() const { return settingsFile_; }
    // Messages that reached the error box, oldest first.
    const std::vector<std::string>& Errors() const { return errors_; }
    void ClearErrors() { errors_.clear(); }

private:
    std::unique_ptr<TApplication> app_;
    MemoryClipboardBackend* clipboard_ = nullptr;
    std::string settingsFile_;
    std::vector<std::string> errors_;
    TForm1* form_ = nullptr;
};

// The enabled state of the controls the connection modes change, in the
// order Button1 Button2 Button3 Button4 Edit1 Edit2, "+" on and "-" off: the
// window just made reads "B1+ B2- B3+ B4- E1+ E2+".
std::string ControlStates(const TForm1& form);

// The window's status message (panel 3).
std::string Status(const TForm1& form);

// The peer's end of a loopback connection, read without blocking: Pump takes
// whatever has arrived and notes an orderly close or a reset.
class LoopbackPeer {
public:
    explicit LoopbackPeer(UniqueFd fd = UniqueFd());

    // Speaks the encrypted link with `key` as its client from here on: the
    // handshake goes on as it pumps, and Received is the plaintext.
    void Encrypt(const LinkKey& key);
    bool Established() const { return engine_ && engine_->Established(); }
    bool Connected() const { return fd_.Get() >= 0; }
    int Fd() const { return fd_.Get(); }
    void Pump();
    // Pumps and tells whether the peer closed (read 0 or failed).
    bool Closed();
    // Pumps and returns everything received so far.
    const std::string& Received();
    void Send(const std::string& bytes);
    void Close() { fd_.Reset(); }
    void Reset() { CloseWithReset(fd_); }

private:
    UniqueFd fd_;
    std::unique_ptr<TlsEngine> engine_;
    std::string received_;
    bool closed_ = false;
};

// Accepts one waiting connection without blocking; empty when none waits.
UniqueFd AcceptNow(int listenFd);

// Runs the loop until the window's client connection to `listenFd` stands
// ("Connect" shown) and returns the accepted end; unconnected on time-out.
LoopbackPeer AwaitClientConnection(const TForm1& form, int listenFd);

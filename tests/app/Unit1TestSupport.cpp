#include "Unit1TestSupport.h"

#include "app/Application.h"
#include "app/Edit.h"
#include "base/EventLoop.h"
#include "transfer/Clipbrd.h"
#include "MemoryClipboardBackend.h"
#include "QtTestApplication.h"
#include "RunUntil.h"
#include "app/StatusBar.h"
#include "app/Unit1.h"

#include <QPushButton>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <sys/socket.h>

Form1Harness::Form1Harness(const std::vector<std::string>& arguments) : app_(NewTestApplication(arguments))
{
    app_->SetAppTitle(TApplication::ProgramTitle);
    settingsFile_ = app_->SettingsFile();
    // The application installed the desktop's clipboard; these tests never
    // touch it.
    auto clipboard = std::make_unique<MemoryClipboardBackend>();
    clipboard_ = clipboard.get();
    SetClipboardBackend(std::move(clipboard));
    SetErrorReporter([this](std::exception_ptr error) { errors_.push_back(TApplication::ErrorMessage(error)); });
}

Form1Harness::~Form1Harness()
{
    // The application drops the clipboard backend and the reporter it set.
    app_.reset();
    SetErrorReporter(nullptr);
}

TForm1& Form1Harness::Create()
{
    form_ = &app_->MakeMainWindow<TForm1>();
    return *form_;
}

std::string ControlStates(const TForm1& form)
{
    const struct {
        const char* name;
        const QWidget* control;
    } controls[] = {{"B1", form.Button1()}, {"B2", form.Button2()}, {"B3", form.Button3()},
                    {"B4", form.Button4()}, {"E1", form.Edit1()},   {"E2", form.Edit2()}};
    std::string states;
    for (const auto& c : controls) {
        if (!states.empty()) states += ' ';
        states += c.name;
        states += c.control->isEnabled() ? '+' : '-';
    }
    return states;
}

std::string Status(const TForm1& form)
{
    return form.PanelText(TForm1::MessagePanel);
}

LoopbackPeer::LoopbackPeer(UniqueFd fd) : fd_(std::move(fd)) {}

void LoopbackPeer::Encrypt(const LinkKey& key)
{
    engine_ = std::make_unique<TlsEngine>(false, key, [fd = fd_.Get()](std::string&& bytes) { WriteAll(fd, bytes); });
    engine_->Handshake();
}

void LoopbackPeer::Pump()
{
    if (fd_.Get() < 0 || closed_) return;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(fd_.Get(), buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0 && !engine_) received_.append(buffer, static_cast<std::size_t>(n));
        if (n > 0 && engine_) {
            engine_->Feed(buffer, static_cast<std::size_t>(n));
            bool endsWrite = false;
            while (engine_->Handshake() == TlsEngine::Status::Done &&
                   engine_->Read(received_, SIZE_MAX, endsWrite) == TlsEngine::Status::Done) {
            }
        }
        if (n > 0) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n < 0 && errno == EINTR) continue;
        closed_ = true;
        return;
    }
}

bool LoopbackPeer::Closed()
{
    Pump();
    return closed_;
}

const std::string& LoopbackPeer::Received()
{
    Pump();
    return received_;
}

void LoopbackPeer::Send(const std::string& bytes)
{
    WriteAll(fd_.Get(), bytes);
}

UniqueFd AcceptNow(int listenFd)
{
    pollfd entry{listenFd, POLLIN, 0};
    if (::poll(&entry, 1, 0) <= 0) return UniqueFd();
    return UniqueFd(::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
}

LoopbackPeer AwaitClientConnection(const TForm1& form, int listenFd)
{
    LoopbackPeer peer;
    RunUntil([&] {
        if (!peer.Connected()) peer = LoopbackPeer(AcceptNow(listenFd));
        return peer.Connected() && Status(form) == "Connect";
    });
    return peer;
}

// WaylandClipboardBackend: the compositor's clipboard through a data-control
// protocol (DataControlDevice), as the program's ClipboardBackend.
//
// Used in a Wayland session whose compositor offers data-control, whatever
// plugin Qt's window uses: such compositors hand the selection to X clients
// only while an X window has focus, and this program works from the
// background. The connection is the backend's own, watched on the event loop.
//
// Reading: each new selection is read as it comes, through its pipe on the
// event loop, so the window never waits on its owner; the change count moves
// (and the change is passed on) once the read has settled. Only the text
// types count, UTF-8 ones first; STRING is Latin-1 and is converted. A
// selection whose x-kde-passwordManagerHint says "secret" is Secret and its
// text is never read; a read that fails or stalls (PipeTransfer) is Failed
// until the selection changes. The text read is handed over, not kept: asked
// for it again, the backend reads it again and says Failed meanwhile.
//
// Placing: a text placed becomes a source offering the text types; every
// request for it is served from the loop through its pipe, with the text
// shared by all of them, and a source the compositor cancels is released.
// The program's own source is known again when the compositor hands it back
// as the selection by a private MIME type it offers beside the text. Made and
// used on the event loop's thread.
#pragma once

#include "app/ClipboardPipes.h"
#include "app/DataControlDevice.h"
#include "base/EventLoop.h"
#include "transfer/ClipboardBackend.h"

#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <string>

class WaylandClipboardBackend final : public ClipboardBackend, private DataControlDevice::Client {
public:
    // Connects to the compositor WAYLAND_DISPLAY names; Connected() tells
    // whether it offers data-control.
    explicit WaylandClipboardBackend(EventLoop& loop);
    ~WaylandClipboardBackend() override;

    bool Connected() const { return device_ != nullptr; }
    // "ext_data_control_manager_v1" or "zwlr_data_control_manager_v1".
    std::string ProtocolName() const;

    bool HoldsText() override;
    ClipboardRead FetchText(std::string& text) override;
    bool PlaceText(const std::string& text) override;
    std::uint64_t ChangeCount() override { return changes_; }
    std::string TextEncoding() const override { return "UTF-8"; }

private:
    enum class Step { Hint, Text };

    void SelectionChanged(const DataControlOffer* offer) override;
    void SendRequested(DataControlDevice::SourceId source, const std::string& type, int fd) override;
    void SourceCancelled(DataControlDevice::SourceId source) override;

    template <class F>
    void Guarded(F&& handler) noexcept;
    void Readable();
    void Flush();
    void LoseConnection();
    bool Reachable() const;
    void ReadOffer();
    void StartReading(Step step, const std::string& type);
    void ReadFinished(Step step, PipeReading::Outcome outcome, std::string data);
    void ForgetSelection();
    void Settle(ClipboardRead result, std::string text = {});

    EventLoop& loop_;
    std::unique_ptr<DataControlDevice> device_;
    WatchId readWatch_ = 0;
    WatchId writeWatch_ = 0;
    bool watching_ = false;
    // An error raised inside a handler libwayland called, raised again once
    // the handler has returned to libwayland.
    std::exception_ptr handlerError_;
    std::uint64_t changes_ = 0;

    // Another program's selection: what its last read settled on, and the
    // read in progress.
    const DataControlOffer* offer_ = nullptr;
    std::string textType_;
    ClipboardRead known_ = ClipboardRead::NoText;
    std::string text_;
    bool textGiven_ = false;
    std::unique_ptr<PipeReading> reading_;

    // This program's sources, each with the text it offers, and the one
    // that is the selection (0: another program's is).
    std::map<DataControlDevice::SourceId, std::shared_ptr<const std::string>> sources_;
    DataControlDevice::SourceId ownSource_ = 0;
    std::map<std::uint64_t, std::unique_ptr<PipeWriting>> writings_;
    std::uint64_t nextWriting_ = 1;
};

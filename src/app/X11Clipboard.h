// X11Clipboard: the X11 CLIPBOARD selection as the program's clipboard
// backend sees it: this program's own texts served by X11SelectionOwner,
// other programs' texts read by X11SelectionReader on X11ReadThread.
//
// Nothing here waits on another program. A read of another owner's text
// starts on the first FetchText after a change and answers Pending; when it
// ends, the change handler runs and the next FetchText hands its result over
// (once: the text is moved out, not copied). A result made stale by a change
// meanwhile is dropped and read again. An owner that failed a read is read
// again no sooner than a back-off after it, which grows with each failure
// in a row and with the time the failed read took, so that an owner that
// answers slowly and then refuses is not asked over and over. Made and used
// on the GUI thread.
#pragma once

#include "app/X11ReadThread.h"
#include "app/X11SelectionOwner.h"
#include "transfer/ClipboardBackend.h"

#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class X11Clipboard final : public QObject {
public:
    // The first wait before a failed owner is asked again, doubled with each
    // failure in a row, up to MaxRetryMs; and at least this many times as
    // long as the failed read took.
    static constexpr std::int64_t FirstRetryMs = 250;
    static constexpr std::int64_t MaxRetryMs = 30000;
    static constexpr std::int64_t RetryPerReadMs = 4;

    explicit X11Clipboard(std::function<void()> onChange);
    ~X11Clipboard() override;

    bool Connected() const { return owner_.Connected() && reads_.Connected(); }

    bool HoldsText() const;
    ClipboardRead FetchText(std::string& text);
    ClipboardRead FetchShared(std::shared_ptr<const std::string>& text);
    bool Place(std::shared_ptr<const std::string> text);
    std::uint64_t ChangeCount() const { return owner_.Changes(); }

private:
    ClipboardRead Fetch(std::string& text);
    void Finished(X11ReadThread::Result result);

    std::function<void()> onChange_;
    X11SelectionOwner owner_;
    X11ReadThread reads_;
    // The result of the last read, until handed over, for the change count
    // it was made at.
    std::optional<X11ReadThread::Result> result_;
    bool heldText_ = false;
    // Failed reads in a row at failedChanges_, and when the next may start.
    std::uint64_t failedChanges_ = 0;
    int failures_ = 0;
    std::int64_t retryAtMs_ = 0;
};

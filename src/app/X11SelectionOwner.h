// X11SelectionOwner: this program's side of the X11 CLIPBOARD selection. It
// owns the selection for a placed text and answers other programs' requests
// from the one shared copy of its bytes, and it counts the selection's
// changes of owner.
//
// Targets served: TARGETS, TIMESTAMP, UTF8_STRING, "text/plain;charset=utf-8"
// and TEXT (the bytes as they are, UTF-8), STRING (Latin-1, made on request,
// refused for a text with characters beyond U+00FF), and MULTIPLE of these. A text larger than
// ChunkBytes goes in pieces (INCR), each piece written when the requestor has
// taken the last; a requestor that takes nothing for IdleTransferMs is
// dropped. All its work is short and event-driven, on the loop's thread:
// whatever a requestor does, it never waits on one.
//
// It has its own connection to the X server and its own window; changes of
// owner come from XFixes, as they happen. When it goes while it owns the
// selection, a clipboard manager, where one runs, is asked to keep the text
// (ICCCM's SAVE_TARGETS), and its requests are answered meanwhile, for at
// most SaveTimeoutMs. Made and used on the GUI thread.
#pragma once

#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QSocketNotifier;
class QTimer;
struct xcb_connection_t;

class X11SelectionOwner final : public QObject {
public:
    // The most bytes written in one piece (and the largest text sent whole).
    static constexpr std::size_t MaxChunkBytes = 4 * 1024 * 1024;
    static constexpr std::int64_t IdleTransferMs = 10000;
    static constexpr std::size_t MaxTransfers = 16;
    static constexpr std::int64_t SaveTimeoutMs = 3000;

    X11SelectionOwner();
    ~X11SelectionOwner() override;

    bool Connected() const { return connection_ != nullptr; }

    // Takes the selection with `text`; false when the display cannot be
    // reached or refuses.
    bool Own(std::shared_ptr<const std::string> text);
    // The text served while this program owns the selection, else null.
    const std::shared_ptr<const std::string>& Owned() const { return text_; }
    // Grows with every change of the selection's owner, own ones included.
    std::uint64_t Changes() const { return changes_; }
    // Called after each change, as it is learnt.
    void SetOnChange(std::function<void()> handler) { onChange_ = std::move(handler); }

private:
    struct Transfer {
        std::uint32_t requestor = 0;
        std::uint32_t property = 0;
        std::uint32_t type = 0;
        std::shared_ptr<const std::string> bytes;
        std::size_t offset = 0;
        std::int64_t lastMs = 0;
    };

    void Dispatch();
    void HandOver();
    void Handle(const void* event);
    void Answer(const void* request);
    bool Serve(std::uint32_t requestor, std::uint32_t target, std::uint32_t property);
    bool ServeMultiple(std::uint32_t requestor, std::uint32_t property);
    bool ServeBytes(std::uint32_t requestor, std::uint32_t property, std::uint32_t type,
                    std::shared_ptr<const std::string> bytes);
    void Continue(std::uint32_t window, std::uint32_t property);
    void Sweep();
    std::shared_ptr<const std::string> Latin1();

    xcb_connection_t* connection_ = nullptr;
    std::uint8_t fixesEvent_ = 0;
    std::uint32_t window_ = 0;
    std::uint32_t ownTime_ = 0;
    std::uint32_t managerAtom_ = 0, saveTargetsAtom_ = 0, multipleAtom_ = 0, atomPairAtom_ = 0;
    std::uint32_t clipboardAtom_ = 0, targetsAtom_ = 0, timestampAtom_ = 0, incrAtom_ = 0, utf8Atom_ = 0,
                  utf8MimeAtom_ = 0, stringAtom_ = 0, textAtom_ = 0;
    std::size_t chunkBytes_ = 0;
    QSocketNotifier* notifier_ = nullptr;
    QTimer* sweeper_ = nullptr;
    std::shared_ptr<const std::string> text_;
    std::shared_ptr<const std::string> latin1_; // text_ as Latin-1, once asked for
    bool latin1Known_ = false;
    std::vector<Transfer> transfers_;
    std::uint64_t changes_ = 0;
    std::function<void()> onChange_;
};

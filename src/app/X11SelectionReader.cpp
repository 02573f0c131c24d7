#include "app/X11SelectionReader.h"

#include "app/X11Connection.h"

#include "transfer/TransferLimits.h"

#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

namespace {

// The selection's answers are put in this property of the reader's window.
const char* const PropertyName = "TESSARO_SELECTION";
// A password manager lists this target, with the value below, beside a text
// the user should not see travel.
const char* const SecretHintName = "x-kde-passwordManagerHint";
constexpr std::string_view SecretHintValue = "secret";

constexpr std::size_t MaxTextBytes = static_cast<std::size_t>(MaxTransferBytes);

template <class T>
using Reply = X11Reply<T>;

std::int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Latin-1 to UTF-8 in the same string: each byte from 0x80 up takes two.
// False, leaving `text` alone, when the result would be longer than `limit`.
bool Latin1ToUtf8InPlace(std::string& text, std::size_t limit)
{
    const std::size_t high = static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; }));
    if (text.size() + high > limit) return false;
    std::size_t from = text.size();
    text.resize(text.size() + high);
    std::size_t to = text.size();
    while (from > 0) {
        const auto byte = static_cast<unsigned char>(text[--from]);
        if (byte < 0x80) {
            text[--to] = static_cast<char>(byte);
        } else {
            text[--to] = static_cast<char>(0x80 | (byte & 0x3F));
            text[--to] = static_cast<char>(0xC0 | (byte >> 6));
        }
    }
    return true;
}

} // namespace

struct X11SelectionReader::Targets {
    std::uint32_t text = 0; // the best text target, 0 for none
    bool secretHint = false;
};

X11SelectionReader::X11SelectionReader()
{
    const int stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd < 0) return;
    const X11Display display = ConnectX11WithFixes();
    if (display.connection == nullptr) {
        close(stopFd);
        return;
    }
    connection_ = display.connection;
    stopFd_ = stopFd;
    fixesEvent_ = display.fixesEvent;
    root_ = display.root;
    const char* names[] = {"CLIPBOARD", "TARGETS",    "INCR",       PropertyName,
                           "UTF8_STRING", "text/plain;charset=utf-8", "STRING", "TEXT",
                           "text/plain",  SecretHintName, "ATOM"};
    std::uint32_t* atoms[] = {&clipboardAtom_, &targetsAtom_,   &incrAtom_,  &propertyAtom_,
                              &utf8Atom_,      &utf8MimeAtom_,  &stringAtom_, &textAtom_,
                              &plainMimeAtom_, &secretHintAtom_, &atomAtom_};
    static_assert(std::size(names) == std::size(atoms));
    InternAtoms(connection_, names, atoms, std::size(names));
    MakeWindow();
}

X11SelectionReader::~X11SelectionReader()
{
    if (connection_ != nullptr) xcb_disconnect(connection_);
    if (stopFd_ >= 0) close(stopFd_);
}

void X11SelectionReader::Stop()
{
    if (stopFd_ < 0) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(stopFd_, &one, sizeof one);
}

// A fresh window after an owner fell silent or sent too much: whatever it
// sends later goes to a window that is gone, never into a later read.
void X11SelectionReader::MakeWindow()
{
    if (window_ != 0) xcb_destroy_window(connection_, window_);
    window_ = xcb_generate_id(connection_);
    const std::uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window_, root_, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &events);
    xcb_xfixes_select_selection_input(connection_, window_, clipboardAtom_,
                                      XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
                                          XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY |
                                          XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
    xcb_flush(connection_);
}

std::uint32_t X11SelectionReader::Owner()
{
    Reply<xcb_get_selection_owner_reply_t> reply(
        xcb_get_selection_owner_reply(connection_, xcb_get_selection_owner(connection_, clipboardAtom_), nullptr));
    return reply ? reply->owner : std::uint32_t{XCB_WINDOW_NONE};
}

bool X11SelectionReader::KnownSilent(std::uint32_t owner, std::uint64_t changes) const
{
    return silentKnown_ && owner == silentOwner_ && changes == silentChanges_;
}

void X11SelectionReader::NoteSilent(std::uint32_t owner, std::uint64_t changes)
{
    silentKnown_ = true;
    silentOwner_ = owner;
    silentChanges_ = changes;
    MakeWindow();
}

bool X11SelectionReader::TakeOwnerChange(const void* raw)
{
    const auto* event = static_cast<const xcb_generic_event_t*>(raw);
    if ((event->response_type & 0x7F) != fixesEvent_ + XCB_XFIXES_SELECTION_NOTIFY) return false;
    return reinterpret_cast<const xcb_xfixes_selection_notify_event_t*>(event)->selection == clipboardAtom_;
}

// Events already received are of the time before the read, or of windows
// given up; their owner changes are older than the read.
void X11SelectionReader::DropQueuedEvents()
{
    while (xcb_generic_event_t* raw = xcb_poll_for_queued_event(connection_)) std::free(raw);
}

// Waits for an event on the reader's window: a SelectionNotify answering a
// request for `target`, or a new value of the answer property. An owner
// change on the way ends the wait: the answer would be another owner's.
X11SelectionReader::Step X11SelectionReader::WaitForEvent(std::uint8_t kind, std::int64_t deadlineMs,
                                                           std::uint32_t target)
{
    for (;;) {
        while (xcb_generic_event_t* raw = xcb_poll_for_event(connection_)) {
            Reply<xcb_generic_event_t> event(raw);
            if (TakeOwnerChange(raw)) return Step::Changed;
            const std::uint8_t type = event->response_type & 0x7F;
            if (type != kind) continue;
            if (type == XCB_SELECTION_NOTIFY) {
                const auto* notify = reinterpret_cast<const xcb_selection_notify_event_t*>(raw);
                if (notify->requestor == window_ && notify->selection == clipboardAtom_ && notify->target == target) {
                    lastNotifyProperty_ = notify->property;
                    return Step::Done;
                }
            } else if (type == XCB_PROPERTY_NOTIFY) {
                const auto* notify = reinterpret_cast<const xcb_property_notify_event_t*>(raw);
                if (notify->window == window_ && notify->atom == propertyAtom_ &&
                    notify->state == XCB_PROPERTY_NEW_VALUE)
                    return Step::Done;
            }
        }
        if (xcb_connection_has_error(connection_)) return Step::Silent;
        const std::int64_t left = deadlineMs - NowMs();
        if (left <= 0) return Step::Silent;
        pollfd ready[] = {{xcb_get_file_descriptor(connection_), POLLIN, 0}, {stopFd_, POLLIN, 0}};
        poll(ready, 2, static_cast<int>(std::min<std::int64_t>(left, 1000)));
        if (ready[1].revents != 0) return Step::Refused;
    }
}

// Reads and deletes the answer property, appending its value to
// answer.data: TooLarge when that would take answer.data past MaxTextBytes.
// `empty`: the property held nothing.
X11SelectionReader::Step X11SelectionReader::TakeProperty(Answer& answer, std::size_t room, bool& empty)
{
    const auto units = static_cast<std::uint32_t>(std::min<std::size_t>(room / 4 + 1, 0x3FFFFFFF));
    Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        connection_, xcb_get_property(connection_, 1, window_, propertyAtom_, XCB_GET_PROPERTY_TYPE_ANY, 0, units),
        nullptr));
    if (!reply) return Step::Refused;
    const auto length = static_cast<std::size_t>(xcb_get_property_value_length(reply.get()));
    if (reply->bytes_after > 0 || length > room) return Step::TooLarge;
    answer.type = reply->type;
    answer.format = reply->format;
    empty = length == 0;
    answer.data.append(static_cast<const char*>(xcb_get_property_value(reply.get())), length);
    return Step::Done;
}

X11SelectionReader::Step X11SelectionReader::Convert(std::uint32_t target, Answer& answer)
{
    xcb_delete_property(connection_, window_, propertyAtom_);
    xcb_convert_selection(connection_, window_, clipboardAtom_, target, propertyAtom_, XCB_CURRENT_TIME);
    xcb_flush(connection_);
    if (const Step step = WaitForEvent(XCB_SELECTION_NOTIFY, NowMs() + StepTimeoutMs, target); step != Step::Done)
        return step;
    if (lastNotifyProperty_ == XCB_ATOM_NONE) return Step::Refused;
    bool empty = false;
    answer.data.clear();
    if (const Step step = TakeProperty(answer, MaxTextBytes, empty); step != Step::Done) return step;
    if (answer.type != incrAtom_) return Step::Done;
    // In pieces: the owner gives the next one each time the last is taken
    // (the property deleted), and an empty one ends the text. The size it
    // announces is at least the text's.
    std::size_t announced = 0;
    if (answer.format == 32 && answer.data.size() >= 4) {
        std::uint32_t value = 0;
        std::memcpy(&value, answer.data.data(), sizeof value);
        announced = value;
    }
    if (announced > MaxTextBytes) return Step::TooLarge;
    std::string().swap(answer.data);
    answer.data.reserve(announced);
    Answer piece;
    for (bool typed = false;;) {
        if (const Step step = WaitForEvent(XCB_PROPERTY_NOTIFY, NowMs() + StepTimeoutMs, target); step != Step::Done)
            return step;
        piece.data.clear();
        if (const Step step = TakeProperty(piece, MaxTextBytes - answer.data.size(), empty); step != Step::Done)
            return step;
        if (empty) {
            if (!typed) {
                answer.type = piece.type;
                answer.format = piece.format;
            }
            return Step::Done;
        }
        if (typed && (piece.type != answer.type || piece.format != answer.format))
            return Step::Refused; // a change of type half way is not one text
        typed = true;
        answer.type = piece.type;
        answer.format = piece.format;
        answer.data += piece.data;
    }
}

X11SelectionReader::Step X11SelectionReader::ListTargets(Targets& targets)
{
    Answer answer;
    const Step step = Convert(targetsAtom_, answer);
    if (step != Step::Done) return step;
    if (answer.format != 32 || (answer.type != atomAtom_ && answer.type != targetsAtom_)) return Step::Refused;
    // Best first.
    const std::uint32_t textTargets[] = {utf8Atom_, utf8MimeAtom_, stringAtom_, textAtom_, plainMimeAtom_};
    std::size_t best = std::size(textTargets);
    for (std::size_t offset = 0; offset + 4 <= answer.data.size(); offset += 4) {
        std::uint32_t atom = 0;
        std::memcpy(&atom, answer.data.data() + offset, sizeof atom);
        if (atom == XCB_ATOM_NONE) continue;
        if (atom == secretHintAtom_) targets.secretHint = true;
        for (std::size_t i = 0; i < best; ++i) {
            if (atom == textTargets[i]) {
                best = i;
                break;
            }
        }
    }
    targets.text = best < std::size(textTargets) ? textTargets[best] : 0;
    return Step::Done;
}

bool X11SelectionReader::IsTextType(std::uint32_t type, std::uint32_t target) const
{
    return type == target || type == utf8Atom_ || type == stringAtom_ || type == utf8MimeAtom_ ||
           type == plainMimeAtom_;
}

ClipboardRead X11SelectionReader::Read(std::string& text, std::uint64_t changes)
{
    ownerChanged_ = false;
    if (connection_ == nullptr || xcb_connection_has_error(connection_)) return ClipboardRead::Unreachable;
    // Every owner change made before this answer is queued by now.
    const std::uint32_t owner = Owner();
    DropQueuedEvents();
    if (owner == XCB_WINDOW_NONE) return ClipboardRead::NoText;
    if (KnownSilent(owner, changes)) return ClipboardRead::Failed;
    const auto failed = [&](Step step) {
        if (step == Step::Silent) NoteSilent(owner, changes);
        if (step == Step::Changed) ownerChanged_ = true;
        if (step != Step::TooLarge) return ClipboardRead::Failed;
        MakeWindow();
        return ClipboardRead::NoText;
    };

    Targets targets;
    if (const Step step = ListTargets(targets); step != Step::Done) return failed(step);
    if (targets.text == 0) return ClipboardRead::NoText;
    if (targets.secretHint) {
        Answer hint;
        // A hint that cannot be read may still say secret: nothing is sent.
        if (const Step step = Convert(secretHintAtom_, hint); step != Step::Done) return failed(step);
        std::string_view value(hint.data);
        if (const auto end = value.find('\0'); end != std::string_view::npos) value = value.substr(0, end);
        if (value == SecretHintValue) return ClipboardRead::Secret;
    }

    Answer answer;
    if (const Step step = Convert(targets.text, answer); step != Step::Done) return failed(step);
    // Checked once the text is in: had the selection changed hands since
    // the targets were asked, the text would not be the one the hint was
    // about. The owner change shows as an event before this answer.
    const bool sameOwner = Owner() == owner;
    while (xcb_generic_event_t* raw = xcb_poll_for_queued_event(connection_)) {
        Reply<xcb_generic_event_t> event(raw);
        if (TakeOwnerChange(raw)) ownerChanged_ = true;
    }
    if (!sameOwner) ownerChanged_ = true;
    if (ownerChanged_) return ClipboardRead::Failed;
    if (answer.format != 8 || !IsTextType(answer.type, targets.text)) return ClipboardRead::Failed;
    if (answer.type == stringAtom_ && !Latin1ToUtf8InPlace(answer.data, MaxTextBytes)) return ClipboardRead::NoText;
    text = std::move(answer.data);
    return ClipboardRead::Text;
}

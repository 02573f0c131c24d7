#include "app/X11SelectionReader.h"

#include "transfer/TransferLimits.h"

#include <xcb/xcb.h>

#include <poll.h>

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

// The whole of a property in one request (its length counts 4-byte units).
constexpr std::uint32_t WholeProperty = 0x3FFFFFFF;

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <class T>
using Reply = std::unique_ptr<T, FreeDeleter>;

std::int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void AppendLatin1AsUtf8(std::string& out, const char* bytes, std::size_t size)
{
    out.reserve(out.size() + size);
    for (std::size_t i = 0; i < size; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (byte < 0x80) {
            out.push_back(static_cast<char>(byte));
        } else {
            out.push_back(static_cast<char>(0xC0 | (byte >> 6)));
            out.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
        }
    }
}

} // namespace

struct X11SelectionReader::Targets {
    std::uint32_t text = 0; // the best text target, 0 for none
    bool secretHint = false;
};

X11SelectionReader::X11SelectionReader()
{
    int screenNumber = 0;
    xcb_connection_t* connection = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        return;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i) xcb_screen_next(&screens);
    if (screens.rem == 0) {
        xcb_disconnect(connection);
        return;
    }
    connection_ = connection;
    root_ = screens.data->root;

    const char* names[] = {"CLIPBOARD", "TARGETS",    "INCR",       PropertyName,
                           "UTF8_STRING", "text/plain;charset=utf-8", "STRING", "TEXT",
                           "text/plain",  SecretHintName, "ATOM"};
    std::uint32_t* atoms[] = {&clipboardAtom_, &targetsAtom_,   &incrAtom_,  &propertyAtom_,
                              &utf8Atom_,      &utf8MimeAtom_,  &stringAtom_, &textAtom_,
                              &plainMimeAtom_, &secretHintAtom_, &atomAtom_};
    xcb_intern_atom_cookie_t cookies[std::size(names)];
    for (std::size_t i = 0; i < std::size(names); ++i)
        cookies[i] = xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(std::strlen(names[i])), names[i]);
    for (std::size_t i = 0; i < std::size(names); ++i) {
        Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(connection_, cookies[i], nullptr));
        *atoms[i] = reply ? reply->atom : std::uint32_t{XCB_ATOM_NONE};
    }
    MakeWindow();
}

X11SelectionReader::~X11SelectionReader()
{
    if (connection_ != nullptr) xcb_disconnect(connection_);
}

// A fresh window after an owner fell silent: whatever it sends later goes to
// a window that is gone, never into a later read.
void X11SelectionReader::MakeWindow()
{
    if (window_ != 0) xcb_destroy_window(connection_, window_);
    window_ = xcb_generate_id(connection_);
    const std::uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window_, root_, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &events);
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

// Waits for an event on the reader's window: a SelectionNotify answering a
// request for `target`, or a new value of the answer property.
bool X11SelectionReader::WaitForEvent(std::uint8_t kind, std::int64_t deadlineMs, std::uint32_t target)
{
    for (;;) {
        while (xcb_generic_event_t* raw = xcb_poll_for_event(connection_)) {
            Reply<xcb_generic_event_t> event(raw);
            const std::uint8_t type = event->response_type & 0x7F;
            if (type != kind) continue;
            if (type == XCB_SELECTION_NOTIFY) {
                const auto* notify = reinterpret_cast<const xcb_selection_notify_event_t*>(raw);
                if (notify->requestor == window_ && notify->selection == clipboardAtom_ && notify->target == target) {
                    lastNotifyProperty_ = notify->property;
                    return true;
                }
            } else if (type == XCB_PROPERTY_NOTIFY) {
                const auto* notify = reinterpret_cast<const xcb_property_notify_event_t*>(raw);
                if (notify->window == window_ && notify->atom == propertyAtom_ &&
                    notify->state == XCB_PROPERTY_NEW_VALUE)
                    return true;
            }
        }
        if (xcb_connection_has_error(connection_)) return false;
        const std::int64_t left = deadlineMs - NowMs();
        if (left <= 0) return false;
        pollfd ready{xcb_get_file_descriptor(connection_), POLLIN, 0};
        poll(&ready, 1, static_cast<int>(std::min<std::int64_t>(left, 1000)));
    }
}

X11SelectionReader::Step X11SelectionReader::Convert(std::uint32_t target, Answer& answer)
{
    xcb_delete_property(connection_, window_, propertyAtom_);
    xcb_convert_selection(connection_, window_, clipboardAtom_, target, propertyAtom_, XCB_CURRENT_TIME);
    xcb_flush(connection_);
    if (!WaitForEvent(XCB_SELECTION_NOTIFY, NowMs() + StepTimeoutMs, target)) return Step::Silent;
    if (lastNotifyProperty_ == XCB_ATOM_NONE) return Step::Refused;
    Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        connection_, xcb_get_property(connection_, 1, window_, propertyAtom_, XCB_GET_PROPERTY_TYPE_ANY, 0, WholeProperty),
        nullptr));
    if (!reply) return Step::Refused;
    answer.type = reply->type;
    answer.format = reply->format;
    const auto* value = static_cast<const char*>(xcb_get_property_value(reply.get()));
    const auto length = static_cast<std::size_t>(xcb_get_property_value_length(reply.get()));
    if (reply->type != incrAtom_) {
        answer.data.assign(value, length);
        return Step::Done;
    }
    // In pieces: the owner gives the next one each time the last is taken
    // (the property deleted), and an empty one ends the text.
    std::size_t sizeHint = 0;
    if (reply->format == 32 && length >= 4) {
        std::uint32_t announced = 0;
        std::memcpy(&announced, value, sizeof announced);
        sizeHint = std::min<std::size_t>(announced, static_cast<std::size_t>(MaxTransferBytes) + 1);
    }
    reply.reset();
    answer.data.clear();
    answer.data.reserve(sizeHint);
    bool typed = false;
    for (;;) {
        if (!WaitForEvent(XCB_PROPERTY_NOTIFY, NowMs() + StepTimeoutMs, target)) return Step::Silent;
        Reply<xcb_get_property_reply_t> piece(xcb_get_property_reply(
            connection_,
            xcb_get_property(connection_, 1, window_, propertyAtom_, XCB_GET_PROPERTY_TYPE_ANY, 0, WholeProperty),
            nullptr));
        if (!piece) return Step::Refused;
        const auto pieceLength = static_cast<std::size_t>(xcb_get_property_value_length(piece.get()));
        if (pieceLength == 0) {
            if (!typed) {
                answer.type = piece->type;
                answer.format = piece->format;
            }
            return Step::Done;
        }
        if (!typed || piece->type != answer.type) {
            if (typed) return Step::Refused; // a change of type half way is not one text
            typed = true;
            answer.type = piece->type;
            answer.format = piece->format;
        }
        answer.data.append(static_cast<const char*>(xcb_get_property_value(piece.get())), pieceLength);
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
    if (connection_ == nullptr || xcb_connection_has_error(connection_)) return ClipboardRead::Unreachable;
    const std::uint32_t owner = Owner();
    if (owner == XCB_WINDOW_NONE) return ClipboardRead::NoText;
    if (KnownSilent(owner, changes)) return ClipboardRead::Failed;
    const auto failed = [&](Step step) {
        if (step == Step::Silent) NoteSilent(owner, changes);
        return ClipboardRead::Failed;
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
    if (answer.format != 8 || !IsTextType(answer.type, targets.text)) return ClipboardRead::Failed;
    if (answer.type == stringAtom_) {
        text.clear();
        AppendLatin1AsUtf8(text, answer.data.data(), answer.data.size());
    } else {
        text = std::move(answer.data);
    }
    return ClipboardRead::Text;
}

bool X11SelectionReader::HoldsText(std::uint64_t changes)
{
    if (connection_ == nullptr || xcb_connection_has_error(connection_)) return false;
    const std::uint32_t owner = Owner();
    if (owner == XCB_WINDOW_NONE || KnownSilent(owner, changes)) return false;
    Targets targets;
    const Step step = ListTargets(targets);
    if (step == Step::Silent) NoteSilent(owner, changes);
    return step == Step::Done && targets.text != 0;
}

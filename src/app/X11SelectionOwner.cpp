#include "app/X11SelectionOwner.h"

#include "app/X11Connection.h"

#include "base/EventLoop.h"

#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <QMetaObject>
#include <QSocketNotifier>
#include <QTimer>

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace {

template <class T>
using Reply = X11Reply<T>;

std::int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// UTF-8 to Latin-1; null when the text holds a character beyond U+00FF or
// is not UTF-8.
std::shared_ptr<const std::string> ToLatin1(const std::string& text)
{
    auto latin1 = std::make_shared<std::string>();
    latin1->reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            latin1->push_back(static_cast<char>(byte));
            continue;
        }
        if ((byte != 0xC2 && byte != 0xC3) || i + 1 == text.size()) return nullptr;
        const auto next = static_cast<unsigned char>(text[++i]);
        if ((next & 0xC0) != 0x80) return nullptr;
        latin1->push_back(static_cast<char>(((byte & 0x03) << 6) | (next & 0x3F)));
    }
    return latin1;
}

} // namespace

X11SelectionOwner::X11SelectionOwner()
{
    const X11Display display = ConnectX11WithFixes();
    if (display.connection == nullptr) return;
    connection_ = display.connection;
    fixesEvent_ = display.fixesEvent;

    const char* names[] = {"CLIPBOARD", "TARGETS", "TIMESTAMP", "INCR", "UTF8_STRING", "text/plain;charset=utf-8",
                           "STRING", "TEXT", "CLIPBOARD_MANAGER", "SAVE_TARGETS", "MULTIPLE", "ATOM_PAIR"};
    std::uint32_t* atoms[] = {&clipboardAtom_, &targetsAtom_,    &timestampAtom_, &incrAtom_,
                              &utf8Atom_,      &utf8MimeAtom_,   &stringAtom_,    &textAtom_,
                              &managerAtom_,   &saveTargetsAtom_, &multipleAtom_,  &atomPairAtom_};
    static_assert(std::size(names) == std::size(atoms));
    InternAtoms(connection_, names, atoms, std::size(names));

    // Room for the request's own fields besides the piece.
    const std::size_t requestBytes = static_cast<std::size_t>(xcb_get_maximum_request_length(connection_)) * 4;
    chunkBytes_ = std::min(MaxChunkBytes, requestBytes > 1024 ? requestBytes - 1024 : requestBytes / 2);

    window_ = xcb_generate_id(connection_);
    xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window_, display.root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
    xcb_xfixes_select_selection_input(connection_, window_, clipboardAtom_,
                                      XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
                                          XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY |
                                          XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
    xcb_flush(connection_);

    notifier_ = new QSocketNotifier(xcb_get_file_descriptor(connection_), QSocketNotifier::Read, this);
    QObject::connect(notifier_, &QSocketNotifier::activated, this, [this] { RunGuarded([this] { Dispatch(); }); });
    sweeper_ = new QTimer(this);
    sweeper_->setInterval(1000);
    QObject::connect(sweeper_, &QTimer::timeout, this, [this] { RunGuarded([this] { Sweep(); }); });
}

X11SelectionOwner::~X11SelectionOwner()
{
    delete notifier_;
    if (connection_ == nullptr) return;
    onChange_ = nullptr; // its owner is on its way out too
    HandOver();
    xcb_disconnect(connection_);
}

void X11SelectionOwner::HandOver()
{
    Dispatch();
    if (text_ == nullptr || xcb_connection_has_error(connection_)) return;
    Reply<xcb_get_selection_owner_reply_t> manager(
        xcb_get_selection_owner_reply(connection_, xcb_get_selection_owner(connection_, managerAtom_), nullptr));
    if (!manager || manager->owner == XCB_WINDOW_NONE) return;
    xcb_convert_selection(connection_, window_, managerAtom_, saveTargetsAtom_, saveTargetsAtom_, XCB_CURRENT_TIME);
    xcb_flush(connection_);
    const std::int64_t deadline = NowMs() + SaveTimeoutMs;
    for (std::int64_t left = SaveTimeoutMs; left > 0; left = deadline - NowMs()) {
        while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
            Reply<xcb_generic_event_t> hold(event);
            const auto* notify = reinterpret_cast<const xcb_selection_notify_event_t*>(event);
            if ((event->response_type & 0x7F) == XCB_SELECTION_NOTIFY && notify->selection == managerAtom_)
                return;
            Handle(event);
        }
        if (xcb_connection_has_error(connection_)) return;
        pollfd ready{xcb_get_file_descriptor(connection_), POLLIN, 0};
        poll(&ready, 1, static_cast<int>(left));
    }
}

bool X11SelectionOwner::Own(std::shared_ptr<const std::string> text)
{
    if (connection_ == nullptr || xcb_connection_has_error(connection_)) return false;
    // Served from the moment the server makes this window the owner.
    text_ = std::move(text);
    latin1_.reset();
    latin1Known_ = false;
    xcb_set_selection_owner(connection_, window_, clipboardAtom_, XCB_CURRENT_TIME);
    Reply<xcb_get_selection_owner_reply_t> owner(
        xcb_get_selection_owner_reply(connection_, xcb_get_selection_owner(connection_, clipboardAtom_), nullptr));
    if (!owner || owner->owner != window_) {
        text_.reset();
        return false;
    }
    // Every event queued by now is older than the ownership: handled first,
    // so that an older owner's change does not take the text away.
    const std::shared_ptr<const std::string> placed = text_;
    while (xcb_generic_event_t* event = xcb_poll_for_queued_event(connection_)) {
        Reply<xcb_generic_event_t> hold(event);
        Handle(event);
    }
    text_ = placed;
    ++changes_;
    // Events the reply wait took in do not wake the notifier.
    QMetaObject::invokeMethod(this, [this] { RunGuarded([this] { Dispatch(); }); }, Qt::QueuedConnection);
    if (onChange_) onChange_();
    return true;
}

void X11SelectionOwner::Dispatch()
{
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
        Reply<xcb_generic_event_t> hold(event);
        Handle(event);
    }
}

void X11SelectionOwner::Handle(const void* raw)
{
    const auto* event = static_cast<const xcb_generic_event_t*>(raw);
    const std::uint8_t kind = event->response_type & 0x7F;
    if (kind == fixesEvent_ + XCB_XFIXES_SELECTION_NOTIFY) {
        const auto* notify = reinterpret_cast<const xcb_xfixes_selection_notify_event_t*>(event);
        if (notify->selection != clipboardAtom_) return;
        if (notify->owner == window_) {
            ownTime_ = notify->selection_timestamp;
            return;
        }
        text_.reset();
        latin1_.reset();
        ++changes_;
        if (onChange_) onChange_();
    } else if (kind == XCB_SELECTION_REQUEST) {
        Answer(event);
    } else if (kind == XCB_PROPERTY_NOTIFY) {
        const auto* notify = reinterpret_cast<const xcb_property_notify_event_t*>(event);
        if (notify->state == XCB_PROPERTY_DELETE) Continue(notify->window, notify->atom);
    }
}

void X11SelectionOwner::Answer(const void* raw)
{
    const auto& request = *static_cast<const xcb_selection_request_event_t*>(raw);
    // An old requestor names no property: the target's name serves.
    std::uint32_t property = request.property != XCB_ATOM_NONE ? request.property : request.target;
    if (request.selection != clipboardAtom_ || request.owner != window_ || text_ == nullptr ||
        !Serve(request.requestor, request.target, property))
        property = XCB_ATOM_NONE;
    xcb_selection_notify_event_t notify{};
    notify.response_type = XCB_SELECTION_NOTIFY;
    notify.time = request.time;
    notify.requestor = request.requestor;
    notify.selection = request.selection;
    notify.target = request.target;
    notify.property = property;
    xcb_send_event(connection_, 0, request.requestor, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&notify));
    xcb_flush(connection_);
}

bool X11SelectionOwner::Serve(std::uint32_t requestor, std::uint32_t target, std::uint32_t property)
{
    if (target == multipleAtom_) return ServeMultiple(requestor, property);
    if (target == targetsAtom_) {
        const std::uint32_t targets[] = {targetsAtom_, timestampAtom_, utf8Atom_,  utf8MimeAtom_,
                                         textAtom_,    stringAtom_,    multipleAtom_};
        xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, requestor, property, XCB_ATOM_ATOM, 32,
                            static_cast<std::uint32_t>(std::size(targets)), targets);
        return true;
    }
    if (target == timestampAtom_) {
        xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, requestor, property, XCB_ATOM_INTEGER, 32, 1,
                            &ownTime_);
        return true;
    }
    if (target == utf8Atom_ || target == textAtom_) return ServeBytes(requestor, property, utf8Atom_, text_);
    if (target == utf8MimeAtom_) return ServeBytes(requestor, property, utf8MimeAtom_, text_);
    if (target == stringAtom_) {
        std::shared_ptr<const std::string> latin1 = Latin1();
        return latin1 != nullptr && ServeBytes(requestor, property, stringAtom_, std::move(latin1));
    }
    return false;
}

// The property holds pairs of a target and the property to answer it in;
// a pair that cannot be served gets None for its property.
bool X11SelectionOwner::ServeMultiple(std::uint32_t requestor, std::uint32_t property)
{
    constexpr std::uint32_t MaxPairs = 64;
    Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        connection_, xcb_get_property(connection_, 0, requestor, property, XCB_GET_PROPERTY_TYPE_ANY, 0, MaxPairs * 2),
        nullptr));
    if (!reply || reply->format != 32) return false;
    const auto count = static_cast<std::size_t>(xcb_get_property_value_length(reply.get())) / 4 / 2 * 2;
    const auto* value = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
    std::vector<std::uint32_t> pairs(value, value + count);
    for (std::size_t i = 0; i < pairs.size(); i += 2) {
        if (pairs[i] == multipleAtom_ || pairs[i + 1] == XCB_ATOM_NONE || !Serve(requestor, pairs[i], pairs[i + 1]))
            pairs[i + 1] = XCB_ATOM_NONE;
    }
    xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, requestor, property, atomPairAtom_, 32,
                        static_cast<std::uint32_t>(pairs.size()), pairs.data());
    return true;
}

std::shared_ptr<const std::string> X11SelectionOwner::Latin1()
{
    if (!latin1Known_) {
        latin1_ = ToLatin1(*text_);
        latin1Known_ = true;
    }
    return latin1_;
}

// A text that fits one piece goes whole; a larger one is announced (INCR,
// with its size) and its pieces follow as the requestor deletes the property.
bool X11SelectionOwner::ServeBytes(std::uint32_t requestor, std::uint32_t property, std::uint32_t type,
                                   std::shared_ptr<const std::string> bytes)
{
    if (bytes->size() <= chunkBytes_) {
        xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, requestor, property, type, 8,
                            static_cast<std::uint32_t>(bytes->size()), bytes->data());
        return true;
    }
    Sweep();
    if (transfers_.size() >= MaxTransfers) return false;
    const std::uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(connection_, requestor, XCB_CW_EVENT_MASK, &events);
    const auto size = static_cast<std::uint32_t>(std::min<std::size_t>(bytes->size(), UINT32_MAX));
    xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, requestor, property, incrAtom_, 32, 1, &size);
    transfers_.push_back(Transfer{requestor, property, type, std::move(bytes), 0, NowMs()});
    sweeper_->start();
    return true;
}

// The requestor took the last piece: the next one, or the empty one that
// ends the text.
void X11SelectionOwner::Continue(std::uint32_t window, std::uint32_t property)
{
    const auto found = std::find_if(transfers_.begin(), transfers_.end(), [&](const Transfer& transfer) {
        return transfer.requestor == window && transfer.property == property;
    });
    if (found == transfers_.end()) return;
    const std::size_t left = found->bytes->size() - found->offset;
    const std::size_t piece = std::min(left, chunkBytes_);
    xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, window, property, found->type, 8,
                        static_cast<std::uint32_t>(piece), found->bytes->data() + found->offset);
    xcb_flush(connection_);
    found->offset += piece;
    found->lastMs = NowMs();
    if (piece == 0) transfers_.erase(found);
}

void X11SelectionOwner::Sweep()
{
    const std::int64_t now = NowMs();
    std::erase_if(transfers_, [&](const Transfer& transfer) { return now - transfer.lastMs > IdleTransferMs; });
    if (transfers_.empty()) sweeper_->stop();
}

// A clipboard owner for the end-to-end tests that answers as told, where
// xclip can only answer well: owns CLIPBOARD and serves each target named on
// the command line, until another client takes the selection.
//
//   clipboard_owner TARGET=TYPE:BYTES ...   answer TARGET with BYTES of type TYPE
//   clipboard_owner TARGET=refuse ...       list TARGET but refuse it
//   clipboard_owner TARGET=silent ...       list TARGET but never answer it;
//                                           prints "asked" when asked for it
//   clipboard_owner TARGET=incr:N ...       answer TARGET with N bytes of "x" in
//                                           1 MiB pieces (INCR, announced as one
//                                           piece); prints "streamed" at the
//                                           end, "dropped" if the requestor's
//                                           window goes
//   clipboard_owner --refuse N ...          refuse the first N requests for
//                                           anything but TARGETS, then answer
//   clipboard_owner --stall MS ...          answer each request MS late; prints
//                                           "asked" for each request
//   clipboard_owner --manager               a clipboard manager: owns
//                                           CLIPBOARD_MANAGER; asked to save
//                                           (SAVE_TARGETS), it takes the
//                                           clipboard's UTF8_STRING and owns
//                                           the clipboard with it, prints "saved"
//   clipboard_owner ... --hand-over ...     the answers after it are a second
//                                           window's, which takes the selection
//                                           as the first answers TARGETS
//
// TARGETS lists every TARGET of the window asked. Prints "owned" once it owns
// the selection.
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

xcb_atom_t Intern(xcb_connection_t* connection, const std::string& name)
{
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, static_cast<uint16_t>(name.size()), name.c_str()), nullptr);
    const xcb_atom_t atom = reply != nullptr ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return atom;
}

struct Answer {
    bool refuse = false;
    bool silent = false;
    long long incrBytes = -1;
    xcb_atom_t type = XCB_ATOM_NONE;
    std::string bytes;
};

} // namespace

int main(int argc, char** argv)
{
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection)) return 2;
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    const xcb_atom_t clipboard = Intern(connection, "CLIPBOARD");
    const xcb_atom_t targetsAtom = Intern(connection, "TARGETS");

    // One set of answers per window, in the order they own the selection.
    std::vector<std::map<xcb_atom_t, Answer>> answerSets(1);
    std::vector<std::vector<xcb_atom_t>> targetSets{{targetsAtom}};
    int refusals = 0;
    int stallMs = 0;
    bool manager = false;
    for (int i = 1; i < argc; ++i) {
        const std::string spec = argv[i];
        if (spec == "--refuse" && i + 1 < argc) {
            refusals = std::atoi(argv[++i]);
            continue;
        }
        if (spec == "--stall" && i + 1 < argc) {
            stallMs = std::atoi(argv[++i]);
            continue;
        }
        if (spec == "--manager") {
            manager = true;
            continue;
        }
        if (spec == "--hand-over") {
            answerSets.emplace_back();
            targetSets.push_back({targetsAtom});
            continue;
        }
        const auto equals = spec.find('=');
        if (equals == std::string::npos) return 2;
        const xcb_atom_t target = Intern(connection, spec.substr(0, equals));
        const std::string rest = spec.substr(equals + 1);
        Answer answer;
        if (rest == "refuse") {
            answer.refuse = true;
        } else if (rest == "silent") {
            answer.silent = true;
        } else if (rest.rfind("incr:", 0) == 0) {
            answer.incrBytes = std::atoll(rest.c_str() + 5);
        } else {
            const auto colon = rest.find(':');
            if (colon == std::string::npos) return 2;
            answer.type = Intern(connection, rest.substr(0, colon));
            answer.bytes = rest.substr(colon + 1);
        }
        answerSets.back()[target] = answer;
        targetSets.back().push_back(target);
    }

    std::vector<xcb_window_t> windows;
    for (std::size_t i = 0; i < answerSets.size(); ++i) {
        windows.push_back(xcb_generate_id(connection));
        xcb_create_window(connection, XCB_COPY_FROM_PARENT, windows.back(), screen->root, 0, 0, 1, 1, 0,
                          XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
    }
    std::size_t current = 0;
    const xcb_window_t window = windows[0];
    const xcb_atom_t managerAtom = Intern(connection, "CLIPBOARD_MANAGER");
    const xcb_atom_t owning = manager ? managerAtom : clipboard;
    xcb_set_selection_owner(connection, window, owning, XCB_CURRENT_TIME);
    xcb_get_selection_owner_reply_t* owner =
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, owning), nullptr);
    const bool owned = owner != nullptr && owner->owner == window;
    std::free(owner);
    if (!owned) return 1;
    std::printf("owned\n");
    std::fflush(stdout);

    // The one INCR stream under way.
    constexpr uint32_t PieceBytes = 1024 * 1024;
    const std::string piece(PieceBytes, 'x');
    xcb_window_t streamWindow = XCB_WINDOW_NONE;
    xcb_atom_t streamProperty = XCB_ATOM_NONE;
    long long streamLeft = -1;
    const xcb_atom_t incrAtom = Intern(connection, "INCR");
    const xcb_atom_t utf8Atom = Intern(connection, "UTF8_STRING");

    while (xcb_generic_event_t* event = xcb_wait_for_event(connection)) {
        const uint8_t kind = event->response_type & 0x7F;
        if ((kind == 0 || kind == XCB_DESTROY_NOTIFY) && streamLeft >= 0) {
            std::printf("dropped\n");
            std::fflush(stdout);
            streamLeft = -1;
        }
        if (kind == XCB_PROPERTY_NOTIFY && streamLeft >= 0) {
            const auto* notify = reinterpret_cast<xcb_property_notify_event_t*>(event);
            if (notify->window == streamWindow && notify->atom == streamProperty &&
                notify->state == XCB_PROPERTY_DELETE) {
                const auto size = static_cast<uint32_t>(std::min<long long>(streamLeft, PieceBytes));
                xcb_change_property(connection, XCB_PROP_MODE_REPLACE, streamWindow, streamProperty, utf8Atom, 8,
                                    size, piece.data());
                xcb_flush(connection);
                if (size == 0) {
                    std::printf("streamed\n");
                    std::fflush(stdout);
                    streamLeft = -1;
                } else {
                    streamLeft -= size;
                }
            }
        }
        if (kind == XCB_SELECTION_CLEAR) {
            const bool lost = reinterpret_cast<xcb_selection_clear_event_t*>(event)->owner == windows[current];
            std::free(event);
            if (lost) break;
            continue;
        }
        if (kind == XCB_SELECTION_REQUEST &&
            reinterpret_cast<xcb_selection_request_event_t*>(event)->selection == managerAtom) {
            const xcb_selection_request_event_t request = *reinterpret_cast<xcb_selection_request_event_t*>(event);
            std::free(event);
            const xcb_atom_t saved = Intern(connection, "SAVED");
            xcb_convert_selection(connection, window, clipboard, utf8Atom, saved, XCB_CURRENT_TIME);
            xcb_flush(connection);
            while (xcb_generic_event_t* answer = xcb_wait_for_event(connection)) {
                const bool answered = (answer->response_type & 0x7F) == XCB_SELECTION_NOTIFY;
                std::free(answer);
                if (answered) break;
            }
            xcb_get_property_reply_t* property = xcb_get_property_reply(
                connection, xcb_get_property(connection, 1, window, saved, XCB_GET_PROPERTY_TYPE_ANY, 0, 1 << 24),
                nullptr);
            Answer text;
            text.type = utf8Atom;
            if (property != nullptr)
                text.bytes.assign(static_cast<const char*>(xcb_get_property_value(property)),
                                  static_cast<std::size_t>(xcb_get_property_value_length(property)));
            std::free(property);
            answerSets[0][utf8Atom] = text;
            targetSets[0].push_back(utf8Atom);
            xcb_set_selection_owner(connection, window, clipboard, XCB_CURRENT_TIME);
            xcb_selection_notify_event_t notify{};
            notify.response_type = XCB_SELECTION_NOTIFY;
            notify.time = request.time;
            notify.requestor = request.requestor;
            notify.selection = request.selection;
            notify.target = request.target;
            notify.property = request.property;
            xcb_send_event(connection, 0, request.requestor, XCB_EVENT_MASK_NO_EVENT,
                           reinterpret_cast<const char*>(&notify));
            xcb_flush(connection);
            std::printf("saved\n");
            std::fflush(stdout);
            continue;
        }
        if (kind == XCB_SELECTION_REQUEST) {
            const auto* request = reinterpret_cast<xcb_selection_request_event_t*>(event);
            std::size_t asked = 0;
            while (asked + 1 < windows.size() && windows[asked] != request->owner) ++asked;
            const std::map<xcb_atom_t, Answer>& answers = answerSets[asked];
            const std::vector<xcb_atom_t>& targets = targetSets[asked];
            xcb_atom_t property = request->property == XCB_ATOM_NONE ? request->target : request->property;
            const auto found = answers.find(request->target);
            if (found != answers.end() && found->second.silent) {
                std::printf("asked\n");
                std::fflush(stdout);
                std::free(event);
                continue;
            }
            if (stallMs > 0) {
                std::printf("asked\n");
                std::fflush(stdout);
                std::this_thread::sleep_for(std::chrono::milliseconds(stallMs));
            }
            if (request->target == targetsAtom) {
                xcb_change_property(connection, XCB_PROP_MODE_REPLACE, request->requestor, property, XCB_ATOM_ATOM,
                                    32, static_cast<uint32_t>(targets.size()), targets.data());
                // Before the answer: the requestor's next request finds the
                // next window owning the selection.
                if (asked == current && current + 1 < windows.size()) {
                    xcb_set_selection_owner(connection, windows[++current], clipboard, XCB_CURRENT_TIME);
                    std::printf("handed over\n");
                    std::fflush(stdout);
                }
            } else if (found != answers.end() && found->second.incrBytes >= 0) {
                streamWindow = request->requestor;
                streamProperty = property;
                streamLeft = found->second.incrBytes;
                const uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
                xcb_change_window_attributes(connection, streamWindow, XCB_CW_EVENT_MASK, &events);
                xcb_change_property(connection, XCB_PROP_MODE_REPLACE, streamWindow, property, incrAtom, 32, 1,
                                    &PieceBytes);
            } else if (refusals > 0) {
                --refusals;
                property = XCB_ATOM_NONE;
            } else if (found != answers.end() && !found->second.refuse) {
                xcb_change_property(connection, XCB_PROP_MODE_REPLACE, request->requestor, property,
                                    found->second.type, 8, static_cast<uint32_t>(found->second.bytes.size()),
                                    found->second.bytes.data());
            } else {
                property = XCB_ATOM_NONE;
            }
            xcb_selection_notify_event_t notify{};
            notify.response_type = XCB_SELECTION_NOTIFY;
            notify.time = request->time;
            notify.requestor = request->requestor;
            notify.selection = request->selection;
            notify.target = request->target;
            notify.property = property;
            xcb_send_event(connection, 0, request->requestor, XCB_EVENT_MASK_NO_EVENT,
                           reinterpret_cast<const char*>(&notify));
            xcb_flush(connection);
        }
        std::free(event);
    }
    xcb_disconnect(connection);
    return 0;
}

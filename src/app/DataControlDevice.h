// DataControlDevice: the compositor's clipboard selection through a
// data-control protocol, on a Wayland connection of its own.
//
// It binds ext_data_control_manager_v1 where the compositor offers it, else
// zwlr_data_control_manager_v1 of version 2 or later, and gets the device of
// the first seat. The two protocols carry the same messages in the same order
// under different names, so one set of calls serves both, each sent with the
// interfaces of the protocol bound. These protocols let a client watch and
// set the selection without focus, which is what the program needs from the
// background.
//
// The device keeps the offer that is the selection (with its MIME types) and
// the sources this program made; the Client hears of a new selection, of a
// request to one of the program's sources and of a source the compositor
// cancelled. It is tied to no event loop: the owner watches Fd(), calls
// Dispatch when it is readable and Flush after making requests. Used on one
// thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct wl_display;
struct wl_proxy;
struct wl_registry;
struct DataControlInterfaces;

// An offer of the compositor's: one content in the MIME types it lists.
struct DataControlOffer {
    wl_proxy* proxy = nullptr;
    std::vector<std::string> types;

    bool Lists(std::string_view type) const;
};

class DataControlDevice {
public:
    using SourceId = std::uint64_t;

    class Client {
    public:
        virtual ~Client() = default;
        // The selection changed; nullptr: it is empty. The offer stays valid
        // until the next selection event.
        virtual void SelectionChanged(const DataControlOffer* offer) = 0;
        // Someone asks for a source's content in `type`: write it to `fd`,
        // which the client owns from here on, and close it.
        virtual void SendRequested(SourceId source, const std::string& type, int fd) = 0;
        // The compositor cancelled the source (another one is the selection);
        // the device has released it.
        virtual void SourceCancelled(SourceId source) = 0;
    };

    enum class Flushed { Done, Blocked, Lost };

    // How long connecting may wait for the compositor's answers.
    static constexpr int ConnectTimeoutMs = 3000;

    // The device of the display WAYLAND_DISPLAY names; nullptr when there is
    // none, when the compositor offers neither protocol or no seat, or when
    // it does not answer within ConnectTimeoutMs.
    static std::unique_ptr<DataControlDevice> Connect(Client& client);
    // Whether Connect would find a device, asked without keeping it.
    static bool Offered();

    ~DataControlDevice();
    DataControlDevice(const DataControlDevice&) = delete;
    DataControlDevice& operator=(const DataControlDevice&) = delete;

    // The connection's descriptor, to watch for reading (and for writing
    // while Flush says Blocked).
    int Fd() const;
    // Reads what the compositor sent and hands it to the client. False once
    // the connection is lost (the compositor went away, or a protocol error).
    bool Dispatch();
    // Sends the requests made so far without waiting.
    Flushed Flush();
    bool Lost() const;
    // The protocol's manager interface bound, for messages.
    std::string ProtocolName() const;

    // Asks the selection's owner for its content in `type`; returns the
    // non-blocking read end of the pipe it will write to, -1 when no pipe
    // could be made.
    int Receive(const DataControlOffer& offer, const std::string& type);
    // Makes a source offering `types` and makes it the selection; 0 once the
    // device is gone.
    SourceId SetSelection(const std::vector<std::string>& types);

private:
    struct Source;

    DataControlDevice(Client* client, wl_display* display);
    bool Bind();
    bool RoundTrip();
    void DestroyOffer(std::unique_ptr<DataControlOffer>& offer);

    static void OnGlobal(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                         std::uint32_t version);
    static void OnGlobalRemove(void* data, wl_registry* registry, std::uint32_t name);
    static void OnDataOffer(void* data, wl_proxy* device, wl_proxy* offer);
    static void OnSelection(void* data, wl_proxy* device, wl_proxy* offer);
    static void OnFinished(void* data, wl_proxy* device);
    static void OnPrimarySelection(void* data, wl_proxy* device, wl_proxy* offer);
    static void OnOfferType(void* data, wl_proxy* offer, const char* type);
    static void OnSend(void* data, wl_proxy* source, const char* type, std::int32_t fd);
    static void OnCancelled(void* data, wl_proxy* source);

    Client* client_;
    wl_display* display_;
    wl_registry* registry_ = nullptr;
    const DataControlInterfaces* protocol_ = nullptr;
    std::uint32_t managerName_ = 0, managerVersion_ = 0;
    std::uint32_t seatName_ = 0;
    wl_proxy* manager_ = nullptr;
    wl_proxy* seat_ = nullptr;
    wl_proxy* device_ = nullptr;
    bool finished_ = false;
    // Offers announced but not yet named as a selection.
    std::map<wl_proxy*, std::unique_ptr<DataControlOffer>> announced_;
    std::unique_ptr<DataControlOffer> selection_;
    std::map<SourceId, std::unique_ptr<Source>> sources_;
    SourceId nextSource_ = 1;
};

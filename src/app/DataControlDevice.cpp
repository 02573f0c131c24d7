#include "app/DataControlDevice.h"

#include "ext-data-control-v1-client-protocol.h"
#include "wlr-data-control-unstable-v1-client-protocol.h"

#include <wayland-client.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

// One protocol's interfaces, and the manager versions this program speaks.
struct DataControlInterfaces {
    const char* managerName;
    std::uint32_t minVersion;
    std::uint32_t maxVersion;
    const wl_interface* manager;
    const wl_interface* device;
    const wl_interface* source;
    const wl_interface* offer;
};

namespace {

const DataControlInterfaces ExtProtocol{"ext_data_control_manager_v1", 1, 1,
                                        &ext_data_control_manager_v1_interface,
                                        &ext_data_control_device_v1_interface,
                                        &ext_data_control_source_v1_interface,
                                        &ext_data_control_offer_v1_interface};
// Version 2 is the first whose device tells the primary selection apart,
// so that its changes are never taken for the clipboard's.
const DataControlInterfaces WlrProtocol{"zwlr_data_control_manager_v1", 2, 2,
                                        &zwlr_data_control_manager_v1_interface,
                                        &zwlr_data_control_device_v1_interface,
                                        &zwlr_data_control_source_v1_interface,
                                        &zwlr_data_control_offer_v1_interface};

// Request numbers, the same in both protocols.
constexpr std::uint32_t CreateDataSource = EXT_DATA_CONTROL_MANAGER_V1_CREATE_DATA_SOURCE;
constexpr std::uint32_t GetDataDevice = EXT_DATA_CONTROL_MANAGER_V1_GET_DATA_DEVICE;
constexpr std::uint32_t ManagerDestroy = EXT_DATA_CONTROL_MANAGER_V1_DESTROY;
constexpr std::uint32_t SetSelectionRequest = EXT_DATA_CONTROL_DEVICE_V1_SET_SELECTION;
constexpr std::uint32_t DeviceDestroy = EXT_DATA_CONTROL_DEVICE_V1_DESTROY;
constexpr std::uint32_t SourceOffer = EXT_DATA_CONTROL_SOURCE_V1_OFFER;
constexpr std::uint32_t SourceDestroy = EXT_DATA_CONTROL_SOURCE_V1_DESTROY;
constexpr std::uint32_t OfferReceive = EXT_DATA_CONTROL_OFFER_V1_RECEIVE;
constexpr std::uint32_t OfferDestroy = EXT_DATA_CONTROL_OFFER_V1_DESTROY;
static_assert(CreateDataSource == ZWLR_DATA_CONTROL_MANAGER_V1_CREATE_DATA_SOURCE &&
              GetDataDevice == ZWLR_DATA_CONTROL_MANAGER_V1_GET_DATA_DEVICE &&
              ManagerDestroy == ZWLR_DATA_CONTROL_MANAGER_V1_DESTROY &&
              SetSelectionRequest == ZWLR_DATA_CONTROL_DEVICE_V1_SET_SELECTION &&
              DeviceDestroy == ZWLR_DATA_CONTROL_DEVICE_V1_DESTROY &&
              SourceOffer == ZWLR_DATA_CONTROL_SOURCE_V1_OFFER && SourceDestroy == ZWLR_DATA_CONTROL_SOURCE_V1_DESTROY &&
              OfferReceive == ZWLR_DATA_CONTROL_OFFER_V1_RECEIVE && OfferDestroy == ZWLR_DATA_CONTROL_OFFER_V1_DESTROY);

// Event handlers in event order, as libwayland calls them; the same layout
// serves both protocols.
struct DeviceListener {
    void (*dataOffer)(void*, wl_proxy*, wl_proxy*);
    void (*selection)(void*, wl_proxy*, wl_proxy*);
    void (*finished)(void*, wl_proxy*);
    void (*primarySelection)(void*, wl_proxy*, wl_proxy*);
};
struct SourceListener {
    void (*send)(void*, wl_proxy*, const char*, std::int32_t);
    void (*cancelled)(void*, wl_proxy*);
};
struct OfferListener {
    void (*offer)(void*, wl_proxy*, const char*);
};
static_assert(sizeof(DeviceListener) == sizeof(ext_data_control_device_v1_listener) &&
              sizeof(SourceListener) == sizeof(ext_data_control_source_v1_listener) &&
              sizeof(OfferListener) == sizeof(ext_data_control_offer_v1_listener));

template <class Listener>
void Listen(wl_proxy* proxy, const Listener& listener, void* data)
{
    // libwayland takes the handlers as an array of function pointers.
    wl_proxy_add_listener(proxy, reinterpret_cast<void (**)(void)>(const_cast<Listener*>(&listener)), data);
}

void Destroy(wl_proxy* proxy, std::uint32_t opcode)
{
    wl_proxy_marshal_flags(proxy, opcode, nullptr, wl_proxy_get_version(proxy), WL_MARSHAL_FLAG_DESTROY);
}

std::int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

struct DataControlDevice::Source {
    DataControlDevice* device;
    SourceId id;
    wl_proxy* proxy;
};

bool DataControlOffer::Lists(std::string_view type) const
{
    return std::find(types.begin(), types.end(), type) != types.end();
}

DataControlDevice::DataControlDevice(Client* client, wl_display* display) : client_(client), display_(display) {}

DataControlDevice::~DataControlDevice()
{
    for (auto& [proxy, offer] : announced_) DestroyOffer(offer);
    DestroyOffer(selection_);
    for (auto& [id, source] : sources_) Destroy(source->proxy, SourceDestroy);
    if (device_ != nullptr) Destroy(device_, DeviceDestroy);
    if (manager_ != nullptr) Destroy(manager_, ManagerDestroy);
    if (seat_ != nullptr) wl_proxy_destroy(seat_);
    if (registry_ != nullptr) wl_registry_destroy(registry_);
    wl_display_flush(display_);
    wl_display_disconnect(display_);
}

std::unique_ptr<DataControlDevice> DataControlDevice::Connect(Client& client)
{
    wl_display* display = wl_display_connect(nullptr);
    if (display == nullptr) return nullptr;
    std::unique_ptr<DataControlDevice> device(new DataControlDevice(&client, display));
    if (!device->Bind()) return nullptr;
    return device;
}

bool DataControlDevice::Offered()
{
    wl_display* display = wl_display_connect(nullptr);
    if (display == nullptr) return false;
    DataControlDevice device(nullptr, display);
    return device.RoundTrip() && device.protocol_ != nullptr && device.seatName_ != 0;
}

// The globals first (one round trip), then the manager, the seat and the
// device; the device's first selection event comes through Dispatch.
bool DataControlDevice::Bind()
{
    if (!RoundTrip() || protocol_ == nullptr || seatName_ == 0) return false;
    manager_ = static_cast<wl_proxy*>(wl_registry_bind(registry_, managerName_, protocol_->manager,
                                                       std::min(managerVersion_, protocol_->maxVersion)));
    seat_ = static_cast<wl_proxy*>(wl_registry_bind(registry_, seatName_, &wl_seat_interface, 1));
    device_ = wl_proxy_marshal_flags(manager_, GetDataDevice, protocol_->device, wl_proxy_get_version(manager_), 0,
                                     nullptr, seat_);
    static const DeviceListener deviceListener{OnDataOffer, OnSelection, OnFinished, OnPrimarySelection};
    Listen(device_, deviceListener, this);
    return Flush() != Flushed::Lost;
}

// Lists the globals and waits, at most ConnectTimeoutMs, for the compositor
// to have answered everything asked so far.
bool DataControlDevice::RoundTrip()
{
    if (registry_ == nullptr) {
        registry_ = wl_display_get_registry(display_);
        static const wl_registry_listener registryListener{OnGlobal, OnGlobalRemove};
        wl_registry_add_listener(registry_, &registryListener, this);
    }
    bool done = false;
    wl_callback* callback = wl_display_sync(display_);
    static const wl_callback_listener doneListener{
        [](void* data, wl_callback*, std::uint32_t) { *static_cast<bool*>(data) = true; }};
    wl_callback_add_listener(callback, &doneListener, &done);
    const std::int64_t deadlineMs = NowMs() + ConnectTimeoutMs;
    while (!done) {
        if (wl_display_dispatch_pending(display_) < 0 || done) break;
        if (wl_display_flush(display_) < 0 && errno != EAGAIN) break;
        if (wl_display_prepare_read(display_) != 0) continue;
        const std::int64_t leftMs = deadlineMs - NowMs();
        pollfd ready{wl_display_get_fd(display_), POLLIN, 0};
        const int polled = leftMs > 0 ? ::poll(&ready, 1, static_cast<int>(leftMs)) : 0;
        if (polled <= 0) {
            wl_display_cancel_read(display_);
            if (polled < 0 && errno == EINTR) continue;
            break;
        }
        if (wl_display_read_events(display_) < 0) break;
    }
    wl_callback_destroy(callback);
    return done;
}

void DataControlDevice::OnGlobal(void* data, wl_registry*, std::uint32_t name, const char* interface,
                                 std::uint32_t version)
{
    auto* self = static_cast<DataControlDevice*>(data);
    const std::string_view named(interface);
    if (named == wl_seat_interface.name) {
        if (self->seatName_ == 0) self->seatName_ = name;
        return;
    }
    for (const DataControlInterfaces* protocol : {&ExtProtocol, &WlrProtocol}) {
        if (named != protocol->managerName || version < protocol->minVersion) continue;
        // The standard protocol wins over the older one, whichever comes first.
        if (self->protocol_ == &ExtProtocol) return;
        self->protocol_ = protocol;
        self->managerName_ = name;
        self->managerVersion_ = version;
    }
}

void DataControlDevice::OnGlobalRemove(void*, wl_registry*, std::uint32_t) {}

int DataControlDevice::Fd() const
{
    return wl_display_get_fd(display_);
}

bool DataControlDevice::Lost() const
{
    return finished_ || wl_display_get_error(display_) != 0;
}

std::string DataControlDevice::ProtocolName() const
{
    return protocol_ != nullptr ? protocol_->managerName : "";
}

bool DataControlDevice::Dispatch()
{
    if (Lost()) return false;
    // Reads what the socket holds without waiting for more; a partial
    // message stays buffered inside libwayland until the rest arrives.
    if (wl_display_prepare_read(display_) == 0) wl_display_read_events(display_);
    wl_display_dispatch_pending(display_);
    return !Lost();
}

DataControlDevice::Flushed DataControlDevice::Flush()
{
    if (wl_display_flush(display_) >= 0) return Flushed::Done;
    return errno == EAGAIN ? Flushed::Blocked : Flushed::Lost;
}

int DataControlDevice::Receive(const DataControlOffer& offer, const std::string& type)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return -1;
    // Only this side's end is non-blocking: the writer gets a plain pipe.
    ::fcntl(ends[0], F_SETFL, ::fcntl(ends[0], F_GETFL) | O_NONBLOCK);
    wl_proxy_marshal_flags(offer.proxy, OfferReceive, nullptr, wl_proxy_get_version(offer.proxy), 0, type.c_str(),
                           ends[1]);
    // libwayland sends a duplicate of the descriptor.
    ::close(ends[1]);
    return ends[0];
}

DataControlDevice::SourceId DataControlDevice::SetSelection(const std::vector<std::string>& types)
{
    if (device_ == nullptr) return 0;
    wl_proxy* proxy = wl_proxy_marshal_flags(manager_, CreateDataSource, protocol_->source,
                                             wl_proxy_get_version(manager_), 0, nullptr);
    auto source = std::make_unique<Source>(Source{this, nextSource_++, proxy});
    static const SourceListener sourceListener{OnSend, OnCancelled};
    Listen(proxy, sourceListener, source.get());
    for (const std::string& type : types)
        wl_proxy_marshal_flags(proxy, SourceOffer, nullptr, wl_proxy_get_version(proxy), 0, type.c_str());
    wl_proxy_marshal_flags(device_, SetSelectionRequest, nullptr, wl_proxy_get_version(device_), 0, proxy);
    const SourceId id = source->id;
    sources_.emplace(id, std::move(source));
    return id;
}

void DataControlDevice::DestroyOffer(std::unique_ptr<DataControlOffer>& offer)
{
    if (offer == nullptr) return;
    Destroy(offer->proxy, OfferDestroy);
    offer.reset();
}

void DataControlDevice::OnDataOffer(void* data, wl_proxy*, wl_proxy* proxy)
{
    auto* self = static_cast<DataControlDevice*>(data);
    auto offer = std::make_unique<DataControlOffer>();
    offer->proxy = proxy;
    static const OfferListener offerListener{OnOfferType};
    Listen(proxy, offerListener, offer.get());
    self->announced_.emplace(proxy, std::move(offer));
}

void DataControlDevice::OnOfferType(void* data, wl_proxy*, const char* type)
{
    static_cast<DataControlOffer*>(data)->types.emplace_back(type);
}

void DataControlDevice::OnSelection(void* data, wl_proxy*, wl_proxy* proxy)
{
    auto* self = static_cast<DataControlDevice*>(data);
    std::unique_ptr<DataControlOffer> next;
    if (const auto found = self->announced_.find(proxy); found != self->announced_.end()) {
        next = std::move(found->second);
        self->announced_.erase(found);
    }
    self->DestroyOffer(self->selection_);
    self->selection_ = std::move(next);
    self->client_->SelectionChanged(self->selection_.get());
}

void DataControlDevice::OnPrimarySelection(void* data, wl_proxy*, wl_proxy* proxy)
{
    // Not the clipboard: the offer is let go at once.
    auto* self = static_cast<DataControlDevice*>(data);
    if (const auto found = self->announced_.find(proxy); found != self->announced_.end()) {
        self->DestroyOffer(found->second);
        self->announced_.erase(found);
    }
}

void DataControlDevice::OnFinished(void* data, wl_proxy*)
{
    auto* self = static_cast<DataControlDevice*>(data);
    self->finished_ = true;
    Destroy(self->device_, DeviceDestroy);
    self->device_ = nullptr;
}

void DataControlDevice::OnSend(void* data, wl_proxy*, const char* type, std::int32_t fd)
{
    auto* source = static_cast<Source*>(data);
    source->device->client_->SendRequested(source->id, type, fd);
}

void DataControlDevice::OnCancelled(void* data, wl_proxy*)
{
    auto* source = static_cast<Source*>(data);
    DataControlDevice* device = source->device;
    const SourceId id = source->id;
    Destroy(source->proxy, SourceDestroy);
    device->sources_.erase(id);
    device->client_->SourceCancelled(id);
}

// The end-to-end tests' Wayland clipboard owner, offering several types where
// wl-copy offers one, through wlroots data-control, until another client takes
// the selection; prints "owned" once it is the selection. With --watch it owns
// nothing and prints the CLOCK_MONOTONIC seconds of each selection change.
//
//   wl_clipboard_owner TYPE BYTES [TYPE BYTES ...] | --watch
#include "wlr-data-control-unstable-v1-client-protocol.h"

#include <wayland-client.h>

#include <unistd.h>

#include <csignal>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

namespace {

std::map<std::string, std::string> offers;
zwlr_data_control_manager_v1* manager = nullptr;
wl_seat* seat = nullptr;
bool cancelled = false;

void Global(void*, wl_registry* registry, uint32_t name, const char* interface, uint32_t version)
{
    if (std::strcmp(interface, zwlr_data_control_manager_v1_interface.name) == 0 && version >= 2) {
        manager = static_cast<zwlr_data_control_manager_v1*>(
            wl_registry_bind(registry, name, &zwlr_data_control_manager_v1_interface, 2));
    } else if (std::strcmp(interface, wl_seat_interface.name) == 0 && seat == nullptr) {
        seat = static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
    }
}

void GlobalRemove(void*, wl_registry*, uint32_t) {}

void Send(void*, zwlr_data_control_source_v1*, const char* type, int32_t fd)
{
    const std::string& bytes = offers[type];
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t wrote = write(fd, bytes.data() + done, bytes.size() - done);
        if (wrote <= 0) break;
        done += static_cast<std::size_t>(wrote);
    }
    close(fd);
}

void Cancelled(void*, zwlr_data_control_source_v1*) { cancelled = true; }

void DataOffer(void*, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1*) {}

void PrimarySelection(void*, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer)
{
    if (offer != nullptr) zwlr_data_control_offer_v1_destroy(offer);
}

void Selection(void*, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::printf("%lld.%09ld\n", static_cast<long long>(now.tv_sec), now.tv_nsec);
    std::fflush(stdout);
    PrimarySelection(nullptr, nullptr, offer);
}

void Finished(void*, zwlr_data_control_device_v1*) {}

} // namespace

int main(int argc, char* argv[])
{
    std::signal(SIGPIPE, SIG_IGN);
    for (int i = 1; i + 1 < argc; i += 2) offers[argv[i]] = argv[i + 1];
    wl_display* display = wl_display_connect(nullptr);
    if (display == nullptr) return 1;
    static const wl_registry_listener registryListener{Global, GlobalRemove};
    wl_registry_add_listener(wl_display_get_registry(display), &registryListener, nullptr);
    wl_display_roundtrip(display);
    if (manager == nullptr || seat == nullptr) return 1;

    zwlr_data_control_device_v1* device = zwlr_data_control_manager_v1_get_data_device(manager, seat);
    if (argc == 2 && std::strcmp(argv[1], "--watch") == 0) {
        static const zwlr_data_control_device_v1_listener deviceListener{DataOffer, Selection, Finished,
                                                                         PrimarySelection};
        zwlr_data_control_device_v1_add_listener(device, &deviceListener, nullptr);
        while (wl_display_dispatch(display) != -1) {
        }
        return 0;
    }
    zwlr_data_control_source_v1* source = zwlr_data_control_manager_v1_create_data_source(manager);
    static const zwlr_data_control_source_v1_listener sourceListener{Send, Cancelled};
    zwlr_data_control_source_v1_add_listener(source, &sourceListener, nullptr);
    for (const auto& [type, bytes] : offers) zwlr_data_control_source_v1_offer(source, type.c_str());
    zwlr_data_control_device_v1_set_selection(device, source);
    wl_display_roundtrip(display);
    std::puts("owned");
    std::fflush(stdout);
    while (!cancelled && wl_display_dispatch(display) != -1) {
    }
    return 0;
}

// The Windows watch: the IP Helper's notifications of new or changed routes and unicast
// addresses. They arrive on a thread of the system's, and are posted to the watch's thread;
// cancelling them (from the watch's thread) waits for a callback that is running.
// The route and address notifications are Vista's; Qt 6 needs Windows 10 anyway.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00
#endif

// winsock2.h comes before windows.h, netioapi.h after iphlpapi.h.
// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <ws2ipdef.h>
#include <iphlpapi.h>
#include <netioapi.h>
// clang-format on

#include <QMetaObject>

#include "network_watch.h"

namespace probe {

namespace {

class IpHelperWatch final : public NetworkWatch {
  public:
    IpHelperWatch() {
        if (NotifyRouteChange2(AF_UNSPEC, &IpHelperWatch::route_changed, this, FALSE,
                               &route_handle_) != NO_ERROR)
            route_handle_ = nullptr;
        if (NotifyUnicastIpAddressChange(AF_UNSPEC, &IpHelperWatch::address_changed, this, FALSE,
                                         &address_handle_) != NO_ERROR)
            address_handle_ = nullptr;
    }

    ~IpHelperWatch() override {
        if (route_handle_ != nullptr) CancelMibChangeNotify2(route_handle_);
        if (address_handle_ != nullptr) CancelMibChangeNotify2(address_handle_);
    }

  private:
    static void post(void* watch, MIB_NOTIFICATION_TYPE type) {
        if (type == MibDeleteInstance) return;
        QMetaObject::invokeMethod(static_cast<IpHelperWatch*>(watch), &NetworkWatch::changed,
                                  Qt::QueuedConnection);
    }
    static void WINAPI route_changed(void* watch, MIB_IPFORWARD_ROW2*, MIB_NOTIFICATION_TYPE type) {
        post(watch, type);
    }
    static void WINAPI address_changed(void* watch, MIB_UNICASTIPADDRESS_ROW*,
                                       MIB_NOTIFICATION_TYPE type) {
        post(watch, type);
    }

    HANDLE route_handle_ = nullptr;
    HANDLE address_handle_ = nullptr;
};

}  // namespace

std::unique_ptr<NetworkWatch> system_network_watch() {
    return std::make_unique<IpHelperWatch>();
}

}  // namespace probe

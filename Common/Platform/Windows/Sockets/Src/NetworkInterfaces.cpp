#include "NetworkInterfaces.h"

#include "Winsock.h"
// After winsock2.h and windows.h, which it needs.
#include <iphlpapi.h>

#include <memory>
#include <new>

namespace brondal::platform {

namespace {

constexpr ULONG FirstBufferSize = 15000;
// The list may grow between the call that sizes the buffer and the next.
constexpr int MaxCalls = 3;
constexpr ULONG WirelessType = 71;  // IF_TYPE_IEEE80211

}  // namespace

bool ListInterfaceAddresses(std::vector<InterfaceAddress>* list,
                            std::unordered_set<std::string>* wireless, unsigned long* error) {
    ULONG size = FirstBufferSize;
    std::unique_ptr<char[]> buffer;
    ULONG rc = ERROR_BUFFER_OVERFLOW;
    for (int call = 0; call < MaxCalls && rc == ERROR_BUFFER_OVERFLOW; ++call) {
        buffer.reset(new (std::nothrow) char[size]);
        if (!buffer) {
            *error = ERROR_NOT_ENOUGH_MEMORY;
            return false;
        }
        rc = ::GetAdaptersAddresses(AF_INET, GAA_FLAG_INCLUDE_PREFIX, nullptr,
                                    reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.get()), &size);
    }
    if (rc != ERROR_SUCCESS && rc != ERROR_NO_DATA) {
        *error = rc;
        return false;
    }
    list->clear();
    if (rc == ERROR_NO_DATA) return true;
    for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.get()); adapter;
         adapter = adapter->Next) {
        InterfaceAddress entry;
        entry.name = adapter->AdapterName ? adapter->AdapterName : "";
        entry.up = entry.running = adapter->OperStatus == IfOperStatusUp;
        entry.loopback = adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK;
        if (adapter->IfType == WirelessType) wireless->insert(entry.name);
        bool listed = false;
        for (auto* unicast = adapter->FirstUnicastAddress; unicast; unicast = unicast->Next) {
            const SOCKADDR* address = unicast->Address.lpSockaddr;
            if (!address || address->sa_family != AF_INET) continue;
            InterfaceAddress withAddress = entry;
            withAddress.hasIpv4 = true;
            withAddress.ipv4 =
                ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr);
            list->push_back(std::move(withAddress));
            listed = true;
        }
        if (!listed) list->push_back(std::move(entry));
    }
    return true;
}

}  // namespace brondal::platform

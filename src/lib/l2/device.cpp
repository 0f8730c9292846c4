// Device and host-interface lists, host interface enumeration.
#include "device.h"

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log.h"
#include "unique_fd.h"

namespace {

const INT8U kZeroMac[6] = {0, 0, 0, 0, 0, 0};

bool SameString(const CHAR* a, const CHAR* b) {
    if (a == nullptr || b == nullptr) return a == b;
    return std::strcmp(a, b) == 0;
}

// Interfaces reported by SIOCGIFCONF (first source). The request lists the same
// interfaces on any socket; a datagram socket needs no privilege.
void InterfaceListIoctlGet(t_interface** list) {
    const kivo::UniqueFd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock.valid()) return;
    // Room for 25 entries of 40 bytes.
    struct ifreq entries[25];
    std::memset(entries, 0, sizeof(entries));
    struct ifconf ifc;
    ifc.ifc_len = sizeof(entries);
    ifc.ifc_req = entries;
    if (ioctl(sock.get(), SIOCGIFCONF, &ifc) == 0) {
        size_t count = static_cast<size_t>(ifc.ifc_len) / sizeof(struct ifreq);
        if (count > 25) count = 25;
        for (size_t i = 0; i < count; ++i) {
            CHAR name[IFNAMSIZ + 1];
            std::memcpy(name, entries[i].ifr_name, IFNAMSIZ);
            name[IFNAMSIZ] = '\0';
            if (name[0] != '\0' && std::strcmp(name, "lo") != 0) InterfaceListAdd(list, name, nullptr);
        }
    }
}

// Interfaces listed in /proc/net/dev (second source).
void InterfaceListProcNetGet(t_interface** list) {
    if (list == nullptr) {
        kivo::Log(kivo::LogStream::kErr, "Warning: invalid arguments\n");
        return;
    }
    FILE* f = std::fopen("/proc/net/dev", "r");
    if (f == nullptr) {
        kivo::Log(kivo::LogStream::kErr, "Warning: cannot open /proc/net/dev\n");
        return;
    }
    CHAR line[1024];
    if (std::fgets(line, sizeof(line), f) == nullptr || std::fgets(line, sizeof(line), f) == nullptr) {
        kivo::Log(kivo::LogStream::kErr, "Warning: invalid /proc/net/dev\n");
        std::fclose(f);
        return;
    }
    while (std::fgets(line, sizeof(line), f) != nullptr) {
        CHAR* colon = std::strchr(line, ':');
        if (colon != nullptr) *colon = '\0';
        CHAR* space = std::strrchr(line, ' ');
        CHAR* name = space ? space + 1 : line;
        // A line without ':' still carries its line end; it is not part of a name.
        name[std::strcspn(name, "\r\n")] = '\0';
        if (name[0] != '\0' && std::strcmp(name, "lo") != 0) InterfaceListAdd(list, name, nullptr);
    }
    std::fclose(f);
}

}  // namespace

t_device* DeviceListFind(t_device* list, const INT8U* deviceMACAddr, const CHAR* interfaceName,
                         const INT8U* hostMACAddr, t_deviceType type) {
    if (deviceMACAddr == nullptr) return nullptr;
    const INT8U* host = hostMACAddr ? hostMACAddr : kZeroMac;
    for (t_device* d = list; d != nullptr; d = d->next) {
        if (SameString(d->interfaceName, interfaceName) &&
            std::memcmp(d->deviceMACAddr, deviceMACAddr, 6) == 0 &&
            std::memcmp(d->hostMACAddr, host, 6) == 0 && d->type == type)
            return d;
    }
    return nullptr;
}

void DeviceListAdd(t_device** list, const INT8U* deviceMACAddr, const CHAR* interfaceName,
                   const INT8U* hostMACAddr, t_deviceType type) {
    if (list == nullptr || deviceMACAddr == nullptr) return;
    if (DeviceListFind(*list, deviceMACAddr, interfaceName, hostMACAddr, type) != nullptr) return;
    t_device* node = static_cast<t_device*>(std::calloc(1, sizeof(t_device)));
    if (node == nullptr) return;
    std::memcpy(node->deviceMACAddr, deviceMACAddr, 6);
    node->interfaceName = interfaceName ? strdup(interfaceName) : nullptr;
    std::memcpy(node->hostMACAddr, hostMACAddr ? hostMACAddr : kZeroMac, 6);
    node->type = type;
    node->next = *list;
    *list = node;
}

void DeviceListFree(t_device* list) {
    while (list != nullptr) {
        t_device* next = list->next;
        std::free(list->interfaceName);
        std::free(list);
        list = next;
    }
}

void InterfaceListAdd(t_interface** list, const CHAR* name, const CHAR* description) {
    if (list == nullptr || name == nullptr) return;
    for (t_interface* i = *list; i != nullptr; i = i->next)
        if (i->name != nullptr && std::strcmp(i->name, name) == 0) return;
    t_interface* node = static_cast<t_interface*>(std::calloc(1, sizeof(t_interface)));
    if (node == nullptr) return;
    node->name = strdup(name);
    if (node->name == nullptr) {
        std::free(node);
        return;
    }
    node->description = description ? strdup(description) : nullptr;
    node->next = *list;
    *list = node;
}

void InterfaceListGet(t_interface** list) {
    if (list == nullptr) return;
    InterfaceListIoctlGet(list);
    InterfaceListProcNetGet(list);
}

void InterfaceListFree(t_interface* list) {
    while (list != nullptr) {
        t_interface* next = list->next;
        std::free(list->name);
        std::free(list->description);
        std::free(list);
        list = next;
    }
}

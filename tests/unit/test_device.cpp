// Device and interface lists, interface enumeration, MAC lookup.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <string>

#include "device.h"

namespace {
const INT8U macA[6] = {2, 0, 0, 0, 0, 1};
const INT8U macB[6] = {2, 0, 0, 0, 0, 2};
const INT8U macC[6] = {2, 0, 0, 0, 0, 3};
const INT8U hostMac[6] = {2, 0, 0, 0, 0, 0x10};

int ListLength(const t_device* d) {
    int n = 0;
    for (; d; d = d->next) ++n;
    return n;
}
}  // namespace

TEST(DeviceList, AddsNewestFirstAndKeepsOneNodePerKey) {
    t_device* list = nullptr;
    DeviceListAdd(&list, macA, "eth1", hostMac, DEVICE_TORVIX_SCP);
    DeviceListAdd(&list, macB, "eth1", hostMac, DEVICE_TORVIX_SCP);
    DeviceListAdd(&list, macC, "eth1", hostMac, DEVICE_TORVIX_SCP);
    ASSERT_EQ(ListLength(list), 3);
    EXPECT_EQ(std::memcmp(list->deviceMACAddr, macC, 6), 0);
    EXPECT_EQ(std::memcmp(list->next->deviceMACAddr, macB, 6), 0);
    EXPECT_EQ(std::memcmp(list->next->next->deviceMACAddr, macA, 6), 0);

    // Same four keys: no new node. Another type or interface: a new node.
    DeviceListAdd(&list, macA, "eth1", hostMac, DEVICE_TORVIX_SCP);
    EXPECT_EQ(ListLength(list), 3);
    DeviceListAdd(&list, macA, "eth1", hostMac, DEVICE_TORVIX_ETH_BOOT_V3);
    DeviceListAdd(&list, macA, "eth2", hostMac, DEVICE_TORVIX_SCP);
    EXPECT_EQ(ListLength(list), 5);
    EXPECT_STREQ(list->interfaceName, "eth2");
    EXPECT_NE(DeviceListFind(list, macA, "eth1", hostMac, DEVICE_TORVIX_ETH_BOOT_V3), nullptr);
    EXPECT_EQ(DeviceListFind(list, macA, "eth3", hostMac, DEVICE_TORVIX_SCP), nullptr);
    DeviceListFree(list);
}

TEST(DeviceList, AbsentHostMacAndNameCompareAsStored) {
    t_device* list = nullptr;
    DeviceListAdd(&list, macA, nullptr, nullptr, DEVICE_TORVIX_LCMP);
    ASSERT_NE(list, nullptr);
    const INT8U zero[6] = {};
    EXPECT_EQ(std::memcmp(list->hostMACAddr, zero, 6), 0);
    EXPECT_EQ(list->interfaceName, nullptr);
    DeviceListAdd(&list, macA, nullptr, nullptr, DEVICE_TORVIX_LCMP);
    DeviceListAdd(&list, macA, nullptr, zero, DEVICE_TORVIX_LCMP);
    EXPECT_EQ(ListLength(list), 1);
    // An absent name matches only an absent one.
    EXPECT_EQ(DeviceListFind(list, macA, "eth1", nullptr, DEVICE_TORVIX_LCMP), nullptr);
    DeviceListAdd(&list, macA, "eth1", nullptr, DEVICE_TORVIX_LCMP);
    EXPECT_EQ(ListLength(list), 2);
    DeviceListFree(list);
}

TEST(DeviceList, AbsentArgumentsDoNothing) {
    t_device* list = nullptr;
    DeviceListAdd(nullptr, macA, "eth1", hostMac, DEVICE_TORVIX_SCP);
    DeviceListAdd(&list, nullptr, "eth1", hostMac, DEVICE_TORVIX_SCP);
    EXPECT_EQ(list, nullptr);
    DeviceListFree(nullptr);
    InterfaceListFree(nullptr);
    t_interface* ifs = nullptr;
    InterfaceListAdd(&ifs, nullptr, "x");
    InterfaceListAdd(nullptr, "eth0", nullptr);
    EXPECT_EQ(ifs, nullptr);
}

TEST(InterfaceList, NamesAreUniqueAndNewestFirst) {
    t_interface* list = nullptr;
    InterfaceListAdd(&list, "eth0", nullptr);
    InterfaceListAdd(&list, "eth1", "second");
    InterfaceListAdd(&list, "eth0", "again");
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list->name, "eth1");
    EXPECT_STREQ(list->description, "second");
    ASSERT_NE(list->next, nullptr);
    EXPECT_STREQ(list->next->name, "eth0");
    EXPECT_EQ(list->next->description, nullptr);
    EXPECT_EQ(list->next->next, nullptr);
    InterfaceListFree(list);
}

TEST(InterfaceList, HostInterfacesWithoutLoopbackOrDuplicates) {
    t_interface* list = nullptr;
    InterfaceListAdd(&list, "already-here", nullptr);
    InterfaceListGet(&list);
    std::set<std::string> seen;
    bool kept = false;
    for (t_interface* i = list; i; i = i->next) {
        ASSERT_NE(i->name, nullptr);
        EXPECT_STRNE(i->name, "lo");
        EXPECT_TRUE(seen.insert(i->name).second) << "twice: " << i->name;
        EXPECT_EQ(std::strchr(i->name, '\n'), nullptr);
        EXPECT_EQ(std::strchr(i->name, ' '), nullptr);
        if (std::string(i->name) == "already-here") kept = true;
    }
    EXPECT_TRUE(kept);
    InterfaceListFree(list);
}

// Address labels ("lo:kv") are known only to the interface request, not to
// /proc/net/dev; that request must work without the right to open raw sockets.
TEST(InterfaceList, AddressLabelsListedWithoutRawSocketRight) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make a network namespace";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (unshare(CLONE_NEWNET) != 0) _exit(2);
        const int s = socket(AF_INET, SOCK_DGRAM, 0);
        struct ifreq ifr;
        std::memset(&ifr, 0, sizeof(ifr));
        std::strcpy(ifr.ifr_name, "lo:kv");
        auto* addr = reinterpret_cast<struct sockaddr_in*>(&ifr.ifr_addr);
        addr->sin_family = AF_INET;
        addr->sin_addr.s_addr = htonl(0x7F000002);  // 127.0.0.2, in the child's own namespace
        if (s < 0 || ioctl(s, SIOCSIFADDR, &ifr) != 0) _exit(3);
        close(s);
        struct __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
        struct __user_cap_data_struct caps[2] = {};
        if (syscall(SYS_capget, &header, caps) != 0) _exit(4);
        caps[0].effective &= ~(1u << CAP_NET_RAW);
        if (syscall(SYS_capset, &header, caps) != 0) _exit(5);
        t_interface* list = nullptr;
        InterfaceListGet(&list);
        bool found = false;
        for (t_interface* i = list; i; i = i->next) found = found || std::strcmp(i->name, "lo:kv") == 0;
        InterfaceListFree(list);
        _exit(found ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: label not listed; 2-5: the child could not be set up";
}

static int OpenFds() {
    int n = 0;
    for (int fd = 0; fd < 1024; ++fd)
        if (fcntl(fd, F_GETFD) != -1) ++n;
    return n;
}

TEST(MacAddress, MissingOrOverlongInterfaceFailsWithoutLeaking) {
    INT8U mac[6] = {9, 9, 9, 9, 9, 9};
    int before = OpenFds();
    EXPECT_EQ(MacAddressGet("kvt-no-such-if", mac), -1);
    EXPECT_EQ(MacAddressGet("abcdefghijklmnop", mac), -1);  // 16 bytes: never cut to another name
    EXPECT_EQ(MacAddressGet(nullptr, mac), -1);
    EXPECT_EQ(OpenFds(), before);
    EXPECT_EQ(mac[0], 9);
    // The loopback interface exists everywhere: a readable (all-zero) address.
    EXPECT_EQ(MacAddressGet("lo", mac), 0);
    const INT8U zero[6] = {};
    EXPECT_EQ(std::memcmp(mac, zero, 6), 0);
}

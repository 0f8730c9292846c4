// Raw frames across a veth pair: tags survive the kernel's VLAN stripping.
#include <poll.h>
#include <sys/socket.h>

#include <cstring>

#include "harness.h"
#include "raw_echo.h"
#include "raw_socket.h"

using namespace kivotest;

namespace {

// Receives frames until one with the given EtherType/TPID at offset 12 or 16 arrives.
std::vector<uint8_t> RecvMatching(int fd, uint16_t marker, size_t cap) {
    std::vector<uint8_t> buf(cap);
    for (int tries = 0; tries < 50; ++tries) {
        struct pollfd p {
            fd, POLLIN, 0
        };
        if (poll(&p, 1, 2000) <= 0) break;
        kivo::RawFrameInfo info;
        ssize_t n = kivo::RawSocketRecv(fd, buf.data(), buf.size(), 0, &info);
        if (n <= 0 || info.outgoing) continue;
        for (size_t off : {size_t{12}, size_t{16}})
            if (static_cast<size_t>(n) >= off + 2 && buf[off] == (marker >> 8) &&
                buf[off + 1] == (marker & 0xFF)) {
                buf.resize(static_cast<size_t>(n));
                return buf;
            }
    }
    return {};
}

}  // namespace

TEST(RawSocket, TaggedAndUntaggedFramesArriveAsSent) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("eth1", "eth1", "02:00:00:00:00:0a", "02:00:00:00:00:0b");
    kivo::l2::Port tx = OpenPort(topo.host(), "eth1");
    kivo::l2::Port rx = OpenPort(topo.dev(), "eth1");

    std::vector<uint8_t> tagged = {0x02, 0, 0,    0,    0,    0x0b, 0x02, 0,    0,
                                   0,    0, 0x0a, 0x81, 0x00, 0xA0, 0x64, 0x88, 0xB5};
    tagged.resize(64, 0x5A);
    ASSERT_EQ(tx.SendFrame(tagged.data(), tagged.size()), kivo::l2::PortStatus::kOk);
    auto got = RecvMatching(rx.fd(), 0x8100, 1522);
    EXPECT_EQ(got, tagged);

    std::vector<uint8_t> plain = {0x02, 0, 0, 0, 0, 0x0b, 0x02, 0, 0, 0, 0, 0x0a, 0x88, 0xB5};
    plain.resize(60, 0x11);
    ASSERT_EQ(tx.SendFrame(plain.data(), plain.size()), kivo::l2::PortStatus::kOk);
    got = RecvMatching(rx.fd(), 0x88B5, 1522);
    EXPECT_EQ(got, plain);

    // A tagged frame into a buffer exactly one frame long is cut at the buffer's end.
    ASSERT_EQ(tx.SendFrame(tagged.data(), tagged.size()), kivo::l2::PortStatus::kOk);
    got = RecvMatching(rx.fd(), 0x8100, 40);
    ASSERT_EQ(got.size(), 40u);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), tagged.begin()));
}

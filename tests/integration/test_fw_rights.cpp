// Firmware files are read with the rights of the user who asks: a file that user could
// not read is refused as a missing one is, and the reason names it.
#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "fw_test_server.h"
#include "harness.h"
#include "harness_fw.h"
#include "l2fwserver.h"

using namespace kivotest;

namespace {

const char* kHostMac = "02:00:00:00:00:0a";
const char* kDevMac = "02:00:00:00:00:0b";

uid_t NobodyUid() {
    const struct passwd* pw = getpwnam("nobody");
    return pw != nullptr ? pw->pw_uid : 65534;
}

// Sends one datagram to the service from a socket owned by uid (a child process that
// drops to that user) and returns the reply code (byte 3), or -1 without a reply.
int RequestAsUser(uid_t uid, const Bytes& datagram) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipeFds[0]);
        uint8_t code = 0xFF;
        if (setgroups(0, nullptr) == 0 && setresgid(uid, uid, uid) == 0 && setresuid(uid, uid, uid) == 0) {
            const int fd = socket(AF_INET, SOCK_DGRAM, 0);
            struct sockaddr_in to {};
            to.sin_family = AF_INET;
            to.sin_port = htons(kivo::protocol::kDefaultPort);
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            struct timeval tv {
                20, 0
            };
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
            uint8_t reply[64];
            if (sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<struct sockaddr*>(&to),
                       sizeof(to)) == static_cast<ssize_t>(datagram.size()) &&
                recv(fd, reply, sizeof(reply), 0) == 4)
                code = reply[3];
        }
        if (write(pipeFds[1], &code, 1) != 1) _exit(1);
        _exit(0);
    }
    close(pipeFds[1]);
    uint8_t code = 0xFF;
    if (pid < 0 || read(pipeFds[0], &code, 1) != 1) code = 0xFF;
    close(pipeFds[0]);
    if (pid > 0) waitpid(pid, nullptr, 0);
    return code == 0xFF ? -1 : code;
}

Bytes StartRequest(uint8_t seq, const std::string& file, const std::string& loader = "") {
    Bytes d = {seq, 0, 0, 0, 6};
    const Bytes body = FwStartBody("eth1", 0, ParseMac(kDevMac), file, loader);
    d.insert(d.end(), body.begin(), body.end());
    return d;
}

}  // namespace

TEST(FwRights, FilesAreReadWithTheRightsOfTheRequestingUser) {
    KIVO_REQUIRE_ROOT();
    Topology topo;
    topo.Link("eth1", "eth1", kHostMac, kDevMac);
    const Bytes secretImage = PatternBytes(3000, 71);
    const Bytes sharedImage = PatternBytes(2500, 72);
    TempFile secret(AsString(secretImage));  // mode 600, owned by root
    TempFile shared(AsString(sharedImage));
    ASSERT_EQ(chmod(shared.path().c_str(), 0644), 0);
    TempFile saved("");
    auto& sim = topo.StartDevsim("[device dev1]\nmac = " + std::string(kDevMac) +
                                 "\ninterface = eth1\nrole = fw\nfw_save_image = " + saved.path() +
                                 "\nfw_log_data = no\n");
    topo.StartKivohost();
    auto& c = topo.client();
    NsGuard g(topo.host());
    const uid_t nobody = NobodyUid();

    // Refused for nobody: answered as a missing file is, and already in the error state
    // when the reply arrives.
    EXPECT_EQ(RequestAsUser(nobody, StartRequest(10, secret.path())), 1);
    auto status = FwStatusGet(c);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, (FwStatus{6, 0, 0}));

    // A start right after is not refused as busy; a file nobody may read is sent.
    EXPECT_EQ(RequestAsUser(nobody, StartRequest(11, shared.path())), 1);
    status = FwStatusGet(c);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->state, 1);
    ASSERT_TRUE(sim.SendLine("dev1 fw request"));
    auto final = FwPollUntilFinal(c, 30s);
    ASSERT_TRUE(final) << sim.Log();
    EXPECT_EQ(*final, (FwStatus{5, 2500, 2500}));
    ASSERT_TRUE(sim.WaitForLog("fw upgrade complete bytes=2500", 5s));
    EXPECT_EQ(ReadBinary(saved.path()), sharedImage);

    // Root reads the same root-only file.
    ASSERT_EQ(c.Request(12, 6, FwStartBody("eth1", 0, ParseMac(kDevMac), secret.path())),
              (Bytes{12, 1, 0, 1}));
    ASSERT_TRUE(sim.SendLine("dev1 fw request"));
    final = FwPollUntilFinal(c, 30s);
    ASSERT_TRUE(final) << sim.Log();
    EXPECT_EQ(*final, (FwStatus{5, 3000, 3000}));
    ASSERT_TRUE(sim.WaitForLog("fw upgrade complete bytes=3000", 5s));
    EXPECT_EQ(ReadBinary(saved.path()), secretImage);
    // Two transfers reached the device: the refused start sent nothing.
    EXPECT_EQ(sim.CountInLog("fw rx start"), 2);
}

// The reasons, with the path, on the requesting thread and as the server's last failure.
TEST(FwRightsInProcess, RefusedFilesNameTheirReason) {
    KIVO_REQUIRE_ROOT();
    const kivo::Requester nobody = kivo::RequesterForUid(NobodyUid());
    const kivo::Requester root = kivo::RequesterForUid(0);
    TempFile secret(AsString(PatternBytes(100, 3)));  // mode 600
    TempFile loader(AsString(PatternBytes(100, 4)));
    ChunkedImage badMagic;
    badMagic.magic = {0xAA, 0x55, 0xAA, 0x56};
    TempFile badFw(AsString(badMagic.File()));
    char dirTemplate[] = "/tmp/kvt-dir-XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    const std::string dir = dirTemplate;  // mode 700: closed to nobody
    struct DirGuard {
        std::string path;
        ~DirGuard() { rmdir(path.c_str()); }
    } dirGuard{dir};
    const std::string missing = dir + "/no-such-image.bin";
    kivo::Requester unknown;

    struct Case {
        const char* what;
        const kivo::Requester& requester;
        std::string file;
        std::string loader;  // an Ethernet boot when given
        kivo::Reason reason;
    };
    const Case cases[] = {
        {"root-only file, nobody", nobody, secret.path(), "", kivo::Reason::kNotAllowed},
        {"unknown requester", unknown, secret.path(), "", kivo::Reason::kNotAllowed},
        {"directory", root, dir, "", kivo::Reason::kFileNotRegular},
        {"missing file", root, missing, "", kivo::Reason::kFileMissing},
        {"missing file in a directory closed to nobody", nobody, missing, "", kivo::Reason::kNotAllowed},
        {"bad magic word", root, badFw.path(), loader.path(), kivo::Reason::kFileBadMagic},
        {"loader missing", root, badFw.path(), missing, kivo::Reason::kFileMissing},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const kivo::Status recorded = c.loader.empty() ? Start({.interfaceName = "kvt-none0",
                                                                .file = c.file,
                                                                .announcementTimeout = 1,
                                                                .requester = c.requester})
                                                       : Start({.interfaceName = "kvt-none0",
                                                                .file = c.file,
                                                                .loader = c.loader,
                                                                .announcementTimeout = 1,
                                                                .requester = c.requester});
        EXPECT_EQ(recorded, L2FWSERVER_ERROR_NONE);
        EXPECT_EQ(L2FwServerStateGet(), L2FWSERVER_STATE_ERROR) << "ended before the start returned";
        EXPECT_EQ(recorded.reason, c.reason) << recorded.text;
        const std::string named =
            c.reason == kivo::Reason::kFileMissing && !c.loader.empty() ? c.loader : c.file;
        EXPECT_NE(recorded.text.find(named), std::string::npos) << recorded.text;
        const kivo::Status last = L2FwServerLastFailure();
        EXPECT_EQ(last.reason, recorded.reason);
        EXPECT_EQ(last.text, recorded.text);
        EXPECT_EQ(L2FwServerWait(), L2FWSERVER_ERROR_NONE);
    }

    // An interface that does not exist: the file passes, the thread names the interface.
    const kivo::Status started = Start(
        {.interfaceName = "kvt-none0", .file = secret.path(), .announcementTimeout = 1, .requester = root});
    ASSERT_EQ(started, L2FWSERVER_ERROR_NONE);
    EXPECT_EQ(L2FwServerWait(), L2FWSERVER_ERROR_NONE);
    EXPECT_EQ(L2FwServerStateGet(), L2FWSERVER_STATE_ERROR);
    EXPECT_FALSE(started.explained())
        << "the thread's failure is the transfer's, not the start's: " << started;
    const kivo::Status last = L2FwServerLastFailure();
    EXPECT_EQ(last.reason, kivo::Reason::kNoInterface);
    EXPECT_NE(last.text.find("kvt-none0"), std::string::npos) << last.text;
}

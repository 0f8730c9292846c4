// The Wireshark dissector (tools/wireshark/kivo.lua) on captures of real exchanges:
// kivohost and kivo-devsim run in namespaces, every frame on the simulator's link is
// recorded, and tshark with the dissector must find the frames, fields and values the
// exchange put on the wire, without a Lua error. One test per kind of exchange, and
// one on hand-made garbage frames.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "harness_cfg.h"
#include "harness_discover.h"
#include "harness_fw.h"
#include "kivohost.h"

using namespace kivotest;

namespace {

// ---------------------------------------------------------------- recording

// Starts kivo-devsim with `config` and records every frame on its interface `ifname`
// until Finish(). The recording is made by dumpcap inside the simulator's namespace.
// This class is the one place to change once the simulator writes its own capture
// (--pcap FILE): pass the option to StartDevsim here and let Finish() end the
// simulator so that the file is complete.
class SimCapture {
public:
    SimCapture(Topology& topo, const std::string& ifname, const std::string& config)
        : topo_(topo), ifname_(ifname) {
        dumpcap_ = std::make_unique<Process>(
            &topo.dev(), std::vector<std::string>{"/usr/bin/dumpcap", "-q", "-P", "-i", ifname, "-w", file_.path()});
        // The file header is written once the interface is open: from then on nothing
        // sent on it is missed.
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (FileBytes().empty() && std::chrono::steady_clock::now() < deadline && dumpcap_->Running())
            std::this_thread::sleep_for(10ms);
        if (FileBytes().empty()) throw std::runtime_error("dumpcap did not start: " + dumpcap_->Log());
        sim_ = &topo.StartDevsim(config);
    }
    Process& sim() { return *sim_; }

    // Ends the recording once every frame sent so far is in the file; returns its path.
    // dumpcap hands frames over in blocks, so a marker frame is sent last and awaited.
    std::string Finish() {
        const std::string tag = "kivo capture end " + std::to_string(getpid());
        const uint8_t header[14] = {0x02, 0, 0, 0, 0, 0xff, 0x02, 0, 0, 0, 0, 0xfe, 0x88, 0xb5};
        Bytes marker(14 + tag.size() + 8, 0);
        std::copy(header, header + 14, marker.begin());
        std::copy(tag.begin(), tag.end(), marker.begin() + 14);
        RawPeer(topo_.dev(), ifname_).Send(marker);
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < deadline) {
            const Bytes b = FileBytes();
            if (std::search(b.begin(), b.end(), tag.begin(), tag.end()) != b.end()) break;
            std::this_thread::sleep_for(20ms);
        }
        kill(dumpcap_->pid(), SIGINT);
        EXPECT_TRUE(dumpcap_->WaitExit(20s).has_value()) << dumpcap_->Log();
        // KIVO_CAPTURE_DIR keeps a copy named after the test, to look at in Wireshark.
        if (const char* dir = std::getenv("KIVO_CAPTURE_DIR"); dir != nullptr && *dir != '\0') {
            const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
            Shell("cp " + file_.path() + " '" + std::string(dir) + "/" + info->name() + ".pcap'");
        }
        return file_.path();
    }

private:
    Bytes FileBytes() const { return ReadBinary(file_.path()); }

    Topology& topo_;
    std::string ifname_;
    TempFile file_{""};
    std::unique_ptr<Process> dumpcap_;
    Process* sim_ = nullptr;
};

// ---------------------------------------------------------------- tshark

const char* const kRootWarning = "Running as user \"root\" and group \"root\". This could be dangerous.";

struct TsharkRun {
    std::string out;
    std::string err;  // without the warning tshark gives every run as root
};

std::string Quoted(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs tshark with the dissector on a capture file.
TsharkRun Tshark(const std::string& pcap, const std::string& args) {
    TempFile err("");
    TsharkRun run;
    run.out = ShellOutput("tshark -n -X lua_script:" + Quoted(KIVO_LUA_DISSECTOR) + " -r " + Quoted(pcap) + " " +
                          args + " 2>" + Quoted(err.path()));
    std::istringstream lines(AsString(ReadBinary(err.path())));
    for (std::string line; std::getline(lines, line);)
        if (line != kRootWarning) run.err += line + "\n";
    return run;
}

// The whole capture in detail: tshark says nothing on standard error and no frame
// carries a Lua error. Returns the detailed text.
std::string ExpectCleanDissection(const std::string& pcap) {
    TsharkRun run = Tshark(pcap, "-V");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out.find("Lua Error"), std::string::npos) << run.out.substr(0, 4000);
    EXPECT_NE(run.out.find("Frame 1:"), std::string::npos) << "tshark read no frame";
    return run.out;
}

using Row = std::map<std::string, std::string>;

// One row per frame that matches filter, with the values of the fields (several
// occurrences joined by '|').
std::vector<Row> Rows(const std::string& pcap, const std::string& filter, const std::vector<std::string>& fields) {
    std::string args = "-Y " + Quoted(filter) + " -T fields -E aggregator='|'";
    for (const auto& f : fields) args += " -e " + f;
    TsharkRun run = Tshark(pcap, args);
    EXPECT_EQ(run.err, "") << filter;
    std::vector<Row> rows;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
        Row row;
        std::istringstream cols(line);
        std::string col;
        for (const auto& f : fields) {
            std::getline(cols, col, '\t');
            row[f] = col;
        }
        rows.push_back(row);
    }
    return rows;
}

std::vector<std::string> Column(const std::vector<Row>& rows, const std::string& field) {
    std::vector<std::string> out;
    for (const auto& r : rows) out.push_back(r.at(field));
    return out;
}

std::vector<std::string> Split(const std::string& s, char sep = '|') {
    std::vector<std::string> out;
    if (s.empty()) return out;
    std::istringstream in(s);
    for (std::string part; std::getline(in, part, sep);) out.push_back(part);
    return out;
}

[[maybe_unused]] std::string Hex(const Bytes& b) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (uint8_t x : b) {
        s += digits[x >> 4];
        s += digits[x & 15];
    }
    return s;
}

bool HaveTshark() { return Shell("command -v tshark >/dev/null && command -v dumpcap >/dev/null") == 0; }

#define KIVO_REQUIRE_TSHARK()                                                                          \
    do {                                                                                               \
        KIVO_REQUIRE_ROOT();                                                                           \
        if (!HaveTshark()) GTEST_SKIP() << "tshark and dumpcap are not installed (Debian package tshark)"; \
    } while (0)

// ---------------------------------------------------------------- exchanges

const Mac kLcmpDevice = ParseMac("02:00:00:00:00:01");
const char* kHostMac = "02:00:00:00:00:0a";

std::string LcmpDevice(const std::string& extra) {
    // Small segments and confirm messages: the answers are segmented, and read and write
    // answers go on in messages of their own, which are sent in the clear.
    return "[device dev1]\nmac = " + MacText(kLcmpDevice) +
           "\ninterface = eth1\nrole = lcmp\npassword = pw\nsegment_size = 60\ncfg_message_bytes = 64\n"
           "param = SYSTEM.PRODUCTION.MAC_ADDR MAC_ADDR 02:00:00:00:00:01\n"
           "param = SYSTEM.GENERAL.SPEED INT16U 100\n"
           "param = SYSTEM.GENERAL.NAME STRING living room\n"
           "param = SYSTEM.GENERAL.LIST INT16U 1,2,3\n" +
           extra;
}

std::optional<Bytes> LcmpRequest(Topology& topo, uint8_t code, const std::optional<std::string>& block) {
    return topo.client().Request(0x31, code, ParamRequestBody(kDeviceLcmp, "eth1", 0, kLcmpDevice, "pw", block));
}

const std::vector<std::string> kLcmpFields = {"frame.number",    "lcmp.mmh.opcode", "lcmp.mmh.seq",
                                              "lcmp.mmh.segment", "lcmp.mmh.last_segment", "lcmp.tid",
                                              "lcmp.reassembled.length", "lcmp.enciphered.length",
                                              "lcmp.cfg.name",   "lcmp.cfg.value",  "lcmp.cfg.status_text",
                                              "lcmp.value.type"};

// Every confirm answers a request of the capture: its opcode is the request's + 1 and
// it carries the request's transaction id.
void ExpectConfirmsMatchRequests(const std::vector<Row>& rows) {
    std::map<std::string, std::string> requestOf;  // tid -> request opcode
    for (const auto& r : rows)
        if (r.at("lcmp.mmh.opcode") == "0x0160" || r.at("lcmp.mmh.opcode") == "0x0162")
            requestOf[r.at("lcmp.tid")] = r.at("lcmp.mmh.opcode");
    for (const auto& r : rows) {
        const std::string& op = r.at("lcmp.mmh.opcode");
        if ((op != "0x0161" && op != "0x0163") || r.at("lcmp.tid").empty()) continue;
        ASSERT_EQ(requestOf.count(r.at("lcmp.tid")), 1u) << "frame " << r.at("frame.number") << " tid "
                                                         << r.at("lcmp.tid");
        EXPECT_EQ(requestOf[r.at("lcmp.tid")], op == "0x0161" ? "0x0160" : "0x0162");
    }
}

// Name -> value (or status text) of every configuration-layer answer in the clear.
std::map<std::string, std::string> ClearAnswers(const std::vector<Row>& rows, const std::string& valueField) {
    std::map<std::string, std::string> out;
    for (const auto& r : rows) {
        auto names = Split(r.at("lcmp.cfg.name"));
        auto values = Split(r.at(valueField));
        for (size_t i = 0; i < names.size() && i < values.size(); ++i) out[names[i]] = values[i];
    }
    return out;
}

}  // namespace

TEST(WiresharkDissector, LcmpGetAllWithSegmentedAnswers) {
    KIVO_REQUIRE_TSHARK();
    Topology topo;
    topo.Link("eth1", "eth1", kHostMac, MacText(kLcmpDevice));
    SimCapture capture(topo, "eth1", LcmpDevice(""));
    topo.StartKivohost();
    auto reply = LcmpRequest(topo, REQUEST_GET_ALL, std::nullopt);
    ASSERT_TRUE(reply);
    auto records = ParamRecords(*reply);
    ASSERT_TRUE(records) << "reply code " << int((*reply)[3]);
    ASSERT_EQ(records->size(), 4u);
    const std::string pcap = capture.Finish();

    ExpectCleanDissection(pcap);
    const auto rows = Rows(pcap, "lcmp", kLcmpFields);
    // The get-all request and one read of the four names, numbered on from 0.
    const auto requests = Rows(pcap, "lcmp.mmh.opcode == \"Read request\"", {"lcmp.mmh.seq", "lcmp.enciphered.length"});
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(Column(requests, "lcmp.mmh.seq"), (std::vector<std::string>{"0", "1"}));
    for (const auto& r : requests) EXPECT_NE(r.at("lcmp.enciphered.length"), "") << "requests are enciphered";
    ExpectConfirmsMatchRequests(rows);

    // Segmented confirms are put back together: every segment is seen, and each
    // message once, in the frame of its last segment.
    const auto segmented = Rows(pcap, "lcmp.mmh.last_segment > 0", {"lcmp.mmh.segment", "lcmp.mmh.last_segment",
                                                                   "lcmp.reassembled.length"});
    ASSERT_GE(segmented.size(), 2u);
    size_t messages = 0;
    for (const auto& r : segmented) {
        const bool lastOne = r.at("lcmp.mmh.segment") == r.at("lcmp.mmh.last_segment");
        EXPECT_EQ(!r.at("lcmp.reassembled.length").empty(), lastOne) << r.at("lcmp.mmh.segment");
        messages += lastOne;
    }
    EXPECT_GE(messages, 1u);

    // The read answer's later messages are in the clear: the dissector renders their
    // values as the service did in its reply.
    std::map<std::string, std::string> served;
    for (const auto& rec : *records) served[rec.name] = rec.value;
    const auto clear = ClearAnswers(rows, "lcmp.cfg.value");
    ASSERT_EQ(clear.size(), 3u) << "the first answer, enciphered, is not among them";
    for (const auto& [name, value] : clear) EXPECT_EQ(value, served[name]) << name;
    EXPECT_EQ(clear.at("SYSTEM.GENERAL.NAME"), "living room");
    EXPECT_EQ(clear.at("SYSTEM.GENERAL.LIST"), "1,2,3");
    EXPECT_EQ(Rows(pcap, "lcmp.value.type == 0x26", {"frame.number"}).size(), 1u) << "one end marker in the clear";
}

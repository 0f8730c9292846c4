// The Wireshark dissector (tools/wireshark/kivo.lua) on captures of real exchanges:
// kivohost and kivo-devsim run in namespaces, every frame on the simulator's link is
// recorded, and tshark with the dissector must find the frames, fields and values the
// exchange put on the wire, without a Lua error. One test per kind of exchange, and
// one on hand-made garbage frames.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "conversion.h"
#include "conversion_legacy.h"
#include "harness.h"
#include "harness_cfg.h"
#include "harness_discover.h"
#include "harness_fw.h"
#include "kivohost.h"
#include "sha2_pub.h"
#include "triple_des.h"

using namespace kivotest;

namespace {

// ---------------------------------------------------------------- recording

// Starts kivo-devsim with `config`, recording every frame it sends and receives
// (--pcap), until Finish().
class SimCapture {
   public:
    SimCapture(Topology& topo, const std::string& config) {
        sim_ = &topo.StartDevsim(config, {"--pcap", file_.path()});
    }
    Process& sim() { return *sim_; }

    // Ends the simulator, so that every frame it has seen is in the file (it writes
    // each one as it goes, and reads what is queued on its ports before a command);
    // returns the file's path.
    std::string Finish() {
        EXPECT_TRUE(sim_->SendLine("quit"));
        const auto status = sim_->WaitExit(20s);
        EXPECT_EQ(status, 0) << sim_->Log();
        // KIVO_CAPTURE_DIR keeps a copy named after the test, to look at in Wireshark.
        if (const char* dir = std::getenv("KIVO_CAPTURE_DIR"); dir != nullptr && *dir != '\0') {
            const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
            Shell("cp " + file_.path() + " '" + std::string(dir) + "/" + info->name() + ".pcap'");
        }
        return file_.path();
    }

   private:
    TempFile file_{""};
    Process* sim_ = nullptr;
};

// ---------------------------------------------------------------- tshark

const char* const kRootWarning = "Running as user \"root\" and group \"root\". This could be dangerous.";

struct TsharkRun {
    std::string out;
    std::string err;  // without the warning tshark gives every run as root
};

// Runs tshark with the dissector on a capture file.
TsharkRun Tshark(const std::string& pcap, const std::string& args) {
    TempFile err("");
    TsharkRun run;
    run.out = ShellOutput("tshark -n -X lua_script:" + Quote(KIVO_LUA_DISSECTOR) + " -r " + Quote(pcap) +
                          " " + args + " 2>" + Quote(err.path()));
    std::istringstream lines(AsString(ReadBinary(err.path())));
    for (std::string line; std::getline(lines, line);)
        if (line != kRootWarning) run.err += line + "\n";
    return run;
}

// The whole capture in detail (-V, or -T pdml): tshark says nothing on standard error
// and no frame carries a Lua error (tshark puts those in the tree, not on standard
// error). Returns the detailed text.
std::string ExpectCleanDissection(const std::string& pcap, const std::string& format = "-V") {
    TsharkRun run = Tshark(pcap, format);
    EXPECT_EQ(run.err, "");
    const size_t error = run.out.find("Lua Error");
    EXPECT_EQ(error, std::string::npos) << run.out.substr(error == std::string::npos ? 0 : error, 2000);
    EXPECT_TRUE(run.out.find("Frame 1:") != std::string::npos ||
                run.out.find("<packet>") != std::string::npos)
        << "tshark read no frame";
    return run.out;
}

using Row = std::map<std::string, std::string>;

// One row per frame that matches filter, with the values of the fields (several
// occurrences joined by '|'); options go to tshark first (preferences: -o ...).
std::vector<Row> Rows(const std::string& pcap, const std::string& filter,
                      const std::vector<std::string>& fields, const std::string& options = "") {
    std::string args = options + " -Y " + Quote(filter) + " -T fields -E aggregator='|'";
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

// The rows whose field has the value.
std::vector<Row> Where(const std::vector<Row>& rows, const std::string& field, const std::string& value) {
    std::vector<Row> out;
    for (const auto& r : rows)
        if (r.at(field) == value) out.push_back(r);
    return out;
}

// Whether the info column starts with text (names of opcodes and subtypes).
bool InfoStarts(const Row& row, const std::string& text) {
    return row.at("_ws.col.Info").rfind(text, 0) == 0;
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

// Frames whose expert infos include a warning or an error. Frames of real exchanges
// have none, unless the exchange put a fault on the wire.
size_t FaultyFrames(const std::vector<Row>& rows) {
    constexpr unsigned long kWarning = 0x00600000;  // expert severities: warning, then error
    size_t n = 0;
    for (const auto& r : rows) {
        bool faulty = false;
        for (const auto& severity : Split(r.at("_ws.expert.severity")))
            faulty = faulty || std::stoul(severity) >= kWarning;
        n += faulty;
    }
    return n;
}

std::string Hex(const Bytes& b) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (uint8_t x : b) {
        s += digits[x >> 4];
        s += digits[x & 15];
    }
    return s;
}

bool Have(const std::string& tool) {
    return Shell("command -v " + tool + " >/dev/null") == 0;
}

// Dissecting a file needs tshark; recording an exchange also root (namespaces).
#define KIVO_REQUIRE_TSHARK()                                                                   \
    do {                                                                                        \
        if (!Have("tshark")) GTEST_SKIP() << "tshark is not installed (Debian package tshark)"; \
    } while (0)
#define KIVO_REQUIRE_CAPTURE() \
    do {                       \
        KIVO_REQUIRE_ROOT();   \
        KIVO_REQUIRE_TSHARK(); \
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
    return topo.client().Request(0x31, code,
                                 ParamRequestBody(kDeviceLcmp, "eth1", 0, kLcmpDevice, "pw", block));
}

const std::vector<std::string> kLcmpFields = {"frame.number",
                                              "lcmp.mmh.opcode",
                                              "lcmp.mmh.seq",
                                              "lcmp.mmh.segment",
                                              "lcmp.mmh.last_segment",
                                              "lcmp.tid",
                                              "lcmp.reassembled.length",
                                              "lcmp.enciphered.length",
                                              "lcmp.cfg.name",
                                              "lcmp.cfg.value",
                                              "lcmp.cfg.status_text",
                                              "lcmp.cfg.status",
                                              "lcmp.value.type",
                                              "_ws.col.Info",
                                              "_ws.expert.severity"};

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
        ASSERT_EQ(requestOf.count(r.at("lcmp.tid")), 1u)
            << "frame " << r.at("frame.number") << " tid " << r.at("lcmp.tid");
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
    KIVO_REQUIRE_CAPTURE();
    Topology topo;
    topo.Link("eth1", "eth1", kHostMac, MacText(kLcmpDevice));
    SimCapture capture(topo, LcmpDevice(""));
    topo.StartKivohost();
    auto reply = LcmpRequest(topo, REQUEST_GET_ALL, std::nullopt);
    ASSERT_TRUE(reply);
    auto records = ParamRecords(*reply);
    ASSERT_TRUE(records) << "reply code " << int((*reply)[3]);
    ASSERT_EQ(records->size(), 4u);
    const std::string pcap = capture.Finish();

    ExpectCleanDissection(pcap);
    const auto rows = Rows(pcap, "lcmp", kLcmpFields);
    EXPECT_EQ(FaultyFrames(rows), 0u);
    // The get-all request and one read of the four names, numbered on from 0.
    const auto requests = Where(rows, "lcmp.mmh.opcode", "0x0160");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(Column(requests, "lcmp.mmh.seq"), (std::vector<std::string>{"0", "1"}));
    for (const auto& r : requests) {
        EXPECT_NE(r.at("lcmp.enciphered.length"), "") << "requests are enciphered";
        EXPECT_TRUE(InfoStarts(r, "Read request")) << r.at("_ws.col.Info");
    }
    EXPECT_EQ(Where(rows, "lcmp.mmh.opcode", "0x0161").size() + requests.size(), rows.size());
    ExpectConfirmsMatchRequests(rows);

    // Segmented confirms are put back together: every segment is seen, and each
    // message once, in the frame of its last segment.
    size_t messages = 0;
    size_t segments = 0;
    for (const auto& r : rows) {
        if (r.at("lcmp.mmh.last_segment") == "0") continue;
        ++segments;
        const bool lastOne = r.at("lcmp.mmh.segment") == r.at("lcmp.mmh.last_segment");
        EXPECT_EQ(!r.at("lcmp.reassembled.length").empty(), lastOne) << r.at("lcmp.mmh.segment");
        messages += lastOne;
    }
    EXPECT_GE(segments, 2u);
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
    size_t endMarkers = 0;
    for (const auto& r : rows)
        for (const auto& type : Split(r.at("lcmp.value.type"))) endMarkers += type == "0x26";
    EXPECT_EQ(endMarkers, 1u) << "one end marker in the clear";
}

TEST(WiresharkDissector, LcmpSetShowsTheTypeReadAndTheWriteAnswers) {
    KIVO_REQUIRE_CAPTURE();
    Topology topo;
    topo.Link("eth1", "eth1", kHostMac, MacText(kLcmpDevice));
    SimCapture capture(topo, LcmpDevice(""));
    topo.StartKivohost();
    auto reply = LcmpRequest(topo, REQUEST_SET,
                             SetBlock({{"SYSTEM.GENERAL.SPEED", "1000"},
                                       {"SYSTEM.GENERAL.NAME", "kitchen"},
                                       {"SYSTEM.GENERAL.LIST", "4,5"}}));
    ASSERT_TRUE(reply);
    ASSERT_EQ((*reply)[3], REPLY_PARAMS);
    const std::string pcap = capture.Finish();

    ExpectCleanDissection(pcap);
    const auto rows = Rows(pcap, "lcmp", kLcmpFields);
    EXPECT_EQ(FaultyFrames(rows), 0u);
    ExpectConfirmsMatchRequests(rows);
    // The type read first, then the write; each is one enciphered request.
    std::vector<Row> requests;
    for (const auto& r : rows)
        if (r.at("lcmp.mmh.opcode") == "0x0160" || r.at("lcmp.mmh.opcode") == "0x0162") requests.push_back(r);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_TRUE(InfoStarts(requests[1], "Write request")) << requests[1].at("_ws.col.Info");
    EXPECT_EQ(Column(requests, "lcmp.mmh.opcode"), (std::vector<std::string>{"0x0160", "0x0162"}));
    EXPECT_EQ(Column(requests, "lcmp.mmh.seq"), (std::vector<std::string>{"0", "0"}))
        << "one counter per opcode";
    for (const auto& r : requests) EXPECT_NE(r.at("lcmp.enciphered.length"), "");

    // The answers' later messages in the clear: the old values, then the statuses.
    const auto reads = ClearAnswers(Where(rows, "lcmp.mmh.opcode", "0x0161"), "lcmp.cfg.value");
    EXPECT_EQ(reads, (std::map<std::string, std::string>{{"SYSTEM.GENERAL.NAME", "living room"},
                                                         {"SYSTEM.GENERAL.LIST", "1,2,3"}}));
    const auto writes = ClearAnswers(Where(rows, "lcmp.mmh.opcode", "0x0163"), "lcmp.cfg.status_text");
    EXPECT_EQ(writes, (std::map<std::string, std::string>{{"SYSTEM.GENERAL.NAME", "OK"},
                                                          {"SYSTEM.GENERAL.LIST", "OK"}}));
    size_t zeros = 0;
    for (const auto& r : rows)
        for (const auto& status : Split(r.at("lcmp.cfg.status"))) zeros += status == "0";
    EXPECT_EQ(zeros, 2u);
}

namespace {

const char* kScpHost = "02:00:00:00:02:01";
const char* kScpDevice = "02:00:00:00:02:02";

}  // namespace

TEST(WiresharkDissector, ScpGetOverTwoMessagesWithABadCrc) {
    KIVO_REQUIRE_CAPTURE();
    Topology topo;
    topo.Link("eth1", "eth1", kScpHost, kScpDevice);
    // 40-byte reply messages: the second name item starts in the first message and ends
    // in the second. The first reply message carries a wrong CRC, so the request is sent
    // again.
    SimCapture capture(
        topo, std::string("[device scp1]\nmac = ") + kScpDevice +
                  "\ninterface = eth1\nrole = scp\npassword = s3cret\nreply_payload = 40\nbad_crc = 1\n"
                  "param = SYSTEM.GENERAL.NAME STRING living room\n"
                  "param = NETWORK.PORT INT16U 8080\n");
    topo.StartKivohost();
    auto reply = topo.client().Request(1, REQUEST_GET,
                                       ParamRequestBody(kDeviceScp, "eth1", 0, ParseMac(kScpDevice), "s3cret",
                                                        GetBlock({"SYSTEM.GENERAL.NAME", "NETWORK.PORT"})),
                                       30s);
    ASSERT_TRUE(reply);
    ASSERT_EQ((*reply)[3], REPLY_SCP_DATA);
    const std::string pcap = capture.Finish();

    ExpectCleanDissection(pcap);
    const auto rows =
        Rows(pcap, "scp",
             {"scp.opcode", "scp.op_number", "scp.seq", "scp.last", "scp.payload_length", "scp.crc.status",
              "scp.item.name", "scp.item.value", "_ws.col.Info", "_ws.expert.severity"});
    ASSERT_EQ(rows.size(), 6u) << "request, two replies, request again, two replies";
    EXPECT_EQ(FaultyFrames(rows), 1u) << "the bad CRC only";
    // The second request may go out before the first reply's second message arrives:
    // requests and replies are checked apart, each reply message by its number.
    int requests = 0;
    int bad = 0;
    std::map<std::string, int> replySeqs;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.at("scp.opcode") + " seq " + r.at("scp.seq"));
        EXPECT_EQ(r.at("scp.op_number"), rows[0].at("scp.op_number"));
        if (r.at("scp.opcode") == "1") {
            ++requests;
            EXPECT_EQ(r.at("scp.seq"), "1");
            EXPECT_EQ(r.at("scp.payload_length"), "39");
            EXPECT_EQ(r.at("scp.crc.status"), "1");
            EXPECT_EQ(Split(r.at("scp.item.name")),
                      (std::vector<std::string>{"SYSTEM.GENERAL.NAME", "NETWORK.PORT"}));
            continue;
        }
        ASSERT_EQ(r.at("scp.opcode"), "4");
        ++replySeqs[r.at("scp.seq")];
        if (r.at("scp.crc.status") == "0") {
            ++bad;
            EXPECT_NE(r.at("_ws.col.Info").find("[bad CRC]"), std::string::npos);
        }
        if (r.at("scp.seq") == "1") {
            EXPECT_EQ(r.at("scp.last"), "0");
            EXPECT_EQ(r.at("scp.payload_length"), "40");
            EXPECT_EQ(r.at("scp.item.name"), "SYSTEM.GENERAL.NAME");
            EXPECT_EQ(r.at("scp.item.value"), "living room");
        } else {
            // The name item begun in the first message is completed here.
            EXPECT_EQ(r.at("scp.last"), "1");
            EXPECT_EQ(r.at("scp.payload_length"), "20");
            EXPECT_EQ(r.at("scp.crc.status"), "1");
            EXPECT_EQ(r.at("scp.item.name"), "NETWORK.PORT");
            EXPECT_EQ(r.at("scp.item.value"), "8080");
        }
    }
    EXPECT_EQ(requests, 2);
    EXPECT_EQ(replySeqs, (std::map<std::string, int>{{"1", 2}, {"2", 2}}));
    EXPECT_EQ(bad, 1);
}

TEST(WiresharkDissector, DiscoveryFindsALegacyAndABootRomDevice) {
    KIVO_REQUIRE_CAPTURE();
    Topology topo;
    topo.Link("eth1", "eth1", kHostMac);
    SimCapture capture(
        topo,
        "[device legacy1]\nmac = 02:00:00:00:00:21\ninterface = eth1\nrole = legacy\n\n"
        "[device rom1]\nmac = 02:00:00:00:00:22\ninterface = eth1\nrole = bootrom\nrom_version = 3\n"
        "rom_subversion = 2\nchip_id = 0102030405060708\nannounce_period_ms = 0\n"
        "announce_on_probe = yes\n");
    topo.StartKivohost();
    Bytes body = {4, 'e', 't', 'h', '1', 0, 0};
    auto reply = topo.client().Request(1, REQUEST_DISCOVER, body);
    ASSERT_TRUE(reply);
    ASSERT_EQ((*reply)[3], REPLY_DEVICES);
    ASSERT_EQ((*reply)[4], 2) << "both devices found";
    const std::string pcap = capture.Finish();

    ExpectCleanDissection(pcap);
    auto rows =
        Rows(pcap, "l2disc || l2fw",
             {"eth.src", "l2disc.type", "l2disc.magic", "l2disc.rom.version", "l2disc.rom.subversion",
              "l2disc.chip_id", "l2disc.device_type", "l2fw.subtype", "_ws.col.Info", "_ws.expert.severity"});
    EXPECT_TRUE(Where(rows, "l2disc.type", "").empty()) << "an announcement is no file request";
    EXPECT_EQ(FaultyFrames(rows), 0u);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_TRUE(InfoStarts(rows[0], "Discovery probe"));
    EXPECT_EQ(rows[0].at("l2disc.type"), "1");
    EXPECT_EQ(rows[0].at("eth.src"), kHostMac);
    std::map<std::string, Row> byDevice;
    for (size_t i = 1; i < rows.size(); ++i) byDevice[rows[i].at("eth.src")] = rows[i];
    ASSERT_EQ(byDevice.size(), 2u);
    EXPECT_EQ(byDevice["02:00:00:00:00:21"].at("l2disc.type"), "2");
    EXPECT_EQ(byDevice["02:00:00:00:00:21"].at("l2disc.device_type"), "2");
    const Row& rom = byDevice["02:00:00:00:00:22"];
    EXPECT_EQ(rom.at("l2disc.type"), "3");
    EXPECT_EQ(rom.at("l2disc.magic"), "0x2d5ad2a5");
    EXPECT_EQ(rom.at("l2disc.rom.version"), "3");
    EXPECT_EQ(rom.at("l2disc.rom.subversion"), "2");
    EXPECT_EQ(rom.at("l2disc.chip_id"), "0102030405060708");
    EXPECT_EQ(rom.at("l2disc.device_type"), "1");
}

namespace {

const char* kFwDevice = "02:00:00:00:00:0b";

bool Done(const std::optional<Bytes>& reply) {
    return reply && reply->size() == 4 && (*reply)[3] == REPLY_DONE;
}

const std::vector<std::string> kFwFields = {"eth.src",
                                            "eth.dst",
                                            "l2fw.subtype",
                                            "l2fw.seq",
                                            "l2fw.count",
                                            "l2fw.layout",
                                            "l2fw.data",
                                            "l2fw.frame_length",
                                            "l2fw.chip_id",
                                            "l2fw.phase",
                                            "l2fw.mac_assigning",
                                            "l2fw.assigned_mac",
                                            "l2fw.request_word",
                                            "l2fw.chunk_info",
                                            "l2fw.entry_point",
                                            "l2disc.type",
                                            "l2disc.rom.version",
                                            "_ws.col.Info",
                                            "_ws.expert.severity"};

// Every firmware frame's info column starts with its subtype's name.
void ExpectSubtypeNames(const std::vector<Row>& rows) {
    const std::map<std::string, std::string> names = {
        {"0x00", "File request"}, {"0x01", "Start"},          {"0x02", "Start ack"},
        {"0x03", "Data"},         {"0x04", "Data ack"},       {"0x05", "End"},
        {"0x07", "End ack"},      {"0x0e", "Chunk info"},     {"0x0f", "Chunk info ack"},
        {"0x10", "Entry point"},  {"0x11", "Entry point ack"}};
    for (const auto& r : rows) {
        if (r.at("l2fw.subtype").empty()) continue;
        ASSERT_EQ(names.count(r.at("l2fw.subtype")), 1u) << r.at("l2fw.subtype");
        EXPECT_TRUE(InfoStarts(r, names.at(r.at("l2fw.subtype")))) << r.at("_ws.col.Info");
    }
}

// Subtypes of the frames of one side, in order, without repeats of a file request.
std::vector<std::string> Subtypes(const std::vector<Row>& rows, const std::string& src) {
    std::vector<std::string> out;
    for (const auto& r : rows) {
        if (r.at("eth.src") != src) continue;
        if (!out.empty() && out.back() == r.at("l2fw.subtype") && r.at("l2fw.subtype") == "0x00") continue;
        out.push_back(r.at("l2fw.subtype"));
    }
    return out;
}

// Data frames of one layout: sequence numbers, counts and the bytes they carry.
struct DataFrames {
    std::vector<std::string> seq;
    std::vector<std::string> count;
    std::string bytes;
};
DataFrames Data(const std::vector<Row>& rows, const std::string& layout) {
    DataFrames d;
    for (const auto& r : rows) {
        if (r.at("l2fw.subtype") != "0x03" || r.at("l2fw.layout") != layout) continue;
        d.seq.push_back(r.at("l2fw.seq"));
        d.count.push_back(r.at("l2fw.count"));
        d.bytes += r.at("l2fw.data");
    }
    return d;
}

}  // namespace

TEST(WiresharkDissector, FirmwareUpgradeFrameByFrame) {
    KIVO_REQUIRE_CAPTURE();
    Topology topo;
    topo.Link("eth1", "eth1", kHostMac, kFwDevice);
    const Bytes image = PatternBytes(2500, 7);
    TempFile fw(AsString(image));
    SimCapture capture(topo,
                       std::string("[device dev1]\nmac = ") + kFwDevice + "\ninterface = eth1\nrole = fw\n");
    topo.StartKivohost();
    ASSERT_TRUE(Done(
        topo.client().Request(1, REQUEST_FW_START, FwStartBody("eth1", 0, ParseMac(kFwDevice), fw.path()))));
    ASSERT_TRUE(capture.sim().SendLine("dev1 fw request"));
    auto final = FwPollUntilFinal(topo.client(), 30s);
    ASSERT_TRUE(final);
    ASSERT_EQ(final->state, 5) << capture.sim().Log();
    const std::string pcap = capture.Finish();

    ExpectCleanDissection(pcap);
    const auto rows = Rows(pcap, "l2fw", kFwFields);
    ExpectSubtypeNames(rows);
    EXPECT_EQ(FaultyFrames(rows), 0u);
    EXPECT_EQ(Subtypes(rows, kHostMac), (std::vector<std::string>{"0x01", "0x03", "0x03", "0x03", "0x05"}));
    EXPECT_EQ(Subtypes(rows, kFwDevice),
              (std::vector<std::string>{"0x00", "0x02", "0x04", "0x04", "0x04", "0x07"}));
    const DataFrames data = Data(rows, "0");
    EXPECT_EQ(data.seq, (std::vector<std::string>{"1", "2", "3"}));
    EXPECT_EQ(data.count, (std::vector<std::string>{"1024", "1024", "452"}));
    EXPECT_EQ(data.bytes, Hex(image));
    EXPECT_EQ(Column(Where(rows, "l2fw.subtype", "0x04"), "l2fw.seq"),
              (std::vector<std::string>{"1", "2", "3"}));
    const auto starts = Where(rows, "l2fw.subtype", "0x01");
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].at("l2fw.frame_length"), "46");
    EXPECT_EQ(starts[0].at("l2fw.phase"), "upgrade or firmware");
    EXPECT_EQ(starts[0].at("l2fw.mac_assigning"), "0");
    const auto requests = Where(rows, "l2fw.subtype", "0x00");
    EXPECT_GE(requests.size(), 1u);
    for (const auto& r : requests) EXPECT_EQ(r.at("l2fw.request_word"), "0x00000000");
}

TEST(WiresharkDissector, EthernetBootAssignsAnAddressAndSendsChunks) {
    KIVO_REQUIRE_CAPTURE();
    Topology topo;
    const char* romMac = "02:00:00:00:00:0c";
    topo.Link("eth1", "eth1", kHostMac, romMac);
    const Bytes loader = PatternBytes(2000, 33);
    ChunkedImage image;
    image.records.push_back({{0x02, 0x01, 0x00, 0x00}, {0x10, 0x20, 0x30, 0x40}, PatternBytes(1024, 31)});
    image.records.push_back({{0x04, 0x00, 0x00, 0x80}, {0x50, 0x60, 0x70, 0x80}, PatternBytes(8, 32)});
    TempFile loaderFile(AsString(loader));
    TempFile fwFile(AsString(image.File()));
    // A version 3 ROM with a subversion: the start frame gives it an address.
    SimCapture capture(topo,
                       std::string("[device rom1]\nmac = ") + romMac +
                           "\ninterface = eth1\nrole = bootrom\nannounce_period_ms = 100\nrom_version = 3\n"
                           "rom_subversion = 1\nchip_id = 0102030405060708\n");
    topo.StartKivohost();
    ASSERT_TRUE(Done(topo.client().Request(
        1, REQUEST_FW_START, FwStartBody("eth1", 0, ParseMac(romMac), fwFile.path(), loaderFile.path()))));
    auto final = FwPollUntilFinal(topo.client(), 30s);
    ASSERT_TRUE(final);
    ASSERT_EQ(final->state, 5) << capture.sim().Log();
    const std::string pcap = capture.Finish();

    ExpectCleanDissection(pcap);
    const std::string assigned = "00:13:9d:00:05:00";
    const auto rows = Rows(pcap, "l2fw || l2disc", kFwFields);
    ExpectSubtypeNames(rows);
    EXPECT_EQ(FaultyFrames(rows), 0u);
    const auto starts = Where(rows, "l2fw.subtype", "0x01");
    ASSERT_EQ(starts.size(), 2u) << "the loader's start and the firmware's";
    EXPECT_EQ(starts[0].at("eth.dst"), "ff:ff:ff:ff:ff:ff");
    EXPECT_EQ(starts[0].at("l2fw.frame_length"), "990");
    EXPECT_EQ(starts[0].at("l2fw.mac_assigning"), "1");
    EXPECT_EQ(starts[0].at("l2fw.chip_id"), "0102030405060708");
    EXPECT_EQ(starts[0].at("l2fw.assigned_mac"), assigned);
    EXPECT_EQ(starts[1].at("eth.dst"), assigned);
    EXPECT_EQ(starts[1].at("l2fw.frame_length"), "46");
    EXPECT_EQ(starts[1].at("l2fw.mac_assigning"), "0");

    const DataFrames loaderData = Data(rows, "1");
    EXPECT_EQ(loaderData.seq, (std::vector<std::string>{"1", "2", "3"}));
    EXPECT_EQ(loaderData.count, (std::vector<std::string>{"976", "976", "48"}));
    EXPECT_EQ(loaderData.bytes, Hex(loader));
    const DataFrames firmware = Data(rows, "0");
    EXPECT_EQ(firmware.seq, (std::vector<std::string>{"1", "2"})) << "one numbering across chunks";
    EXPECT_EQ(firmware.bytes, Hex(image.records[0].data) + Hex(image.records[1].data));
    EXPECT_EQ(Column(Where(rows, "l2fw.subtype", "0x0e"), "l2fw.chunk_info"),
              (std::vector<std::string>{"10203040", "50607080"}));
    EXPECT_EQ(Column(Where(rows, "l2fw.subtype", "0x10"), "l2fw.entry_point"),
              (std::vector<std::string>{"e0e1e2e3"}));
    // The booting device names its chip in every acknowledgement.
    const auto acks = Where(rows, "l2fw.subtype", "0x04");
    EXPECT_EQ(Column(acks, "l2fw.seq"), (std::vector<std::string>{"1", "2", "3", "1", "2"}));
    for (const auto& a : acks) EXPECT_EQ(a.at("l2fw.chip_id"), "0102030405060708");
    // The announcement before the boot belongs to discovery.
    const auto announcements = Where(rows, "l2disc.type", "3");
    EXPECT_GE(announcements.size(), 1u);
    for (const auto& a : announcements) EXPECT_EQ(a.at("l2disc.rom.version"), "3");
}

namespace {

// ---------------------------------------------------------------- hand-made frames

void WritePcap(const std::string& path, const std::vector<Bytes>& frames) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    u32(0xa1b2c3d4);
    u16(2);
    u16(4);
    u32(0);
    u32(0);
    u32(65535);
    u32(1);  // Ethernet
    uint32_t t = 0;
    for (const Bytes& f : frames) {
        u32(++t);
        u32(0);
        u32(static_cast<uint32_t>(f.size()));
        u32(static_cast<uint32_t>(f.size()));
        out.write(reinterpret_cast<const char*>(f.data()), static_cast<std::streamsize>(f.size()));
    }
}

const Bytes kDst = {0x02, 0, 0, 0, 0, 0x0a};
const Bytes kSrc = {0x02, 0, 0, 0, 0, 0x01};

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
Bytes Le16(uint16_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
}
Bytes Be16(uint16_t v) {
    return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}
Bytes Padded(Bytes f, size_t to = 60) {
    if (f.size() < to) f.resize(to, 0);
    return f;
}

// An LCMP frame: header fields as given (the length may lie), then the bytes.
Bytes LcmpFrame(uint16_t length, uint16_t opcode, uint8_t lastSeg, uint8_t seg, uint16_t seq,
                const Bytes& body, bool tagged = false) {
    Bytes f = Cat({kDst, kSrc});
    if (tagged) f = Cat({f, {0x81, 0x00, 0x00, 0x64}});
    f = Cat(
        {f,
         {0x22, 0xe3},
         {static_cast<uint8_t>(length), static_cast<uint8_t>(((length >> 8) & 0x0F) | ((opcode & 0x0F) << 4)),
          static_cast<uint8_t>(opcode >> 4), 0, static_cast<uint8_t>(lastSeg | (seg << 4))},
         Le16(seq),
         {0x10},
         body});
    return Padded(f, tagged ? 64 : 60);
}
Bytes LcmpMessage(uint16_t opcode, const Bytes& mmpl, bool tagged = false) {
    return LcmpFrame(static_cast<uint16_t>(mmpl.size()), opcode, 0, 0, 7, mmpl, tagged);
}
Bytes Value(uint8_t type, const Bytes& data) {
    return Cat({{type}, Le16(static_cast<uint16_t>(data.size())), data});
}
Bytes Record(uint8_t control, uint8_t type, const Bytes& data) {
    return Cat({Le16(static_cast<uint16_t>(data.size() + 2)), {control, type}, data});
}
Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}
// A confirm: control code, values length, transaction id, values.
Bytes Confirm(const Bytes& values) {
    return Cat({{3}, Le16(static_cast<uint16_t>(values.size())), Le16(0x1234), values});
}

Bytes Snap(uint8_t p0, uint8_t p1, const Bytes& payload, int lengthField = -1) {
    const uint16_t len =
        static_cast<uint16_t>(lengthField >= 0 ? lengthField : static_cast<int>(payload.size() + 8));
    return Cat({kDst, kSrc, Be16(len), {0xAA, 0xAA, 0x03, 0x00, 0x13, 0x9D, p0, p1}, payload});
}
// An SCP message with a correct CRC unless told otherwise.
Bytes ScpMessage(uint8_t opcode, uint8_t seq, uint8_t last, const Bytes& payload, int payloadLength = -1,
                 bool badCrc = false) {
    uint32_t crc = 0xFFFFFFFFu;
    for (uint8_t b : payload) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    if (badCrc) crc ^= 1;
    const uint16_t plen =
        static_cast<uint16_t>(payloadLength >= 0 ? payloadLength : static_cast<int>(payload.size()));
    Bytes msg = Cat({{opcode, 1, 0, 9, seq, last, 0, 0},
                     Be16(plen),
                     {static_cast<uint8_t>(crc >> 24), static_cast<uint8_t>(crc >> 16),
                      static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc)},
                     payload});
    return Padded(Snap(0x16, 0x01, msg));
}
Bytes ScpItem(uint16_t length, uint8_t type, uint8_t sub, const Bytes& content) {
    return Cat({Be16(length), {type, sub}, content});
}
Bytes Fw(uint8_t subtype, const Bytes& payload, int lengthField = -1) {
    return Padded(Snap(0x0B, subtype, payload, lengthField));
}

}  // namespace

TEST(WiresharkDissector, GarbageFramesDissectWithoutLuaErrors) {
    KIVO_REQUIRE_TSHARK();
    const Bytes name = Text("SYSTEM.A");
    // Each frame is wrong in one way, and the expert info of that fault must name it.
    const std::vector<std::pair<std::string, Bytes>> faults = {
        {"lcmp.length_beyond_frame.expert", LcmpFrame(1000, 0x161, 0, 0, 1, {})},
        {"lcmp.segment_too_long.expert",
         LcmpFrame(1500, 0x161, 1, 0, 2, Bytes(1500, 0xAB))},  // fits the frame, but a segment holds 1496
        {"lcmp.header_short.expert", Bytes(Cat({kDst, kSrc, {0x22, 0xe3, 1, 2, 3}}))},
        {"lcmp.segment_number.expert", LcmpFrame(4, 0x161, 2, 5, 3, {1, 2, 3, 4})},
        {"lcmp.value_beyond.expert",
         LcmpMessage(0x161, Confirm(Cat({Value(0, {1, 2}), {0x24, 0xFF, 0x00, 1}})))},
        {"lcmp.record_bad.expert", LcmpMessage(0x161, Confirm(Value(0x24, Cat({Le16(1), {1}}))))},
        {"lcmp.cipher_blocks.expert", LcmpMessage(0x161, Confirm(Value(0x20, Bytes(14, 0x5A))))},
        {"lcmp.unknown_opcode.expert", LcmpMessage(0x123, {1, 2, 3})},
        {"scp.short",
         Cat({kDst, kSrc, Be16(13), {0xAA, 0xAA, 0x03, 0x00, 0x13, 0x9D, 0x16, 0x01, 4, 1, 0, 9, 1}})},
        {"scp.payload_length.beyond_frame", ScpMessage(4, 1, 1, {}, 600)},
        {"scp.crc.bad", ScpMessage(4, 1, 1, ScpItem(10, 1, 0x0A, name), -1, true)},
        {"scp.item.bad", ScpMessage(4, 1, 1, ScpItem(1, 1, 0x0A, {}))},
        {"scp.unknown_opcode", ScpMessage(42, 1, 1, {})},
        {"l2disc.unknown_subtype", Padded(Snap(0x0C, 0x03, {}))},
        {"l2disc.short", Cat({kDst,
                              kSrc,
                              Be16(46),
                              {0xAA, 0xAA, 0x03, 0x00, 0x13, 0x9D, 0x0B, 0x00},
                              Bytes(6, 0),
                              {0x2D, 0x5A, 0xD2, 0xA5, 1}})},
        {"l2fw.unknown_subtype", Fw(0x55, {})},
        {"l2fw.count.beyond_frame", Fw(0x03, Cat({Le16(1), Le16(1000)}), 1038)},
        {"l2fw.count.beyond_frame", Fw(0x0E, Cat({Le16(0), Le16(200)}))},
        {"l2fw.frame_length.mismatch", Fw(0x03, Cat({Le16(1), Le16(4), Bytes(26, 0), {1, 2, 3, 4}}), 60)},
        {"l2fw.short", Cat({kDst, kSrc, Be16(10), {0xAA, 0xAA, 0x03, 0x00, 0x13, 0x9D, 0x0B, 0x03, 1}})},
    };
    std::vector<Bytes> frames;
    for (const auto& f : faults) frames.push_back(f.second);
    const size_t crafted = frames.size();
    // A well-formed tagged confirm among them, which must still be read.
    frames.push_back(
        LcmpMessage(0x161, Confirm(Value(0x24, Cat({Record(1, 10, name), Record(0, 2, {5})}))), true));

    // Then random bytes behind each kind of header.
    std::mt19937 random(20240611);
    auto bytes = [&](size_t n) {
        Bytes b(n);
        for (auto& x : b) x = static_cast<uint8_t>(random());
        return b;
    };
    for (int i = 0; i < 500; ++i) {
        const size_t n = random() % 120;
        switch (i % 8) {
            case 0:
                frames.push_back(Cat({kDst, kSrc, {0x22, 0xe3}, bytes(n)}));
                break;
            case 1:
                frames.push_back(Cat({kDst, kSrc, {0x81, 0x00, 0x00, 0x64, 0x22, 0xe3}, bytes(n)}));
                break;
            case 2:
                // Segments of a few messages, in any order, some of them repeated.
                frames.push_back(LcmpFrame(static_cast<uint16_t>(n),
                                           static_cast<uint16_t>(0x160 + random() % 8), random() % 3,
                                           random() % 3, static_cast<uint16_t>(random() % 4), bytes(n)));
                break;
            case 3:
                // Whole messages whose values are random.
                frames.push_back(
                    LcmpMessage(static_cast<uint16_t>(0x160 + random() % 7),
                                Cat({bytes(1), Le16(static_cast<uint16_t>(n)), bytes(8), bytes(n)})));
                break;
            case 4:
                frames.push_back(Snap(0x16, static_cast<uint8_t>(random()), bytes(n)));
                break;
            case 5:
                // Plain replies with a right CRC: their random item lists are walked.
                frames.push_back(ScpMessage(random() % 2 ? 4 : 1, static_cast<uint8_t>(1 + random() % 3),
                                            random() % 2, bytes(n)));
                break;
            case 6:
                frames.push_back(Snap(0x0C, static_cast<uint8_t>(random() % 4), bytes(n),
                                      static_cast<int>(random() % 1600)));
                break;
            default:
                frames.push_back(Snap(0x0B, static_cast<uint8_t>(random() % 0x14), bytes(n),
                                      static_cast<int>(random() % 1600)));
                break;
        }
    }
    TempFile pcap("");
    WritePcap(pcap.path(), frames);

    // Every frame in one run; packet i of the PDML output must hold the expert field
    // that the fault of crafted frame i names.
    const std::string pdml = ExpectCleanDissection(pcap.path(), "-T pdml");
    std::vector<std::string> packets;
    for (size_t at = pdml.find("<packet>"); at != std::string::npos;) {
        const size_t next = pdml.find("<packet>", at + 1);
        packets.push_back(pdml.substr(at, next == std::string::npos ? std::string::npos : next - at));
        at = next;
    }
    ASSERT_EQ(packets.size(), frames.size()) << "every frame read";
    packets.resize(crafted);
    for (size_t i = 0; i < crafted; ++i) {
        const std::string& expert = faults[i].first;
        EXPECT_NE(packets[i].find("name=\"" + expert + "\""), std::string::npos)
            << "frame " << i + 1 << " lacks " << expert << "\n"
            << packets[i].substr(0, 6000);
    }
    const auto tagged = Rows(pcap.path(), "frame.number == " + std::to_string(crafted + 1),
                             {"lcmp.vlan.id", "lcmp.cfg.name", "lcmp.cfg.value"});
    ASSERT_EQ(tagged.size(), 1u);
    EXPECT_EQ(tagged[0].at("lcmp.vlan.id"), "100");
    EXPECT_EQ(tagged[0].at("lcmp.cfg.name"), "SYSTEM.A");
    EXPECT_EQ(tagged[0].at("lcmp.cfg.value"), "5");
}

namespace {

// A number of `size` bytes in either byte order.
Bytes Int(uint64_t v, size_t size, bool little) {
    Bytes b(size);
    for (size_t i = 0; i < size; ++i) b[little ? i : size - 1 - i] = static_cast<uint8_t>(v >> (8 * i));
    return b;
}
Bytes Ints(std::initializer_list<uint64_t> vs, size_t size, bool little) {
    Bytes b;
    for (uint64_t v : vs) b = Cat({b, Int(v, size, little)});
    return b;
}

struct Sample {
    uint8_t type;
    std::function<Bytes(bool little)> bytes;
};

const uint64_t kMinus = 1ull << 32;  // 32-bit negatives: kMinus - n

std::vector<Sample> Samples() {
    auto fixed = [](Bytes b) { return [b](bool) { return b; }; };
    auto time = [](std::initializer_list<uint64_t> f) {
        return [f](bool little) { return Ints(f, 4, little); };
    };
    return {
        {1, fixed({0xFF, 0x05, 0x80})},
        {2, fixed({0, 255})},
        {3,
         [](bool l) {
             return Ints({0xFFFE, 300}, 2, l);
         }},
        {4,
         [](bool l) {
             return Ints({65535, 1, 7}, 2, l);
         }},
        {5,
         [](bool l) {
             return Ints({kMinus - 100000, 7}, 4, l);
         }},
        {6, [](bool l) { return Ints({4000000000u}, 4, l); }},
        {31,
         [](bool l) {
             return Ints({~0ull, (1ull << 53) + 1}, 8, l);
         }},
        {7, fixed({1, 0, 2, 1})},
        {8, fixed({0x00, 0x11, 0x22, 0xAA, 0xBB, 0xCC, 0, 0, 0, 0, 0, 0, 0x02, 0, 0, 0, 0, 0x0F})},
        {9, fixed({192, 168, 1, 10, 10, 0, 0, 1, 7})},
        {11, fixed(PatternBytes(16, 3))},
        {10, fixed({'a', 'b', 0, 'c', 'd'})},
        {0, fixed({7, 8})},
        {12, [](bool l) { return Int(1, 4, l); }},
        {12, [](bool l) { return Int(9, 4, l); }},
        {13, fixed({1, 0})},
        {19, fixed({3})},
        {20, [](bool l) { return Int(7, 4, l); }},
        {21, [](bool l) { return Int(3, 4, l); }},
        {15, [](bool l) { return Int(0x00050331, 4, l); }},
        {15, [](bool l) { return Int(0x80000002, 4, l); }},
        {16, [](bool l) { return Int(0x00010003, 4, l); }},
        {17, [](bool l) { return Int(kMinus - 5, 4, l); }},
        {30, time({5, 4, 3, 2, 0, 124, 2})},
        {30, time({61, kMinus - 1, 123, 31, 12, 9000, kMinus - 1})},
        {30, fixed({1, 2, 3})},
        {26, [](bool l) { return Int(11, 4, l); }},
        {26, [](bool l) { return Int(0, 4, l); }},
        {35, [](bool l) { return Int(3, 4, l); }},
        {36, [](bool l) { return Int(2, 4, l); }},
        {14, fixed({1, 2, 3, 4})},
        {40, fixed({1, 2})},
    };
}

const std::vector<uint64_t> kStatuses = {0, kMinus - 36, kMinus - 77, kMinus - 200, 5, kMinus - 300};

}  // namespace

// Values and statuses of every parameter type, as the service renders them for a
// front-end: the dissector's text must be the same, on the LCMP path (little-endian)
// and on the SCP path (big-endian, older product table).
TEST(WiresharkDissector, ValuesAreShownAsTheServiceRendersThem) {
    KIVO_REQUIRE_TSHARK();
    const Bytes name = Text("P");
    std::vector<Bytes> frames;
    std::vector<std::string> lcmpExpected;
    std::vector<std::string> scpExpected;
    std::vector<CHAR> text(CONVERSION_TEXT_AREA_SIZE);
    std::vector<INT8U> legacy(LEGACY_TEXT_AREA_SIZE);
    for (const Sample& s : Samples()) {
        const Bytes le = s.bytes(true);
        const Bytes be = s.bytes(false);
        frames.push_back(
            LcmpMessage(0x161, Confirm(Value(0x24, Cat({Record(1, 10, name), Record(0, s.type, le)})))));
        INT32U n = 0;
        ConversionValueToString(static_cast<t_paramType>(s.type), static_cast<INT32U>(le.size()), le.data(),
                                text.data(), CONVERSION_TEXT_AREA_SIZE, &n, FALSE);
        lcmpExpected.push_back(text.data());
        frames.push_back(ScpMessage(4, 1, 1,
                                    Cat({ScpItem(static_cast<uint16_t>(name.size() + 2), 1, 0x0A, name),
                                         ScpItem(static_cast<uint16_t>(be.size() + 2), 2, s.type, be)})));
        // The service reads SCP contents from a zero-filled copy.
        Bytes content = be;
        content.resize(be.size() + 64, 0);
        INT32U length = static_cast<INT32U>(be.size() + 2);
        valueToString(s.type, content.data(), &length, legacy.data(), LEGACY_TEXT_AREA_SIZE);
        scpExpected.emplace_back(reinterpret_cast<const char*>(legacy.data()));
    }
    for (uint64_t status : kStatuses) {
        const Bytes le = Int(status, 4, true);
        const Bytes be = Int(status, 4, false);
        frames.push_back(
            LcmpMessage(0x161, Confirm(Value(0x24, Cat({Record(1, 10, name), Record(2, 5, le)})))));
        ConversionValueToErrorString(le.data(), 4, text.data(), CONVERSION_TEXT_AREA_SIZE);
        lcmpExpected.push_back(text.data());
        frames.push_back(ScpMessage(
            4, 1, 1,
            Cat({ScpItem(static_cast<uint16_t>(name.size() + 2), 1, 0x0A, name), ScpItem(6, 3, 0, be)})));
        INT32U length = 6;
        errorToString(be.data(), &length, legacy.data(), LEGACY_TEXT_AREA_SIZE);
        scpExpected.emplace_back(reinterpret_cast<const char*>(legacy.data()));
    }
    TempFile pcap("");
    WritePcap(pcap.path(), frames);
    ExpectCleanDissection(pcap.path());
    const auto rows =
        Rows(pcap.path(), "lcmp || scp",
             {"lcmp.cfg.value", "lcmp.cfg.status_text", "scp.item.value", "scp.item.status_text"});
    ASSERT_EQ(rows.size(), frames.size());
    for (size_t i = 0; i < lcmpExpected.size(); ++i) {
        const Row& l = rows[2 * i];
        const Row& s = rows[2 * i + 1];
        EXPECT_EQ(l.at("lcmp.cfg.value") + l.at("lcmp.cfg.status_text"), lcmpExpected[i])
            << "LCMP sample " << i;
        EXPECT_EQ(s.at("scp.item.value") + s.at("scp.item.status_text"), scpExpected[i])
            << "SCP sample " << i;
    }
}

// ---------------------------------------------------------------- deciphering

namespace {

const std::vector<std::string> kDecipherFields = {
    "frame.number",        "lcmp.mmh.opcode",    "lcmp.deciphered.password",
    "lcmp.deciphered.key", "lcmp.cfg.name",      "lcmp.cfg.value",
    "_ws.expert.severity", "_ws.expert.message", "lcmp.value.type"};

std::set<std::string> Names(const std::vector<Row>& rows, const std::string& field) {
    std::set<std::string> out;
    for (const auto& r : rows)
        for (const auto& name : Split(r.at(field))) out.insert(name);
    return out;
}

}  // namespace

TEST(WiresharkDissector, LcmpPartsAreDecipheredWithThePasswordAndOnlyWithIt) {
    KIVO_REQUIRE_CAPTURE();
    Topology topo;
    topo.Link("eth1", "eth1", kHostMac, MacText(kLcmpDevice));
    SimCapture capture(topo, LcmpDevice(""));
    topo.StartKivohost();
    // A get-all answered in several segments, a set, and a get of a name the device lacks,
    // which the service repeats under the legacy key.
    auto all = LcmpRequest(topo, REQUEST_GET_ALL, std::nullopt);
    ASSERT_TRUE(all);
    const auto records = ParamRecords(*all);
    ASSERT_TRUE(records);
    auto set = LcmpRequest(topo, REQUEST_SET, SetBlock({{"SYSTEM.GENERAL.NAME", "kitchen"}}));
    ASSERT_TRUE(set && ParamRecords(*set));
    auto get = LcmpRequest(topo, REQUEST_GET, GetBlock({"SYSTEM.GENERAL.NAME", "SYSTEM.GENERAL.MISSING"}));
    ASSERT_TRUE(get && ParamRecords(*get));
    const std::string pcap = capture.Finish();

    // The right password after a wrong one: every enciphered part opens, under both key forms.
    const std::string right = "-o " + Quote("lcmp.passwords:wrong,pw");
    ExpectCleanDissection(pcap, right + " -V");
    const auto parts = Rows(pcap, "lcmp.enciphered", kDecipherFields, right);
    ASSERT_GE(parts.size(), 8u);
    std::set<std::string> forms;
    for (const auto& r : parts) {
        EXPECT_EQ(r.at("lcmp.deciphered.password"), "pw") << "frame " << r.at("frame.number");
        forms.insert(r.at("lcmp.deciphered.key"));
        // Only the get-all request names nothing.
        const bool getAll = r.at("lcmp.value.type").find("0x27") != std::string::npos;
        EXPECT_NE(r.at("lcmp.cfg.name").empty(), !getAll) << "frame " << r.at("frame.number");
    }
    EXPECT_EQ(forms, (std::set<std::string>{"SHA-256", "legacy"}));
    EXPECT_EQ(FaultyFrames(Rows(pcap, "lcmp", kDecipherFields, right)), 0u);
    // Names are found in requests as in answers, values as the service gave them.
    std::map<std::string, std::string> served;
    for (const auto& rec : *records) served[rec.name] = rec.value;
    std::set<std::string> allNames;
    for (const auto& [name, value] : served) allNames.insert(name);
    allNames.insert("SYSTEM.GENERAL.MISSING");
    EXPECT_EQ(Names(Where(parts, "lcmp.mmh.opcode", "0x0160"), "lcmp.cfg.name"), allNames);
    const auto answers = Rows(pcap, "lcmp.mmh.opcode == 0x0161", kDecipherFields, right);
    EXPECT_EQ(Names(answers, "lcmp.cfg.name"), allNames);
    const auto firstAnswers =
        ClearAnswers(Where(answers, "lcmp.deciphered.key", "SHA-256"), "lcmp.cfg.value");
    EXPECT_EQ(firstAnswers.at("SYSTEM.PRODUCTION.MAC_ADDR"), served.at("SYSTEM.PRODUCTION.MAC_ADDR"));
    const auto writes = Rows(pcap, "lcmp.cfg.name == \"SYSTEM.GENERAL.NAME\" && lcmp.mmh.opcode == 0x0162",
                             kDecipherFields, right);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].at("lcmp.cfg.value"), "kitchen");
    EXPECT_EQ(Rows(pcap, "lcmp.cfg.name == \"SYSTEM.GENERAL.MISSING\" && lcmp.mmh.opcode == 0x0160",
                   kDecipherFields, right)
                  .size(),
              2u)
        << "the request under each key";

    // A wrong password opens nothing and makes nothing up: each part says so, and the
    // names shown are those of the clear messages, as without a password.
    const std::string wrong = "-o " + Quote("lcmp.passwords:wrong");
    const auto closed = Rows(pcap, "lcmp.enciphered", kDecipherFields, wrong);
    ASSERT_EQ(closed.size(), parts.size());
    for (const auto& r : closed) {
        EXPECT_EQ(r.at("lcmp.deciphered.key"), "");
        EXPECT_NE(r.at("_ws.expert.message").find("None of the 2 keys"), std::string::npos)
            << r.at("frame.number");
    }
    EXPECT_EQ(Names(Rows(pcap, "lcmp", kDecipherFields, wrong), "lcmp.cfg.name"),
              Names(Rows(pcap, "lcmp", kDecipherFields), "lcmp.cfg.name"));
    EXPECT_EQ(Names(closed, "lcmp.cfg.name").count("SYSTEM.GENERAL.MISSING"), 0u);
}

TEST(WiresharkDissector, ScpSetAndFactoryResetAreDecipheredWithThePassword) {
    KIVO_REQUIRE_CAPTURE();
    Topology topo;
    topo.Link("eth1", "eth1", kScpHost, kScpDevice);
    SimCapture capture(topo, std::string("[device scp1]\nmac = ") + kScpDevice +
                                 "\ninterface = eth1\nrole = scp\npassword = s3cret\n"
                                 "param = SYSTEM.GENERAL.NAME STRING living room\n"
                                 "param = NETWORK.PORT INT16U 8080\n");
    topo.StartKivohost();
    const Mac device = ParseMac(kScpDevice);
    auto set = topo.client().Request(
        1, REQUEST_SET,
        ParamRequestBody(kDeviceScp, "eth1", 0, device, "s3cret", SetBlock({{"NETWORK.PORT", "1"}})));
    ASSERT_TRUE(set);
    ASSERT_EQ((*set)[3], REPLY_SCP_DATA);
    auto reset = topo.client().Request(1, REQUEST_FACTORY_RESET,
                                       ParamRequestBody(kDeviceScp, "eth1", 0, device, "s3cret"));
    ASSERT_TRUE(reset);
    ASSERT_EQ((*reset)[3], REPLY_DONE);
    const std::string pcap = capture.Finish();

    const std::vector<std::string> fields = {
        "scp.opcode",     "scp.deciphered.key",   "scp.crc.status",    "scp.item.name",
        "scp.item.value", "scp.item.status_text", "_ws.expert.message"};
    const std::string filter = "scp.opcode in {2, 3, 5, 6}";
    const std::string right = "-o " + Quote("lcmp.passwords:s3cret");
    ExpectCleanDissection(pcap, right + " -V");
    const auto rows = Rows(pcap, filter, fields, right);
    std::map<std::string, Row> byOpcode;
    for (const auto& r : rows) {
        EXPECT_EQ(r.at("scp.deciphered.key"), "SHA-256") << "opcode " << r.at("scp.opcode");
        EXPECT_EQ(r.at("scp.crc.status"), "1");
        byOpcode[r.at("scp.opcode")] = r;
    }
    ASSERT_EQ(byOpcode.size(), 4u) << "set, factory reset and their replies";
    EXPECT_EQ(byOpcode["2"].at("scp.item.name"), "NETWORK.PORT");
    EXPECT_EQ(byOpcode["2"].at("scp.item.value"), "1");
    EXPECT_EQ(byOpcode["5"].at("scp.item.name"), "NETWORK.PORT");
    EXPECT_EQ(byOpcode["5"].at("scp.item.status_text"), "OK");
    EXPECT_EQ(byOpcode["3"].at("scp.item.name"), "FACTORYRESET.GENERAL.FORCE_RESET");
    EXPECT_EQ(byOpcode["6"].at("scp.item.name"), "FACTORYRESET.GENERAL.FORCE_RESET");

    const auto closed = Rows(pcap, filter, fields, "-o " + Quote("lcmp.passwords:S3cret"));
    ASSERT_EQ(closed.size(), rows.size());
    for (const auto& r : closed) {
        EXPECT_EQ(r.at("scp.item.name"), "") << "opcode " << r.at("scp.opcode");
        EXPECT_EQ(r.at("scp.crc.status"), "2");
        EXPECT_NE(r.at("_ws.expert.message").find("None of the 2 keys"), std::string::npos);
    }
}

namespace {

// Key material of a password (SHA-256), and bytes enciphered with it.
Bytes Sha256Key(const std::string& password) {
    Bytes key(KEY_MATERIAL_SIZE);
    GenerateSha256Hash(key.data(), reinterpret_cast<const INT8U*>(password.data()),
                       static_cast<INT32U>(password.size()));
    return key;
}
Bytes Enciphered(Bytes plain, const Bytes& key) {
    EXPECT_EQ(DES3CBCCipher(plain.data(), static_cast<INT32S>(plain.size()), key.data()), 0);
    return plain;
}

// A confirm whose values after the data-model marker are enciphered: `declared` is the
// header's values length, `plain` what is enciphered (a multiple of 8 bytes).
Bytes EncipheredConfirm(uint16_t declared, const Bytes& plain, const Bytes& key) {
    const Bytes marker = Cat({{0x20}, Le16(static_cast<uint16_t>(1 + plain.size())), {0}});
    return LcmpMessage(0x161, Cat({{3}, Le16(declared), Le16(0x1234), marker, Enciphered(plain, key)}));
}

}  // namespace

TEST(WiresharkDissector, OnlyWholeStructuresCountAsDeciphered) {
    KIVO_REQUIRE_TSHARK();
    // Every frame is enciphered with a password given: only whole structures may be taken
    // for its plain text. The first block of each reads well, so a check of the first
    // bytes alone would take them all. The password "p,w" is given escaped, and the empty
    // password as an empty entry: its legacy key is all zeros.
    const Bytes key = Sha256Key("p,w");
    const Bytes zeros(KEY_MATERIAL_SIZE, 0);
    const Bytes answer = Value(0x24, Cat({Record(1, 10, Text("SYSTEM.A")), Record(0, 2, {7})}));  // 23 bytes
    auto padded = [](Bytes b, uint8_t fill) {
        b.resize((b.size() + 7) / 8 * 8, fill);
        return b;
    };
    const uint16_t declared = static_cast<uint16_t>(4 + answer.size());
    Bytes overrun = answer;
    overrun[3] = 13;  // the name record's length goes past its value
    const Bytes items = Cat({ScpItem(10, 1, 0x0A, Text("SYSTEM.A")), ScpItem(3, 2, 2, {7})});  // 17 bytes
    Bytes scpZeroPad = padded(items, 0);
    Bytes scpPad = padded(items, 0xE6);
    auto scpEnciphered = [&key](const Bytes& plain) {
        Bytes msg = ScpMessage(2, 1, 1, plain);  // CRC of the plain text
        const Bytes enc = Enciphered(plain, key);
        std::copy(enc.begin(), enc.end(), msg.begin() + 22 + 14);
        return msg;
    };
    const std::vector<Bytes> frames = {
        EncipheredConfirm(declared, padded(answer, 0), key),                             // whole: deciphered
        EncipheredConfirm(static_cast<uint16_t>(declared + 1), padded(answer, 0), key),  // length disagrees
        EncipheredConfirm(declared, padded(answer, 0x55), key),                          // padding not zero
        EncipheredConfirm(declared, padded(overrun, 0), key),                            // record overruns
        scpEnciphered(scpPad),                                                           // whole: deciphered
        scpEnciphered(scpZeroPad),                              // CRC right, padding not 0xE6
        EncipheredConfirm(declared, padded(answer, 0), zeros),  // whole, the empty password's legacy key
    };
    TempFile pcap("");
    WritePcap(pcap.path(), frames);
    const auto rows = Rows(pcap.path(), "lcmp || scp",
                           {"lcmp.deciphered.key", "lcmp.deciphered.password", "lcmp.cfg.name",
                            "scp.deciphered.key", "scp.item.name"},
                           "-o " + Quote("lcmp.passwords:x,p\\,w,"));
    ASSERT_EQ(rows.size(), frames.size());
    std::vector<std::string> names;
    for (const auto& r : rows) names.push_back(r.at("lcmp.cfg.name") + r.at("scp.item.name"));
    EXPECT_EQ(names, (std::vector<std::string>{"SYSTEM.A", "", "", "", "SYSTEM.A", "", "SYSTEM.A"}));
    EXPECT_EQ(rows[0].at("lcmp.deciphered.key"), "SHA-256");
    EXPECT_EQ(rows[0].at("lcmp.deciphered.password"), "p,w");
    EXPECT_EQ(rows[4].at("scp.deciphered.key"), "SHA-256");
    EXPECT_EQ(rows[6].at("lcmp.deciphered.key"), "legacy");
    EXPECT_EQ(rows[6].at("lcmp.deciphered.password"), "");
}

// Installed as a folder of its own under the personal plugin folder, the plugin's entry
// runs its parts from beside it: all four protocols register, and Wireshark, which runs
// every file of the folder, complains about none. Without a part, the message at start
// names it.
TEST(WiresharkDissector, PluginLoadsFromAFolderOfItsOwn) {
    // A copy installed for the whole machine (the package's) is loaded too, and Wireshark
    // refuses the second copy of a protocol: nothing to learn about this one then.
    const std::string folders = ShellOutput("tshark -G folders 2>/dev/null");
    const size_t global = folders.find("Global Lua Plugins:");
    if (global != std::string::npos) {
        std::string dir = folders.substr(global + 19, folders.find('\n', global) - global - 19);
        dir.erase(0, dir.find_first_not_of(" \t"));
        if (!dir.empty() && access((dir + "/kivo.lua").c_str(), F_OK) == 0)
            GTEST_SKIP() << "the plugin is installed for the whole machine in " << dir
                         << " (the kivo package); remove it to run this test";
    }
    char tmpl[] = "/tmp/kvt-wsplugin-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string home = tmpl;
    struct Remove {
        std::string path;
        ~Remove() { Shell("rm -rf " + Quote(path)); }
    } remove{home};
    std::string source = KIVO_LUA_DISSECTOR;
    source = source.substr(0, source.rfind('/'));
    const std::string folder = home + "/.local/lib/wireshark/plugins/kivo";
    ASSERT_EQ(Shell("mkdir -p " + Quote(folder) + " && cp " + Quote(source) + "/kivo*.lua " + Quote(folder)),
              0);
    auto fields = [&](std::string& err) {
        const std::string errFile = home + "/err.txt";
        std::string out = ShellOutput("HOME=" + Quote(home) + " tshark -G fields 2>" + Quote(errFile));
        err.clear();
        std::istringstream lines(ReadFile(errFile));
        for (std::string line; std::getline(lines, line);)
            if (line != kRootWarning) err += line + "\n";
        return out;
    };
    std::string err;
    const std::string all = fields(err);
    EXPECT_EQ(err, "");
    for (const char* field :
         {"\tlcmp.deciphered.password\t", "\tscp.crc.status\t", "\tl2disc.type\t", "\tl2fw."})
        EXPECT_NE(all.find(field), std::string::npos) << field << " is not registered";

    ASSERT_EQ(Shell("rm " + Quote(folder + "/kivo_l2fw.lua")), 0);
    fields(err);
    EXPECT_NE(err.find("kivo_l2fw.lua could not be loaded from " + folder), std::string::npos) << err;
}

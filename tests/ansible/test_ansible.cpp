// The Ansible collection kivo.ghn end to end: Debian's ansible-playbook runs the example
// playbook on localhost with the local connection, inside the host namespace, so that
// the modules call this build's kivoctl against the real kivohost and a simulated device.
// What the device holds afterwards is read with kivoctl itself, and what it received
// from the simulator's log, never from the playbook's own report.
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "harness.h"
#include "harness_cfg.h"

using namespace kivotest;
using nlohmann::json;

namespace {

const char* kPlaybookBin = "/usr/bin/ansible-playbook";
const char* kMac = "02:00:00:00:10:01";

// A scratch folder (the playbook's HOME, inventory, variables), removed with its content.
class TempDir {
   public:
    TempDir() {
        char tmpl[] = "/tmp/kvt-ansible-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp");
        path_ = tmpl;
    }
    ~TempDir() { Shell("rm -rf " + Quote(path_)); }
    const std::string& path() const { return path_; }

   private:
    std::string path_;
};

// The environment every Ansible program of the test runs with: the collection from the
// source tree, kivoctl from the build, everything Ansible writes kept in the scratch folder.
std::string AnsibleEnv(const TempDir& dir) {
    std::string kivoctlDir = KIVOCTL_BIN;
    kivoctlDir = kivoctlDir.substr(0, kivoctlDir.rfind('/'));
    return "env HOME=" + Quote(dir.path()) + " ANSIBLE_COLLECTIONS_PATH=" + Quote(KIVO_COLLECTIONS) +
           " PATH=" + Quote(kivoctlDir) + ":/usr/sbin:/usr/bin:/sbin:/bin ANSIBLE_NOCOLOR=1" +
           " ANSIBLE_RETRY_FILES_ENABLED=0 ANSIBLE_LOCAL_TEMP=" + Quote(dir.path() + "/tmp");
}

struct PlayRun {
    int exit = -1;
    json doc;
    std::string err;
    int Stat(const char* key) const {
        const json& v = doc["stats"]["localhost"][key];
        return v.is_number() ? v.get<int>() : -1;
    }
    // The per-device results of a task of the example playbook (it loops over the devices).
    json Items(const std::string& task) const {
        for (const auto& play : doc["plays"])
            for (const auto& t : play["tasks"])
                if (t["task"]["name"] == task) return t["hosts"]["localhost"]["results"];
        return json::array();
    }
};

// Runs a playbook (by default the example) in the namespace with the json output callback;
// `args` are further ansible-playbook arguments, already quoted.
PlayRun Playbook(const Netns& ns, const TempDir& dir, const std::string& args,
                 const std::string& playbook = KIVO_EXAMPLE_PLAYBOOK) {
    std::string out = dir.path() + "/out.json", err = dir.path() + "/err.txt";
    PlayRun r;
    r.exit = Shell("ip netns exec " + ns.name() + " " + AnsibleEnv(dir) +
                   " ANSIBLE_STDOUT_CALLBACK=kivo_test_json ANSIBLE_CALLBACK_PLUGINS=" +
                   Quote(KIVO_TEST_CALLBACKS) + " " + kPlaybookBin + " -i " +
                   Quote(dir.path() + "/inventory.ini") + " -e @" + Quote(dir.path() + "/vars.json") + " " +
                   Quote(playbook) + " " + args + " </dev/null >" + Quote(out) + " 2>" + Quote(err));
    r.err = ReadFile(err);
    try {
        r.doc = json::parse(ReadFile(out));
    } catch (const std::exception& e) {
        ADD_FAILURE() << "ansible-playbook printed no JSON document: " << e.what() << "\n"
                      << ReadFile(out) << r.err;
    }
    return r;
}

// What the device holds, read with kivoctl in the namespace.
std::string DeviceValue(const Netns& ns, const std::string& name) {
    std::string out = ShellOutput("ip netns exec " + ns.name() + " env KV_PW=s3cret-pw " +
                                  Quote(KIVOCTL_BIN) + " --json get -i eth1 -m " + kMac +
                                  " --password-env KV_PW " + Quote(name) + " </dev/null 2>/dev/null");
    try {
        return json::parse(out)["parameters"][0]["value"].get<std::string>();
    } catch (const std::exception& e) {
        return std::string("(kivoctl get failed: ") + e.what() + ") " + out;
    }
}

}  // namespace

TEST(Ansible, CollectionAgainstASimulatedDevice) {
    KIVO_REQUIRE_ROOT();
    if (access(kPlaybookBin, X_OK) != 0)
        GTEST_SKIP() << "needs Debian's ansible-core (" << kPlaybookBin << ")";
    TempDir dir;

    // Documentation of every module renders; ansible-test's sanity checks that need no
    // network (the others install their tools with pip) pass on a copy of the collection,
    // since ansible-test writes its results into the collection's folder.
    for (const char* module : {"kivo_discover", "kivo_param", "kivo_firmware", "kivo_reset"}) {
        std::string doc = ShellOutput(AnsibleEnv(dir) + " /usr/bin/ansible-doc kivo.ghn." + module +
                                      " 2>&1; echo \"exit=$?\"");
        EXPECT_TRUE(Has(doc, "exit=0")) << module << ": " << doc;
        EXPECT_TRUE(Has(doc, "EXAMPLES:")) << module << ": " << doc;
        EXPECT_TRUE(Has(doc, "RETURN VALUES:")) << module << ": " << doc;
    }
    std::string copy = dir.path() + "/sanity/ansible_collections/kivo";
    std::string sanity = ShellOutput(
        "mkdir -p " + Quote(copy) + " && cp -r " +
        Quote(std::string(KIVO_COLLECTIONS) + "/ansible_collections/kivo/ghn") + " " + Quote(copy) +
        " && cd " + Quote(copy + "/ghn") + " && " + AnsibleEnv(dir) +
        " /usr/bin/python3 /usr/bin/ansible-test sanity --python "
        "\"$(/usr/bin/python3 -c 'import sys; print(\"%d.%d\" % sys.version_info[:2])')\""
        " --skip-test ansible-doc --skip-test changelog --skip-test import --skip-test pep8 --skip-test "
        "pylint"
        " --skip-test runtime-metadata --skip-test validate-modules --skip-test yamllint --skip-test pslint"
        " --skip-test shellcheck 2>&1; echo \"exit=$?\"");
    EXPECT_TRUE(Has(sanity, "Running sanity test \"compile\"")) << sanity;
    EXPECT_TRUE(Has(sanity, "exit=0")) << sanity;

    // One LCMP device with a password, a refused and a read-only parameter, that also takes
    // a firmware upgrade and keeps asking for a file.
    Topology topo;
    topo.Link("eth1", "eth1");
    TempFile saved("");
    topo.StartDevsim(std::string("[device lr]\nmac = ") + kMac +
                     "\ninterface = eth1\nrole = lcmp\npassword = s3cret-pw\nsegment_size = 1492\n"
                     "fw_upgrade = yes\nfw_request_at_start = yes\nfw_request_period_ms = 200\n"
                     "fw_request_count = 100000\nfw_log_data = no\nfw_save_image = " +
                     saved.path() +
                     "\nparam = SYSTEM.INFO.FW_VERSION STRING 11.4.2 build 3107\n"
                     "param = SYSTEM.GENERAL.DEVICE_NAME STRING living room\n"
                     "param = SYSTEM.GENERAL.LED_ENABLE BOOL YES\n"
                     "param = NETWORK.IP.ADDRESS IP_ADDR 192.168.1.60\n"
                     "param = NETWORK.VLAN.IDS INT16U 1,100,200\n"
                     "param = SYSTEM.PRODUCTION.MAC_ADDR MAC_ADDR 02:00:00:00:10:01\n"
                     "readonly = SYSTEM.PRODUCTION.MAC_ADDR\n");
    topo.StartKivohost();
    ASSERT_TRUE(WaitLinkUp(topo.host(), "eth1"));

    std::ofstream(dir.path() + "/inventory.ini")
        << "[kivo_hosts]\nlocalhost ansible_connection=local ansible_python_interpreter=/usr/bin/python3\n";
    // The address is given in a spelling the device does not keep: the second run has
    // nothing to write only if values are compared as the device stores them.
    json vars = {{"kivo_password", "s3cret-pw"},
                 {"kivo_params",
                  {{"SYSTEM.GENERAL.DEVICE_NAME", "office"},
                   {"NETWORK.VLAN.IDS", {1, 100, 300}},
                   {"NETWORK.IP.ADDRESS", "192.168.001.070"}}},
                 {"kivo_devices", {{{"interface", "eth1"}, {"mac", kMac}}}}};
    std::ofstream(dir.path() + "/vars.json") << vars.dump();
    auto writes = [&] { return topo.devsim()->CountInLog("CFG rx write"); };

    // First run: the three parameters written in one request, the diff with old and new.
    PlayRun first = Playbook(topo.host(), dir, "--diff");
    ASSERT_EQ(first.exit, 0) << first.doc.dump(1) << first.err;
    EXPECT_EQ(first.Stat("changed"), 1);
    json item = first.Items("Parameters")[0];
    EXPECT_EQ(item["written"],
              json::array({"NETWORK.IP.ADDRESS", "NETWORK.VLAN.IDS", "SYSTEM.GENERAL.DEVICE_NAME"}));
    EXPECT_EQ(item["parameters"]["NETWORK.IP.ADDRESS"]["after"], "192.168.1.70") << item.dump(1);
    std::string before = item["diff"]["before"].is_string() ? item["diff"]["before"].get<std::string>() : "";
    std::string after = item["diff"]["after"].is_string() ? item["diff"]["after"].get<std::string>() : "";
    EXPECT_TRUE(Has(before, "SYSTEM.GENERAL.DEVICE_NAME: living room\n")) << item.dump(1);
    EXPECT_TRUE(Has(before, "NETWORK.VLAN.IDS: 1,100,200\n")) << item.dump(1);
    EXPECT_TRUE(Has(after, "SYSTEM.GENERAL.DEVICE_NAME: office\n")) << item.dump(1);
    EXPECT_TRUE(Has(after, "NETWORK.IP.ADDRESS: 192.168.1.70\n")) << item.dump(1);
    EXPECT_EQ(writes(), 1);
    EXPECT_FALSE(Has(first.doc.dump() + first.err, "s3cret-pw")) << "the password shows in Ansible's output";
    EXPECT_EQ(DeviceValue(topo.host(), "SYSTEM.GENERAL.DEVICE_NAME"), "office");
    EXPECT_EQ(DeviceValue(topo.host(), "NETWORK.VLAN.IDS"), "1,100,300");
    EXPECT_EQ(DeviceValue(topo.host(), "NETWORK.IP.ADDRESS"), "192.168.1.70");

    // Second run: nothing reported and nothing sent to the device, the address included.
    PlayRun second = Playbook(topo.host(), dir, "--diff");
    ASSERT_EQ(second.exit, 0) << second.err;
    EXPECT_EQ(second.Stat("changed"), 0) << second.doc.dump(1);
    EXPECT_EQ(writes(), 1);

    // Check mode reports the change and its diff, and the device keeps its value.
    PlayRun check = Playbook(
        topo.host(), dir,
        "--check --diff -e " + Quote(R"({"kivo_params": {"SYSTEM.GENERAL.DEVICE_NAME": "garage"}})"));
    ASSERT_EQ(check.exit, 0) << check.err;
    EXPECT_EQ(check.Stat("changed"), 1);
    json checkItem = check.Items("Parameters")[0];
    EXPECT_EQ(checkItem["diff"]["after"], "SYSTEM.GENERAL.DEVICE_NAME: garage\n") << checkItem.dump(1);
    EXPECT_EQ(writes(), 1);
    EXPECT_EQ(DeviceValue(topo.host(), "SYSTEM.GENERAL.DEVICE_NAME"), "office");

    // A wrong password and a parameter the device refuses fail the task with the reason.
    PlayRun wrong = Playbook(topo.host(), dir, "-e " + Quote(R"({"kivo_password": "pw-7c1e-not-it"})"));
    EXPECT_NE(wrong.exit, 0);
    EXPECT_EQ(wrong.Stat("failures"), 1);
    std::string msg = wrong.Items("Parameters")[0]["msg"].dump();
    EXPECT_TRUE(Has(msg, "not to requests under this password: check the password")) << msg;
    PlayRun refused =
        Playbook(topo.host(), dir,
                 "-e " + Quote(R"({"kivo_params": {"SYSTEM.PRODUCTION.MAC_ADDR": "02:00:00:00:10:09"}})"));
    EXPECT_NE(refused.exit, 0);
    msg = refused.Items("Parameters")[0]["msg"].dump();
    EXPECT_TRUE(Has(msg, "refused SYSTEM.PRODUCTION.MAC_ADDR: ERROR -55")) << msg;
    EXPECT_EQ(DeviceValue(topo.host(), "SYSTEM.PRODUCTION.MAC_ADDR"), kMac);

    // Discovery, then parameters in one play: the device list of the host's variables keeps
    // each device's password and parameters after the discovery's fact is set.
    std::ofstream(dir.path() + "/vars.json") << json::object().dump();
    Shell("mkdir -p " + Quote(dir.path() + "/host_vars"));
    std::ofstream(dir.path() + "/host_vars/localhost.json")
        << json({{"kivo_devices",
                  {{{"interface", "eth1"},
                    {"mac", kMac},
                    {"password", "s3cret-pw"},
                    {"params", {{"SYSTEM.GENERAL.DEVICE_NAME", "attic"}}}},
                   {{"interface", "eth1"},
                    {"mac", "02:00:00:00:10:77"},
                    {"password", "pw-absent"},
                    {"params", {{"SYSTEM.GENERAL.DEVICE_NAME", "nowhere"}}}}}}})
               .dump();
    const int writesBefore = writes();
    PlayRun discovered = Playbook(topo.host(), dir, "", KIVO_DISCOVER_PLAYBOOK);
    ASSERT_EQ(discovered.exit, 0) << discovered.doc.dump(1) << discovered.err;
    json found = discovered.Items("Parameters");
    ASSERT_EQ(found.size(), 2u) << discovered.doc.dump(1);
    EXPECT_EQ(found[0]["parameters"]["SYSTEM.GENERAL.DEVICE_NAME"]["result"], "written") << found.dump(1);
    EXPECT_EQ(found[1]["skipped"], true) << "the device that did not answer: " << found.dump(1);
    EXPECT_EQ(DeviceValue(topo.host(), "SYSTEM.GENERAL.DEVICE_NAME"), "attic");
    EXPECT_EQ(writes(), writesBefore + 1);
    Shell("rm -rf " + Quote(dir.path() + "/host_vars"));
    std::ofstream(dir.path() + "/vars.json") << vars.dump();

    // Firmware: the device reports an older version, so the image is sent to the end. Then
    // the device runs the new one (the simulator is told so, as the image means nothing to
    // it) and the second run leaves it alone.
    std::string image(200000, '\0');
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 7 + i / 251);
    TempFile imageFile(image, ".bin");
    std::string fw = "--tags firmware -e " + Quote(json({{"kivo_firmware",
                                                          {{"image", imageFile.path()},
                                                           {"version_param", "SYSTEM.INFO.FW_VERSION"},
                                                           {"version", "11.5.0 build 3200"},
                                                           {"wait_timeout", 120}}}})
                                                       .dump());
    PlayRun upgrade = Playbook(topo.host(), dir, fw);
    ASSERT_EQ(upgrade.exit, 0) << upgrade.doc.dump(1) << upgrade.err;
    EXPECT_EQ(upgrade.Stat("changed"), 1);
    EXPECT_EQ(upgrade.Items("Firmware")[0]["status"]["state"], "succeeded") << upgrade.doc.dump(1);
    EXPECT_TRUE(topo.devsim()->WaitForLog("lr: fw upgrade complete bytes=200000", 10s))
        << topo.devsim()->Log();
    EXPECT_EQ(ReadFile(saved.path()), image);
    ASSERT_TRUE(topo.devsim()->SendLine("lr add param SYSTEM.INFO.FW_VERSION STRING 11.5.0 build 3200"));
    ASSERT_TRUE(topo.devsim()->SendLine("lr cfg reload"));
    ASSERT_TRUE(topo.devsim()->WaitForLog("devsim: command \"lr cfg reload\" done", 10s))
        << topo.devsim()->Log();
    PlayRun again = Playbook(topo.host(), dir, fw);
    ASSERT_EQ(again.exit, 0) << again.err;
    EXPECT_EQ(again.Stat("changed"), 0) << again.doc.dump(1);
    EXPECT_TRUE(Has(again.Items("Firmware")[0]["msg"].dump(), "already reports")) << again.doc.dump(1);
    EXPECT_EQ(topo.devsim()->CountInLog("fw upgrade complete"), 1);
}

// stripectl doctor and ports as run on a machine: udev's view of the
// adapters from the device descriptions in devices/ (played by umockdev), the
// reader from readersim, and what udev does not know (accounts, groups,
// rules files, processes) from a prepared root tree (STRIPECTL_TEST_ROOT).
#pragma once

#include "child.h"
#include "emulation.h"
#include "pty_peer.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace ctltest {

using nlohmann::json;

inline const std::string kDevices = DEVICES_DIR;

// The machine around the reader, written below ./root.
struct World {
    bool rule = false;          // the project's udev rule installed
    bool brltty = false;        // the braille daemon installed, claiming 1a86:7523
    bool modemManager = false;  // ModemManager running
    bool realProc = false;      // /proc is the real one (a holder inside the test bed)
    uid_t uid = getuid();
    gid_t gid = 4242;           // the account's primary group
    std::string loginGroups;    // "Groups:" of this login
    std::string group = "dialout:x:20:"; // extra line of /etc/group
    std::string holderLink;     // a process "cardtest" with this open (a path)
};

class MachineTest : public ::testing::Test {
protected:
    void file(const std::string &path, const std::string &content)
    {
        for (size_t slash = path.find('/'); slash != std::string::npos;
             slash = path.find('/', slash + 1)) {
            mkdir(("root/" + path.substr(0, slash)).c_str(), 0755);
        }
        dir.write("root/" + path, content);
    }
    void build(const World &w)
    {
        std::filesystem::remove_all("root");
        mkdir("root", 0755);
        std::string uid = std::to_string(w.uid), gid = std::to_string(w.gid);
        file("etc/passwd", "operator:x:" + uid + ":" + gid + "::/home/operator:/bin/sh\n");
        file("etc/group", "operator:x:" + gid + ":\n" + w.group + "\n");
        if (w.rule)
            file("usr/lib/udev/rules.d/60-stripe-reader.rules", readFile(RULE_PATH));
        if (w.brltty) {
            file("usr/bin/brltty", "");
            file("usr/lib/udev/rules.d/85-brltty.rules",
                 "ENV{PRODUCT}==\"1a86/7523/*\", ENV{BRLTTY_BRAILLE_DRIVER}=\"bm\", "
                 "GOTO=\"brltty_usb_run\"\n");
        }
        if (w.realProc) {
            ASSERT_EQ(symlink("/proc", "root/proc"), 0);
            return;
        }
        file("proc/self/status", "Uid:\t" + uid + "\t" + uid + "\t" + uid + "\t" + uid +
                                     "\nGid:\t" + gid + "\t" + gid + "\t" + gid + "\t" + gid +
                                     "\nGroups:\t" + w.loginGroups + "\n");
        if (w.modemManager)
            file("proc/733/comm", "ModemManager\n");
        if (!w.holderLink.empty()) {
            file("proc/812/comm", "cardtest\n");
            mkdir("root/proc/812/fd", 0755);
            ASSERT_EQ(symlink(w.holderLink.c_str(), "root/proc/812/fd/9"), 0);
        }
    }
    // The prepared root for stripectl. umockdev's library comes first in
    // the list of preloaded ones, before a sanitizer build's runtime, which
    // is told not to mind.
    std::map<std::string, std::string> environment() const
    {
        const char *asan = std::getenv("ASAN_OPTIONS");
        return {{"STRIPECTL_TEST_ROOT", dir.path() + "/root"},
                {"ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0"}};
    }
    // stripectl with the prepared root, in the test bed of `devices` when
    // there are any.
    RunResult ctl(const std::vector<std::string> &devices, const std::vector<std::string> &args)
    {
        std::vector<std::string> argv;
        if (!devices.empty()) {
            argv = {UMOCKDEV_RUN};
            for (const std::string &device : devices)
                argv.insert(argv.end(), {"-d", kDevices + "/" + device + ".umockdev"});
            argv.push_back("--");
        }
        argv.push_back(STRIPECTL_PATH);
        argv.insert(argv.end(), args.begin(), args.end());
        RunResult r = finish(spawn(argv, "stripectl", environment()), "stripectl");
        EXPECT_FALSE(contains(r.err, "Sanitizer") || contains(r.err, "runtime error:")) << r.err;
        return r;
    }
    // The doctor's --json answer; the named check in `check`.
    json doctor(const std::vector<std::string> &devices, std::vector<std::string> args,
                const std::string &name, json &check, int status = 1)
    {
        args.insert(args.begin(), "doctor");
        args.push_back("--json");
        RunResult r = ctl(devices, args);
        EXPECT_EQ(r.status, status) << r.out << r.err;
        json answer = json::parse(r.out, nullptr, false);
        check = json::object();
        if (!answer.is_object()) {
            ADD_FAILURE() << r.out << r.err;
            return check;
        }
        for (const json &c : answer.value("checks", json::array()))
            if (c.value("name", "") == name)
                check = c;
        return answer;
    }
    void expectCheck(const json &check, const std::string &result, const std::string &text,
                     const std::string &fix)
    {
        EXPECT_EQ(check.value("result", ""), result) << check.dump();
        EXPECT_TRUE(contains(check.value("text", ""), text)) << check.dump();
        EXPECT_TRUE(contains(check.value("fix", ""), fix)) << check.dump();
    }

    sdtest::TempWorkDir dir;
};

// The cases whose adapters umockdev plays. Its preload library is the build
// machine's (the umockdev package cannot be installed for two architectures
// at once), so a cross build's stripectl under the emulator cannot load it.
class TestBedTest : public MachineTest {
protected:
    void SetUp() override
    {
        if (sdtest::underEmulation())
            GTEST_SKIP() << "umockdev's test bed is not there for programs under the emulator "
                         << std::getenv("SD_EMULATOR");
    }
};

} // namespace ctltest

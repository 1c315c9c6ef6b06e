// The real program on the simulated board against the management server
// simulator, in the test's own network namespace: the terminal with a fixed
// server reports its status every fifth second, answers a version query
// addressed to it, and drops one addressed to another terminal; an upgrade
// URL makes it download a package with the board's wget, install it keeping
// its settings, and reboot; the server finds it on the group and logs in to
// set its network parameters.
#include <crypt.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/cgi/private_net.h"
#include "tests/sim/sim_harness.h"

namespace {

using namespace std::chrono_literals;

// Runs paterm-server with args; its output, and its exit status in *status.
std::string RunServer(const std::string& args, int* status) {
    const std::string command = std::string(PATERM_SERVER_EXE) + " --announce 0 --terminal 127.0.0.1 " + args + " 2>&1";
    FILE* out = ::popen(command.c_str(), "r");
    if (out == nullptr) return "";
    std::string text;
    char chunk[512];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, out)) > 0) text.append(chunk, n);
    *status = ::pclose(out);
    return text;
}

size_t Count(const std::string& text, const std::string& needle) {
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
    return count;
}

TEST(TerminalAndServer, StatusEveryFifthSecondAndTheVersionOnlyForItsOwnId) {
    if (!cgitest::EnterPrivateNetwork()) GTEST_SKIP() << "no private network namespace here";
    // The server joins the terminals' group: multicast goes over loopback here.
    ASSERT_TRUE(cgitest::RouteGroupsOnLoopback());
    simtest::BoardRun board;
    board.UseProgram(PATERM_EXE);
    ASSERT_TRUE(board.Start({"--server-ip", "127.0.0.1", "--device-id", "PT00000007"}));

    // The command socket opens 5 s after start; the first watch reports at 5 s.
    int status = -1;
    const std::string own = RunServer("--id PT00000007 --timeout 5 wait 11 , version", &status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << own;
    EXPECT_EQ(Count(own, "version from 127.0.0.1 PT00000007: D4.5.1"), 1u) << own;
    // Reports at about 5 and 10 s, each with the fixed-server flag of the EEPROM address.
    EXPECT_GE(Count(own, "status from 127.0.0.1 PT00000007: brdState 0 (idle), groups 0x0000 [], brdId 0, request 0, fixed 1"),
              2u)
        << own;
    EXPECT_LE(Count(own, "status from"), 3u) << own;

    const std::string other = RunServer("--id PT00000008 --timeout 2 version", &status);
    EXPECT_NE(WEXITSTATUS(status), 0) << other;  // no answer for another terminal's id
    EXPECT_EQ(other.find("version from"), std::string::npos) << other;
}

TEST(TerminalAndServer, AnUpgradeUrlInstallsThePackageKeepsTheSettingsAndReboots) {
    if (!cgitest::EnterPrivateNetwork()) GTEST_SKIP() << "no private network namespace here";
    ASSERT_TRUE(cgitest::RouteGroupsOnLoopback());
    simtest::TempDir work;
    simtest::WriteFile(work.path() + "/tree/lpc3250/release", "new application\n");
    const std::string pkg = work.path() + "/app.bin";
    ASSERT_EQ(std::system(("tar czf " + work.path() + "/app.tgz -C " + work.path() + "/tree lpc3250 && " +
                           PATERM_PACK_EXE + " build -o " + pkg + " --app " + work.path() + "/app.tgz >/dev/null")
                              .c_str()),
              0);

    simtest::BoardRun board;
    board.UseProgram(PATERM_EXE);
    ASSERT_TRUE(board.Start({"--server-ip", "127.0.0.1"}));
    ASSERT_TRUE(simtest::WaitUntil([&] { return simtest::Exists(board.At("/opt/lpc3250/chncfg")); }, 5s));
    const std::string chncfg = simtest::ReadFile(board.At("/opt/lpc3250/chncfg"));

    int status = -1;
    const std::string out = RunServer("--id PT00000001 --http-port 80 wait 6 , upgrade " + pkg + " /pkg/app.bin , wait 4",
                                      &status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << out;
    ASSERT_TRUE(simtest::WaitUntil([&] { return board.Status().value("program_starts", 0.0) >= 2; }, 10s))
        << board.Console();
    EXPECT_EQ(board.CountLog("shell", "/tmp/wget  --no-check-certificate http://127.0.0.1/pkg/app.bin -O /tmp/upgrade_app.bin"
                                      "\" -> exit 0"),
              1u)
        << board.Console();
    EXPECT_EQ(simtest::ReadFile(board.At("/opt/lpc3250/release")), "new application\n");
    EXPECT_EQ(simtest::ReadFile(board.At("/opt/lpc3250/chncfg")), chncfg);  // kept across the installation
    const sim::Json st = board.Status();
    const sim::Json* resets = simtest::Member(st, "resets");
    ASSERT_TRUE(resets != nullptr && !resets->empty()) << st.dump();
    EXPECT_EQ((*resets)[0].value("cause", std::string()), "reboot");
}

// The server's tools against the running terminal: discovery answers with
// eth0's address, mask and the default gateway; a wrong password and a
// gateway outside the subnet change nothing; the administrator's login
// writes the parameters to the EEPROM and reboots the terminal once.
TEST(TerminalAndServer, DiscoveryAndTheLoginSetTheNetworkParameters) {
    if (!cgitest::EnterPrivateNetwork()) GTEST_SKIP() << "no private network namespace here";
    if (std::system("ip link add eth0 type veth peer name peer0 && ip addr add 10.9.8.7/24 dev eth0 && "
                    "ip link set eth0 up && ip link set peer0 up && ip route add default via 10.9.8.1") != 0)
        GTEST_SKIP() << "no veth";
    ASSERT_TRUE(cgitest::RouteGroupsOnLoopback());
    simtest::BoardRun board;
    board.UseProgram(PATERM_EXE);
    ASSERT_TRUE(board.Start({"--server-ip", "127.0.0.1"}));
    crypt_data data{};
    const char* hash = crypt_r("0123456789abcdef", "$6$PaTerm01$", &data);
    ASSERT_NE(hash, nullptr);
    std::filesystem::create_directories(board.At("/etc/boa"));
    simtest::WriteFile(board.At("/etc/boa/www.passwd"), std::string("admin:") + hash + "\n");
    const std::string eeprom = simtest::ReadFile(board.At("/dev/i2c-eeprom0"));

    int status = -1;
    const std::string out = RunServer(
        "--timeout 5 wait 8 , discover , login super wrong 192.168.1.20 255.255.255.0 192.168.1.1 , "
        "netparams 192.168.1.20 255.255.255.0 10.0.0.1 , wait 2 , "
        "login super 0123456789abcdef 192.168.1.20 255.255.255.0 192.168.1.1 , wait 3",
        &status);
    EXPECT_NE(out.find("found PT00000001 at 10.9.8.7 mask 255.255.255.0 gateway 10.9.8.1"), std::string::npos) << out;
    EXPECT_EQ(Count(out, "PT00000001: failure"), 1u) << out;
    EXPECT_EQ(Count(out, "PT00000001: success"), 1u) << out;
    ASSERT_TRUE(simtest::WaitUntil([&] { return board.Status().value("program_starts", 0.0) >= 2; }, 10s))
        << board.Console();
    const sim::Json st = board.Status();
    const sim::Json* resets = simtest::Member(st, "resets");
    ASSERT_TRUE(resets != nullptr && resets->size() == 1) << st.dump() << board.Console();
    EXPECT_EQ((*resets)[0].value("cause", std::string()), "reboot");
    const std::string written = simtest::ReadFile(board.At("/dev/i2c-eeprom0"));
    ASSERT_EQ(written.size(), eeprom.size());
    // Each address little-endian: 192.168.1.20 is 14 01 A8 C0.
    EXPECT_EQ(written.substr(32, 12), std::string("\x14\x01\xA8\xC0\x00\xFF\xFF\xFF\x01\x01\xA8\xC0", 12));
    EXPECT_EQ(written.substr(0, 32) + written.substr(44), eeprom.substr(0, 32) + eeprom.substr(44))
        << "nothing but the parameters changes";
}

}  // namespace

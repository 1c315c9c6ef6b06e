// Installations on a board root whose shell is the simulated board's own,
// served in this process: the application tree with its settings kept, the
// kernel partition, the refusals that leave both as they were, and one
// installation at a time.
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/sim/in_process_board.h"
#include "tests/sim/sim_harness.h"
#include "upgrade/upgrade.h"
#include "upgrade/upgrade_internal.h"
#include "upgrade/upgrade_pack.h"
#include "upgrade_fixtures.h"

namespace {

namespace fs = std::filesystem;
using namespace upgradetest;

// The board's side in this process, with the files the tests lay out.
class InProcessBoard : public simtest::InProcessBoard {
public:
    void Write(const std::string& terminalPath, const Bytes& bytes) const {
        fs::create_directories(fs::path(At(terminalPath)).parent_path());
        simtest::WriteFile(At(terminalPath), std::string(bytes.begin(), bytes.end()));
    }
    std::string Read(const std::string& terminalPath) const { return simtest::ReadFile(At(terminalPath)); }
};

// Every file and link under a directory with its contents or target.
std::map<std::string, std::string> Snapshot(const std::string& dir) {
    std::map<std::string, std::string> entries;
    std::error_code ec;
    fs::recursive_directory_iterator it(dir, ec), end;
    for (; !ec && it != end && entries.size() < 1000; it.increment(ec)) {
        const std::string rel = fs::relative(it->path(), dir).string();
        if (it->is_symlink()) entries[rel] = "-> " + fs::read_symlink(it->path()).string();
        else if (it->is_regular_file()) entries[rel] = simtest::ReadFile(it->path().string());
        else entries[rel] = "dir";
    }
    return entries;
}

const std::vector<std::string> kAppCommands = {
    "/bin/chmod 777 /opt -R",
    "/bin/rm -rf /opt/upgrade",
    "/bin/rm -rf /opt/lpc3250.old",
    "/bin/mkdir -p /opt/upgrade",
    "/bin/tar zxvf /tmp/lpc3250.tgz -C /opt/upgrade/",
    "/bin/chmod 777 /opt/upgrade/lpc3250 -R",
    "/bin/cp -af /opt/lpc3250/devcfg /opt/upgrade/lpc3250/",
    "/bin/cp -af /opt/lpc3250/chncfg /opt/upgrade/lpc3250/",
    "/bin/cp -af /opt/lpc3250/sysExtOpts /opt/upgrade/lpc3250/",
    "/bin/mkdir -p /opt/upgrade/lpc3250/usr/etc/boa",
    "/bin/cp -af /opt/lpc3250/usr/etc/boa/www.passwd /opt/upgrade/lpc3250/usr/etc/boa/",
    "/bin/rm -rf /opt/lpc3250.old",
    "/bin/rm -rf /opt/upgrade",
};
const std::vector<std::string> kKernelCommands = {"/usr/sbin/flash_eraseall /dev/mtd2",
                                                  "/usr/sbin/nandwrite -p /dev/mtd2 /tmp/uImage"};

class Install : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(board.ready());
        board.Write("/opt/lpc3250/paterm", ToBytes("old program"));
        board.Write("/opt/lpc3250/devcfg", ToBytes("old devcfg"));
        board.Write("/opt/lpc3250/chncfg", Bytes{1, 2, 3, 4, 5, 6, 7, 8});
        board.Write("/opt/lpc3250/sysExtOpts", Bytes{9, 9, 9, 9, 0, 0, 0, 1});
        board.Write("/opt/lpc3250/usr/etc/boa/www.passwd", ToBytes("super:old\n"));
    }
    // A real archive of a new tree made by the host's tar.
    Bytes NewApp(bool withExtOpts) {
        const std::string top = staging.path() + "/lpc3250";
        fs::remove_all(top);
        fs::create_directories(top + "/usr/etc/boa");
        fs::create_directories(top + "/lib");
        simtest::WriteFile(top + "/paterm", "new program");
        simtest::WriteFile(top + "/devcfg", "new devcfg");
        simtest::WriteFile(top + "/chncfg", "new chn");
        if (withExtOpts) simtest::WriteFile(top + "/sysExtOpts", "new ext");
        simtest::WriteFile(top + "/usr/etc/boa/www.passwd", "super:new\n");
        simtest::WriteFile(top + "/lib/libx.so.1", std::string(70000, 'L'));
        fs::create_symlink("libx.so.1", top + "/lib/libx.so");
        const std::string tgz = staging.path() + "/app.tgz";
        if (RunTool({"tar", "czf", tgz, "-C", staging.path(), "lpc3250"}) != 0) return {};
        return ToBytes(simtest::ReadFile(tgz));
    }
    int Printing(int (*step)(), std::string* out) {
        testing::internal::CaptureStdout();
        int result = step();
        fflush(stdout);
        *out = testing::internal::GetCapturedStdout();
        return result;
    }
    static int InstallPackage() { return UpgradeInstallPackage("/tmp/upgrade_app.bin"); }
    static int InstallPeerApp() { return UpgradeInstallApp(false); }

    InProcessBoard board;
    simtest::TempDir staging;
    const Bytes image = MakeUImage(Pattern(300000, 11));
};

TEST_F(Install, AnApplicationPackageKeepsTheTerminalsSettings) {
    const Bytes app = NewApp(true);
    ASSERT_FALSE(app.empty());
    board.Write("/tmp/upgrade_app.bin", upgrade::BuildPackage({{0xA2, 0x50, 0x04050002, app}}));
    std::string out;
    EXPECT_EQ(Printing(InstallPackage, &out), 1) << out;
    EXPECT_NE(out.find("get upgrade tar file success, start to tar xvf upgrade  app file"), std::string::npos);
    EXPECT_NE(out.find("Error:  cant find upgrade version!!!!!!!!!"), std::string::npos);  // no kernel in it
    EXPECT_EQ(board.ShellLines(), kAppCommands);

    EXPECT_EQ(board.Read("/opt/lpc3250/paterm"), "new program");
    EXPECT_EQ(board.Read("/opt/lpc3250/devcfg"), "old devcfg");
    EXPECT_EQ(board.Read("/opt/lpc3250/chncfg"), std::string("\1\2\3\4\5\6\7\10"));
    EXPECT_EQ(board.Read("/opt/lpc3250/sysExtOpts"), std::string("\11\11\11\11\0\0\0\1", 8));
    EXPECT_EQ(board.Read("/opt/lpc3250/usr/etc/boa/www.passwd"), "super:old\n");
    EXPECT_EQ(fs::read_symlink(board.At("/opt/lpc3250/lib/libx.so")), "libx.so.1");
    EXPECT_FALSE(simtest::Exists(board.At("/opt/lpc3250/www.passwd")));
    EXPECT_FALSE(simtest::Exists(board.At("/opt/upgrade")));
    EXPECT_FALSE(simtest::Exists(board.At("/opt/lpc3250.old")));
}

// The peer download keeps all but sysExtOpts, which comes from the archive
// (or is gone when the archive has none).
TEST_F(Install, APeerDownloadTakesTheArchivesAdvancedSettings) {
    for (bool withExtOpts : {true, false}) {
        board.Write("/opt/lpc3250/sysExtOpts", Bytes{9, 9, 9, 9, 0, 0, 0, 1});
        board.Write("/tmp/lpc3250.tgz", NewApp(withExtOpts));
        std::string out;
        EXPECT_EQ(Printing(InstallPeerApp, &out), 1) << out;
        EXPECT_EQ(board.Read("/opt/lpc3250/paterm"), "new program");
        EXPECT_EQ(board.Read("/opt/lpc3250/chncfg"), std::string("\1\2\3\4\5\6\7\10"));
        EXPECT_EQ(board.Read("/opt/lpc3250/usr/etc/boa/www.passwd"), "super:old\n");
        if (withExtOpts) EXPECT_EQ(board.Read("/opt/lpc3250/sysExtOpts"), "new ext");
        else EXPECT_FALSE(simtest::Exists(board.At("/opt/lpc3250/sysExtOpts")));
    }
    std::vector<std::string> once = kAppCommands;
    once.erase(once.begin() + 8);  // no copy of sysExtOpts
    std::vector<std::string> twice = once;
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_EQ(board.ShellLines(), twice);
}

// A power cut between moving the old tree aside and moving the new one in
// leaves no "/opt/lpc3250": the start moves the whole new tree in, or, with
// none staged, the old one back; with a tree in place it changes nothing.
TEST_F(Install, AStartAfterACutBetweenTheRenamesMendsTheTree) {
    const auto before = Snapshot(board.At("/opt/lpc3250"));
    fs::rename(board.At("/opt/lpc3250"), board.At("/opt/lpc3250.old"));
    board.Write("/opt/upgrade/lpc3250/paterm", ToBytes("new program"));
    EXPECT_EQ(UpgradeRecoverInterrupted(), 1);
    EXPECT_EQ(board.Read("/opt/lpc3250/paterm"), "new program");
    EXPECT_EQ(UpgradeRecoverInterrupted(), 0);
    EXPECT_EQ(board.Read("/opt/lpc3250/paterm"), "new program");

    fs::remove_all(board.At("/opt/lpc3250"));
    EXPECT_EQ(UpgradeRecoverInterrupted(), 1);
    EXPECT_EQ(Snapshot(board.At("/opt/lpc3250")), before);
    EXPECT_FALSE(simtest::Exists(board.At("/opt/lpc3250.old")));
    // The next installation clears what the cut left and installs as usual.
    board.Write("/opt/upgrade/lpc3250/stale", ToBytes("half"));
    board.Write("/tmp/lpc3250.tgz", NewApp(false));
    std::string out;
    EXPECT_EQ(Printing(InstallPeerApp, &out), 1) << out;
    EXPECT_EQ(board.Read("/opt/lpc3250/paterm"), "new program");
    EXPECT_FALSE(simtest::Exists(board.At("/opt/lpc3250/stale")));
    EXPECT_FALSE(simtest::Exists(board.At("/opt/upgrade")));
}

TEST_F(Install, ARefusedArchiveLeavesTheInstalledTreeAsItWas) {
    const Bytes good = NewApp(true);
    const std::vector<std::pair<const char*, Bytes>> archives = {
        {"link out of the tree",
         StoredGzip(TarBuilder().Add("lpc3250/", '5').Add("lpc3250/etc", '2', "", "/etc").Finish())},
        {"absolute member", StoredGzip(TarBuilder().Add("/opt/lpc3250/paterm", '0', "evil").Finish())},
        {"cut short", Bytes(good.begin(), good.begin() + good.size() / 2)},
        {"not gzip", ToBytes("plain text")},
    };
    const auto before = Snapshot(board.At("/opt"));
    for (const auto& [what, archive] : archives) {
        board.Write("/tmp/lpc3250.tgz", archive);
        std::string out;
        EXPECT_EQ(Printing(InstallPeerApp, &out), 0) << what;
        EXPECT_NE(out.find("Error:  the application archive /tmp/lpc3250.tgz is refused"), std::string::npos)
            << what << ": " << out;
        EXPECT_EQ(Snapshot(board.At("/opt")), before) << what;
    }
    EXPECT_TRUE(board.ShellLines().empty());
}

TEST_F(Install, AKernelOnlyPackageIsWrittenToTheNand) {
    board.Write("/tmp/upgrade_app.bin", upgrade::BuildPackage({{0x50, 0x50, 0x04050002, image}}));
    const auto tree = Snapshot(board.At("/opt"));
    std::string out;
    EXPECT_EQ(Printing(InstallPackage, &out), 1) << out;
    EXPECT_NE(out.find("Error:  cant find upgrade version!!!!!!!!!start to upgrade kernel\n"
                       "get kernel file success, start to upgrade kernel file\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(board.ShellLines(), kKernelCommands);
    const std::string nand = board.Read("/dev/mtd2");
    ASSERT_EQ(nand.size(), sim::kNandSize);
    EXPECT_EQ(nand.substr(0, image.size()), std::string(image.begin(), image.end()));
    EXPECT_EQ(nand.find_first_not_of('\xFF', image.size()), std::string::npos);
    EXPECT_EQ(Snapshot(board.At("/opt")), tree);
}

TEST_F(Install, OnlyTheFileOfAnotherVersionIsInstalled) {
    const Bytes app = NewApp(true);
    board.Write("/tmp/upgrade_app.bin",
                upgrade::BuildPackage({{0xA2, 0x50, UPGRADE_CUR_VERSION, app}, {0x50, 0x50, 0x04050000, image}}));
    const auto tree = Snapshot(board.At("/opt"));
    std::string out;
    EXPECT_EQ(Printing(InstallPackage, &out), 1) << out;
    EXPECT_EQ(board.ShellLines(), kKernelCommands);
    EXPECT_EQ(Snapshot(board.At("/opt")), tree);

    board.Write("/dev/mtd2", Bytes(sim::kNandSize, 0xFF));
    board.Write("/tmp/upgrade_app.bin", upgrade::BuildPackage({{0x50, 0x50, UPGRADE_CUR_VERSION, image},
                                                               {0xA2, 0x50, UPGRADE_CUR_VERSION, app}}));
    EXPECT_EQ(Printing(InstallPackage, &out), 0) << out;
    EXPECT_EQ(board.ShellLines(), kKernelCommands);  // nothing more ran
    EXPECT_EQ(board.Read("/dev/mtd2"), std::string(sim::kNandSize, '\xFF'));
    EXPECT_EQ(Snapshot(board.At("/opt")), tree);
}

// The partition is erased only for an image known to be whole and to fit.
TEST_F(Install, AKernelImageThatCannotBeWrittenLeavesTheNandAlone) {
    const Bytes oldNand = Pattern(sim::kNandSize, 2);
    board.Write("/dev/mtd2", oldNand);
    Bytes badMagic = image;
    badMagic[3] = 0;
    const std::vector<std::pair<const char*, Bytes>> images = {
        {"empty", {}},
        {"wrong magic", badMagic},
        {"cut short", Bytes(image.begin(), image.end() - 100)},
        {"larger than the partition", MakeUImage(Pattern(sim::kNandSize, 3))},
    };
    std::string out;
    EXPECT_EQ(Printing(UpgradeInstallKernel, &out), 0);  // no /tmp/uImage at all
    EXPECT_NE(out.find("Error:  the kernel image /tmp/uImage is refused"), std::string::npos) << out;
    for (const auto& [what, bytes] : images) {
        board.Write("/tmp/uImage", bytes);
        EXPECT_EQ(Printing(UpgradeInstallKernel, &out), 0) << what;
        EXPECT_NE(out.find("Error:  the kernel image /tmp/uImage is refused"), std::string::npos) << what << out;
    }
    EXPECT_TRUE(board.ShellLines().empty());
    EXPECT_TRUE(board.Read("/dev/mtd2") == std::string(oldNand.begin(), oldNand.end()));
}

// The application goes in and the reboot is still asked for when the
// package's kernel image is refused: the old kernel stays on the NAND.
TEST_F(Install, ARefusedKernelDoesNotUndoTheApplication) {
    const Bytes oldNand = Pattern(sim::kNandSize, 4);
    board.Write("/dev/mtd2", oldNand);
    Bytes badMagic = image;
    badMagic[3] = 0;
    board.Write("/tmp/upgrade_app.bin",
                upgrade::BuildPackage({{0xA2, 0x50, 0x04050002, NewApp(true)}, {0x50, 0x50, 0x04050002, badMagic}}));
    std::string out;
    EXPECT_EQ(Printing(InstallPackage, &out), 1) << out;
    EXPECT_NE(out.find("Error:  the kernel image /tmp/uImage is refused"), std::string::npos) << out;
    EXPECT_EQ(board.ShellLines(), kAppCommands);
    EXPECT_EQ(board.Read("/opt/lpc3250/paterm"), "new program");
    EXPECT_TRUE(board.Read("/dev/mtd2") == std::string(oldNand.begin(), oldNand.end()));
}

// Without a board the shell answers -1: both installations say they failed.
TEST_F(Install, FailingCommandsAreReportedNotSuccess) {
    board.Write("/tmp/uImage", image);
    board.Write("/tmp/lpc3250.tgz", NewApp(true));
    board.PowerOff();
    std::string out;
    EXPECT_EQ(Printing(UpgradeInstallKernel, &out), 0);
    EXPECT_NE(out.find("Error:  erasing /dev/mtd2 failed"), std::string::npos) << out;
    EXPECT_EQ(Printing(InstallPeerApp, &out), 0);
    EXPECT_NE(out.find("Error:  unpacking /tmp/lpc3250.tgz failed"), std::string::npos) << out;
}

TEST_F(Install, OneInstallationAtATime) {
    board.Write("/tmp/uImage", image);
    board.Write("/tmp/upgrade_app.bin", upgrade::BuildPackage({{0x50, 0x50, 0x04050002, image}}));
    std::string out;
    {
        upgrade::InstallGuard running;  // a peer download installing
        ASSERT_TRUE(running.Held());
        for (int (*step)() : {InstallPackage, UpgradeInstallKernel, InstallPeerApp}) {
            EXPECT_EQ(Printing(step, &out), 0);
            EXPECT_EQ(out, "Error:  an upgrade is being installed already, this one is refused\n");
        }
        upgrade::InstallGuard second;
        EXPECT_FALSE(second.Held());
        EXPECT_TRUE(board.ShellLines().empty());
    }
    EXPECT_EQ(Printing(InstallPackage, &out), 1) << out;  // the refusals did not keep it taken
    EXPECT_EQ(board.ShellLines(), kKernelCommands);
}

}  // namespace

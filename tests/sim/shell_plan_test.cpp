// How the board reads the program's shell command lines: splitting, the
// path map of host tools and of the unpacked download tool (globs after
// mapping, URLs unmapped), refusals, unknown commands, and the board's own
// commands with their arguments.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "board/sim/shell_plan.h"
#include "sim_harness.h"

namespace {

using sim::PlanCommand;
using sim::ShellAction;
using sim::ShellPlan;

class ShellPlanTest : public ::testing::Test {
protected:
    void Touch(const std::string& terminalPath) { simtest::WriteFile(root.path() + terminalPath, ""); }
    std::string R(const std::string& terminalPath) const { return root.path() + terminalPath; }
    // Every absolute argument of a host tool lies under the root.
    void ExpectUnderRoot(const ShellPlan& plan) {
        for (size_t i = 1; i < plan.argv.size(); ++i) {
            if (plan.argv[i][0] == '/') {
                EXPECT_EQ(plan.argv[i].rfind(root.path() + "/", 0), 0u) << plan.argv[i];
            }
        }
    }
    simtest::TempDir root;
};

TEST(ShellSplit, SplitsOnBlanksOnlyAndKeepsMetacharacters) {
    EXPECT_EQ(sim::SplitCommandLine("  /tmp/wget  --no-check-certificate\thttp://a/b -O f \n"),
              (std::vector<std::string>{"/tmp/wget", "--no-check-certificate", "http://a/b", "-O", "f"}));
    EXPECT_EQ(sim::SplitCommandLine("ls /tmp;reboot $(x) `y` >z"),
              (std::vector<std::string>{"ls", "/tmp;reboot", "$(x)", "`y`", ">z"}));
    EXPECT_TRUE(sim::SplitCommandLine(" \t ").empty());
    EXPECT_EQ(sim::ExitStatus(127), 127 << 8);
}

TEST_F(ShellPlanTest, StartUpUnpackMapsEveryPath) {
    ShellPlan plan = PlanCommand(root.path(), "/bin/tar zxvf /opt/lpc3250/usr/bin/wget.tgz -C /tmp/");
    ASSERT_EQ(plan.action, ShellAction::kHostTool);
    EXPECT_EQ(plan.argv, (std::vector<std::string>{"tar", "zxvf", R("/opt/lpc3250/usr/bin/wget.tgz"), "-C", R("/tmp/")}));
}

TEST_F(ShellPlanTest, ApplicationInstallCommandsStayUnderTheRoot) {
    const char* install[] = {
        "/bin/chmod 777 /opt -R",
        "/bin/mkdir -p /opt/temp",
        "/bin/cp -af /opt/lpc3250/devcfg /opt/temp/",
        "/bin/cp -af /opt/lpc3250/chncfg /opt/temp/",
        "/bin/cp -af /opt/lpc3250/sysExtOpts /opt/temp/",
        "/bin/cp -af /opt/lpc3250/usr/etc/boa/www.passwd /opt/temp/",
        "/bin/rm -rf /opt/lpc3250",
        "/bin/tar zxvf /tmp/lpc3250.tgz -C /opt/",
        "/bin/chmod 777 /opt/lpc3250 -R",
        "/bin/cp -af /opt/temp/* /opt/lpc3250/",
        "/bin/rm -rf /opt/lpc3250/www.passwd",
        "/bin/cp -f /opt/temp/www.passwd /opt/lpc3250/usr/etc/boa/",
        "/bin/rm -rf /opt/temp",
        "ls -al /tmp/upgrade_app.bin",
        "ls",
    };
    for (const char* line : install) {
        ShellPlan plan = PlanCommand(root.path(), line);
        ASSERT_EQ(plan.action, ShellAction::kHostTool) << line;
        ExpectUnderRoot(plan);
    }
    EXPECT_EQ(PlanCommand(root.path(), "/bin/chmod 777 /opt -R").argv,
              (std::vector<std::string>{"chmod", "777", R("/opt"), "-R"}));
}

TEST_F(ShellPlanTest, GlobsExpandAfterMappingOrStayLiteral) {
    Touch("/opt/temp/chncfg");
    Touch("/opt/temp/devcfg");
    Touch("/opt/temp/www.passwd");
    ShellPlan plan = PlanCommand(root.path(), "/bin/cp -af /opt/temp/* /opt/lpc3250/");
    EXPECT_EQ(plan.argv, (std::vector<std::string>{"cp", "-af", R("/opt/temp/chncfg"), R("/opt/temp/devcfg"),
                                                   R("/opt/temp/www.passwd"), R("/opt/lpc3250/")}));
    // No match: the pattern goes through as a shell passes it, still mapped.
    EXPECT_EQ(PlanCommand(root.path(), "/bin/cp /nothing/*.x /tmp").argv,
              (std::vector<std::string>{"cp", R("/nothing/*.x"), R("/tmp")}));
    // Relative patterns expand against the root, the tools' working directory.
    EXPECT_EQ(PlanCommand(root.path(), "ls opt/temp/d*").argv, (std::vector<std::string>{"ls", "opt/temp/devcfg"}));
}

TEST_F(ShellPlanTest, RefusesDotDotAndTheBoardsOwnFiles) {
    ::mkdir(R("/sim").c_str(), 0755);
    ::mkdir(R("/opt").c_str(), 0755);
    for (const char* line : {"/bin/rm -rf /opt/../..", "ls ../", "/bin/cp a/../../b c", "/bin/tar xf x -C /tmp/..",
                             "/bin/rm -rf /sim", "/bin/cp /sim/board.log /tmp", "/bin/rm -rf /*", "/bin/rm -rf /",
                             "/bin/rm -rf sim/", "ls s*", "/bin/rm -rf .", "/bin/tar zxf x -C/etc",
                             "/bin/tar zxf x --directory=/etc", "/usr/sbin/nandwrite -p /dev/mtd2 /tmp/../../x"}) {
        ShellPlan plan = PlanCommand(root.path(), line);
        EXPECT_EQ(plan.action, ShellAction::kRefused) << line;
        EXPECT_FALSE(plan.reason.empty()) << line;
    }
    // A name that merely contains dots is fine.
    EXPECT_EQ(PlanCommand(root.path(), "ls /tmp/a..b").action, ShellAction::kHostTool);
}

TEST_F(ShellPlanTest, UnknownCommandsAreNotFound) {
    for (const char* line : {"", "sh -c reboot", "/bin/sh", "tar zxvf x", "bash", "reboot now", "hwclock -r",
                             "hwclock", "/usr/sbin/flash_eraseall /dev/mtd1", "/usr/sbin/nandwrite /dev/mtd2 x",
                             "ls;reboot", "/sbin/reboot", "/tmp/wget http://1.2.3.4/x -O /tmp/y"}) {
        EXPECT_EQ(PlanCommand(root.path(), line).action, ShellAction::kNotFound) << "\"" << line << "\"";
    }
}

TEST_F(ShellPlanTest, BoardCommandsAreRecognisedExactly) {
    EXPECT_EQ(PlanCommand(root.path(), "reboot").action, ShellAction::kReboot);
    EXPECT_EQ(PlanCommand(root.path(), "hwclock -w").action, ShellAction::kHwclockWrite);
    EXPECT_EQ(PlanCommand(root.path(), "/usr/sbin/flash_eraseall /dev/mtd2").action, ShellAction::kFlashErase);
    ShellPlan nand = PlanCommand(root.path(), "/usr/sbin/nandwrite -p /dev/mtd2 /tmp/uImage");
    EXPECT_EQ(nand.action, ShellAction::kNandWrite);
    EXPECT_EQ(nand.file, R("/tmp/uImage"));
}

TEST_F(ShellPlanTest, WgetRunsTheUnpackedToolWithBoundsAndUnmappedUrls) {
    Touch("/tmp/wget");
    ShellPlan plan = PlanCommand(root.path(),
                                 "/tmp/wget  --no-check-certificate http://192.168.1.5/pkg/app.bin -O /tmp/upgrade_app.bin");
    ASSERT_EQ(plan.action, ShellAction::kHostTool) << plan.reason;
    EXPECT_EQ(plan.argv, (std::vector<std::string>{R("/tmp/wget"), "--no-config", "--no-hsts", "--timeout=10",
                                                   "--tries=1", "--no-check-certificate",
                                                   "http://192.168.1.5/pkg/app.bin", "-O", R("/tmp/upgrade_app.bin")}));
    // A URL is no path and no glob, even when a file would match it.
    Touch("/httpx");
    plan = PlanCommand(root.path(), "/tmp/wget http://127.0.0.1:8080/get?x=1 -O out");
    ASSERT_EQ(plan.action, ShellAction::kHostTool) << plan.reason;
    EXPECT_EQ(std::vector<std::string>(plan.argv.end() - 3, plan.argv.end()),
              (std::vector<std::string>{"http://127.0.0.1:8080/get?x=1", "-O", "out"}));
}

TEST_F(ShellPlanTest, WgetRefusesEscapesAndUnsafeOptions) {
    Touch("/tmp/wget");
    for (const char* line : {"/tmp/wget http://1.2.3.4/../x -O /tmp/y", "/tmp/wget http://1.2.3.4/x -O/etc/x",
                             "/tmp/wget http://1.2.3.4/x --output-document=/etc/x",
                             "/tmp/wget http://1.2.3.4/x -O /tmp/../../x", "/tmp/wget http://1.2.3.4/x -O /sim/control",
                             "/tmp/wget -e output_document=/etc/x http://1.2.3.4/x",
                             "/tmp/wget --use-askpass sh http://1.2.3.4/x", "/tmp/wget --config /x http://1.2.3.4/x",
                             "/tmp/wget -qe x http://1.2.3.4/x"}) {
        ShellPlan plan = PlanCommand(root.path(), line);
        EXPECT_EQ(plan.action, ShellAction::kRefused) << line;
        EXPECT_FALSE(plan.reason.empty()) << line;
    }
    // Only a file unpacked into the root runs: a link could name any host program.
    ::unlink(R("/tmp/wget").c_str());
    ASSERT_EQ(::symlink("/bin/sh", R("/tmp/wget").c_str()), 0);
    EXPECT_EQ(PlanCommand(root.path(), "/tmp/wget http://1.2.3.4/x -O /tmp/y").action, ShellAction::kRefused);
}

}  // namespace

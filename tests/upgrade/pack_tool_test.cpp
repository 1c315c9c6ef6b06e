// paterm-pack as integrators run it: a package built from files reads back
// as the terminal reads it, list and check report each file, and refused
// inputs or options fail with their exit codes.
#include <string>

#include <gtest/gtest.h>

#include "tests/sim/sim_harness.h"
#include "upgrade/upgrade_pack.h"
#include "upgrade_fixtures.h"

namespace {

using namespace upgradetest;

class PackTool : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(RunTool({"mkdir", "-p", Path("lpc3250/usr")}), 0);
        simtest::WriteFile(Path("lpc3250/paterm"), std::string(5000, 'p'));
        ASSERT_EQ(RunTool({"tar", "czf", Path("app.tgz"), "-C", dir.path(), "lpc3250"}), 0);
        kernel = MakeUImage(Pattern(10000, 9));
        simtest::WriteFile(Path("uImage"), std::string(kernel.begin(), kernel.end()));
        simtest::WriteFile(Path("rootfs.img"), "root file system");
    }
    std::string Path(const std::string& name) const { return dir.path() + "/" + name; }
    int Pack(std::vector<std::string> args, std::string* out = nullptr) {
        args.insert(args.begin(), PATERM_PACK_EXE);
        int code = RunTool(args, Path("out.txt"));
        if (out) *out = simtest::ReadFile(Path("out.txt"));
        return code;
    }

    simtest::TempDir dir;
    Bytes kernel;
};

TEST_F(PackTool, BuildsAPackageTheTerminalReads) {
    ASSERT_EQ(Pack({"build", "-o", Path("p.bin"), "--app", Path("app.tgz"), "--kernel", Path("uImage"), "--rootfs",
                    Path("rootfs.img"), "--kernel-version", "4.5.1", "--rootfs-version", "0x01020304"}),
              0);
    const Bytes pkg = ToBytes(simtest::ReadFile(Path("p.bin")));
    upgrade::PackListing listing;
    std::string why;
    ASSERT_EQ(upgrade::ReadPackage(pkg, &listing, &why), 1) << why;
    ASSERT_EQ(listing.files.size(), 3u);
    const UpgradeFileDesc& app = listing.files[0];
    EXPECT_EQ(std::make_tuple(app.kind0, app.kind1, app.version), std::make_tuple(0xA2, 0x50, 0x04050002u));
    EXPECT_EQ(std::string(pkg.begin() + app.offset, pkg.begin() + app.offset + app.length),
              simtest::ReadFile(Path("app.tgz")));
    const UpgradeFileDesc& k = listing.files[1];
    EXPECT_EQ(std::make_tuple(k.kind0, k.kind1, k.version), std::make_tuple(0x50, 0x50, UPGRADE_CUR_VERSION));
    EXPECT_TRUE(Bytes(pkg.begin() + k.offset, pkg.begin() + k.offset + k.length) == kernel);
    const UpgradeFileDesc& fs = listing.files[2];
    EXPECT_EQ(std::make_tuple(fs.kind0, fs.kind1, fs.version), std::make_tuple(0x46, 0x53, 0x01020304u));

    std::string out;
    EXPECT_EQ(Pack({"list", Path("p.bin")}, &out), 0);
    EXPECT_NE(out.find("kernel  kind 50 50  version 0x04050001"), std::string::npos) << out;
    EXPECT_NE(out.find("(the running version: skipped)"), std::string::npos) << out;
    EXPECT_EQ(Pack({"check", Path("p.bin")}, &out), 0);
    EXPECT_NE(out.find(": sound"), std::string::npos) << out;
    EXPECT_EQ(Pack({"check", Path("p.bin"), "--partition-size", "8192"}, &out), 1);  // the kernel no longer fits
    EXPECT_NE(out.find("does not fit"), std::string::npos) << out;
}

TEST_F(PackTool, RefusedInputsAndOptionsFail) {
    const std::string bad = simtest::ReadFile(Path("app.tgz"));
    simtest::WriteFile(Path("cut.tgz"), bad.substr(0, bad.size() - 10));
    EXPECT_EQ(Pack({"build", "-o", Path("q.bin"), "--app", Path("cut.tgz")}), 1);
    EXPECT_FALSE(simtest::Exists(Path("q.bin")));
    EXPECT_EQ(Pack({"build", "-o", Path("q.bin")}), 1);  // nothing to pack
    EXPECT_EQ(Pack({"build", "--app", Path("app.tgz")}), 2);
    EXPECT_EQ(Pack({"build", "-o", Path("q.bin"), "--app", Path("app.tgz"), "--version", "4.5"}), 2);
    EXPECT_EQ(Pack({"frobnicate"}), 2);
    EXPECT_EQ(Pack({"--help"}), 0);

    Bytes damaged = kernel;
    damaged.back() ^= 1;
    simtest::WriteFile(Path("d.bin"), [&] {
        Bytes pkg = upgrade::BuildPackage({{0x50, 0x50, 2, damaged}});
        return std::string(pkg.begin(), pkg.end());
    }());
    std::string out;
    EXPECT_EQ(Pack({"check", Path("d.bin")}, &out), 1);
    EXPECT_NE(out.find("refused: the kernel image data is damaged"), std::string::npos) << out;
    EXPECT_EQ(Pack({"list", Path("d.bin")}), 0);  // listing does not judge the files
}

}  // namespace

// The package steps on a board root: the header and description checks of
// UpgradePkgOpen with their messages, and the extraction of each kind.
#include <string>

#include <gtest/gtest.h>

#include "tests/support/board_root.h"
#include "upgrade/upgrade.h"
#include "upgrade/upgrade_pack.h"
#include "upgrade_fixtures.h"

namespace {

using namespace upgradetest;

constexpr const char* kPackage = "/tmp/upgrade_app.bin";

class PackageSteps : public ::testing::Test {
protected:
    void SetUp() override { std::memset(&pkg, 0, sizeof pkg); }
    void TearDown() override { UpgradePkgClose(&pkg); }
    // Writes the package, opens it and returns what was printed.
    std::string Open(const Bytes& bytes, int* result) {
        root.write(kPackage, bytes);
        testing::internal::CaptureStdout();
        *result = UpgradePkgOpen(&pkg, kPackage);
        fflush(stdout);
        return testing::internal::GetCapturedStdout();
    }
    template <typename Step>
    std::string Printed(Step step, int* result) {
        testing::internal::CaptureStdout();
        *result = step(&pkg);
        fflush(stdout);
        return testing::internal::GetCapturedStdout();
    }

    testsupport::TempBoardRoot root;
    UpgradePkg pkg;
};

const Bytes kApp = ToBytes("app archive bytes");
const Bytes kKernel = ToBytes("kernel image bytes, a little longer");

TEST_F(PackageSteps, HeaderChecksRefuseWithTheirMessages) {
    int result = -1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(UpgradePkgOpen(&pkg, kPackage), 0);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error:  Error, cannot open /tmp/upgrade_app.bin for reading.\n");

    Bytes good = upgrade::BuildPackage({{0xA2, 0x50, 1, kApp}});
    for (int delta : {-1, 1}) {
        Bytes off = good;
        off[12] = static_cast<uint8_t>(off[12] + delta);
        std::string out = Open(off, &result);
        EXPECT_EQ(result, 0);
        EXPECT_NE(out.find("Error:  The file length is not expected, stop upgrade, totolLength:" +
                           std::to_string(good.size() + delta) + ", fileLen:" + std::to_string(good.size()) + "\n"),
                  std::string::npos)
            << out;
        UpgradePkgClose(&pkg);
    }
    Bytes magic = good;
    magic[0] = 'N';
    EXPECT_EQ(Open(magic, &result), "Error:  The magic number is not expected, stop upgrade");
    EXPECT_EQ(result, 0);
    UpgradePkgClose(&pkg);
    EXPECT_EQ(Open(Bytes(good.begin(), good.begin() + 15), &result),
              "Error:  Read upgrade file header fail, can't upgrade");
    UpgradePkgClose(&pkg);
    // Eleven descriptions would run past the record's ten.
    for (uint8_t count : {0, 11, 255}) {
        Bytes many = upgrade::BuildPackage(std::vector<upgrade::PackEntry>(10, {0x46, 0x53, 1, kApp}));
        many[8] = count;
        EXPECT_EQ(Open(many, &result), "Error:  The file number is not expected, stop upgrade") << int(count);
        EXPECT_EQ(result, 0);
        UpgradePkgClose(&pkg);
    }
    Bytes shortDescs = Bytes(good.begin(), good.begin() + 24);  // one description, half of it there
    shortDescs[12] = 24;
    std::string out = Open(shortDescs, &result);
    EXPECT_EQ(result, 0);
    EXPECT_NE(out.find("Error:  Read upgrade file description fail, can't upgrade"), std::string::npos) << out;
}

// The first description of each kind decides; the running version is not
// extracted while the other kind still is; a closed record extracts nothing.
TEST_F(PackageSteps, KindsAndVersionsDecideWhatIsExtracted) {
    int result = -1;
    const Bytes pkgBytes = upgrade::BuildPackage({{0x46, 0x53, 7, kApp},
                                                  {0xA2, 0x50, UPGRADE_CUR_VERSION, kApp},
                                                  {0x50, 0x50, 0x04040009, kKernel},
                                                  {0x50, 0x50, 0x04050002, kApp}});
    std::string out = Open(pkgBytes, &result);
    ASSERT_EQ(result, 1) << out;
    EXPECT_EQ(out, "upgradeFileHeader.fileNumber:4, upgradeFileHeader.totalLength:" +
                       std::to_string(pkgBytes.size()) + "\n");
    EXPECT_EQ(Printed(UpgradePkgExtractApp, &result),
              "Error:  the required version:4050001 is same as current version, no need to upgrade\n");
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(root.exists("/tmp/lpc3250.tgz"));
    EXPECT_EQ(Printed(UpgradePkgExtractKernel, &result), "");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(root.read("/tmp/uImage"), kKernel);

    UpgradePkgClose(&pkg);
    EXPECT_EQ(pkg.fd, 0);
    EXPECT_EQ(pkg.fileNumber, 0);
    EXPECT_EQ(pkg.files[2].kind0, 0);
    EXPECT_EQ(Printed(UpgradePkgExtractKernel, &result), "Error:  fileHeader info is not invalid");
    EXPECT_EQ(result, 0);
}

// A data area the file does not hold whole is a failure, and no partial
// file is left where an installation would take it.
TEST_F(PackageSteps, ADataAreaCutShortIsAFailure) {
    int result = -1;
    Bytes pkgBytes = upgrade::BuildPackage({{0xA2, 0x50, 1, kApp}, {0x50, 0x50, 2, kKernel}});
    pkgBytes[16 + 16 + 8] = static_cast<uint8_t>(kKernel.size() + 1);  // the kernel's length, one past the end
    Open(pkgBytes, &result);
    ASSERT_EQ(result, 1);
    std::string out = Printed(UpgradePkgExtractKernel, &result);
    EXPECT_EQ(result, 0);
    EXPECT_NE(out.find("Error:  the kernel image lies past the end of the package"), std::string::npos) << out;
    EXPECT_FALSE(root.exists("/tmp/uImage"));
    EXPECT_EQ(Printed(UpgradePkgExtractApp, &result), "");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(root.read("/tmp/lpc3250.tgz"), kApp);
}

TEST_F(PackageSteps, APackageShrinkingWhileCopiedIsAFailure) {
    int result = -1;
    const Bytes big = Pattern(150000, 5);  // several reads of the copy buffer
    Bytes pkgBytes = upgrade::BuildPackage({{0x50, 0x50, 2, big}});
    Open(pkgBytes, &result);
    ASSERT_EQ(result, 1);
    root.write(kPackage, Bytes(pkgBytes.begin(), pkgBytes.begin() + 100000));  // the same file, truncated
    std::string out = Printed(UpgradePkgExtractKernel, &result);
    EXPECT_EQ(result, 0);
    EXPECT_NE(out.find("Error:  the kernel image could not be copied whole to /tmp/uImage"), std::string::npos) << out;
    EXPECT_FALSE(root.exists("/tmp/uImage"));
}

}  // namespace

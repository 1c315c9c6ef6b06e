// The checks an upgrade's files pass on the terminal, on bytes in memory:
// the gzip reader against the host's gzip, the application archive's
// member rules, the kernel image header, and the package layout.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "tests/sim/sim_harness.h"
#include "upgrade/archive_check.h"
#include "upgrade/upgrade_pack.h"
#include "upgrade_fixtures.h"

namespace {

using namespace upgradetest;
using upgrade::GunzipResult;

GunzipResult GunzipAll(const Bytes& in, Bytes* out, size_t piece = 4096) {
    out->clear();
    return upgrade::Gunzip(MemorySource(in, piece), [out](const uint8_t* d, size_t n) {
        out->insert(out->end(), d, d + n);
        return true;
    });
}

// data compressed by the host's gzip at the given level.
Bytes HostGzip(const Bytes& data, const char* level) {
    simtest::TempDir dir;
    const std::string file = dir.path() + "/data";
    simtest::WriteFile(file, std::string(data.begin(), data.end()));
    if (RunTool({"gzip", level, file}) != 0) return {};
    return ToBytes(simtest::ReadFile(file + ".gz"));
}

int Check(const Bytes& gz, std::string* why) { return upgrade::CheckAppArchive(MemorySource(gz), why); }

TEST(Gunzip, Crc32OfTheStandardCheckString) {
    const std::string check = "123456789";
    EXPECT_EQ(upgrade::Crc32(0, reinterpret_cast<const uint8_t*>(check.data()), check.size()), 0xCBF43926u);
}

// Random runs and repeats reaching back across the 32 KiB window's wrap,
// through fixed and dynamic codes, fed in odd-sized pieces.
TEST(Gunzip, ReadsWhatTheHostGzipWrites) {
    Bytes data;
    for (int round = 0; round < 12; ++round) {
        Bytes noise = Pattern(9000 + 317 * round, round);
        data.insert(data.end(), noise.begin(), noise.end());
        const size_t from = data.size() > 32000 ? data.size() - 32000 : 0;
        Bytes repeat(data.begin() + from, data.begin() + from + 5000);
        data.insert(data.end(), repeat.begin(), repeat.end());
        data.insert(data.end(), 300, static_cast<uint8_t>('a' + round));
    }
    for (const char* level : {"-1", "-9"}) {
        Bytes gz = HostGzip(data, level);
        ASSERT_FALSE(gz.empty()) << "host gzip " << level;
        Bytes out;
        EXPECT_EQ(GunzipAll(gz, &out, 7), GunzipResult::kOk) << level;
        EXPECT_TRUE(out == data) << level << ": " << out.size() << " of " << data.size();
    }
    Bytes out;
    EXPECT_EQ(GunzipAll(HostGzip({}, "-9"), &out), GunzipResult::kOk);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(GunzipAll(StoredGzip(data), &out), GunzipResult::kOk);
    EXPECT_TRUE(out == data);
}

TEST(Gunzip, CutDamagedOrTrailedStreamsNeverPass) {
    const Bytes data = Pattern(50000, 7);
    const Bytes gz = HostGzip(data, "-6");
    ASSERT_GT(gz.size(), 100u);
    Bytes out;
    for (size_t cut = 0; cut < gz.size(); cut += 1 + gz.size() / 40)
        EXPECT_EQ(GunzipAll(Bytes(gz.begin(), gz.begin() + cut), &out), GunzipResult::kCut) << cut;
    EXPECT_EQ(GunzipAll(Bytes(gz.begin(), gz.end() - 1), &out), GunzipResult::kCut);
    for (size_t at : {gz.size() / 2, gz.size() - 8, gz.size() - 2}) {  // data, CRC, length
        Bytes bad = gz;
        bad[at] ^= 0x10;
        EXPECT_NE(GunzipAll(bad, &out), GunzipResult::kOk) << at;
    }
    Bytes trailed = gz;
    trailed.push_back(0);
    EXPECT_EQ(GunzipAll(trailed, &out), GunzipResult::kBad);
    Bytes notGzip = data;
    EXPECT_EQ(GunzipAll(notGzip, &out), GunzipResult::kBad);
    int chunks = 0;
    EXPECT_EQ(upgrade::Gunzip(MemorySource(gz), [&chunks](const uint8_t*, size_t) { return ++chunks < 1; }),
              GunzipResult::kStopped);
    EXPECT_EQ(chunks, 1);
}

TEST(AppArchive, ASoundTreeWithLinksAndLongNamesPasses) {
    const std::string deep = "lpc3250/usr/share/" + std::string(120, 'n') + "/file";
    TarBuilder tar;
    tar.Add("lpc3250/", '5')
        .Add("lpc3250/paterm", '0', "binary")
        .Add("./lpc3250/lib/", '5')
        .Add("lpc3250/lib/libx.so.1", '0', "lib")
        .Add("lpc3250/lib/libx.so", '2', "", "libx.so.1")
        .Add("lpc3250/usr/lib", '2', "", "../lib")
        .Add("lpc3250/bin/paterm", '1', "", "lpc3250/paterm")
        .Extension('L', deep)
        .Add("truncated-name", '0', "long")
        .Extension('x', "28 path=lpc3250/pax/named/f\n")
        .Add("ignored", '0', "pax");
    std::string why;
    EXPECT_EQ(Check(StoredGzip(tar.Finish()), &why), 1) << why;
}

TEST(AppArchive, MembersOutsideTheTreeAreRefused) {
    struct Case {
        const char* what;
        TarBuilder tar;
        const char* reason;
    };
    auto tree = [] { return TarBuilder().Add("lpc3250/", '5').Add("lpc3250/a/", '5'); };
    std::vector<Case> cases = {
        {"absolute name", tree().Add("/etc/passwd", '0', "x"), "absolute"},
        {"dot-dot name", tree().Add("lpc3250/../../etc/passwd", '0', "x"), "\"..\""},
        {"beside the tree", tree().Add("temp/devcfg", '0', "x"), "outside lpc3250/"},
        {"top as a file", TarBuilder().Add("lpc3250", '0', "x"), "top is not a directory"},
        {"top as a link", TarBuilder().Add("lpc3250", '2', "", "/etc"), "top is not a directory"},
        {"absolute link", tree().Add("lpc3250/a/l", '2', "", "/etc/passwd"), "points out"},
        {"link climbing out", tree().Add("lpc3250/a/l", '2', "", "../../x"), "points out"},
        {"link with inner dot-dot", tree().Add("lpc3250/a/l", '2', "", "b/../../../x"), "points out"},
        {"member behind a link", tree().Add("lpc3250/a/here", '2', "", ".").Add("lpc3250/a/here/f", '0', "x"),
         "behind a link"},
        {"hard link out", tree().Add("lpc3250/a/h", '1', "", "../etc/shadow"), "hard link"},
        {"device node", tree().Add("lpc3250/a/mem", '3'), "neither"},
        {"fifo", tree().Add("lpc3250/a/p", '6'), "neither"},
        {"long name climbing", tree().Extension('L', "lpc3250/../x").Add("short", '0', "x"), "\"..\""},
        {"pax record past its header", tree().Extension('x', "40 path=lpc3250/ok\n").Add("lpc3250/x", '0', "x"),
         "malformed"},
        {"pax path absolute", tree().Extension('x', "15 path=/etc/x\n").Add("lpc3250/ok", '0', "x"), "absolute"},
        {"pax link out", tree().Extension('x', "19 linkpath=/etc/x\n").Add("lpc3250/l", '2', "", "ok"), "points out"},
    };
    for (const Case& c : cases) {
        std::string why;
        EXPECT_EQ(Check(StoredGzip(c.tar.Finish()), &why), 0) << c.what;
        EXPECT_NE(why.find(c.reason), std::string::npos) << c.what << ": " << why;
    }
}

TEST(AppArchive, IncompleteOrDamagedArchivesAreRefused) {
    TarBuilder tar;
    tar.Add("lpc3250/", '5').Add("lpc3250/paterm", '0', std::string(3000, 'p'));
    const Bytes whole = tar.Finish();
    std::string why;
    ASSERT_EQ(Check(StoredGzip(whole), &why), 1) << why;

    EXPECT_EQ(Check(StoredGzip(tar.Unfinished()), &why), 0);  // no end marker
    EXPECT_NE(why.find("end marker"), std::string::npos) << why;
    EXPECT_EQ(Check(StoredGzip(Bytes(whole.begin(), whole.begin() + 1500)), &why), 0);  // inside a member
    EXPECT_NE(why.find("end marker"), std::string::npos) << why;
    Bytes gz = StoredGzip(whole);
    EXPECT_EQ(Check(Bytes(gz.begin(), gz.end() - 5), &why), 0);  // the gzip file itself cut
    EXPECT_NE(why.find("cut short"), std::string::npos) << why;
    Bytes damaged = whole;
    damaged[512 + 10] ^= 1;  // a byte of the second header's name: its checksum no longer holds
    EXPECT_EQ(Check(StoredGzip(damaged), &why), 0);
    EXPECT_NE(why.find("damaged"), std::string::npos) << why;
    Bytes huge = TarBuilder().Add("lpc3250/", '5').Add("lpc3250/f").Finish();
    std::memcpy(huge.data() + 512 + 124, "\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 12);  // base-256 size
    unsigned sum = 0;
    std::memset(huge.data() + 512 + 148, ' ', 8);
    for (size_t i = 512; i < 1024; ++i) sum += huge[i];
    std::snprintf(reinterpret_cast<char*>(huge.data() + 512 + 148), 8, "%06o", sum);
    EXPECT_EQ(Check(StoredGzip(huge), &why), 0);  // a size that would wrap the block count
    EXPECT_NE(why.find("damaged"), std::string::npos) << why;
    EXPECT_EQ(Check(StoredGzip(Bytes(1024, 0)), &why), 0);
    EXPECT_NE(why.find("holds nothing"), std::string::npos) << why;
}

TEST(AppArchive, ARealArchiveOfTheHostTarPasses) {
    simtest::TempDir dir;
    ASSERT_EQ(RunTool({"mkdir", "-p", dir.path() + "/lpc3250/usr/etc/boa", dir.path() + "/lpc3250/lib"}), 0);
    simtest::WriteFile(dir.path() + "/lpc3250/paterm", std::string(200000, 'x'));
    ASSERT_EQ(::symlink("../../lib", (dir.path() + "/lpc3250/usr/etc/lib").c_str()), 0);
    const std::string tgz = dir.path() + "/app.tgz";
    ASSERT_EQ(RunTool({"tar", "czf", tgz, "-C", dir.path(), "lpc3250"}), 0);
    std::string why;
    EXPECT_EQ(Check(ToBytes(simtest::ReadFile(tgz)), &why), 1) << why;
    ASSERT_EQ(::symlink("../../..", (dir.path() + "/lpc3250/up").c_str()), 0);
    ASSERT_EQ(RunTool({"tar", "czf", tgz, "-C", dir.path(), "lpc3250"}), 0);
    EXPECT_EQ(Check(ToBytes(simtest::ReadFile(tgz)), &why), 0);
    EXPECT_NE(why.find("lpc3250/up points out"), std::string::npos) << why;
}

TEST(KernelImage, OnlyAWholeImageThatFitsPasses) {
    constexpr uint64_t kPartition = 8 * upgrade::kNandPageSize;
    const Bytes image = MakeUImage(Pattern(3 * 2048, 3));
    auto check = [](const Bytes& img, uint64_t partition, std::string* why) {
        return upgrade::CheckKernelImage(MemorySource(img, 1000), img.size(), partition, why);
    };
    std::string why;
    EXPECT_EQ(check(image, kPartition, &why), 1) << why;
    const Bytes full = MakeUImage(Pattern(kPartition - upgrade::kUImageHeaderSize, 4));  // exactly the partition
    EXPECT_EQ(check(full, kPartition, &why), 1) << why;
    EXPECT_EQ(check(MakeUImage(Pattern(kPartition - upgrade::kUImageHeaderSize + 1, 4)), kPartition, &why), 0);
    EXPECT_NE(why.find("does not fit"), std::string::npos) << why;

    struct Case {
        const char* what;
        Bytes bytes;
        const char* reason;
    };
    Bytes badMagic = image, badHeader = image, badData = image;
    badMagic[0] = 0x56;
    badHeader[40] ^= 1;
    badData[image.size() - 1] ^= 1;
    const std::vector<Case> cases = {
        {"empty", {}, "empty"},
        {"header only in part", Bytes(image.begin(), image.begin() + 63), "shorter than its header"},
        {"wrong magic", badMagic, "magic"},
        {"damaged header", badHeader, "header is damaged"},
        {"cut data", Bytes(image.begin(), image.end() - 1), "cut short"},
        {"damaged data", badData, "data is damaged"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(check(c.bytes, kPartition, &why), 0) << c.what;
        EXPECT_NE(why.find(c.reason), std::string::npos) << c.what << ": " << why;
    }
}

TEST(Package, LayoutIsLittleEndianWithAreasAfterTheDescriptions) {
    const Bytes app = ToBytes("APP"), kernel = ToBytes("KERNEL!");
    const Bytes pkg = upgrade::BuildPackage({{0xA2, 0x50, 0x01020304, app}, {0x50, 0x50, 0x04050001, kernel}});
    ASSERT_EQ(pkg.size(), 16u + 32u + 3u + 7u);
    EXPECT_EQ(std::string(pkg.begin(), pkg.begin() + 8), "nOrvaFiw");
    EXPECT_EQ(pkg[8], 2);
    EXPECT_EQ(Bytes(pkg.begin() + 12, pkg.begin() + 16), (Bytes{58, 0, 0, 0}));
    EXPECT_EQ(Bytes(pkg.begin() + 16, pkg.begin() + 32),
              (Bytes{0xA2, 0x50, 0, 0, 4, 3, 2, 1, 3, 0, 0, 0, 48, 0, 0, 0}));
    EXPECT_EQ(Bytes(pkg.begin() + 32, pkg.begin() + 48),
              (Bytes{0x50, 0x50, 0, 0, 1, 0, 5, 4, 7, 0, 0, 0, 51, 0, 0, 0}));
    EXPECT_EQ(std::string(pkg.begin() + 48, pkg.end()), "APPKERNEL!");

    upgrade::PackListing listing;
    std::string why;
    ASSERT_EQ(upgrade::ReadPackage(pkg, &listing, &why), 1) << why;
    ASSERT_EQ(listing.files.size(), 2u);
    EXPECT_EQ(listing.files[1].offset, 51u);
    EXPECT_EQ(listing.files[1].version, UPGRADE_CUR_VERSION);
    EXPECT_STREQ(upgrade::PackKindName(0x46, 0x53), "rootfs");
}

TEST(Package, CountsAndLengthsOutOfRuleAreRefused) {
    std::vector<upgrade::PackEntry> eleven(11, upgrade::PackEntry{0x46, 0x53, 1, ToBytes("x")});
    EXPECT_TRUE(upgrade::BuildPackage(eleven).empty());
    eleven.pop_back();
    Bytes pkg = upgrade::BuildPackage(eleven);
    upgrade::PackListing listing;
    std::string why;
    ASSERT_EQ(upgrade::ReadPackage(pkg, &listing, &why), 1) << why;
    Bytes more = pkg;
    more[8] = 11;
    EXPECT_EQ(upgrade::ReadPackage(more, &listing, &why), 0);
    Bytes longer = pkg;
    longer.push_back(0);
    EXPECT_EQ(upgrade::ReadPackage(longer, &listing, &why), 0);
    EXPECT_NE(why.find("total length"), std::string::npos) << why;
    Bytes past = pkg;
    past[16 + 8] = 200;  // the first area's length runs past the end
    EXPECT_EQ(upgrade::ReadPackage(past, &listing, &why), 0);
    EXPECT_NE(why.find("past the end"), std::string::npos) << why;
}

}  // namespace

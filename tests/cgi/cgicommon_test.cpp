// The shared CGI layer: the JSON result answer, whole-block file access and
// EEPROM access at an offset, all on a temporary board root.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cgi/cgic_layer.h"
#include "cgi/cgicommon.h"
#include "tests/support/board_root.h"

using testsupport::TempBoardRoot;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr const char* kSettings = "/opt/lpc3250/sysExtOpts";

std::string Response(cgi_result_t res, const char* msg) {
    char* data = nullptr;
    size_t size = 0;
    FILE* saved = cgiOut;
    cgiOut = open_memstream(&data, &size);
    cgi_response_print(res, msg);
    std::fclose(cgiOut);
    cgiOut = saved;
    std::string text(data, size);
    free(data);
    return text;
}

Bytes Eeprom() {
    Bytes bytes(64);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
    return bytes;
}

}  // namespace

TEST(CgiResponse, PrintsSuccessOrFailureWithOptionalMessage) {
    const std::string header = "Content-type: text/plain\r\n\r\n";
    EXPECT_EQ(Response(CGI_SUCCESS, nullptr), header + "{\"success\":\"true\"}");
    EXPECT_EQ(Response(CGI_SUCCESS, "saved"), header + "{\"success\":\"true\",\"msg\":\"saved\"}");
    for (cgi_result_t res : {CGI_FAILED, CGI_OPEN_FILE_FAILED, CGI_WRITE_FILE_FAILED, CGI_READ_FILE_FAILED,
                             CGI_NET_ADDR_ERROR})
        EXPECT_EQ(Response(res, nullptr), header + "{\"success\":\"false\"}") << res;
    // The message cannot break out of its JSON string.
    EXPECT_EQ(Response(CGI_FAILED, "a\"b\\c\n"), header + "{\"success\":\"false\",\"msg\":\"a\\\"b\\\\c\\u000a\"}");
}

TEST(CgiResponse, EnableWords) {
    EXPECT_STREQ(enable_strs[0], "disable");
    EXPECT_STREQ(enable_strs[1], "enable");
    EXPECT_STREQ(int2enable(0), "disable");
    EXPECT_STREQ(int2enable(1), "enable");
    EXPECT_STREQ(int2enable(-3), "enable");
}

TEST(CgiFile, ReadsWholeBlocksOnly) {
    TempBoardRoot root;
    uint8_t buf[8] = {};
    EXPECT_EQ(cgi_read_file(kSettings, buf, sizeof buf), CGI_OPEN_FILE_FAILED);

    root.write(kSettings, {1, 2, 3, 4});
    EXPECT_EQ(cgi_read_file(kSettings, buf, sizeof buf), CGI_READ_FILE_FAILED);

    root.write(kSettings, {1, 2, 3, 4, 5, 6, 7, 8, 9});
    EXPECT_EQ(cgi_read_file(kSettings, buf, sizeof buf), CGI_SUCCESS);
    EXPECT_EQ(Bytes(buf, buf + 8), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(cgi_read_file(kSettings, nullptr, 0), CGI_SUCCESS);
    EXPECT_EQ(cgi_read_file(kSettings, nullptr, 8), CGI_FAILED);
}

TEST(CgiFile, WritesCreateOrTruncate) {
    TempBoardRoot root;
    const Bytes image = {0x2D, 0, 1, 0, 0, 0, 0, 0};
    EXPECT_EQ(cgi_write_file(kSettings, image.data(), image.size()), CGI_SUCCESS);
    EXPECT_EQ(root.read(kSettings), image);

    root.write(kSettings, Bytes(20, 0xEE));
    EXPECT_EQ(cgi_write_file(kSettings, image.data(), 3), CGI_SUCCESS);
    EXPECT_EQ(root.read(kSettings), (Bytes{0x2D, 0, 1}));

    EXPECT_EQ(cgi_write_file("/opt/missing-dir/file", image.data(), image.size()), CGI_OPEN_FILE_FAILED);
    // A link in the file's place is not swapped for a file.
    std::filesystem::create_symlink("/dev/full", root.at("/opt/lpc3250/full"));
    EXPECT_EQ(cgi_write_file("/opt/lpc3250/full", image.data(), image.size()), CGI_WRITE_FILE_FAILED);
}

TEST(CgiEeprom, ReadsAndWritesAtAnOffset) {
    TempBoardRoot root;
    uint8_t buf[4] = {};
    EXPECT_EQ(cgi_read_eeprom(44, buf, sizeof buf), CGI_OPEN_FILE_FAILED);
    EXPECT_EQ(cgi_write_eeprom(32, buf, sizeof buf), CGI_OPEN_FILE_FAILED);

    root.write("/dev/i2c-eeprom0", Eeprom());
    EXPECT_EQ(cgi_read_eeprom(44, buf, sizeof buf), CGI_SUCCESS);
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{44, 45, 46, 47}));
    EXPECT_EQ(cgi_read_eeprom(62, buf, sizeof buf), CGI_READ_FILE_FAILED);
    EXPECT_EQ(cgi_read_eeprom(-1, buf, sizeof buf), CGI_OPEN_FILE_FAILED);

    const uint8_t address[4] = {0x0A, 0x01, 0xA8, 0xC0};
    EXPECT_EQ(cgi_write_eeprom(32, address, sizeof address), CGI_SUCCESS);
    Bytes expected = Eeprom();
    std::copy(address, address + 4, expected.begin() + 32);
    EXPECT_EQ(root.read("/dev/i2c-eeprom0"), expected);
    EXPECT_EQ(cgi_write_eeprom(-8, address, sizeof address), CGI_OPEN_FILE_FAILED);
    EXPECT_EQ(cgi_write_eeprom(0, nullptr, 4), CGI_FAILED);
    EXPECT_EQ(root.read("/dev/i2c-eeprom0"), expected);
}

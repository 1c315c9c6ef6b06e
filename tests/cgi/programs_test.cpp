// The two web programs run as a web server runs them: the exact response
// bytes of getextopts and extopts, and the datagram extopts sends to
// 127.0.0.1:8690, caught in the test's own network namespace.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>

#include "tests/cgi/cgi_run.h"
#include "tests/cgi/private_net.h"
#include "tests/support/board_root.h"

using cgitest::Bytes;
using cgitest::CgiReply;
using cgitest::CgiRequest;
using testsupport::TempBoardRoot;

namespace {

constexpr const char* kHeader = "Content-type: text/plain\r\n\r\n";
constexpr const char* kStatus500 = "Status: 500 Error reading form data\r\n\r\n";
constexpr const char* kUrlEncoded = "application/x-www-form-urlencoded";
constexpr uint16_t kPatermPort = 8690;

CgiRequest Post(const std::string& body, const std::string& contentType = kUrlEncoded) {
    CgiRequest request;
    request.method = "POST";
    request.contentType = contentType;
    request.body = body;
    return request;
}

CgiRequest Get(const std::string& query) {
    CgiRequest request;
    request.query = query;
    return request;
}

// The datagram for delay bytes lo, hi and autoFlag.
Bytes ExtOptsDatagram(uint8_t lo, uint8_t hi, uint8_t autoFlag) { return {4, lo, hi, autoFlag, 0, 0, 0, 0, 0}; }

std::string Multipart(const std::string& boundary, const std::string& delay, const std::string& autoEnabled) {
    return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"delay\"\r\n\r\n" + delay + "\r\n--" +
           boundary + "\r\nContent-Disposition: form-data; name=\"auto_enabled\"\r\n\r\n" + autoEnabled + "\r\n--" +
           boundary + "--";
}

class CgiProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(cgitest::EnterPrivateNetwork()) << "a private network namespace needs root";
        listener_ = std::make_unique<cgitest::UdpListener>(kPatermPort);
        ASSERT_TRUE(listener_->bound());
    }

    CgiReply Run(const char* program, const CgiRequest& request) {
        return cgitest::RunCgi(program, request, root_.dir());
    }
    std::optional<Bytes> Datagram(int timeoutMs = 2000) { return listener_->Receive(timeoutMs); }

    // Runs extopts, expects its success answer, returns the one datagram it sent.
    Bytes ExtOptsSends(const CgiRequest& request) {
        CgiReply reply = Run(EXTOPTS_PATH, request);
        EXPECT_EQ(reply.exitCode, 0);
        EXPECT_EQ(reply.output, std::string(kHeader) + "{\"success\":\"true\"}");
        std::optional<Bytes> sent = Datagram();
        EXPECT_FALSE(Datagram(100)) << "more than one datagram";
        return sent.value_or(Bytes{});
    }

    std::string GetExtOptsBody() {
        CgiReply reply = Run(GETEXTOPTS_PATH, Get(""));
        EXPECT_EQ(reply.exitCode, 0);
        EXPECT_EQ(reply.output.rfind(kHeader, 0), 0u) << reply.output;
        EXPECT_EQ(reply.output.find("false"), std::string::npos);
        return reply.output.substr(std::min(reply.output.size(), std::string(kHeader).size()));
    }

    TempBoardRoot root_;
    std::unique_ptr<cgitest::UdpListener> listener_;
};

std::string Answer(int delay, const char* autoEnabled) {
    return "{ \"success\" : \"true\", \"delay\":\"" + std::to_string(delay) + "\",\"auto_enabled\":\"" + autoEnabled +
           "\"}";
}

}  // namespace

TEST_F(CgiProgramTest, ExtOptsSendsTheSubmittedSettings) {
    EXPECT_EQ(ExtOptsSends(Post("auto_enabled=enable&delay=45")), ExtOptsDatagram(0x2D, 0x00, 1));
    EXPECT_EQ(ExtOptsSends(Get("delay=45&auto_enabled=enable")), ExtOptsDatagram(0x2D, 0x00, 1));
    EXPECT_EQ(ExtOptsSends(Post("delay=300&auto_enabled=disable")), ExtOptsDatagram(0x2C, 0x01, 0));
    // A POST's query string is not part of its form.
    CgiRequest withQuery = Post("auto_enabled=enable");
    withQuery.query = "delay=45";
    EXPECT_EQ(ExtOptsSends(withQuery), ExtOptsDatagram(0, 0, 1));
    // Leading digits count, and the first of repeated fields wins.
    EXPECT_EQ(ExtOptsSends(Post("delay=12abc&auto_enabled=enable&auto_enabled=disable")), ExtOptsDatagram(12, 0, 1));
}

TEST_F(CgiProgramTest, ExtOptsDelayWrapsTo16Bits) {
    EXPECT_EQ(ExtOptsSends(Post("delay=70000")), ExtOptsDatagram(0x70, 0x11, 0));
    EXPECT_EQ(ExtOptsSends(Post("delay=-5")), ExtOptsDatagram(0xFB, 0xFF, 0));
    EXPECT_EQ(ExtOptsSends(Post("delay=99999999999")), ExtOptsDatagram(0xFF, 0xFF, 0));
}

TEST_F(CgiProgramTest, ExtOptsMissingOrBadFieldsSendZeros) {
    const Bytes zeros = ExtOptsDatagram(0, 0, 0);
    EXPECT_EQ(ExtOptsSends(Post("delay=abc&auto_enabled=on")), zeros);
    EXPECT_EQ(ExtOptsSends(Post("delay=&auto_enabled=")), zeros);
    // Choices and field names match in their own letter case only.
    EXPECT_EQ(ExtOptsSends(Post("auto_enabled=ENABLE")), zeros);
    EXPECT_EQ(ExtOptsSends(Post("auto_enabled=Enable&Delay=45")), zeros);
}

// The zero record would wipe the stored settings, so a request that carries
// neither field must not reach paterm at all.
TEST_F(CgiProgramTest, ExtOptsRefusesARequestWithoutSettings) {
    CgiRequest put = Post("{\"delay\":45,\"auto_enabled\":\"enable\"}", "application/json");
    put.method = "PUT";
    put.contentLength = std::to_string(put.body.size());
    const CgiRequest requests[] = {
        Post(""), Get(""), Get("page=1"), put,
        Post("{\"delay\":45}", "application/json"),
        Post("delay=45", "text/plain"),  // a body that is not a form has no fields
        Post("Delay=45&AUTO_ENABLED=enable"),
    };
    for (const CgiRequest& request : requests) {
        CgiReply reply = Run(EXTOPTS_PATH, request);
        EXPECT_EQ(reply.exitCode, 0) << request.method << " " << request.body;
        EXPECT_EQ(reply.output, std::string(kHeader) + "{\"success\":\"false\",\"msg\":\"no settings in the request\"}")
            << request.method << " " << request.body;
    }
    EXPECT_FALSE(Datagram(300)) << "a request without settings reached paterm";
    // One field is enough; the other keeps its default.
    EXPECT_EQ(ExtOptsSends(Get("auto_enabled=enable")), ExtOptsDatagram(0, 0, 1));
}

TEST_F(CgiProgramTest, ExtOptsReadsMultipartForms) {
    EXPECT_EQ(ExtOptsSends(Post(Multipart("b0und", "45", "enable") + "\r\n", "multipart/form-data; boundary=b0und")),
              ExtOptsDatagram(0x2D, 0, 1));
    // Quoted boundary, a further parameter, no line end after the closing delimiter.
    EXPECT_EQ(ExtOptsSends(Post(Multipart("x-y", "70000", "disable"),
                                "Multipart/Form-Data; boundary=\"x-y\"; charset=UTF-8")),
              ExtOptsDatagram(0x70, 0x11, 0));
}

TEST_F(CgiProgramTest, UnreadableRequestsGetStatus500AndSendNothing) {
    CgiRequest shortBody = Post("delay=45");
    shortBody.contentLength = "100";
    CgiRequest negative = Post("delay=45");
    negative.contentLength = "-1";
    CgiRequest huge = Post("delay=45");
    huge.contentLength = "1000000000000";
    CgiRequest malformed = Post("--b\r\nContent-Disposition: form-data; name=\"delay\"\r\n45\r\n--b--\r\n",
                                "multipart/form-data; boundary=b");
    CgiRequest noBoundary = Post(Multipart("b", "1", "enable"), "multipart/form-data");
    for (const CgiRequest& request : {shortBody, negative, huge, malformed, noBoundary}) {
        for (const char* program : {EXTOPTS_PATH, GETEXTOPTS_PATH}) {
            CgiReply reply = Run(program, request);
            EXPECT_EQ(reply.output, kStatus500) << program << " " << request.body;
            EXPECT_EQ(reply.exitCode, 255);
        }
    }
    EXPECT_FALSE(Datagram(200));
}

TEST_F(CgiProgramTest, GetExtOptsAnswersTheStoredSettings) {
    root_.write("/opt/lpc3250/sysExtOpts", {30, 0, 1, 0, 0, 0, 0, 0});
    CgiReply reply = Run(GETEXTOPTS_PATH, Get(""));
    EXPECT_EQ(reply.exitCode, 0);
    EXPECT_EQ(reply.output,
              std::string("Content-type: text/plain\r\n\r\n") +
                  "{ \"success\" : \"true\", \"delay\":\"30\",\"auto_enabled\":\"enable\"}");

    root_.write("/opt/lpc3250/sysExtOpts", {0xFF, 0xFF, 0x03, 0, 0, 0, 0, 0, 0x7E, 0x7E});
    EXPECT_EQ(GetExtOptsBody(), Answer(65535, "enable"));
    // getextopts reads the file only; it never talks to paterm.
    EXPECT_FALSE(Datagram(200));
}

TEST_F(CgiProgramTest, GetExtOptsCountsOnlyBitZeroOfAutoFlag) {
    root_.write("/opt/lpc3250/sysExtOpts", {0x0A, 0x00, 0x02, 0, 0, 0, 0, 0});
    EXPECT_EQ(GetExtOptsBody(), Answer(10, "disable"));
    root_.write("/opt/lpc3250/sysExtOpts", {0x0A, 0x00, 0xFF, 0, 0, 0, 0, 0});
    EXPECT_EQ(GetExtOptsBody(), Answer(10, "enable"));
}

TEST_F(CgiProgramTest, GetExtOptsAnswersDefaultsWithoutAUsableFile) {
    EXPECT_EQ(GetExtOptsBody(), Answer(10, "disable"));
    EXPECT_FALSE(root_.exists("/opt/lpc3250/sysExtOpts")) << "the file belongs to paterm";

    root_.write("/opt/lpc3250/sysExtOpts", {30, 0, 1, 0});
    EXPECT_EQ(GetExtOptsBody(), Answer(10, "disable"));
    root_.write("/opt/lpc3250/sysExtOpts", {});
    EXPECT_EQ(GetExtOptsBody(), Answer(10, "disable"));

    std::filesystem::remove(root_.at("/opt/lpc3250/sysExtOpts"));
    std::filesystem::create_directory(root_.at("/opt/lpc3250/sysExtOpts"));
    EXPECT_EQ(GetExtOptsBody(), Answer(10, "disable"));
}

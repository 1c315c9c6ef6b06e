// The upgrade file server: the file at its path, nothing else, and a client
// that never finishes its request does not keep others out for long.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "tests/server/server_net.h"
#include "tools/server/http_file_server.h"

namespace srvproto {
namespace {

constexpr uint32_t kLoopback = 0x7F000001;

using servertest::HttpExchange;

std::string Body(const std::string& reply) {
    const size_t at = reply.find("\r\n\r\n");
    return at == std::string::npos ? "" : reply.substr(at + 4);
}

class HttpFileServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!servertest::EnterPrivateNetworkWithMulticast()) GTEST_SKIP() << "no network namespace (needs root)";
        char dir[] = "/tmp/paterm-http-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        file_ = dir_ + "/upgrade_app.bin";
        for (int i = 0; i < 70000; ++i) content_ += static_cast<char>((i * 7 + i / 251) & 0xFF);
        std::ofstream(file_, std::ios::binary) << content_;
        std::string error;
        ASSERT_EQ(server_.Start(kLoopback, 0, file_, "/pkg/upgrade_app.bin",
                                [this](const std::string& line) {
                                    std::lock_guard<std::mutex> lock(logMutex_);
                                    log_.push_back(line);
                                },
                                &error),
                  0)
            << error;
        port_ = server_.Port();
        ASSERT_NE(port_, 0);
    }
    void TearDown() override {
        server_.Stop();
        if (!file_.empty()) std::remove(file_.c_str());
        if (!dir_.empty()) rmdir(dir_.c_str());
    }

    HttpFileServer server_;
    std::string dir_, file_, content_;
    uint16_t port_ = 0;
    std::mutex logMutex_;
    std::vector<std::string> log_;
};

TEST_F(HttpFileServerTest, ServesTheFileAtItsPathAndNothingElse) {
    // The terminal's download sends an HTTP/1.1 GET.
    const std::string got = HttpExchange(port_, "GET /pkg/upgrade_app.bin HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(got.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << got.substr(0, 80);
    EXPECT_NE(got.find("Content-Length: 70000\r\n"), std::string::npos);
    EXPECT_TRUE(Body(got) == content_) << Body(got).size();

    const std::string head = HttpExchange(port_, "HEAD /pkg/upgrade_app.bin HTTP/1.0\r\n\r\n");
    EXPECT_NE(head.find("Content-Length: 70000"), std::string::npos);
    EXPECT_EQ(Body(head), "");

    EXPECT_EQ(HttpExchange(port_, "GET /pkg/other.bin HTTP/1.0\r\n\r\n").rfind("HTTP/1.0 404", 0), 0u);
    EXPECT_EQ(HttpExchange(port_, "GET /pkg/upgrade_app.bin/ HTTP/1.0\r\n\r\n").rfind("HTTP/1.0 404", 0), 0u);
    EXPECT_EQ(HttpExchange(port_, "POST /pkg/upgrade_app.bin HTTP/1.0\r\n\r\n").rfind("HTTP/1.0 501", 0), 0u);
    EXPECT_EQ(HttpExchange(port_, "GET /pkg/upgrade_app.bin\r\n\r\n").rfind("HTTP/1.0 400", 0), 0u);
    EXPECT_EQ(HttpExchange(port_, "GET  HTTP/1.0\r\n\r\n").rfind("HTTP/1.0 400", 0), 0u);
    EXPECT_EQ(HttpExchange(port_, "\x16\x03\x01 binary\r\n\r\n").rfind("HTTP/1.0 400", 0), 0u);
    // A head that never ends is cut off, not buffered for ever.
    EXPECT_EQ(HttpExchange(port_, std::string(6000, 'A')).rfind("HTTP/1.0 400", 0), 0u);

    // A query string does not change the file; a new file and path do.
    EXPECT_TRUE(Body(HttpExchange(port_, "GET /pkg/upgrade_app.bin?x=1 HTTP/1.0\r\n\r\n")) == content_);
    server_.Serve(file_, "/other.bin");
    EXPECT_EQ(HttpExchange(port_, "GET /pkg/upgrade_app.bin HTTP/1.0\r\n\r\n").rfind("HTTP/1.0 404", 0), 0u);
    EXPECT_TRUE(Body(HttpExchange(port_, "GET /other.bin HTTP/1.0\r\n\r\n")) == content_);
    // A file that went away is a 404, not an empty 200.
    std::remove(file_.c_str());
    EXPECT_EQ(HttpExchange(port_, "GET /other.bin HTTP/1.0\r\n\r\n").rfind("HTTP/1.0 404", 0), 0u);

    std::lock_guard<std::mutex> lock(logMutex_);
    ASSERT_FALSE(log_.empty());
    EXPECT_NE(log_.front().find("200, 70000 bytes"), std::string::npos) << log_.front();
}

TEST_F(HttpFileServerTest, AClientThatClosesEarlyDoesNotStopTheServer) {
    // Connects, sends half a request line and goes away.
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port_);
    to.sin_addr.s_addr = htonl(kLoopback);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    ASSERT_EQ(send(fd, "GET /pkg", 8, MSG_NOSIGNAL), 8);
    close(fd);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(Body(HttpExchange(port_, "GET /pkg/upgrade_app.bin HTTP/1.0\r\n\r\n")) == content_);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

}  // namespace
}  // namespace srvproto

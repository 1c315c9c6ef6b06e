// The control socket on its own, with a registry of test commands: line
// framing (several requests in one write, a line split over writes, CR LF,
// the line limit), the connection limit, the idle time-out, argument checks
// before conversion, and replies that stay valid UTF-8 JSON.
#include <poll.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "board/sim/control_server.h"
#include "board/sim/unix_socket.h"
#include "sim_harness.h"

namespace {

using namespace std::chrono_literals;
using sim::Json;

class ControlServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        registry.Add("echo", [](const Json& request) {
            Json reply = sim::ControlOk();
            reply["echo"] = request.value("text", "");
            return reply;
        });
        registry.Add("count", [](const Json& request) {
            const auto n = sim::IntegerArg(request, "n", 0, 255, 0);
            if (!n) return sim::ControlError("\"n\" must be 0..255");
            Json reply = sim::ControlOk();
            reply["n"] = *n;
            return reply;
        });
    }
    void Start(std::chrono::milliseconds idle = sim::ControlServer::kIdleTimeout) {
        server = std::make_unique<sim::ControlServer>(&registry, idle);
        sim::Result<> started = server->Start(path());
        ASSERT_TRUE(started) << started.error().Text();
    }
    std::string path() const { return dir.path() + "/control"; }
    sim::UniqueFd Connect() { return sim::ConnectUnix(path(), SOCK_STREAM | SOCK_CLOEXEC); }

    static void Send(int fd, const std::string& text) {
        ASSERT_EQ(::send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
    }
    // The reply lines that arrive within `wait`, up to `count` of them.
    static std::vector<Json> Replies(int fd, size_t count, std::chrono::milliseconds wait = 5s) {
        std::string text;
        std::vector<Json> lines;
        const auto until = std::chrono::steady_clock::now() + wait;
        while (lines.size() < count && std::chrono::steady_clock::now() < until) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            char chunk[4096];
            ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) break;
            text.append(chunk, static_cast<size_t>(n));
            for (size_t eol; (eol = text.find('\n')) != std::string::npos; text.erase(0, eol + 1))
                lines.push_back(Json::parse(text.substr(0, eol)));  // throws (fails) on malformed JSON
        }
        return lines;
    }

    simtest::TempDir dir;
    sim::ControlRegistry registry;
    std::unique_ptr<sim::ControlServer> server;
};

TEST_F(ControlServerTest, FramesRequestsAcrossAndWithinWrites) {
    Start();
    sim::UniqueFd fd = Connect();
    Send(fd.Get(), "{\"cmd\":\"echo\",\"text\":\"a\"}\n{\"cmd\":\"echo\",\"text\":\"b\"}\r\n\n{\"cmd\":\"ec");
    std::this_thread::sleep_for(50ms);
    Send(fd.Get(), "ho\",\"text\":\"c\"}\n");
    std::vector<Json> replies = Replies(fd.Get(), 3);
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[0]["echo"], "a");
    EXPECT_EQ(replies[1]["echo"], "b");  // the CR is not part of the request
    EXPECT_EQ(replies[2]["echo"], "c");
}

TEST_F(ControlServerTest, AnOverlongLineIsAnsweredAndEndsTheConnection) {
    Start();
    sim::UniqueFd fd = Connect();
    Send(fd.Get(), std::string(sim::ControlServer::kMaxLine + 10, 'x'));
    std::vector<Json> replies = Replies(fd.Get(), 2, 2s);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_FALSE(replies[0]["ok"].get<bool>());
    char byte;
    EXPECT_EQ(::recv(fd.Get(), &byte, 1, 0), 0);  // closed
}

TEST_F(ControlServerTest, SilentClientsTimeOutAndTheOneTooManyIsToldWhy) {
    Start(600ms);
    std::vector<sim::UniqueFd> silent;
    for (size_t i = 0; i < sim::ControlServer::kMaxConnections; ++i) silent.push_back(Connect());
    std::this_thread::sleep_for(100ms);
    sim::UniqueFd extra = Connect();
    std::vector<Json> refused = Replies(extra.Get(), 1, 2s);
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_NE(refused[0]["error"].get<std::string>().find("too many"), std::string::npos);

    // Once the silent ones have timed out, a new client is served.
    std::vector<Json> idle = Replies(silent[0].Get(), 1, 3s);
    ASSERT_EQ(idle.size(), 1u);
    EXPECT_NE(idle[0]["error"].get<std::string>().find("idle"), std::string::npos);
    ASSERT_TRUE(simtest::WaitUntil(
        [&] {
            sim::UniqueFd fd = Connect();
            Send(fd.Get(), "{\"cmd\":\"echo\",\"text\":\"in\"}\n");
            std::vector<Json> r = Replies(fd.Get(), 1, 1s);
            return r.size() == 1 && r[0].value("echo", "") == "in";
        },
        5s));
}

TEST_F(ControlServerTest, NumbersMustBeIntegersInRangeBeforeAnyConversion) {
    Start();
    EXPECT_EQ(server->Handle(R"({"cmd":"count","n":7})").body["n"], 7);
    EXPECT_EQ(server->Handle(R"({"cmd":"count"})").body["n"], 0);
    for (const char* bad : {R"({"cmd":"count","n":1e99})", R"({"cmd":"count","n":2.7})", R"({"cmd":"count","n":-1})",
                            R"({"cmd":"count","n":256})", R"({"cmd":"count","n":"3"})", R"({"cmd":"count","n":true})",
                            R"({"cmd":"count","n":18446744073709551615})"})
        EXPECT_FALSE(server->Handle(bad).body["ok"].get<bool>()) << bad;
}

TEST_F(ControlServerTest, ErrorRepliesAreValidJsonWhateverTheRequestHeld) {
    Start();
    const std::vector<std::string> requests = {"not json", "[1,2]", R"({"cmd":3})", "{}", R"({"cmd":"no.such"})",
                                               "{\"cmd\":\"\xff\xfe\"}", std::string("{\"cmd\":\"\x00\"}", 11),
                                               "{\"cmd\":\"echo\",\"text\":\"\xc3\"}"};
    for (const std::string& line : requests) {
        const std::string text = sim::ControlServer::Serialize(server->Handle(line).body);
        Json reply = Json::parse(text);  // valid UTF-8 JSON, or this throws and fails
        EXPECT_FALSE(reply["ok"].get<bool>()) << line;
        EXPECT_FALSE(reply["error"].get<std::string>().empty()) << line;
    }
}

}  // namespace

// Downloads on the board with the host's real wget: the factory's archive,
// and the shell's "/tmp/wget ... -O FILE" against a small HTTP server. All
// traffic stays inside a private network namespace the test makes (only its
// loopback); without the right to make one the network tests are skipped.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "board/sim/factory.h"
#include "board/sim/unique_fd.h"
#include "in_process_board.h"
#include "sim_harness.h"

namespace {

using namespace std::chrono_literals;

bool WriteProcFile(const char* path, const std::string& text) {
    sim::UniqueFd fd(::open(path, O_WRONLY | O_CLOEXEC));
    return fd && ::write(fd.Get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

bool LoopbackUp() {
    sim::UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    if (!fd || ::ioctl(fd.Get(), SIOCGIFFLAGS, &request) != 0) return false;
    request.ifr_flags |= IFF_UP | IFF_RUNNING;
    return ::ioctl(fd.Get(), SIOCSIFFLAGS, &request) == 0;
}

// Moves this process into a new network namespace holding only a loopback
// that is up (as root directly, else through a user namespace). Must run
// before the test starts any thread.
bool EnterPrivateNetwork() {
    if (::unshare(CLONE_NEWNET) != 0) {
        const uid_t uid = ::getuid();
        const gid_t gid = ::getgid();
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) return false;
        if (!WriteProcFile("/proc/self/setgroups", "deny") ||
            !WriteProcFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !WriteProcFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
            return false;
    }
    return LoopbackUp();
}

// An HTTP server on 127.0.0.1: body at path, 404 elsewhere; or, when
// silent, it accepts and never answers. Serves at most a few connections.
class LoopbackHttpServer {
public:
    LoopbackHttpServer(std::string path, std::string body, bool silent = false)
        : path_(std::move(path)), body_(std::move(body)), silent_(silent) {
        listener_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(listener_.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
            ::listen(listener_.Get(), 4) == 0 &&
            ::getsockname(listener_.Get(), reinterpret_cast<sockaddr*>(&addr), &len) == 0)
            port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~LoopbackHttpServer() {
        stop_ = true;
        thread_.join();
    }
    std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    int requests() const { return requests_; }

private:
    void Serve() {
        for (int served = 0; served < 8 && !stop_;) {
            pollfd p{listener_.Get(), POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            sim::UniqueFd client(::accept(listener_.Get(), nullptr, nullptr));
            if (!client) continue;
            ++served;
            ++requests_;
            std::string request = ReadHeader(client.Get());
            if (silent_) {
                while (!stop_) std::this_thread::sleep_for(10ms);
                return;
            }
            bool hit = request.rfind("GET " + path_ + " ", 0) == 0;
            std::string reply = hit ? "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body_.size()) +
                                          "\r\n\r\n" + body_
                                    : std::string("HTTP/1.0 404 Not Found\r\nContent-Length: 7\r\n\r\nmissing");
            ::send(client.Get(), reply.data(), reply.size(), MSG_NOSIGNAL);
        }
    }
    // The request up to its blank line, read for at most 2 s.
    std::string ReadHeader(int fd) {
        std::string request;
        char chunk[1024];
        for (int i = 0; i < 40 && request.find("\r\n\r\n") == std::string::npos; ++i) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) break;
            request.append(chunk, static_cast<size_t>(n));
        }
        return request;
    }

    std::string path_, body_;
    bool silent_;
    sim::UniqueFd listener_;
    int port_ = 0;
    std::atomic<int> requests_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A board root with the factory's files (the download tool's archive).
class BoardShell : public simtest::InProcessBoard {
public:
    BoardShell() : InProcessBoard(/*withFactory=*/true) {}
};

const char kUnpack[] = "/bin/tar zxvf /opt/lpc3250/usr/bin/wget.tgz -C /tmp/";

TEST(WgetArchive, HoldsTheHostWgetAsAnExecutableMember) {
    if (!simtest::Exists(sim::kHostWget)) GTEST_SKIP() << "no " << sim::kHostWget << " on this host";
    BoardShell board;
    ASSERT_TRUE(board.ready()) << board.error();
    ASSERT_EQ(board.Run(kUnpack), 0);
    EXPECT_EQ(::access(board.At("/tmp/wget").c_str(), X_OK), 0);
    EXPECT_EQ(simtest::ReadFile(board.At("/tmp/wget")), simtest::ReadFile(sim::kHostWget));
    EXPECT_EQ(board.CountRuns("tar zxvf " + board.At("/opt/lpc3250/usr/bin/wget.tgz")), 1u);
}

TEST(WgetArchive, MissingHostWgetFailsTheFactoryClearly) {
    simtest::TempDir dir;
    sim::RootLayout layout(dir.path());
    sim::OpLog log([] { return int64_t{0}; }, "");
    sim::ToolRunner tools(nullptr, &log);
    sim::Result<> prepared = layout.Prepare();
    ASSERT_TRUE(prepared) << prepared.error().Text();
    sim::Result<> installed = sim::FactoryInstall(layout, &tools, &log, dir.path() + "/no-wget");
    EXPECT_FALSE(installed);
    EXPECT_NE(installed.error().Text().find("package wget"), std::string::npos) << installed.error().Text();
    EXPECT_FALSE(simtest::Exists(dir.path() + "/opt/lpc3250/usr/bin/wget.tgz"));
}

class WgetDownload : public ::testing::Test {
protected:
    void SetUp() override {
        if (!simtest::Exists(sim::kHostWget)) GTEST_SKIP() << "no " << sim::kHostWget << " on this host";
        if (!EnterPrivateNetwork()) GTEST_SKIP() << "no private network namespace allowed here";
        // A proxy the board must not inherit: were it used, every download would fail.
        ::setenv("http_proxy", "http://127.0.0.1:1/", 1);
        ASSERT_TRUE(board.ready()) << board.error();
        ASSERT_EQ(board.Run(kUnpack), 0);
    }
    BoardShell board;
};

TEST_F(WgetDownload, FetchesIntoTheRootAndFailsOnMissingFiles) {
    const std::string body("PKG\0\x01\x02 payload", 14);
    LoopbackHttpServer server("/upgrade/app.bin", body);
    const std::string url = server.Url("/upgrade/app.bin");
    EXPECT_EQ(board.Run("/tmp/wget  --no-check-certificate " + url + " -O /tmp/upgrade_app.bin"), 0);
    EXPECT_EQ(simtest::ReadFile(board.At("/tmp/upgrade_app.bin")), body);
    EXPECT_EQ(board.CountRuns(board.At("/tmp/wget") + " --no-config --no-hsts --timeout=10 --tries=1 "
                             "--no-check-certificate " + url + " -O " + board.At("/tmp/upgrade_app.bin") +
                             " -> exit 0"),
              1u);

    int status = board.Run("/tmp/wget " + server.Url("/nothing") + " -O /tmp/other.bin");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << status;
}

TEST_F(WgetDownload, RefusedArgumentsReachNoServer) {
    LoopbackHttpServer server("/f", "x");
    for (const std::string& line : {"/tmp/wget " + server.Url("/a/../f") + " -O /tmp/out",
                                    "/tmp/wget " + server.Url("/f") + " -O/etc/x",
                                    "/tmp/wget " + server.Url("/f") + " -O /tmp/../../x"})
        EXPECT_EQ(board.Run(line), sim::ExitStatus(1)) << line;
    std::this_thread::sleep_for(100ms);  // a wrongly started download would have connected by now
    EXPECT_EQ(server.requests(), 0);
    EXPECT_FALSE(simtest::Exists(board.At("/tmp/out")));
}

TEST_F(WgetDownload, PowerOffEndsADownloadASilentServerHolds) {
    LoopbackHttpServer server("/f", "", true);
    auto start = std::chrono::steady_clock::now();
    std::future<int> status =
        std::async(std::launch::async, [&] { return board.Run("/tmp/wget " + server.Url("/f") + " -O /tmp/f"); });
    ASSERT_TRUE(simtest::WaitUntil([&] { return server.requests() == 1; }, 5s));
    board.PowerOff();
    ASSERT_EQ(status.wait_for(5s), std::future_status::ready);
    EXPECT_NE(status.get(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, sim::kDownloadTimeoutS * 1s);  // not the time-out
}

}  // namespace

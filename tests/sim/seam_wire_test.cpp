// The seam's side of the wire protocol against a scripted fake board: what
// each call sends (paths, flags, ioctl argument bytes), what it makes of
// each reply, descriptor passing, and that two threads never interleave a
// request and its reply on one device session.
#include <fcntl.h>
#include <linux/netlink.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "board/board.h"
#include "board/sim/protocol.h"
#include "board/sim/unix_socket.h"
#include "sim_harness.h"

namespace {

using namespace std::chrono_literals;
using sim::Message;
using sim::Op;

// Serves root/sim/board.sock; each connection runs handler(fd) on its own thread.
class FakeBoard {
public:
    using Handler = std::function<void(int fd)>;

    FakeBoard(const std::string& root, Handler handler) : handler_(std::move(handler)) {
        ::mkdir((root + "/sim").c_str(), 0755);
        listener_ = sim::ListenUnix(root + "/sim/board.sock", SOCK_SEQPACKET | SOCK_CLOEXEC, 16);
        accept_ = std::thread([this] { AcceptLoop(); });
    }
    ~FakeBoard() {
        stop_ = true;
        accept_.join();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (auto& c : connections_) ::shutdown(c.fd.Get(), SHUT_RDWR);
        }
        for (auto& c : connections_) c.thread.join();
    }
    int connections() {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<int>(connections_.size());
    }

private:
    struct Connection {
        sim::UniqueFd fd;
        std::thread thread;
    };
    void AcceptLoop() {
        while (!stop_) {
            pollfd p{listener_.Get(), POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            int fd = ::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            std::lock_guard<std::mutex> lock(mutex_);
            // Ends its side when done, as the board does: a close waits for it.
            connections_.push_back({sim::UniqueFd(fd), std::thread([this, fd] {
                                        handler_(fd);
                                        ::shutdown(fd, SHUT_RDWR);
                                    })});
        }
    }
    Handler handler_;
    sim::UniqueFd listener_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::list<Connection> connections_;
    std::thread accept_;
};

struct Packet {
    Message msg;
    std::string payload;
};

bool Receive(int fd, Packet* packet) {
    std::vector<char> buf(sim::kMaxPayload);
    size_t len = 0;
    if (sim::RecvPacket(fd, &packet->msg, buf.data(), buf.size(), &len) != sim::RecvStatus::kPacket) return false;
    packet->payload.assign(buf.data(), len);
    return true;
}

void ReplySession(int fd) {
    Message reply = sim::Reply(0);
    reply.flags = static_cast<uint32_t>(sim::OpenAnswer::kSession);
    sim::SendPacket(fd, reply);
}

class SeamWire : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("PATERM_ROOT", root.path().c_str(), 1); }
    simtest::TempDir root;
};

TEST(IoctlLayout, FollowsTheIocEncoding) {
    struct Pair {
        uint32_t a, b;
    };
    static_assert(sim::IoctlLayout(_IOWR('T', 1, Pair)).size == 8);
    constexpr sim::IoctlArgLayout both = sim::IoctlLayout(_IOWR('W', 6, int));  // WDIOC_SETTIMEOUT
    EXPECT_TRUE(both.copyIn && both.copyOut);
    EXPECT_EQ(both.size, 4u);
    constexpr sim::IoctlArgLayout in = sim::IoctlLayout(0x40047800);  // the control device's set-pid request
    EXPECT_TRUE(in.copyIn && !in.copyOut);
    EXPECT_EQ(in.size, 4u);
    constexpr sim::IoctlArgLayout out = sim::IoctlLayout(_IOR('W', 7, int));
    EXPECT_TRUE(out.copyIn && out.copyOut);  // a read request may carry input too
    constexpr sim::IoctlArgLayout plain = sim::IoctlLayout(0x0703);  // I2C_SLAVE: a plain int
    EXPECT_EQ(plain.size, 0u);
    EXPECT_FALSE(plain.copyIn || plain.copyOut);
}

TEST_F(SeamWire, OpenSendsTheNormalisedPathAndFlags) {
    std::mutex mutex;
    Packet seen;
    FakeBoard fake(root.path(), [&](int fd) {
        Packet p;
        if (!Receive(fd, &p)) return;
        {
            std::lock_guard<std::mutex> lock(mutex);
            seen = p;
        }
        if (p.payload == "/dev/missing") sim::SendPacket(fd, sim::Reply(-1, ENODEV));
        else ReplySession(fd);
    });
    int fd = board::Open("/dev/../dev/./fake", O_RDWR | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(seen.msg.op, static_cast<uint32_t>(Op::kOpen));
        EXPECT_EQ(seen.payload, "/dev/fake");
        EXPECT_EQ(static_cast<int>(seen.msg.flags), O_RDWR | O_NONBLOCK);
    }
    board::Close(fd);
    errno = 0;
    EXPECT_EQ(board::Open("/dev/missing", O_RDONLY), -1);
    EXPECT_EQ(errno, ENODEV);
    // Files are never a round trip.
    int before = fake.connections();
    int file = board::Open("/plain", O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(file, 0);
    board::Close(file);
    EXPECT_EQ(fake.connections(), before);
}

// A session that answers ioctls by a rule: the request number decides.
void IoctlBoard(int fd, std::vector<Packet>* seen, std::mutex* mutex) {
    Packet open;
    if (!Receive(fd, &open)) return;
    ReplySession(fd);
    Packet p;
    while (Receive(fd, &p)) {
        {
            std::lock_guard<std::mutex> lock(*mutex);
            seen->push_back(p);
        }
        std::string out = p.payload;
        for (char& c : out) c = static_cast<char>(c + 1);
        if (out.empty()) out = std::string("\x2A\0\0\0", 4);
        if (_IOC_NR(p.msg.arg0) == 9) sim::SendPacket(fd, sim::Reply(-1, EBUSY), out.data(), out.size());
        else sim::SendPacket(fd, sim::Reply(7), out.data(), out.size());
    }
}

TEST_F(SeamWire, IoctlCarriesArgumentBytesByDirection) {
    std::mutex mutex;
    std::vector<Packet> seen;
    FakeBoard fake(root.path(), [&](int fd) { IoctlBoard(fd, &seen, &mutex); });
    int fd = board::Open("/dev/fake", O_RDWR);
    ASSERT_GE(fd, 0);

    unsigned char both[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(board::Ioctl(fd, _IOWR('T', 1, both), both), 7);
    EXPECT_EQ(both[0], 2);  // copied back
    EXPECT_EQ(both[7], 9);

    EXPECT_EQ(board::Ioctl(fd, 0x0703, reinterpret_cast<void*>(0x50)), 7);  // I2C_SLAVE, address 0x50

    int out = 1;  // a read request carrying input, as a GPIO read carries the pin
    EXPECT_EQ(board::Ioctl(fd, _IOR('T', 2, int), &out), 7);
    EXPECT_EQ(out, 0x01010102);  // each byte plus one: the board's bytes

    int in = 5;
    EXPECT_EQ(board::Ioctl(fd, _IOW('T', 3, int), &in), 7);
    EXPECT_EQ(in, 5);  // the board's bytes are not copied into a write-only argument

    int kept = 100;
    errno = 0;
    EXPECT_EQ(board::Ioctl(fd, _IOWR('T', 9, int), &kept), -1);
    EXPECT_EQ(errno, EBUSY);
    EXPECT_EQ(kept, 100);  // a failed request leaves the argument alone

    EXPECT_EQ(board::Ioctl(fd, _IOR('T', 4, int), nullptr), 7);  // no bytes to copy, no crash
    board::Close(fd);

    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(seen.size(), 6u);
    EXPECT_EQ(seen[0].payload, std::string("\1\2\3\4\5\6\7\x8", 8));
    EXPECT_EQ(seen[0].msg.arg0, static_cast<uint64_t>(_IOWR('T', 1, both)));
    EXPECT_EQ(seen[1].msg.arg1, 0x50u);
    EXPECT_EQ(seen[1].payload, "");
    EXPECT_EQ(seen[2].payload, std::string("\1\0\0\0", 4));  // read: the int goes in as well
    EXPECT_EQ(seen[3].payload, std::string("\5\0\0\0", 4));  // write: the int goes in
    EXPECT_EQ(seen[5].payload, "");
    EXPECT_EQ(seen[5].msg.arg1, 0u);
}

TEST_F(SeamWire, ReadAndWriteAreRequestAndReply) {
    std::atomic<uint64_t> asked{0};
    std::mutex mutex;
    std::string written;
    FakeBoard fake(root.path(), [&](int fd) {
        Packet p;
        if (!Receive(fd, &p)) return;
        ReplySession(fd);
        while (Receive(fd, &p)) {
            if (p.msg.op == static_cast<uint32_t>(Op::kWrite)) {
                std::lock_guard<std::mutex> lock(mutex);
                written += p.payload;
                sim::SendPacket(fd, sim::Reply(static_cast<int64_t>(p.payload.size())));
            } else {
                asked = p.msg.arg0;
                sim::SendPacket(fd, sim::Reply(5), "hello", 5);
            }
        }
    });
    int fd = board::Open("/dev/fake", O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(board::Write(fd, "feed", 4), 4);
    std::vector<char> big(sim::kMaxPayload + 100, 'x');
    EXPECT_EQ(board::Write(fd, big.data(), big.size()), static_cast<ssize_t>(sim::kMaxPayload));  // partial
    char buf[16] = {};
    EXPECT_EQ(board::Read(fd, buf, sizeof buf), 5);
    EXPECT_STREQ(buf, "hello");
    EXPECT_EQ(asked.load(), sizeof buf);
    EXPECT_EQ(board::Read(fd, big.data(), big.size()), 5);
    EXPECT_EQ(asked.load(), sim::kMaxPayload);
    board::Close(fd);
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(written.size(), 4 + sim::kMaxPayload);
    EXPECT_EQ(written.substr(0, 4), "feed");
}

TEST_F(SeamWire, TwoThreadsNeverGetEachOthersReplies) {
    FakeBoard fake(root.path(), [&](int fd) {
        Packet p;
        if (!Receive(fd, &p)) return;
        ReplySession(fd);
        while (Receive(fd, &p)) {
            std::this_thread::sleep_for(50us);  // widen the window between request and reply
            sim::SendPacket(fd, sim::Reply(static_cast<int64_t>(p.payload.size())));
        }
    });
    int fd = board::Open("/dev/fake", O_RDWR);
    ASSERT_GE(fd, 0);
    std::atomic<int> mismatches{0};
    auto writer = [&](size_t len) {
        std::string data(len, 'w');
        for (int i = 0; i < 300; ++i)
            if (board::Write(fd, data.data(), len) != static_cast<ssize_t>(len)) ++mismatches;
    };
    std::thread a(writer, 3), b(writer, 5);
    a.join();
    b.join();
    EXPECT_EQ(mismatches.load(), 0);
    board::Close(fd);
}

TEST_F(SeamWire, PassedDescriptorIsTheDevice) {
    std::string file = root.path() + "/eeprom-image";
    simtest::WriteFile(file, "DEVICE-ID!");
    FakeBoard fake(root.path(), [&](int fd) {
        Packet p;
        if (!Receive(fd, &p)) return;
        sim::UniqueFd device(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
        Message reply = sim::Reply(0);
        reply.flags = static_cast<uint32_t>(sim::OpenAnswer::kDescriptor);
        sim::SendPacket(fd, reply, nullptr, 0, device.Get());
    });
    int fd = board::Open("/dev/i2c-eeprom0", O_RDONLY);
    ASSERT_GE(fd, 0);
    char buf[11] = {};
    EXPECT_EQ(::lseek(fd, 0, SEEK_SET), 0);  // a real file descriptor
    EXPECT_EQ(board::Read(fd, buf, 10), 10);
    EXPECT_STREQ(buf, "DEVICE-ID!");
    EXPECT_EQ(board::Close(fd), 0);
}

TEST_F(SeamWire, CloseEndsTheSessionAndALostBoardIsAnIoError) {
    std::atomic<bool> ended{false};
    FakeBoard fake(root.path(), [&](int fd) {
        Packet p;
        if (!Receive(fd, &p)) return;
        ReplySession(fd);
        if (p.payload == "/dev/dies") {  // the board goes away
            ::shutdown(fd, SHUT_RDWR);
            return;
        }
        while (Receive(fd, &p)) {
        }
        ended = true;
    });
    int fd = board::Open("/dev/fake", O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(board::Close(fd), 0);
    EXPECT_TRUE(simtest::WaitUntil([&] { return ended.load(); }, 2s));

    int dying = board::Open("/dev/dies", O_RDWR);
    ASSERT_GE(dying, 0);
    errno = 0;
    EXPECT_EQ(board::Write(dying, "x", 1), -1);
    EXPECT_EQ(errno, EIO);
    board::Close(dying);
}

TEST_F(SeamWire, NetlinkSocketBindsSendsAndReceivesRecords) {
    std::mutex mutex;
    std::vector<Packet> seen;
    FakeBoard fake(root.path(), [&](int fd) {
        Packet p;
        if (!Receive(fd, &p)) return;
        if (p.msg.op != static_cast<uint32_t>(Op::kNetlink) || p.msg.arg0 != 21) return;
        sim::SendPacket(fd, sim::Reply(0));
        for (int i = 0; i < 2 && Receive(fd, &p); ++i) {
            std::lock_guard<std::mutex> lock(mutex);
            seen.push_back(p);
        }
        std::string record(16, '\0');
        record += "\x02\x0B";
        sim::SendPacket(fd, sim::Request(Op::kNetlinkRecord), record.data(), record.size());
        sim::SendPacket(fd, sim::Request(Op::kNetlinkRecord), record.data(), record.size());
        Message forged = sim::Request(Op::kNetlinkRecord);
        forged.arg0 = 777;  // from another port than the kernel's
        sim::SendPacket(fd, forged, record.data(), record.size());
        while (Receive(fd, &p)) {
        }
    });
    int before = fake.connections();
    int route = board::NetlinkSocket(NETLINK_ROUTE);
    EXPECT_GE(route, 0);
    EXPECT_EQ(fake.connections(), before);  // this namespace's socket, not the board's
    board::Close(route);

    int fd = board::NetlinkSocket(21);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(board::NetlinkBind(fd, 4242), 0);
    char hello[16] = {16};
    EXPECT_EQ(board::NetlinkSend(fd, hello, sizeof hello), 16);
    unsigned char buf[8208] = {};
    EXPECT_EQ(board::NetlinkRecv(fd, buf, sizeof buf), 18);
    EXPECT_EQ(buf[16], 2);
    EXPECT_EQ(buf[17], 11);
    unsigned char small[17] = {};
    EXPECT_EQ(board::NetlinkRecv(fd, small, sizeof small), 17);  // cut to the buffer, as netlink does
    uint32_t sender = 0;
    EXPECT_EQ(board::NetlinkRecvFrom(fd, buf, sizeof buf, &sender), 18);
    EXPECT_EQ(sender, 777u);
    board::Close(fd);
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].msg.op, static_cast<uint32_t>(Op::kNetlinkBind));
    EXPECT_EQ(seen[0].msg.arg0, 4242u);
    EXPECT_EQ(seen[1].msg.op, static_cast<uint32_t>(Op::kNetlinkSend));
    EXPECT_EQ(seen[1].payload.size(), 16u);
}

TEST_F(SeamWire, ClockAndShellGoToTheBoard) {
    std::mutex mutex;
    std::vector<Packet> seen;
    FakeBoard fake(root.path(), [&](int fd) {
        Packet p;
        if (!Receive(fd, &p)) return;
        {
            std::lock_guard<std::mutex> lock(mutex);
            seen.push_back(p);
        }
        Message reply = sim::Reply(p.msg.op == static_cast<uint32_t>(Op::kSystem) ? 0x100 : 0);
        reply.arg0 = static_cast<uint64_t>(int64_t{3600} * 1000000);  // the board's clock is an hour ahead
        sim::SendPacket(fd, reply);
    });
    struct timeval now = {}, host = {};
    ASSERT_EQ(board::GetTimeOfDay(&now), 0);
    ::gettimeofday(&host, nullptr);
    EXPECT_LE(std::labs(now.tv_sec - host.tv_sec - 3600), 2);

    struct timeval set = {1234, 5};
    EXPECT_EQ(board::SetTimeOfDay(&set), 0);
    struct timeval bad = {1, 1000000};
    errno = 0;
    EXPECT_EQ(board::SetTimeOfDay(&bad), -1);
    EXPECT_EQ(errno, EINVAL);

    EXPECT_EQ(board::System("/tmp/wget  --no-check-certificate http://1.2.3.4/x -O /tmp/y"), 0x100);
    EXPECT_EQ(board::System(nullptr), 1);  // the board has a shell

    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(seen.size(), 3u);  // get, set, system; System(nullptr) only connects
    EXPECT_EQ(seen[1].msg.op, static_cast<uint32_t>(Op::kClockSet));
    EXPECT_EQ(seen[1].msg.arg0, 1234u);
    EXPECT_EQ(seen[1].msg.arg1, 5u);
    EXPECT_EQ(seen[2].payload, "/tmp/wget  --no-check-certificate http://1.2.3.4/x -O /tmp/y");
}

}  // namespace

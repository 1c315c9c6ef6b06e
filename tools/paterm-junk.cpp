// paterm-junk: floods a terminal's UDP ports with junk datagrams at a set
// rate, bounded in time and count, and says what it achieved. For the
// flood tests and for trying a terminal by hand, inside a private network
// (tools/netns): it sends only to the one address it is given.
//
//   paterm-junk --to 127.0.0.1 --ports 8205,7805,8207,8690 --rate 10000 --seconds 5
//
// Every port gets --rate datagrams a second, in turn. A datagram is
// --min-size to --max-size random bytes from a SplitMix64 stream of --seed
// (the same seed sends the same junk); one in two is shaped like a network
// frame (both heads, a length that fits, the tail) with a checksum that
// never matches, so it reaches the frame check rather than the first byte.
// Ends after --seconds or after --count datagrams in all, whichever comes
// first, and prints one line: datagrams sent, failed sends, seconds, rate.
// Exit status 0 when it ran, 2 for a usage error or no socket.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "net/net_frame.h"

namespace {

constexpr size_t kMaxDatagram = 65507;
constexpr uint64_t kMaxSeconds = 600;
constexpr size_t kBatch = 64;  // datagrams per sendmmsg
constexpr auto kTick = std::chrono::milliseconds(1);

struct Options {
    in_addr to{};
    bool haveTo = false;
    std::vector<uint16_t> ports;
    uint64_t rate = 1000;  // per port, per second
    double seconds = 5;
    uint64_t count = 0;  // 0: rate × ports × seconds
    uint64_t seed = 1;
    size_t minSize = 0;
    size_t maxSize = 1472;
};

int Usage() {
    std::fputs("usage: paterm-junk --to ADDR --ports P[,P...] [--rate N] [--seconds S] [--count N]\n"
               "                   [--seed N] [--min-size B] [--max-size B]\n"
               "  --to ADDR      the terminal's IPv4 address (inside a private network)\n"
               "  --ports LIST   UDP ports, comma-separated\n"
               "  --rate N       datagrams a second to each port (default 1000)\n"
               "  --seconds S    how long, at most 600 (default 5)\n"
               "  --count N      datagrams in all at most (default rate x ports x seconds)\n"
               "  --seed N       the junk's seed (default 1)\n"
               "  --min-size B, --max-size B   datagram sizes, 0 to 65507 (default 0 and 1472)\n",
               stderr);
    return 2;
}

bool Unsigned(const char* text, uint64_t max, uint64_t* out) {
    if (text == nullptr || *text == '\0') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || v > max || text[0] == '-') return false;
    *out = v;
    return true;
}

bool ParsePorts(const std::string& list, std::vector<uint16_t>* ports) {
    size_t at = 0;
    while (at <= list.size()) {
        const size_t comma = std::min(list.find(',', at), list.size());
        uint64_t port = 0;
        if (!Unsigned(list.substr(at, comma - at).c_str(), 65535, &port) || port == 0) return false;
        ports->push_back(static_cast<uint16_t>(port));
        at = comma + 1;
    }
    return !ports->empty();
}

bool Parse(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        const char* value = i + 1 < argc ? argv[++i] : nullptr;
        uint64_t n = 0;
        if (value == nullptr) return false;
        if (name == "--to") {
            o->haveTo = ::inet_pton(AF_INET, value, &o->to) == 1;
            if (!o->haveTo) return false;
        } else if (name == "--ports") {
            if (!ParsePorts(value, &o->ports)) return false;
        } else if (name == "--rate") {
            if (!Unsigned(value, 1000000, &o->rate) || o->rate == 0) return false;
        } else if (name == "--seconds") {
            char* end = nullptr;
            o->seconds = std::strtod(value, &end);
            if (*end != '\0' || !(o->seconds > 0) || o->seconds > kMaxSeconds) return false;
        } else if (name == "--count") {
            if (!Unsigned(value, UINT64_MAX, &o->count)) return false;
        } else if (name == "--seed") {
            if (!Unsigned(value, UINT64_MAX, &o->seed)) return false;
        } else if (name == "--min-size") {
            if (!Unsigned(value, kMaxDatagram, &n)) return false;
            o->minSize = n;
        } else if (name == "--max-size") {
            if (!Unsigned(value, kMaxDatagram, &n)) return false;
            o->maxSize = n;
        } else {
            return false;
        }
    }
    return o->haveTo && !o->ports.empty() && o->minSize <= o->maxSize;
}

uint64_t SplitMix64(uint64_t* state) {
    uint64_t z = (*state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// One junk datagram into out (resized to its length).
void MakeJunk(uint64_t* state, const Options& o, std::vector<uint8_t>* out) {
    const size_t span = o.maxSize - o.minSize + 1;
    const size_t size = o.minSize + static_cast<size_t>(SplitMix64(state) % span);
    out->resize(size);
    for (size_t i = 0; i < size; i += 8) {
        const uint64_t r = SplitMix64(state);
        std::memcpy(out->data() + i, &r, std::min<size_t>(8, size - i));
    }
    const bool shaped = (SplitMix64(state) & 1) != 0;
    if (!shaped || size < kNetFrameOverhead) return;
    uint8_t* b = out->data();
    const size_t len = size - 5;
    b[0] = kNetFrameHead;
    b[1] = static_cast<uint8_t>(len);
    b[2] = static_cast<uint8_t>(len >> 8);
    b[3] = kNetFrameHead;
    b[size - 1] = kNetFrameTail;
    unsigned sum = 0;
    for (size_t i = 4; i < size - 2; ++i) sum += b[i];
    b[size - 2] = static_cast<uint8_t>(sum + 1 + (SplitMix64(state) % 255));  // never the checksum
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!Parse(argc, argv, &o)) return Usage();
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::perror("paterm-junk: socket");
        return 2;
    }
    const int sendBuffer = 4 << 20;
    (void)::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);

    const uint64_t perSecond = o.rate * o.ports.size();
    const uint64_t byTime = static_cast<uint64_t>(static_cast<double>(perSecond) * o.seconds);
    const uint64_t limit = o.count != 0 ? std::min(o.count, byTime) : byTime;

    std::vector<sockaddr_in> targets(o.ports.size());
    for (size_t i = 0; i < o.ports.size(); ++i) {
        targets[i].sin_family = AF_INET;
        targets[i].sin_addr = o.to;
        targets[i].sin_port = htons(o.ports[i]);
    }
    std::vector<std::vector<uint8_t>> bodies(kBatch);
    std::vector<iovec> iov(kBatch);
    std::vector<mmsghdr> msgs(kBatch);

    uint64_t state = o.seed, sent = 0, failed = 0, next = 0;
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                 std::chrono::duration<double>(o.seconds));
    while (next < limit) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= end) break;
        const double elapsed = std::chrono::duration<double>(now - start).count();
        const uint64_t due = std::min(limit, static_cast<uint64_t>(elapsed * static_cast<double>(perSecond)) + 1);
        while (next < due && std::chrono::steady_clock::now() < end) {
            const size_t batch = static_cast<size_t>(std::min<uint64_t>(kBatch, due - next));
            for (size_t i = 0; i < batch; ++i) {
                MakeJunk(&state, o, &bodies[i]);
                iov[i] = {bodies[i].data(), bodies[i].size()};
                std::memset(&msgs[i], 0, sizeof msgs[i]);
                msgs[i].msg_hdr.msg_name = &targets[(next + i) % targets.size()];
                msgs[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
                msgs[i].msg_hdr.msg_iov = &iov[i];
                msgs[i].msg_hdr.msg_iovlen = 1;
            }
            size_t done = 0;
            while (done < batch) {
                const int n = ::sendmmsg(fd, msgs.data() + done, static_cast<unsigned>(batch - done), 0);
                if (n > 0) {
                    done += static_cast<size_t>(n);
                    continue;
                }
                if (n < 0 && errno == EINTR) continue;
                ++done;  // this datagram failed (a refused port reports ECONNREFUSED): skip it
                ++failed;
            }
            sent += batch;
            next += batch;
        }
        std::this_thread::sleep_for(kTick);
    }
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ::close(fd);
    std::printf("paterm-junk: %llu datagrams to %zu ports, %llu failed, %.3f s, %.0f datagrams/s\n",
                static_cast<unsigned long long>(sent), o.ports.size(), static_cast<unsigned long long>(failed),
                took, took > 0 ? static_cast<double>(sent - failed) / took : 0.0);
    return 0;
}

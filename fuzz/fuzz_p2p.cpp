// The peer link on port 8207: link requests, probes and link data with the
// download operations, one input being a whole conversation. Downloads are
// written under the board root; each input starts with no link and no
// download, so a crash replays from its input alone.
#include <arpa/inet.h>

#include "fuzz/fuzz_support.h"
#include "net/p2p.h"

namespace {
uint32_t gQueue = 0;
constexpr size_t kPeerDatagramMax = kP2PBufferSize - 1;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::EnterPrivateNetworkOrDie();
    gQueue = fuzzsupport::LoadTerminal();
    P2PStart();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_port = htons(40000);
    from.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (const fuzzsupport::Bytes& datagram : fuzzsupport::Datagrams(data, size, kPeerDatagramMax, 32)) {
        P2PHandle(datagram.data(), datagram.size(), from);
        P2PLinkTick();
    }
    P2PDownloadClear();
    P2PLinkReset();
    fuzzsupport::DrainQueue(gQueue);
    return 0;
}

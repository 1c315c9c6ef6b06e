// Server commands on port 8205: each datagram of the input goes to the
// handler the command receive task calls, with the player queue in place.
// SET_NET_PARAM writes the EEPROM under the board root; the upgrade URL and
// the reboot reach the standalone seam, which runs no shell.
#include <arpa/inet.h>

#include "fuzz/fuzz_support.h"
#include "net/net.h"
#include "net/server_cmd.h"

namespace {
uint32_t gQueue = 0;
constexpr size_t kCmdDatagramMax = 1023;  // the task's 1024-byte buffer, less one
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::EnterPrivateNetworkOrDie();
    gQueue = fuzzsupport::LoadTerminal();
    gServerIp.store(htonl(INADDR_LOOPBACK));  // version answers stay inside the namespace
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (const fuzzsupport::Bytes& datagram : fuzzsupport::Datagrams(data, size, kCmdDatagramMax, 16))
        ServerCmdHandle(datagram.data(), datagram.size());
    fuzzsupport::DrainQueue(gQueue);
    return 0;
}

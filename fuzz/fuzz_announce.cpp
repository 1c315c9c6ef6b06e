// The announcement group: server announcements (address and clock),
// discovery, and the administrator's login that sets the network
// parameters, each datagram handed to the group task's handler. The login
// is checked against a web password file on the board root; answers go to
// the group inside the private network.
#include <arpa/inet.h>
#include <crypt.h>

#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "net/announce.h"

namespace {
uint32_t gQueue = 0;
constexpr size_t kAnnounceDatagramMax = kAnnounceBufferSize - 1;

// "super" with the password "admin", hashed with a cheap scheme so that a
// login costs the fuzzer little.
void WritePasswordFile() {
    crypt_data work{};
    const char* hash = crypt_r("admin", "ab", &work);
    if (hash == nullptr || hash[0] == '*') hash = crypt_r("admin", "$1$fuzz$", &work);
    const std::string line = std::string("super:") + (hash ? hash : "x") + "\n";
    fuzzsupport::WriteFile(kWebPasswordPath, reinterpret_cast<const uint8_t*>(line.data()), line.size());
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::EnterPrivateNetworkOrDie();
    gQueue = fuzzsupport::LoadTerminal();
    WritePasswordFile();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_port = htons(7805);
    from.sin_addr.s_addr = htonl(0x7F000005);
    for (const fuzzsupport::Bytes& datagram : fuzzsupport::Datagrams(data, size, kAnnounceDatagramMax, 16))
        AnnounceHandle(datagram.data(), datagram.size(), from);
    fuzzsupport::DrainQueue(gQueue);
    return 0;
}

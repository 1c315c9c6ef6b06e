// The CGI channel on 127.0.0.1:8690: each datagram goes to the handler the
// CGI receive task calls; state replies go to port 8691 inside the private
// network.
#include "fuzz/fuzz_support.h"
#include "net/cgi_channel.h"

namespace {
uint32_t gQueue = 0;
constexpr size_t kCgiDatagramMax = 1023;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::EnterPrivateNetworkOrDie();
    gQueue = fuzzsupport::LoadTerminal();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (const fuzzsupport::Bytes& datagram : fuzzsupport::Datagrams(data, size, kCgiDatagramMax, 16))
        CgiInfoHandle(datagram.data(), datagram.size());
    fuzzsupport::DrainQueue(gQueue);
    return 0;
}

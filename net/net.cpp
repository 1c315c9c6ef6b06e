// The UDP endpoints: socket helpers of the receive tasks, the server address
// state, and the one send socket with its shared frame buffer.
#include "net/net.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "net/net_frame.h"
#include "player/settings.h"
#include "runtime/odwrap.h"

pthread_mutex_t gSendMutex = PTHREAD_MUTEX_INITIALIZER;
std::atomic<uint32_t> gServerIp{0};
std::atomic<int> gServerFixed{0};
uint32_t gServerLostCnt;

namespace {

int gSendSock = -1;  // under gSendMutex
uint8_t gSendBuffer[kNetSendBufferSize];

void PrintError(const char* text) {
    printf("Error:  ");
    puts(text);
}

void PrintSockoptError(int sock, int result) {
    printf("Error:  ");
    printf("setsockopt: %d  %d\n", sock, result);
}

sockaddr_in Address(uint32_t networkIp, uint16_t port) {
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = networkIp;
    return addr;
}

bool Bind(int sock, uint32_t hostAddr, uint16_t port) {
    const sockaddr_in addr = Address(htonl(hostAddr), port);
    return bind(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
}

bool SetReuseAddr(int sock) {
    const int on = 1;
    const int result = setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (result != 0) PrintSockoptError(sock, result);
    return result == 0;
}

int Membership(int sock, uint32_t group, int option) {
    ip_mreq request;
    std::memset(&request, 0, sizeof request);
    request.imr_multiaddr.s_addr = htonl(group);
    request.imr_interface.s_addr = htonl(INADDR_ANY);
    return setsockopt(sock, IPPROTO_IP, option, &request, sizeof request);
}

bool SetReceiveTimeout(int sock, uint32_t timeoutUs) {
    timeval timeout;
    timeout.tv_sec = static_cast<time_t>(timeoutUs / 1000000);
    timeout.tv_usec = static_cast<suseconds_t>(timeoutUs % 1000000);
    return setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0;
}

// Under gSendMutex: the send socket, created when missing.
bool EnsureSendSock() {
    if (gSendSock >= 0) return true;
    gSendSock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (gSendSock >= 0) return true;
    PrintError("SendDataToServer: Create Sending socket failed");
    return false;
}

// Under gSendMutex: the frame in the shared buffer goes out, or the socket is
// dropped so that the next frame leaves from a new one.
void SendFrame(size_t frameLength, uint32_t ip, uint16_t port) {
    const sockaddr_in to = Address(ip, port);
    if (sendto(gSendSock, gSendBuffer, frameLength, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&to),
               sizeof to) >= 0)
        return;
    PrintError("SendDataToPeer failed");
    close(gSendSock);
    gSendSock = -1;
}

}  // namespace

int UdpBindSock(uint16_t port, uint32_t hostAddr) {
    // Descriptor 0 is a valid socket (standard input may be closed).
    const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) return -1;
    if (!SetReuseAddr(sock) || !Bind(sock, hostAddr, port)) {
        close(sock);
        return -1;
    }
    return sock;
}

int McastJoinSock(uint32_t group, uint16_t port, uint32_t timeoutUs) {
    const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        PrintError("socket creating err in udptalk");
        return -1;
    }
    const int joined = Membership(sock, group, IP_ADD_MEMBERSHIP);
    if (joined != 0) PrintSockoptError(sock, joined);
    bool ok = joined == 0 && SetReuseAddr(sock);
    if (ok && !Bind(sock, INADDR_ANY, port)) {
        PrintError("Bind error");
        ok = false;
    }
    if (ok && timeoutUs != 0 && !SetReceiveTimeout(sock, timeoutUs)) {
        PrintError("set timeout error");
        ok = false;
    }
    if (ok) return sock;
    close(sock);
    return -1;
}

void McastLeaveSock(int sock, uint32_t group) {
    Membership(sock, group, IP_DROP_MEMBERSHIP);
    close(sock);
}

void SendDataToPeer(uint32_t ip, uint16_t port, uint8_t cmd, const void* payload, size_t n) {
    if (ip == 0 || ip == INADDR_BROADCAST || port == 0) return;
    if (n > kNetMaxPayload) {
        PrintError("SendDataToPeer: payload too long");
        return;
    }
    MutexLock(&gSendMutex);
    if (EnsureSendSock()) {
        const size_t frameLength = NetFrameBuild(gSendBuffer, sizeof gSendBuffer, cmd,
                                                 reinterpret_cast<const uint8_t*>(GetDeviceId()),
                                                 static_cast<const uint8_t*>(payload), n);
        SendFrame(frameLength, ip, port);
    }
    MutexUnlock(&gSendMutex);
}

void SendDataToServer(uint8_t cmd, const void* payload, size_t n) {
    const uint32_t server = gServerIp.load(std::memory_order_relaxed);
    if (server == 0) {
        puts("SendDataToServer: Server IP is invalid");
        return;
    }
    SendDataToPeer(server, kServerPort, cmd, payload, n);
}

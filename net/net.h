// The terminal's UDP endpoints: ports and addresses, the server address
// state, the one send socket every frame leaves from, the socket helpers of
// the receive tasks, and the network start-up.
//
// Frames to the server and to peers go through SendDataToPeer, which builds
// the NetFrame envelope (net/net_frame.h) around the payload. Receive tasks
// are rows of a table (net/net_recv.h): a socket opener, a buffer and a
// datagram handler each.
#ifndef PATERM_NET_NET_H
#define PATERM_NET_NET_H

#include <netinet/in.h>
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

// Ports (host order) and the announcement group (host-order address).
constexpr uint16_t kServerCmdPort = 8205;      // server commands to the terminal
constexpr uint16_t kServerPort = 8206;         // status report, version answer
constexpr uint16_t kPeerPort = 8207;           // peer link
constexpr uint16_t kAnnouncePort = 7805;       // group announcements to the terminals
constexpr uint16_t kAnnounceAnswerPort = 7806; // answers to the group
constexpr uint16_t kCgiPort = 8690;            // CGI programs to the terminal, on 127.0.0.1
constexpr uint16_t kCgiReplyPort = 8691;       // the terminal's answers to the CGI programs
constexpr uint32_t kAnnounceGroup = 0xE70A0554;  // 231.10.5.84

// The shared frame buffer holds 1024 bytes: payloads up to 1007 bytes.
constexpr size_t kNetSendBufferSize = 1024;
constexpr size_t kNetMaxPayload = kNetSendBufferSize - 17;

// Serialises every frame send (socket, shared frame buffer) and every change
// of the server address state. Never held together with the peer link's mutex.
extern pthread_mutex_t gSendMutex;

// The server's IPv4 address in network byte order, 0 when none is known.
// Changed only under gSendMutex; read without it (by SendDataToServer and the
// encoder task), hence atomic.
extern std::atomic<uint32_t> gServerIp;
// 1 when the EEPROM holds the server address, else 0. Set once at start-up,
// after the manager task already runs, which reads it for its reports.
extern std::atomic<int> gServerFixed;
// Status periods since the last accepted announcement; under gSendMutex.
extern uint32_t gServerLostCnt;

// Start-up: the send mutex, the server address from the EEPROM, then the
// receive tasks. Always 0; a task that cannot start is reported and absent.
int PlayerNetStart(void);

// A UDP socket with SO_REUSEADDR bound to hostAddr (host order, any address
// by default) and port: the socket, or -1. Close-on-exec, so no shell child
// of the program holds a terminal port.
int UdpBindSock(uint16_t port, uint32_t hostAddr = INADDR_ANY);

// A UDP socket bound to port that has joined group (host order) on any
// interface, with a receive timeout when timeoutUs is not 0: the socket, or -1.
int McastJoinSock(uint32_t group, uint16_t port, uint32_t timeoutUs);
// Leaves the group (result ignored) and closes the socket.
void McastLeaveSock(int sock, uint32_t group);

// Sends one frame of cmd and payload (null when n is 0) to ip (network
// order):port (host order). Address 0 or 255.255.255.255 or port 0 drops the
// frame silently; a payload over kNetMaxPayload is dropped with a message. A
// failed send drops the frame and the next send uses a new socket.
void SendDataToPeer(uint32_t ip, uint16_t port, uint8_t cmd, const void* payload, size_t n);
// SendDataToPeer to the server's port 8206; without a server address the
// frame is dropped with "SendDataToServer: Server IP is invalid".
void SendDataToServer(uint8_t cmd, const void* payload, size_t n);

#endif  // PATERM_NET_NET_H

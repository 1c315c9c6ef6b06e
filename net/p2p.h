// The peer link on port 8207: one link at a time with a peer that knows the
// terminal's identifier, queries, and the download of an application
// archive or a kernel image block by block, installed through the upgrade
// library.
#ifndef PATERM_NET_P2P_H
#define PATERM_NET_P2P_H

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

enum : uint8_t {
    P2P_CMD_DATA = 0xA0,
    P2P_CMD_LINK = 0xA1,
    P2P_CMD_PROBE = 0xA2,
};

// Link requests (payload byte 1) and answers (payload byte 1 of the answer).
enum : uint8_t {
    P2P_LINK_OPEN = 1,
    P2P_LINK_CLOSE = 2,
    P2P_LINK_OPEN_B = 3,
    P2P_LINK_ANSWER_CLOSED = 1,
    P2P_LINK_ANSWER_OPEN = 2,
};

constexpr uint8_t P2P_LINK_ID = 0xFE;
constexpr uint8_t P2P_NO_LINK = 0xFF;

// Link data classes; the terminal answers with class + 0x80.
enum : uint8_t {
    P2P_DATA_QUERY = 0x21,
    P2P_DATA_DOWNLOAD = 0x22,
    P2P_DATA_ANSWER = 0x80,
};

enum : uint8_t {
    DL_OP_BEGIN = 0x80,
    DL_OP_BLOCK = 0x81,
    DL_OP_END = 0x82,
    DL_OP_END_REBOOT = 0x83,
};

enum : uint8_t { DL_TYPE_APP = 0, DL_TYPE_KERNEL = 1 };

constexpr size_t kP2PBufferSize = 4096;
constexpr size_t kP2PLinkSendMax = 32;     // longer link data is not sent
constexpr size_t kP2PDataHeader = 3;       // link id, data length (2, big-endian)
constexpr size_t kP2PBlockHeader = 7;      // count, class, op, block (2), byte count (2)
constexpr size_t kP2PBeginLength = 8;      // count, class, op, type, total size (4)
constexpr uint32_t kP2PIdleTicksMax = 9;   // the link closes at the tick after the tenth idle one
constexpr size_t kP2PQueryAnswerLength = 11;
inline constexpr uint8_t kP2PQueryAnswer[kP2PQueryAnswerLength] = {0x0A, 0xA1, 0x00, 0x04, 0x05, 0x00,
                                                                   0x01, 0x00, 0x00, 0x00, 0x00};

struct P2PLink {
    uint32_t peerIp;    // network order
    uint16_t peerPort;  // host order
    uint8_t id;
    uint8_t active;
    uint32_t idleTicks;
};

// Start-up: the link's mutex, no link, no download.
void P2PStart(void);
void P2PLinkReset(void);
// Sends link data (at most 32 bytes) on the open link id.
void P2PLinkSend(uint8_t id, const uint8_t* data, size_t n);
// The central control's 1-second tick: counts idle ticks, closes an idle link.
void P2PLinkTick(void);
// A copy of the link record, taken under its mutex.
P2PLink P2PLinkGet(void);

// One datagram of n bytes on port 8207.
void P2PHandle(const uint8_t* buf, size_t n, const sockaddr_in& from);

// The download side (P2PRevTask's): one download operation's link data of n
// bytes (at least count, class and operation).
void P2PDownloadHandle(const uint8_t* data, size_t n);
void P2PDownloadReply(uint8_t op, uint8_t status);
void P2PDownloadClear(void);
// The link closed: an unfinished download's file is closed and the
// installation given back; the download must begin again.
void P2PDownloadAbandon(void);

#endif  // PATERM_NET_P2P_H

// The peer side of the terminal's port 8207: link, probe and link data
// frames, the download operations' link data, the decoding of the
// terminal's answers and the rule that picks the next block to send.
// Shared by paterm-peer and the tests.
#ifndef PATERM_TOOLS_PEER_PEER_FRAMES_H
#define PATERM_TOOLS_PEER_PEER_FRAMES_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace peer {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kTerminalPort = 8207;
constexpr uint8_t kLinkId = 0xFE;
// A block's bytes: the terminal reads at most 4095 bytes of a datagram, and
// a block frame adds 17 (envelope) + 3 (link header) + 7 (block header).
constexpr size_t kMaxBlock = 4095 - 27;
constexpr size_t kDefaultBlock = 1024;

enum : uint8_t { kCmdData = 0xA0, kCmdLink = 0xA1, kCmdProbe = 0xA2 };
enum : uint8_t { kOpen = 1, kClose = 2 };
enum : uint8_t { kLinkClosed = 1, kLinkOpen = 2 };
enum : uint8_t { kOpBegin = 0x80, kOpBlock = 0x81, kOpEnd = 0x82, kOpEndReboot = 0x83 };
enum : uint8_t { kTypeApp = 0, kTypeKernel = 1 };

// Frames to the terminal whose identifier is devId (10 characters).
Bytes LinkRequest(const std::string& devId, uint8_t id, uint8_t type, uint16_t answerPort);
Bytes Probe(const std::string& devId, uint16_t answerPort);
// A link data frame carrying data on link id.
Bytes LinkData(const std::string& devId, uint8_t id, const Bytes& data);

// Link data of the query and the download operations.
Bytes QueryData();
Bytes BeginData(uint8_t type, uint32_t totalSize, uint16_t blocks);
Bytes BlockData(uint16_t block, const uint8_t* bytes, size_t count);
Bytes EndData(bool reboot);

// A frame from the terminal: its command and payload, when the envelope is whole.
struct Frame {
    uint8_t cmd;
    std::string devId;
    Bytes payload;
};
std::optional<Frame> Decode(const uint8_t* buf, size_t n);

struct LinkAnswer {
    uint8_t id;
    uint8_t result;  // kLinkOpen or kLinkClosed
};
std::optional<LinkAnswer> AsLinkAnswer(const Frame& frame);

// The link data of a 0xA0 answer.
std::optional<Bytes> AsLinkData(const Frame& frame);

struct DownloadAnswer {
    uint8_t op;
    uint16_t lastBlock;  // block answers only
    uint8_t status;      // 0 accepted, 1 refused
};
std::optional<DownloadAnswer> AsDownloadAnswer(const Frame& frame);

// The block to send after a block answer: the one after the last accepted,
// or the first when nothing was accepted.
uint16_t NextBlock(const DownloadAnswer& answer);
// The number of blocks of size bytes, blockSize each (the last may be shorter).
size_t BlockCount(size_t size, size_t blockSize);

}  // namespace peer

#endif  // PATERM_TOOLS_PEER_PEER_FRAMES_H

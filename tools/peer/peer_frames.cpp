// Frames of the peer link as a peer builds and reads them.
#include "tools/peer/peer_frames.h"

#include "net/net_frame.h"

namespace peer {

namespace {

constexpr uint8_t kQuery = 0x21;
constexpr uint8_t kDownload = 0x22;
constexpr uint8_t kAnswerBit = 0x80;

Bytes Build(const std::string& devId, uint8_t cmd, const Bytes& payload) {
    Bytes frame(payload.size() + kNetFrameOverhead);
    uint8_t id[kNetFrameDevIdLength] = {};
    devId.copy(reinterpret_cast<char*>(id), sizeof id);
    frame.resize(NetFrameBuild(frame.data(), frame.size(), cmd, id, payload.empty() ? nullptr : payload.data(),
                               payload.size()));
    return frame;
}

void Put16(Bytes* out, uint32_t value) {
    out->push_back(static_cast<uint8_t>(value >> 8));
    out->push_back(static_cast<uint8_t>(value));
}

// The first byte of link data counts the bytes after it.
Bytes Counted(Bytes data) {
    data.insert(data.begin(), static_cast<uint8_t>(data.size()));
    return data;
}

}  // namespace

Bytes LinkRequest(const std::string& devId, uint8_t id, uint8_t type, uint16_t answerPort) {
    Bytes payload = {id, type};
    Put16(&payload, answerPort);
    return Build(devId, kCmdLink, payload);
}

Bytes Probe(const std::string& devId, uint16_t answerPort) {
    Bytes payload;
    Put16(&payload, answerPort);
    return Build(devId, kCmdProbe, payload);
}

Bytes LinkData(const std::string& devId, uint8_t id, const Bytes& data) {
    Bytes payload = {id};
    Put16(&payload, static_cast<uint32_t>(data.size()));
    payload.insert(payload.end(), data.begin(), data.end());
    return Build(devId, kCmdData, payload);
}

Bytes QueryData() { return Counted({kQuery}); }

Bytes BeginData(uint8_t type, uint32_t totalSize, uint16_t blocks) {
    Bytes data = {kDownload, kOpBegin, type};
    Put16(&data, totalSize >> 16);
    Put16(&data, totalSize & 0xFFFF);
    Put16(&data, blocks);
    return Counted(data);
}

Bytes BlockData(uint16_t block, const uint8_t* bytes, size_t count) {
    Bytes data = {kDownload, kOpBlock};
    Put16(&data, block);
    Put16(&data, static_cast<uint32_t>(count));
    data.insert(data.end(), bytes, bytes + count);
    return Counted(data);  // the count byte wraps for long blocks; the terminal ignores it
}

Bytes EndData(bool reboot) { return Counted({kDownload, reboot ? kOpEndReboot : kOpEnd}); }

std::optional<Frame> Decode(const uint8_t* buf, size_t n) {
    const int len = FrameCheck(buf, n);
    if (len < kNetFrameLenBase) return std::nullopt;
    Frame frame;
    frame.cmd = buf[4];
    frame.devId.assign(reinterpret_cast<const char*>(buf + 5), kNetFrameDevIdLength);
    frame.payload.assign(buf + kNetFramePayloadOffset, buf + kNetFramePayloadOffset + NetFramePayloadLength(len));
    return frame;
}

std::optional<LinkAnswer> AsLinkAnswer(const Frame& frame) {
    if (frame.cmd != kCmdLink || frame.payload.size() < 2) return std::nullopt;
    return LinkAnswer{frame.payload[0], frame.payload[1]};
}

std::optional<Bytes> AsLinkData(const Frame& frame) {
    if (frame.cmd != kCmdData || frame.payload.size() < 3) return std::nullopt;
    const size_t d = (frame.payload[1] << 8) | frame.payload[2];
    if (frame.payload.size() != d + 3) return std::nullopt;
    return Bytes(frame.payload.begin() + 3, frame.payload.end());
}

std::optional<DownloadAnswer> AsDownloadAnswer(const Frame& frame) {
    const std::optional<Bytes> data = AsLinkData(frame);
    if (!data || data->size() < 4 || (*data)[1] != (kDownload | kAnswerBit)) return std::nullopt;
    const uint8_t op = (*data)[2];
    if (op == kOpBlock) {
        if (data->size() < 6) return std::nullopt;
        return DownloadAnswer{op, static_cast<uint16_t>(((*data)[3] << 8) | (*data)[4]), (*data)[5]};
    }
    return DownloadAnswer{op, 0, (*data)[3]};
}

uint16_t NextBlock(const DownloadAnswer& answer) {
    return answer.status == 0 ? static_cast<uint16_t>(answer.lastBlock + 1) : 0;
}

size_t BlockCount(size_t size, size_t blockSize) { return blockSize == 0 ? 0 : (size + blockSize - 1) / blockSize; }

}  // namespace peer

// The peer download: the target file written block by block, the end that
// hands it to the upgrade library, and the installation reserved from the
// begin to the end, so no server upgrade writes the same file meanwhile.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "board/board.h"
#include "net/p2p.h"
#include "upgrade/upgrade.h"

namespace {

constexpr const char* kTargets[] = {"/tmp/lpc3250.tgz", "/tmp/uImage"};

struct P2PDownload {
    uint32_t totalSize;
    uint32_t lastBlock;
    uint32_t blockCount;
    uint32_t byteCount;
    FILE* file;
    uint8_t type;
    bool begun;     // a begin was taken in this run
    bool failed;    // the file could not be made, written or closed whole
    bool ended;     // the end was answered; a repeated end only answers again
    bool reserved;  // this download holds the installation
    uint8_t endStatus;
};

// Taken by P2PRevTask for each operation; the tick only tries it, so a long
// installation never holds up the central control.
std::mutex gDownloadMutex;
P2PDownload gDownload;
std::atomic<bool> gAbandonPending{false};

uint16_t BigEndian16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t BigEndian32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void Release() {
    if (!gDownload.reserved) return;
    UpgradeRelease();
    gDownload.reserved = false;
}

// Under gDownloadMutex.
void CloseTarget() {
    if (gDownload.file == nullptr) return;
    std::fclose(gDownload.file);
    gDownload.file = nullptr;
}

void ClearLocked() {
    CloseTarget();
    Release();
    std::memset(&gDownload, 0, sizeof gDownload);
}

void AbandonLocked() {
    if (!gDownload.begun || gDownload.ended) return;
    CloseTarget();
    Release();
    gDownload.failed = true;
}

void ApplyPendingAbandon() {
    if (gAbandonPending.exchange(false)) AbandonLocked();
}

bool OpenTarget() {
    if (UpgradeReserve() != 1) return false;
    gDownload.reserved = true;
    gDownload.file = std::fopen(board::Path(kTargets[gDownload.type]).c_str(), "w+b");
    if (gDownload.file != nullptr) return true;
    Release();
    return false;
}

void Begin(const uint8_t* data, size_t n) {
    if (n < kP2PBeginLength) return;
    ClearLocked();
    gDownload.begun = true;
    const uint8_t type = data[3];
    if (type > DL_TYPE_KERNEL) {
        printf("cnt software donwload type is error,type:%d\n", type);
        gDownload.failed = true;
        P2PDownloadReply(DL_OP_BEGIN, 1);
        return;
    }
    gDownload.totalSize = BigEndian32(data + 4);
    gDownload.type = type;
    gDownload.failed = !OpenTarget();
    P2PDownloadReply(DL_OP_BEGIN, gDownload.failed ? 1 : 0);
}

void Append(const uint8_t* bytes, size_t count) {
    if (gDownload.file == nullptr || count == 0) return;
    if (std::fwrite(bytes, 1, count, gDownload.file) != count) gDownload.failed = true;
}

// A block claiming more bytes than its datagram carries, running past the
// size the begin announced (the file lives in RAM on the terminal), or
// arriving after the end, is refused; out of order, the answer names the
// last one accepted.
void Block(const uint8_t* data, size_t n) {
    if (n < kP2PBlockHeader) return;
    const uint32_t block = BigEndian16(data + 3);
    const size_t count = BigEndian16(data + 5);
    if (count > n - kP2PBlockHeader || gDownload.ended) {
        P2PDownloadReply(DL_OP_BLOCK, 1);
        return;
    }
    if (block != gDownload.blockCount) {
        P2PDownloadReply(DL_OP_BLOCK, gDownload.blockCount != 0 ? 0 : 1);
        return;
    }
    if (count > gDownload.totalSize - gDownload.byteCount) {
        P2PDownloadReply(DL_OP_BLOCK, 1);
        return;
    }
    gDownload.lastBlock = block;
    Append(data + kP2PBlockHeader, count);
    ++gDownload.blockCount;
    gDownload.byteCount += static_cast<uint32_t>(count);
    P2PDownloadReply(DL_OP_BLOCK, 0);
}

// The file is flushed and closed before it is installed: false when either failed.
bool FinishTarget() {
    bool whole = std::fflush(gDownload.file) == 0;
    whole = std::fclose(gDownload.file) == 0 && whole;
    gDownload.file = nullptr;
    return whole;
}

void End(uint8_t op) {
    if (gDownload.ended) {
        P2PDownloadReply(op, gDownload.endStatus);
        return;
    }
    if (!gDownload.begun || gDownload.failed || gDownload.byteCount != gDownload.totalSize) {
        P2PDownloadReply(op, 1);
        return;
    }
    // The answer waits for the installation, so the peer learns whether the
    // file went in; an end repeated meanwhile is answered the same afterwards.
    gDownload.ended = true;
    int installed = 0;
    if (FinishTarget())
        installed = gDownload.type == DL_TYPE_APP ? UpgradeInstallAppReserved(false) : UpgradeInstallKernelReserved();
    Release();
    gDownload.endStatus = installed == 1 ? 0 : 1;
    P2PDownloadReply(op, gDownload.endStatus);
    // A failed installation may have left the kernel partition erased: no reboot then.
    if (op != DL_OP_END_REBOOT || installed != 1) return;
    sleep(1);
    board::System("reboot");
}

}  // namespace

void P2PDownloadReply(uint8_t op, uint8_t status) {
    const uint8_t cls = P2P_DATA_DOWNLOAD | P2P_DATA_ANSWER;
    if (op == DL_OP_BLOCK) {
        const uint8_t answer[6] = {0x05, cls, op, static_cast<uint8_t>(gDownload.lastBlock >> 8),
                                   static_cast<uint8_t>(gDownload.lastBlock), status};
        P2PLinkSend(P2P_LINK_ID, answer, sizeof answer);
        return;
    }
    const uint8_t answer[4] = {0x03, cls, op, status};
    P2PLinkSend(P2P_LINK_ID, answer, sizeof answer);
}

void P2PDownloadHandle(const uint8_t* data, size_t n) {
    {
        std::lock_guard<std::mutex> lock(gDownloadMutex);
        ApplyPendingAbandon();
        switch (data[2]) {
        case DL_OP_BEGIN:
            Begin(data, n);
            break;
        case DL_OP_BLOCK:
            Block(data, n);
            break;
        case DL_OP_END:
        case DL_OP_END_REBOOT:
            End(data[2]);
            break;
        default:
            break;
        }
    }
    // A close that found the mutex taken left its flag before trying it.
    if (gAbandonPending.load()) P2PDownloadAbandon();
}

void P2PDownloadClear(void) {
    std::lock_guard<std::mutex> lock(gDownloadMutex);
    gAbandonPending.store(false);
    ClearLocked();
}

void P2PDownloadAbandon(void) {
    gAbandonPending.store(true);
    std::unique_lock<std::mutex> lock(gDownloadMutex, std::try_to_lock);
    if (lock.owns_lock()) ApplyPendingAbandon();
}

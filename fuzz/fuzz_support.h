// What the fuzz targets share: one board root for the whole run (the seam
// standalone: files only, no shell, no devices, no clock), a private network
// for targets whose handlers answer, the terminal's identity, and the
// records that carry several datagrams in one input.
#ifndef PATERM_FUZZ_FUZZ_SUPPORT_H
#define PATERM_FUZZ_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzzsupport {

using Bytes = std::vector<uint8_t>;

// Makes the run's board root (removed at exit) and the seam's root; returns
// its host directory. Idempotent.
const std::string& BoardRoot();
// The terminal path's host file under the board root.
std::string HostPath(const std::string& terminalPath);
void WriteFile(const std::string& terminalPath, const uint8_t* data, size_t size);

// Moves the process into a network namespace of its own with lo up; aborts
// when it cannot, so that no handler ever answers on the host network.
void EnterPrivateNetworkOrDie();

// The EEPROM with the test identity, settings loaded, a fresh runtime and
// player queue; returns the queue. Call once, from LLVMFuzzerInitialize.
uint32_t LoadTerminal();
// Frees every message posted to the queue, so memory stays flat.
void DrainQueue(uint32_t queueId);
const uint8_t* DeviceId();

// Datagram records: flags (1), length (2, little-endian), the bytes. Flags:
// bit 0 stamps the terminal's identifier into a frame, bit 1 repairs its
// envelope (heads, len, checksum, tail), so that mutations reach the
// handlers behind the envelope check. At most maxCount datagrams, each cut
// to maxSize bytes (what the receive buffer takes).
std::vector<Bytes> Datagrams(const uint8_t* data, size_t size, size_t maxSize, size_t maxCount);

}  // namespace fuzzsupport

#endif  // PATERM_FUZZ_FUZZ_SUPPORT_H

// Coherent memory blocks by bus address.
#include "board/sim/hw/memory.h"

#include "board/sim/hw/registers.h"

namespace sim::hw {
namespace {

uint64_t RoundUp(uint64_t n, uint64_t to) { return (n + to - 1) / to * to; }

}  // namespace

Memory::Block Memory::Allocate(size_t size) {
    if (size == 0 || size > kSdramSize) return {};
    const uint64_t span = RoundUp(size, kPage);
    std::lock_guard<std::mutex> lock(mutex_);
    // First fit between the blocks in use.
    uint64_t candidate = kSdramBase;
    for (const auto& [bus, block] : blocks_) {
        if (candidate + span <= bus) break;
        candidate = RoundUp(bus + block.size, kPage);
    }
    if (candidate + span > uint64_t{kSdramBase} + kSdramSize) return {};
    Allocation a{std::make_unique<uint8_t[]>(size), size};  // value-initialised: zeroed
    uint8_t* host = a.bytes.get();
    blocks_.emplace(static_cast<uint32_t>(candidate), std::move(a));
    return {host, static_cast<uint32_t>(candidate)};
}

bool Memory::Free(uint32_t bus, const void* host, size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = blocks_.find(bus);
    if (it == blocks_.end() || it->second.bytes.get() != host || it->second.size != size) return false;
    blocks_.erase(it);
    return true;
}

const Memory::Allocation* Memory::Find(uint32_t bus, uint32_t* offset) const {
    auto it = blocks_.upper_bound(bus);
    if (it == blocks_.begin()) return nullptr;
    --it;
    if (bus - it->first >= it->second.size) return nullptr;
    *offset = bus - it->first;
    return &it->second;
}

bool Memory::Read8(uint32_t bus, uint8_t* value) const {
    std::lock_guard<std::mutex> lock(mutex_);
    uint32_t offset = 0;
    const Allocation* a = Find(bus, &offset);
    if (!a) return false;
    *value = a->bytes[offset];
    return true;
}

bool Memory::Read32(uint32_t bus, uint32_t* value) const {
    uint32_t v = 0;
    for (uint32_t i = 0; i < 4; ++i) {
        uint8_t b = 0;
        if (!Read8(bus + i, &b)) return false;
        v |= static_cast<uint32_t>(b) << (8 * i);
    }
    *value = v;
    return true;
}

bool Memory::Write8(uint32_t bus, uint8_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    uint32_t offset = 0;
    const Allocation* a = Find(bus, &offset);
    if (!a) return false;
    a->bytes[offset] = value;
    return true;
}

size_t Memory::Outstanding() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return blocks_.size();
}

size_t Memory::OutstandingBytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t total = 0;
    for (const auto& [bus, block] : blocks_) total += block.size;
    return total;
}

}  // namespace sim::hw

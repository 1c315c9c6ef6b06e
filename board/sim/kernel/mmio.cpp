// Register access: virtual addresses of the static I/O map (0xF0000000
// upwards) to physical addresses on the machine's bus. Anything else, or an
// unaligned or undecoded access, is what would oops the terminal: reported
// as a kernel bug, reads as 0.
#include <cstdint>
#include <cstdio>

#include "board/sim/kernel/include/emu/kabi.h"
#include "board/sim/kernel/kernel.h"

namespace sim::kernel {
namespace {

bool ToPhysical(const volatile void* addr, uint32_t* phys) {
    const uintptr_t va = reinterpret_cast<uintptr_t>(addr);
    if (va < 0xF0000000u || va > 0xFFFFFFFFu || (va & 3) != 0) return false;
    *phys = static_cast<uint32_t>(((va & 0x0FF00000u) << 4) | (va & 0x000FFFFFu));
    return true;
}

std::string Hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "%08llx", static_cast<unsigned long long>(value));
    return text;
}

}  // namespace
}  // namespace sim::kernel

extern "C" emu_u32 emu_mmio_read32(const volatile void* addr) {
    sim::kernel::Kernel& kernel = sim::kernel::CurrentOrDie("__raw_readl");
    uint32_t phys = 0, value = 0;
    if (!sim::kernel::ToPhysical(addr, &phys)) {
        kernel.ReportBug("Unable to handle kernel paging request at virtual address " +
                         sim::kernel::Hex(reinterpret_cast<uintptr_t>(addr)) + " (read)");
        return 0;
    }
    if (!kernel.machine().bus().Read32(phys, &value))
        kernel.ReportBug("read of physical address " + sim::kernel::Hex(phys) + ": no register there");
    return value;
}

extern "C" void emu_mmio_write32(emu_u32 value, volatile void* addr) {
    sim::kernel::Kernel& kernel = sim::kernel::CurrentOrDie("__raw_writel");
    uint32_t phys = 0;
    if (!sim::kernel::ToPhysical(addr, &phys)) {
        kernel.ReportBug("Unable to handle kernel paging request at virtual address " +
                         sim::kernel::Hex(reinterpret_cast<uintptr_t>(addr)) + " (write)");
        return;
    }
    if (!kernel.machine().bus().Write32(phys, value))
        kernel.ReportBug("write of physical address " + sim::kernel::Hex(phys) + ": no register there");
}

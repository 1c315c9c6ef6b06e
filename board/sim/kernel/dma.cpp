// Coherent memory, the LPC32xx DMA channel calls and the DMA interrupt.
#include "board/sim/kernel/dma.h"

#include <cstring>

#include "board/sim/hw/registers.h"
#include "board/sim/kernel/context.h"
#include "board/sim/kernel/kernel.h"

namespace sim::kernel {
namespace {

namespace dma = hw::dma;

constexpr int kEinval = 22, kEbusy = 16;
constexpr unsigned kGfpWait = 0x10;
constexpr int kErrorCause = 1, kTcCause = 2;  // DMA_ERR_INT, DMA_TC_INT (<mach/dma.h>)
constexpr int kIrqNone = 0, kIrqHandled = 1;

bool WidthCode(int bytes, uint32_t* code) {
    switch (bytes) {
    case 1: *code = 0; return true;
    case 2: *code = 1; return true;
    case 4: *code = 2; return true;
    default: return false;
    }
}

void PutWord(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

uint32_t DmaLayer::ChannelReg(int ch, uint32_t reg) {
    return dma::kChannelBase + static_cast<uint32_t>(ch) * dma::kChannelStride + reg;
}

uint32_t DmaLayer::Reg(uint32_t offset) {
    uint32_t value = 0;
    machine_->bus().Read32(hw::kDmaBase + offset, &value);
    return value;
}

void DmaLayer::SetReg(uint32_t offset, uint32_t value) { machine_->bus().Write32(hw::kDmaBase + offset, value); }

void DmaLayer::Boot() {
    if (booted_) return;
    kernel_->irq().SetType(hw::irq::kDma, 0x4);  // level, active high
    kernel_->irq().Request(hw::irq::kDma, &DmaLayer::Interrupt, 0, "DMA", this);
    SetReg(dma::kConfiguration, 1);
    booted_ = true;
}

void DmaLayer::Halt() {
    if (!booted_) return;
    for (int ch = 0; ch < kChannels; ++ch) {
        std::string owner;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            State& s = channels_[ch];
            if (!s.claimed) continue;
            owner = s.owner;
            FreeList(s);
            s = State{};
        }
        SetReg(ChannelReg(ch, dma::kConfig), 0);
        kernel_->ReportBug("DMA channel " + std::to_string(ch) + " still claimed by " + owner + " at power-off");
    }
    kernel_->irq().Free(hw::irq::kDma, this);
    SetReg(dma::kConfiguration, 0);
    booted_ = false;
}

void* DmaLayer::AllocCoherent(size_t size, uint32_t* handle, unsigned gfp) {
    if (gfp & kGfpWait) MightSleep("dma_alloc_coherent(GFP_KERNEL)");
    if (TakeFault(Fault::kAllocCoherent)) return nullptr;
    hw::Memory::Block block = machine_->memory().Allocate(size);
    if (!block.host) return nullptr;
    *handle = block.bus;
    return block.host;
}

void DmaLayer::FreeCoherent(size_t size, void* cpu, uint32_t handle) {
    if (!machine_->memory().Free(handle, cpu, size))
        kernel_->ReportBug("dma_free_coherent of " + std::to_string(size) + " bytes that were not allocated so");
}

bool DmaLayer::Owned(int ch, const char* call) {
    if (ch >= 0 && ch < kChannels && channels_[ch].claimed) return true;
    kernel_->ReportBug(std::string(call) + " on unclaimed DMA channel " + std::to_string(ch));
    return false;
}

int DmaLayer::ChannelGet(const dma_config* config, const char* name, lpc32xx_dma_handler_t handler, void* data) {
    if (TakeFault(Fault::kChannelGet)) return -kEbusy;
    uint32_t srcWidth, dstWidth;
    if (!config || config->ch < 0 || config->ch >= kChannels || !WidthCode(config->src_size, &srcWidth) ||
        !WidthCode(config->dst_size, &dstWidth))
        return -kEinval;
    const int ch = config->ch;
    uint32_t cfg = (config->src_prph & (dma::kPeripheralMask << dma::kSrcPeripheralShift)) |
                   (config->dst_prph & (dma::kPeripheralMask << dma::kDestPeripheralShift)) |
                   (config->flowctrl & (dma::kFlowMask << dma::kFlowShift));
    if (config->err_inten) cfg |= dma::kErrorIntMask;
    if (config->tc_inten) cfg |= dma::kTcIntMask;
    uint32_t control = (static_cast<uint32_t>(config->src_bsize) & (0x7u << 12)) |
                       (static_cast<uint32_t>(config->dst_bsize) & (0x7u << 15)) | srcWidth << dma::kSrcWidthShift |
                       dstWidth << dma::kDestWidthShift;
    if (config->src_ahb1) control |= 1u << 24;
    if (config->dst_ahb1) control |= 1u << 25;
    if (config->src_inc) control |= dma::kSrcIncrement;
    if (config->dst_inc) control |= dma::kDestIncrement;
    if (config->tc_inten) control |= dma::kTcInterrupt;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        State& s = channels_[ch];
        if (s.claimed) return -kEbusy;
        s = State{};
        s.claimed = true;
        s.owner = name ? name : "";
        s.handler = handler;
        s.data = data;
        s.config = cfg;
        s.control = control;
    }
    SetReg(ChannelReg(ch, dma::kConfig), cfg);
    return ch;
}

void DmaLayer::FreeList(State& s) {
    if (!s.list) return;
    machine_->memory().Free(s.listBus, s.list, s.listBytes);
    s.list = nullptr;
    s.listBus = 0;
    s.listBytes = 0;
    s.entries = s.queued = 0;
}

int DmaLayer::ChannelPut(int ch) {
    bool hadList = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!Owned(ch, "lpc32xx_dma_ch_put")) return -kEinval;
        hadList = channels_[ch].list != nullptr;
        FreeList(channels_[ch]);
        channels_[ch] = State{};
    }
    SetReg(ChannelReg(ch, dma::kConfig), 0);
    if (hadList) printk("<4>lpc32xx_dma_ch_put: channel %d still had its list; freed\n", ch);
    return 0;
}

uint32_t DmaLayer::AllocList(int ch, int entries) {
    MightSleep("lpc32xx_dma_alloc_llist");
    std::lock_guard<std::mutex> lock(mutex_);
    if (!Owned(ch, "lpc32xx_dma_alloc_llist")) return 0;
    State& s = channels_[ch];
    if (TakeFault(Fault::kAllocList) || entries <= 0 || s.list) return 0;
    const size_t bytes = static_cast<size_t>(entries) * kEntryBytes;
    hw::Memory::Block block = machine_->memory().Allocate(bytes);
    if (!block.host) return 0;
    s.list = block.host;
    s.listBus = block.bus;
    s.listBytes = bytes;
    s.entries = entries;
    s.queued = 0;
    return block.bus;
}

void DmaLayer::DeallocList(int ch) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!Owned(ch, "lpc32xx_dma_dealloc_llist")) return;
    if (!channels_[ch].list) {
        kernel_->ReportBug("lpc32xx_dma_dealloc_llist: channel " + std::to_string(ch) + " has no list");
        return;
    }
    FreeList(channels_[ch]);
}

uint32_t DmaLayer::Queue(int ch, uint32_t src, uint32_t dst, int size) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!Owned(ch, "lpc32xx_dma_queue_llist_entry")) return 0;
    State& s = channels_[ch];
    if (!s.list || size <= 0 || size > kMaxTransfer || s.queued >= s.entries) return 0;
    const uint32_t control = s.control | static_cast<uint32_t>(size);
    uint8_t* entry = s.list + static_cast<size_t>(s.queued) * kEntryBytes;
    const uint32_t entryBus = s.listBus + static_cast<uint32_t>(s.queued) * kEntryBytes;
    PutWord(entry, src);
    PutWord(entry + 4, dst);
    PutWord(entry + 8, 0);
    PutWord(entry + 12, control);
    if (s.queued > 0) PutWord(entry - kEntryBytes + 8, entryBus);  // the previous entry leads here
    ++s.queued;
    if (Reg(ChannelReg(ch, dma::kConfig)) & dma::kEnable) {
        // Running: it follows the list to this entry once the current item is done.
        if (Reg(ChannelReg(ch, dma::kLli)) == 0) SetReg(ChannelReg(ch, dma::kLli), entryBus);
        return entryBus;
    }
    SetReg(ChannelReg(ch, dma::kSrcAddr), src);
    SetReg(ChannelReg(ch, dma::kDestAddr), dst);
    SetReg(ChannelReg(ch, dma::kLli), 0);
    SetReg(ChannelReg(ch, dma::kControl), control);
    SetReg(ChannelReg(ch, dma::kConfig), s.config | dma::kEnable);
    return entryBus;
}

uint32_t DmaLayer::Flush(int ch) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!Owned(ch, "lpc32xx_dma_flush_llist")) return 0;
    channels_[ch].queued = 0;
    return 0;
}

void DmaLayer::Enable(int ch) {
    uint32_t config;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!Owned(ch, "lpc32xx_dma_ch_enable")) return;
        config = channels_[ch].config;
    }
    SetReg(ChannelReg(ch, dma::kConfig), config | dma::kEnable);
}

void DmaLayer::Disable(int ch) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!Owned(ch, "lpc32xx_dma_ch_disable")) return;
    }
    SetReg(ChannelReg(ch, dma::kConfig), Reg(ChannelReg(ch, dma::kConfig)) & ~dma::kEnable);
}

DmaLayer::ChannelInfo DmaLayer::Channel(int ch) const {
    if (ch < 0 || ch >= kChannels) return {};
    std::lock_guard<std::mutex> lock(mutex_);
    const State& s = channels_[ch];
    return {s.claimed, s.owner, s.list != nullptr, s.entries, s.queued, s.config, s.control};
}

int DmaLayer::Interrupt(int, void* dev) { return static_cast<DmaLayer*>(dev)->HandleInterrupt(); }

int DmaLayer::HandleInterrupt() {
    const uint32_t tc = Reg(dma::kIntTcStatus), error = Reg(dma::kIntErrorStatus);
    if (!(tc | error)) return kIrqNone;
    SetReg(dma::kIntTcClear, tc);
    SetReg(dma::kIntErrClr, error);
    for (int ch = 0; ch < kChannels; ++ch) {
        const int cause = ((tc >> ch) & 1 ? kTcCause : 0) | ((error >> ch) & 1 ? kErrorCause : 0);
        if (!cause) continue;
        lpc32xx_dma_handler_t handler = nullptr;
        void* data = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (channels_[ch].claimed) {
                handler = channels_[ch].handler;
                data = channels_[ch].data;
            }
        }
        if (handler) handler(ch, cause, data);
        else kernel_->ReportBug("DMA interrupt on unclaimed channel " + std::to_string(ch));
    }
    return kIrqHandled;
}

}  // namespace sim::kernel

using sim::kernel::CurrentOrDie;

namespace {

// A bus address passed as a pointer, as the channel interface takes it.
uint32_t BusAddress(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

}  // namespace

extern "C" void* dma_alloc_coherent(struct device*, emu_size_t size, emu_dma_addr_t* handle, emu_gfp_t gfp) {
    return CurrentOrDie("dma_alloc_coherent").dma().AllocCoherent(size, handle, gfp);
}

extern "C" void dma_free_coherent(struct device*, emu_size_t size, void* cpu_addr, emu_dma_addr_t handle) {
    CurrentOrDie("dma_free_coherent").dma().FreeCoherent(size, cpu_addr, handle);
}

extern "C" int lpc32xx_dma_ch_get(struct dma_config* dmachcfg, const char* name, lpc32xx_dma_handler_t irq_handler,
                                  void* data) {
    return CurrentOrDie("lpc32xx_dma_ch_get").dma().ChannelGet(dmachcfg, name, irq_handler, data);
}

extern "C" int lpc32xx_dma_ch_put(int ch) { return CurrentOrDie("lpc32xx_dma_ch_put").dma().ChannelPut(ch); }

extern "C" emu_u32 lpc32xx_dma_alloc_llist(int ch, int entries) {
    return CurrentOrDie("lpc32xx_dma_alloc_llist").dma().AllocList(ch, entries);
}

extern "C" void lpc32xx_dma_dealloc_llist(int ch) { CurrentOrDie("lpc32xx_dma_dealloc_llist").dma().DeallocList(ch); }

extern "C" emu_u32 lpc32xx_dma_queue_llist_entry(int ch, void* src, void* dst, int size) {
    return CurrentOrDie("lpc32xx_dma_queue_llist_entry").dma().Queue(ch, BusAddress(src), BusAddress(dst), size);
}

extern "C" emu_u32 lpc32xx_dma_flush_llist(int ch) { return CurrentOrDie("lpc32xx_dma_flush_llist").dma().Flush(ch); }

extern "C" void lpc32xx_dma_ch_enable(int ch) { CurrentOrDie("lpc32xx_dma_ch_enable").dma().Enable(ch); }

extern "C" void lpc32xx_dma_ch_disable(int ch) { CurrentOrDie("lpc32xx_dma_ch_disable").dma().Disable(ch); }

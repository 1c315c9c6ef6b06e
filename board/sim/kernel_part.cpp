// Power cycles of the machine and the emulated kernel, and their backdoor.
#include "board/sim/kernel_part.h"

#include "board/sim/kernel/include/emu/kabi.h"
#include "board/sim/kernel/misc_node.h"

namespace sim {
namespace {

constexpr size_t kMaxLinesPerReply = 1000;

Json ModulesJson(const std::vector<kernel::ModuleInfo>& modules) {
    Json list = Json::array();
    for (const kernel::ModuleInfo& m : modules)
        list.push_back(Json{{"name", m.name},
                            {"loaded", m.loaded},
                            {"license", m.license},
                            {"description", m.description},
                            {"vermagic", m.vermagic},
                            {"needs", m.needs},
                            {"open_files", m.refs}});
    return list;
}

}  // namespace

KernelPart::KernelPart(const std::string& decoderWav, const std::string& kernelLogMirror, NetlinkModel* netlink,
                       OpLog* log)
    : log_(log), machine_(std::make_unique<hw::Machine>(decoderWav)) {
    kernel::Kernel::Hooks hooks;
    hooks.deviceAdded = [this](const std::string& name) {
        devices_->Add("/dev/" + name, std::make_shared<kernel::MiscDeviceNode>(&kernel_->misc(), name));
    };
    hooks.deviceRemoved = [this](const std::string& name) { devices_->Remove("/dev/" + name); };
    hooks.netlinkDeliver = [netlink](uint32_t port, const uint8_t* data, size_t len) {
        return netlink->Deliver(port, data, len);
    };
    hooks.logMirror = kernelLogMirror;
    kernel_ = std::make_unique<kernel::Kernel>(machine_.get(), std::move(hooks));
}

KernelPart::~KernelPart() = default;

void KernelPart::Attach(DeviceRegistry& devices, ControlRegistry& controls) {
    devices_ = &devices;
    controls.Add("kernel.log", [this](const Json& request) {
        const auto from = IntegerArg(request, "from", 0, INT64_MAX, 0);
        if (!from) return ControlError("\"from\" must be an integer, 0 or more");
        uint64_t next = 0;
        Json lines = Json::array();
        for (const kernel::KernelLogLine& l : kernel_->log().From(static_cast<uint64_t>(*from), kMaxLinesPerReply, &next))
            lines.push_back(Json{{"seq", l.seq}, {"us", l.usec}, {"level", l.level}, {"text", l.text}});
        Json reply = ControlOk();
        reply["lines"] = std::move(lines);
        reply["next"] = next;
        reply["bugs"] = kernel_->Bugs();
        return reply;
    });
    controls.Add("kernel.modules", [this](const Json&) {
        Json reply = ControlOk();
        reply["modules"] = ModulesJson(kernel_->modules().List());
        return reply;
    });
}

void KernelPart::PowerOff() {
    if (kernel_->Booted() && !kernel_->Halt())
        log_->Add(LogKind::kBoard, "kernel: calls still running at power-off, modules left loaded");
    LogDecoderBusFaults();
}

// What a driver did wrong on the decoder's bus during the power-on, once.
void KernelPart::LogDecoderBusFaults() {
    machine_->Settle();
    const hw::Vs1053::Stats s = machine_->decoder().GetStats();
    if (s.bytesAfterXcs + s.bytesAfterXdcs + s.sciWhileDreqLow == 0) return;
    log_->Add(LogKind::kBoard, "decoder: " + std::to_string(s.bytesAfterXcs) + " bytes clocked with XCS high, " +
                                   std::to_string(s.bytesAfterXdcs) + " with XDCS high, " +
                                   std::to_string(s.sciWhileDreqLow) + " SCI commands begun while DREQ was low");
}

void KernelPart::PowerOn() {
    machine_->PowerOn();
    kernel_->Boot();
    const int result = kernel_->LoadBoardModules();
    std::string loaded;
    for (const kernel::ModuleInfo& m : kernel_->modules().List())
        if (m.loaded) loaded += " " + m.name;
    log_->Add(LogKind::kBoard, std::string("kernel " EMU_VERMAGIC ", modules:") + loaded +
                                   (result ? " (a load failed: " + std::to_string(result) + ")" : ""));
}

int KernelPart::RaiseEvent(uint8_t type, uint8_t value) { return SendEventToUserSpaceByNetLink(type, value); }

Json EventReply(int result) {
    Json reply = ControlOk();
    reply["delivered"] = result == 0;
    if (result != 0)
        reply["why"] = result == -ESRCH    ? "no process registered"
                       : result == -ENODEV ? "netlink module not loaded"
                                           : "no socket bound to the registered process";
    return reply;
}

}  // namespace sim

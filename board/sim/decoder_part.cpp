// The decoder's statistics and its DREQ fault switch.
#include "board/sim/decoder_part.h"

namespace sim {

Json DecoderPart::Stats() {
    kernel_->machine().Settle();  // bytes the SSP has clocked by now count
    const hw::Vs1053::Stats s = kernel_->machine().decoder().GetStats();
    Json reply = ControlOk();
    reply.update(Json{{"bytes_received", s.sdiBytes},
                      {"chip_resets", s.hardwareResets},
                      {"software_resets", s.softwareResets},
                      {"cancels", s.cancels},
                      {"decoded_seconds", s.decodedSeconds},
                      {"wav", s.wavPath},
                      {"wav_seconds", s.wavSeconds},
                      {"wav_samples", s.wavSamples},
                      {"wav_rate", s.wavRate},
                      {"wav_channels", s.wavChannels},
                      {"bit_rate", s.bitRate},
                      {"buffered", s.buffered},
                      {"dreq", s.dreq},
                      {"dreq_fault", s.dreqFault},
                      {"in_reset", s.inReset},
                      {"overrun_bytes", s.overrunBytes},
                      {"underruns", s.underruns},
                      {"bytes_after_xcs", s.bytesAfterXcs},
                      {"bytes_after_xdcs", s.bytesAfterXdcs},
                      {"sci_while_dreq_low", s.sciWhileDreqLow},
                      {"mode", static_cast<int>(s.mode)},
                      {"clockf", static_cast<int>(s.clockf)}});
    return reply;
}

void DecoderPart::Attach(DeviceRegistry&, ControlRegistry& controls) {
    controls.Add("decoder.stats", [this](const Json&) { return Stats(); });
    controls.Add("decoder.dreq_fault", [this](const Json& request) {
        auto on = request.find("on");
        if (on == request.end() || !on->is_boolean()) return ControlError("\"on\" must be true or false");
        const bool fault = on->get<bool>();
        kernel_->machine().decoder().SetDreqFault(fault);
        log_->Add(LogKind::kControl, std::string("decoder.dreq_fault ") + (fault ? "on" : "off"));
        Json reply = ControlOk();
        reply["dreq_fault"] = fault;
        return reply;
    });
}

}  // namespace sim

// The panel's serial line: the input is the byte stream the receive task
// reads; every frame the de-stuffer completes goes to the frame parser, as
// the task does. Without a port the panel's answers are not sent.
#include "fuzz/fuzz_support.h"
#include "localio/ctrl_panel.h"
#include "localio/panel_frame.h"

namespace {
uint32_t gQueue = 0;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    gQueue = fuzzsupport::LoadTerminal();
    PanelAttachPort(-1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    PanelDeframer deframer;
    for (size_t i = 0; i < size; ++i) {
        if (!deframer.Feed(data[i])) continue;
        // A copy of exactly the frame's size, so that a read past it is caught;
        // an empty frame is parsed too, as the task does.
        const fuzzsupport::Bytes frame(deframer.frame(), deframer.frame() + deframer.size());
        PanelParseFrame(frame.empty() ? deframer.frame() : frame.data(), static_cast<int32_t>(frame.size()));
    }
    fuzzsupport::DrainQueue(gQueue);
    return 0;
}

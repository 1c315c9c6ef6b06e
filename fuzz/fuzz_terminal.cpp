// The terminal's side of the targets that post player messages: its
// identity in an EEPROM on the board root, its settings, the runtime and
// the player queue the handlers post to.
#include "fuzz/fuzz_support.h"
#include "tests/net/net_test_support.h"

namespace fuzzsupport {

uint32_t LoadTerminal() {
    BoardRoot();
    const Bytes image = nettest::EepromImage();
    WriteFile(nettest::kEeprom, image.data(), image.size());
    PlayerLoadSettings();
    return nettest::CreatePlayerQueue();
}

void DrainQueue(uint32_t queueId) { nettest::TakeAll(queueId); }

}  // namespace fuzzsupport

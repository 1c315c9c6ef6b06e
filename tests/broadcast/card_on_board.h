// The simulated sound card on an in-process board: the program's side
// reaches it through the seam (board::Open("/dev/dsp")), the test through
// its control commands. The card outlives the board's session threads.
#ifndef PATERM_TESTS_BROADCAST_CARD_ON_BOARD_H
#define PATERM_TESTS_BROADCAST_CARD_ON_BOARD_H

#include <cstdint>
#include <memory>
#include <string>

#include "board/sim/control.h"
#include "board/sim/sound_card.h"
#include "tests/sim/in_process_board.h"

namespace brdtest {

class CardOnBoard {
public:
    CardOnBoard() : card_(std::make_unique<sim::SoundCard>(board_.At(""), &board_.log())) {
        card_->Attach(board_.devices(), controls_);
        card_->PowerOn();
    }
    ~CardOnBoard() {
        card_->PowerOff();  // ends a read in flight before the sessions are joined
        board_.PowerOff();
    }
    CardOnBoard(const CardOnBoard&) = delete;
    CardOnBoard& operator=(const CardOnBoard&) = delete;

    bool ready() const { return board_.ready(); }
    sim::SoundCard& card() { return *card_; }
    sim::Json Control(const sim::Json& request) { return controls_.Dispatch(request).body; }
    // The card's member of the board's "status".
    sim::Json DspStatus() {
        sim::Json status;
        card_->AddStatus(status);
        return status["dsp"];
    }

private:
    simtest::InProcessBoard board_;
    sim::ControlRegistry controls_;
    std::unique_ptr<sim::SoundCard> card_;
};

}  // namespace brdtest

#endif  // PATERM_TESTS_BROADCAST_CARD_ON_BOARD_H

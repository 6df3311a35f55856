#include "sim/SimBench.h"

namespace tarvel {

void SimBench::WriteData(std::uint8_t byte) {
  const std::uint8_t before = state_.data;
  state_.data = byte;

  for (std::size_t c = 0; c < 2; ++c) {
    const LineStep step = rx_[c].Change(before, byte);
    if (step.end == FrameEnd::Latched) {
      state_.rx4410[c] = Rx4410Channel::Code(step.ended.word);
      ++state_.rx4410Latches[c];
    } else if (step.end == FrameEnd::Rejected) {
      ++state_.protocolErrors;
    }
  }

  const LineStep step = tqm_.Change(before, byte);
  if (step.end == FrameEnd::Latched) {
    state_.tqm7731[0] = Tqm7731Chip::AttnA(step.ended.word);
    state_.tqm7731[1] = Tqm7731Chip::AttnB(step.ended.word);
    ++state_.tqm7731Latches;
  } else if (step.end == FrameEnd::Rejected) {
    ++state_.protocolErrors;
  }
}

std::uint8_t SimBench::ReadStatus() const {
  std::uint8_t status = 0;
  for (std::size_t c = 0; c < 2; ++c) {
    const int bit = rx_[c].OutputBit();
    if (bit >= 0 && ((state_.rx4410[c] >> bit) & 1)) status |= rx_[c].lines().output;
  }
  return status;
}

void SimBench::SetState(const BenchState& state) {
  state_ = state;
  rx_ = {Rx4410Channel(0), Rx4410Channel(1)};
  tqm_ = {};
}

}  // namespace tarvel

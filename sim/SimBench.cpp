#include "sim/SimBench.h"

namespace tarvel {

RegisterView RegistersOf(BenchState& state, std::size_t chipIndex) {
  if (chipIndex == 0) return {state.rx4410, state.rx4410Latches};
  if (chipIndex == 1) return {state.tqm7731, std::span<std::uint64_t>(&state.tqm7731Latches, 1)};
  const Chip& chip = *Chips().at(chipIndex);
  ChipRegisters& r = state.more[std::string(chip.stateKey)];
  r.latches.resize(chip.frames.size());
  return {r.codes, r.latches};
}

std::array<int, 2> CodesOf(const BenchState& state, std::size_t chipIndex) {
  if (chipIndex == 0) return state.rx4410;
  if (chipIndex == 1) return state.tqm7731;
  const auto found = state.more.find(Chips().at(chipIndex)->stateKey);
  return found == state.more.end() ? std::array<int, 2>{0, 0} : found->second.codes;
}

void SimBench::Reset() {
  slots_.clear();
  const auto& chips = Chips();
  for (std::size_t c = 0; c < chips.size(); ++c) {
    RegistersOf(state_, c);  // a registered chip's registers exist from the start
    for (const FrameShape& frame : chips[c]->frames) slots_.push_back({c, &frame, chips[c]->model(frame)});
  }
}

void SimBench::WriteData(std::uint8_t byte) {
  const std::uint8_t before = state_.data;
  state_.data = byte;

  std::size_t frameIndex = 0;
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    Slot& slot = slots_[i];
    frameIndex = i > 0 && slots_[i - 1].chip == slot.chip ? frameIndex + 1 : 0;
    const LineStep step = slot.model->Change(before, byte);
    if (step.end == FrameEnd::Latched) {
      const Chip& chip = *Chips()[slot.chip];
      const RegisterView r = RegistersOf(state_, slot.chip);
      for (int c = 0; c <= 1; ++c) {
        if (slot.frame->shift[static_cast<std::size_t>(c)] >= 0) {
          r.codes[static_cast<std::size_t>(c)] = chip.CodeIn(*slot.frame, step.ended.word, c);
        }
      }
      ++r.latches[frameIndex];
    } else if (step.end == FrameEnd::Rejected) {
      ++state_.protocolErrors;
    }
  }
}

std::uint8_t SimBench::ReadStatus() const {
  std::uint8_t status = 0;
  for (const Slot& slot : slots_) {
    const int bit = slot.model->OutputBit();
    const int channel = slot.frame->OnlyChannel();
    if (bit < 0 || channel < 0) continue;
    const int code = CodesOf(state_, slot.chip)[static_cast<std::size_t>(channel)];
    if ((code >> bit) & 1) status |= slot.frame->output;
  }
  return status;
}

void SimBench::SetState(const BenchState& state) {
  state_ = state;
  Reset();
}

}  // namespace tarvel

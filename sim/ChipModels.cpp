#include "sim/ChipModels.h"

namespace tarvel {

namespace {

bool Rose(std::uint8_t before, std::uint8_t after, std::uint8_t line) {
  return !(before & line) && (after & line);
}
bool Fell(std::uint8_t before, std::uint8_t after, std::uint8_t line) {
  return (before & line) && !(after & line);
}

}  // namespace

LineStep Rx4410Channel::Change(std::uint8_t before, std::uint8_t byte) {
  const Rx4410Lines& l = lines_;
  ChipFrame& f = frame_;
  LineStep step;
  // The select edge counts first; a clock edge in the same write is then
  // judged against the new select level.
  if (Fell(before, byte, l.select)) {
    f.Start();
    step.started = true;
    outputBit_ = -1;
  } else if (Rose(before, byte, l.select)) {
    if (f.active) {
      step.ended = f;
      if (f.bits == 0) {
        step.end = FrameEnd::Empty;
      } else if (!(f.word & 1u)) {
        step.end = FrameEnd::Read;
      } else if (f.bits == 8 && !(f.word & 2u)) {
        step.end = FrameEnd::Latched;
      } else {
        step.end = FrameEnd::Rejected;
      }
    }
    f.active = false;
    outputBit_ = -1;
  }
  if (f.active && !(byte & l.select) && Rose(before, byte, l.clock)) {
    f.Take(byte & l.data);
    step.tookBit = true;
    // A read frame: after edge j+2 the chip drives code bit j.
    const int j = f.bits - 2;
    outputBit_ = !(f.word & 1u) && j >= 0 && j < 6 ? j : -1;
  }
  return step;
}

LineStep Tqm7731Chip::Change(std::uint8_t before, std::uint8_t byte) {
  LineStep step;
  if (Rose(before, byte, kTqm7731Lines.enable)) {
    frame_.Start();
    step.started = true;
  } else if (Fell(before, byte, kTqm7731Lines.enable)) {
    if (frame_.active) {
      step.ended = frame_;
      step.end = frame_.bits == 0    ? FrameEnd::Empty
                 : frame_.bits == 10 ? FrameEnd::Latched
                                     : FrameEnd::Rejected;
    }
    frame_.active = false;
  }
  if (frame_.active && (byte & kTqm7731Lines.enable) && Rose(before, byte, kTqm7731Lines.clock)) {
    frame_.Take(byte & kTqm7731Lines.data);
    step.tookBit = true;
  }
  return step;
}

}  // namespace tarvel

#include "chips/LineModels.h"

#include "chips/Chips.h"

namespace tarvel {

namespace {

bool Rose(std::uint8_t before, std::uint8_t after, std::uint8_t line) {
  return !(before & line) && (after & line);
}

class FramedModel final : public LineModel {
 public:
  explicit FramedModel(const FrameShape& shape)
      : frameLine_(shape.frameLine),
        activeLevel_(shape.active() & shape.frameLine),
        clock_(shape.clock),
        data_(shape.data),
        bits_(shape.bits),
        flags_(shape.flags),
        flagMask_(shape.flagMask),
        readBits_(shape.output != 0 ? shape.readClocks - 1 : 0) {}

  LineStep Change(std::uint8_t before, std::uint8_t byte) override {
    ChipFrame& f = frame_;
    LineStep step;
    // The frame line's edge counts first; a clock edge in the same write is
    // then judged against the new frame-line level.
    const bool wasActive = (before & frameLine_) == activeLevel_;
    const bool isActive = (byte & frameLine_) == activeLevel_;
    if (!wasActive && isActive) {
      f.Start();
      step.started = true;
      outputBit_ = -1;
    } else if (wasActive && !isActive) {
      if (f.active) {
        step.ended = f;
        if (f.bits == 0) {
          step.end = FrameEnd::Empty;
        } else if (readBits_ > 0 && !(f.word & 1u)) {
          step.end = FrameEnd::Read;
        } else if (f.bits == bits_ && (f.word & flagMask_) == flags_) {
          step.end = FrameEnd::Latched;
        } else {
          step.end = FrameEnd::Rejected;
        }
      }
      f.active = false;
      outputBit_ = -1;
    }
    if (f.active && isActive && Rose(before, byte, clock_)) {
      f.Take(byte & data_);
      step.tookBit = true;
      if (readBits_ > 0) {
        // A read frame: after edge j+2 the chip drives code bit j.
        const int j = f.bits - 2;
        outputBit_ = !(f.word & 1u) && j >= 0 && j < readBits_ ? j : -1;
      }
    }
    return step;
  }
  int OutputBit() const override { return outputBit_; }
  const ChipFrame& frame() const override { return frame_; }

 private:
  std::uint8_t frameLine_, activeLevel_, clock_, data_;
  int bits_;
  std::uint32_t flags_, flagMask_;
  int readBits_;
  ChipFrame frame_{};
  int outputBit_ = -1;
};

}  // namespace

std::unique_ptr<LineModel> MakeFramedModel(const FrameShape& shape) {
  return std::make_unique<FramedModel>(shape);
}

}  // namespace tarvel

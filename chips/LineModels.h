// Line-level models of the chips: what a chip makes of a change of the
// parallel port's data lines. The simulated bench drives its registers with
// them, and the frame decoder reads captures with them, so both judge a frame
// by the same rules. Each chip's row (Chips.h) names the model of its frames.
//
// The framed model that the program's chips use, on a frame's lines:
//   The frame line leaving its idle level starts a frame; every rising clock
//   while the frame line is active takes one bit (first bit first). When the
//   frame line returns, a write frame of exactly the frame's bit count whose
//   flag bits are right latches its word. A chip that reads back takes a
//   frame whose first bit is 0 as a read, and drives code bit j on its
//   output after rising edge j+2 of the frame.
//
// A write frame of the wrong length or shape latches nothing (Rejected).
// Frames without a single clock (a select or enable pulse on its own, as
// another chip's traffic produces on shared lines) and read frames of any
// length change nothing in the chip.
#pragma once

#include <cstdint>
#include <memory>

namespace tarvel {

struct FrameShape;

// The bits a chip shifted in since its frame line went active; the first
// bit is bit 0 of `word`.
struct ChipFrame {
  bool active = false;
  int bits = 0;
  std::uint32_t word = 0;
  void Start() { active = true, bits = 0, word = 0; }
  void Take(bool bit) {
    if (bits < 32 && bit) word |= 1u << bits;
    if (bits < 1000) ++bits;
  }
};

// What a chip did with a frame when its frame line went inactive.
enum class FrameEnd {
  None,      // no frame ended
  Empty,     // a frame without a clock: the other chip's traffic
  Latched,   // a write frame that set the chip's register
  Rejected,  // a write frame of the wrong length or shape: nothing latched
  Read,      // a read frame
};

// What one change of the data lines did to a chip.
struct LineStep {
  bool started = false;  // the frame line went active
  bool tookBit = false;  // a clock edge shifted one bit in
  FrameEnd end = FrameEnd::None;
  ChipFrame ended;  // the frame that ended, when `end` is not None
};

// One frame's worth of a chip: its lines in, its frames and output bit out.
class LineModel {
 public:
  virtual ~LineModel() = default;
  virtual LineStep Change(std::uint8_t before, std::uint8_t after) = 0;
  // The bit of its code the chip drives on its output now, or -1.
  virtual int OutputBit() const = 0;
  virtual const ChipFrame& frame() const = 0;
};

// The framed model described above, on `shape`'s lines.
std::unique_ptr<LineModel> MakeFramedModel(const FrameShape& shape);

}  // namespace tarvel

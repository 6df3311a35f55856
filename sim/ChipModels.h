// Line-level models of the two chips: what each one makes of a change of the
// parallel port's data lines. The simulated bench drives its registers with
// them, and the frame decoder reads captures with them, so both judge a frame
// by the same rules.
//
// The lines are the ones device/Wiring.h gives.
// RX4410, per channel:
//   A falling select starts a frame; every rising clock while selected takes
//   one bit. The first bit is 1 for a write, 0 for a read. A write frame of
//   exactly 8 bits whose bit 1 is 0 latches bits 2..7 as the channel's code
//   when select rises. In a read frame the chip drives code bit j on its
//   output after rising edge j+2 of the frame.
// TQM7731: a rising enable starts a frame, every rising clock while enabled takes one bit (least
//   significant first), and a falling enable after exactly 10 bits latches
//   bits 5..9 as "Attn A" and bits 0..4 as "Attn B".
//
// A write frame of the wrong length or shape latches nothing (Rejected).
// Frames without a single clock (a select or enable pulse on its own, as the
// other chip's traffic produces on shared lines) and read frames of any
// length change nothing in the chip.
#pragma once

#include <cstdint>

#include "device/Wiring.h"

namespace tarvel {

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
  Read,      // a read frame (RX4410)
};

// What one change of the data lines did to a chip.
struct LineStep {
  bool started = false;  // the frame line went active
  bool tookBit = false;  // a clock edge shifted one bit in
  FrameEnd end = FrameEnd::None;
  ChipFrame ended;  // the frame that ended, when `end` is not None
};

// One channel of the RX4410.
class Rx4410Channel {
 public:
  explicit Rx4410Channel(int channel = 0) : lines_(kRx4410Lines[channel]) {}
  LineStep Change(std::uint8_t before, std::uint8_t after);
  // The bit of its code the chip drives on its output now (0..5), or -1.
  int OutputBit() const { return outputBit_; }
  const ChipFrame& frame() const { return frame_; }
  const Rx4410Lines& lines() const { return lines_; }
  // The code a latched write frame carries.
  static int Code(std::uint32_t word) { return static_cast<int>((word >> 2) & 63u); }

 private:
  Rx4410Lines lines_;
  ChipFrame frame_{};
  int outputBit_ = -1;
};

// The TQM7731.
class Tqm7731Chip {
 public:
  LineStep Change(std::uint8_t before, std::uint8_t after);
  const ChipFrame& frame() const { return frame_; }
  // "Attn A" and "Attn B" of a latched word.
  static int AttnA(std::uint32_t word) { return static_cast<int>((word >> 5) & 31u); }
  static int AttnB(std::uint32_t word) { return static_cast<int>(word & 31u); }

 private:
  ChipFrame frame_{};
};

}  // namespace tarvel

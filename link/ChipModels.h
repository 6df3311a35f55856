// Line-level models of the two chips: what each one makes of a change of the
// parallel port's data lines. The simulated bench drives its registers with
// them, and the frame decoder reads captures with them, so both judge a frame
// by the same rules.
//
// RX4410, per channel (first / second):
//   select D0 / D7 (active low), clock D2 / D5, data D1 / D6,
//   serial output on status bit 5 / bit 4.
//   A falling select starts a frame; every rising clock while selected takes
//   one bit. The first bit is 1 for a write, 0 for a read. A write frame of
//   exactly 8 bits whose bit 1 is 0 latches bits 2..7 as the channel's code
//   when select rises. In a read frame the chip drives code bit j on its
//   output after rising edge j+2 of the frame.
// TQM7731: enable D2 (active high), clock D1, data D0. A rising enable starts
//   a frame, every rising clock while enabled takes one bit (least
//   significant first), and a falling enable after exactly 10 bits latches
//   bits 5..9 as "Attn A" and bits 0..4 as "Attn B".
//
// A write frame of the wrong length or shape latches nothing (Rejected).
// Frames without a single clock (a select or enable pulse on its own, as the
// other chip's traffic produces on shared lines) and read frames of any
// length change nothing in the chip.
#pragma once

#include <cstdint>

namespace tarvel {

// The port lines of one RX4410 channel, as bit masks.
struct Rx4410Lines {
  std::uint8_t select, clock, data, output;  // output: a status-register bit
};
inline constexpr Rx4410Lines kRx4410Lines[2] = {
    {0x01, 0x04, 0x02, 0x20},  // first channel: D0, D2, D1 -> status bit 5
    {0x80, 0x20, 0x40, 0x10},  // second channel: D7, D5, D6 -> status bit 4
};
inline constexpr std::uint8_t kTqm7731Enable = 0x04;
inline constexpr std::uint8_t kTqm7731Clock = 0x02;
inline constexpr std::uint8_t kTqm7731Data = 0x01;

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

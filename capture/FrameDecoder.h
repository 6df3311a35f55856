// Frame decoder: turns a sequence of port line levels (a trace, or a logic
// analyser's capture of the port) into what each chip made of them, using
// the chips' own line models (chips/Chips.h): the words they latched, the
// codes a read returned, and the frames they ignored.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "chips/Chips.h"

namespace tarvel {

// Levels of the data register's lines D0..D7 and the status register's
// lines, with a mask of the lines whose level is known (x, z or no wire at
// all leave a line unknown).
struct PortLevels {
  std::uint8_t data = 0;
  std::uint8_t status = 0;
  std::uint8_t dataKnown = 0xFF;
  std::uint8_t statusKnown = 0xFF;
};

enum class FrameKind { Write, Read, Anomaly };

struct DecodedFrame {
  std::uint64_t start = 0;  // when the frame line went active
  std::uint64_t end = 0;    // when it went inactive (or the capture ended)
  int chip = 0;             // the chip's index in Chips()
  int channel = 0;          // a frame of one channel: 0 "Chan 1", 1 "Chan 2"
  FrameKind kind = FrameKind::Anomaly;
  int bits = 0;                      // bits shifted in; for a read, the clocks given
  std::uint32_t word = 0;            // the bits, first in bit 0 (a read's returned code)
  std::array<int, 2> codes{-1, -1};  // write/read of one channel: code; of both: both codes
  std::string text;                  // "RX4410 Chan 1 write 40", "RX4410 Chan 1 read -> 8"
};

class FrameDecoder {
 public:
  using Sink = std::function<void(const DecodedFrame&)>;
  explicit FrameDecoder(Sink sink);

  // The lines' levels from `time` on (times never decrease). The first call
  // only sets the starting levels; a line that was unknown and becomes known
  // makes no edge.
  void Step(std::uint64_t time, const PortLevels& levels);
  // The capture ended at `time`: frames still open are reported as cut off.
  void Finish(std::uint64_t time);

 private:
  void Emit(const DecodedFrame& frame) { sink_(frame); }
  // One frame of one chip: its model and what the decoder keeps of it.
  struct Slot {
    const Chip* chip;
    int chipIndex;
    const FrameShape* frame;
    std::unique_ptr<LineModel> model;
    std::uint64_t start = 0;     // when the frame line went active
    int unknownBit = -1;         // first bit taken from an unknown data line
    std::vector<int> samples{};  // read-back samples: 0, 1, -1 unknown
  };
  void End(Slot& slot, std::uint64_t time, const LineStep& step);

  Sink sink_;
  bool started_ = false;
  std::uint8_t held_ = 0;       // data levels as the models see them
  std::uint8_t everKnown_ = 0;  // data lines known at least once
  PortLevels last_{};
  std::vector<Slot> slots_;
};

// "12.000 us  RX4410 Chan 1 write 40": the frame's start in microseconds.
std::string FormatFrameLine(const DecodedFrame& frame, double microsecondsPerUnit);

// The frame's bits in the order sent: "1 0 0 0 0 1 0 1".
inline std::string FrameBitsText(const DecodedFrame& frame) {
  std::string out;
  const int n = frame.kind == FrameKind::Read ? Chips()[static_cast<std::size_t>(frame.chip)]->codeBits
                : frame.bits < 32             ? frame.bits
                                              : 32;
  for (int i = 0; i < n; ++i) {
    if (i > 0) out += ' ';
    out += ((frame.word >> i) & 1u) ? '1' : '0';
  }
  return out;
}

}  // namespace tarvel

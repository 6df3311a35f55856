// Frame decoder: turns a sequence of port line levels (a trace, or a logic
// analyser's capture of the port) into what each chip made of them, using
// the chips' own line models (ChipModels.h): the words they latched, the
// codes a read returned, and the frames they ignored.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "sim/ChipModels.h"

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
  bool tqm7731 = false;     // else RX4410
  int channel = 0;          // RX4410: 0 "Chan 1", 1 "Chan 2"
  FrameKind kind = FrameKind::Anomaly;
  int bits = 0;                      // bits shifted in; for a read, the clocks given
  std::uint32_t word = 0;            // the bits, first in bit 0 (a read's returned code)
  std::array<int, 2> codes{-1, -1};  // write/read: code; TQM7731: Attn A, Attn B
  std::string text;                  // "RX4410 Chan 1 write 40", "TQM7731: enable fell ..."
};

class FrameDecoder {
 public:
  using Sink = std::function<void(const DecodedFrame&)>;
  explicit FrameDecoder(Sink sink) : sink_(std::move(sink)) {}

  // The lines' levels from `time` on (times never decrease). The first call
  // only sets the starting levels; a line that was unknown and becomes known
  // makes no edge.
  void Step(std::uint64_t time, const PortLevels& levels);
  // The capture ended at `time`: frames still open are reported as cut off.
  void Finish(std::uint64_t time);

 private:
  void Emit(const DecodedFrame& frame) { sink_(frame); }
  void EndRx(std::size_t c, std::uint64_t time, const LineStep& step);
  void EndTqm(std::uint64_t time, const LineStep& step);

  Sink sink_;
  bool started_ = false;
  std::uint8_t held_ = 0;       // data levels as the models see them
  std::uint8_t everKnown_ = 0;  // data lines known at least once
  PortLevels last_{};
  std::array<Rx4410Channel, 2> rx_{Rx4410Channel(0), Rx4410Channel(1)};
  Tqm7731Chip tqm_{};
  std::array<std::uint64_t, 3> frameStart_{};    // RX channel 0, 1, TQM7731
  std::array<int, 3> unknownBit_{-1, -1, -1};    // first bit taken from an unknown data line
  std::array<std::array<int, 6>, 2> samples_{};  // read-back samples: 0, 1, -1 unknown
};

// "12.000 us  RX4410 Chan 1 write 40": the frame's start in microseconds.
std::string FormatFrameLine(const DecodedFrame& frame, double microsecondsPerUnit);

// The frame's bits in the order sent: "1 0 0 0 0 1 0 1".
inline std::string FrameBitsText(const DecodedFrame& frame) {
  std::string out;
  const int n = frame.kind == FrameKind::Read ? 6 : frame.bits < 32 ? frame.bits : 32;
  for (int i = 0; i < n; ++i) {
    if (i > 0) out += ' ';
    out += ((frame.word >> i) & 1u) ? '1' : '0';
  }
  return out;
}

}  // namespace tarvel

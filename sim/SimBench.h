// The simulated bench: software models of an RX4410 and a TQM7731 wired to
// the parallel port's lines. The models (ChipModels.h) decode line levels
// (edges of the select, enable and clock lines), not bytes, so they check the
// sequences the way the real chips would. A write frame of the wrong length
// or shape latches nothing and counts as a protocol error. Status bits that
// no chip drives read 0.
#pragma once

#include <array>
#include <cstdint>

#include "sim/ChipModels.h"

namespace tarvel {

struct BenchState {
  std::uint8_t data = 0;                             // level of D0..D7
  std::array<int, 2> rx4410{0, 0};                   // RX4410 channel codes, 0..63
  std::array<int, 2> tqm7731{0, 0};                  // TQM7731 "Attn A", "Attn B", 0..31
  std::array<std::uint64_t, 2> rx4410Latches{0, 0};  // words latched per channel
  std::uint64_t tqm7731Latches = 0;                  // words latched
  std::uint64_t protocolErrors = 0;                  // frames that latched nothing

  bool operator==(const BenchState&) const = default;
};

class SimBench {
 public:
  SimBench() = default;
  explicit SimBench(const BenchState& state) : state_(state) {}

  // One new level on all eight data lines.
  void WriteData(std::uint8_t byte);
  // The status register as the chips drive it.
  std::uint8_t ReadStatus() const;

  const BenchState& state() const { return state_; }
  // Loads a saved state; frames in progress are dropped.
  void SetState(const BenchState& state);

 private:
  BenchState state_;
  std::array<Rx4410Channel, 2> rx_{Rx4410Channel(0), Rx4410Channel(1)};
  Tqm7731Chip tqm_{};
};

}  // namespace tarvel

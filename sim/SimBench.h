// The simulated bench: software models of every chip in the chip table
// (chips/Chips.h) wired to the parallel port's lines. The models
// (chips/LineModels.h) decode line levels (edges of the select, enable and
// clock lines), not bytes, so they check the sequences the way the real
// chips would. A write frame of the wrong length or shape latches nothing and
// counts as a protocol error. Status bits that no chip drives read 0.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "chips/Chips.h"

namespace tarvel {

// The registers of a chip registered after the program's own two.
struct ChipRegisters {
  std::array<int, 2> codes{0, 0};
  std::vector<std::uint64_t> latches;  // words latched per frame
  bool operator==(const ChipRegisters&) const = default;
};

struct BenchState {
  std::uint8_t data = 0;  // level of D0..D7
  // The registers of the table's first two rows (named for the state's
  // readers); further rows' are in `more`, by state-file key.
  std::array<int, 2> rx4410{0, 0};                   // RX4410 channel codes, 0..63
  std::array<int, 2> tqm7731{0, 0};                  // second chip's channel codes, 0..31
  std::array<std::uint64_t, 2> rx4410Latches{0, 0};  // words latched per channel
  std::uint64_t tqm7731Latches = 0;                  // words latched
  std::map<std::string, ChipRegisters, std::less<>> more;
  std::uint64_t protocolErrors = 0;  // frames that latched nothing

  bool operator==(const BenchState&) const = default;
};

// A chip's registers in a state: its codes and its latch counter per frame.
struct RegisterView {
  std::array<int, 2>& codes;
  std::span<std::uint64_t> latches;
};
// The chip's registers in `state`, made for a registered chip that has none.
RegisterView RegistersOf(BenchState& state, std::size_t chipIndex);
// Its codes (0, 0 for a registered chip without registers in `state`).
std::array<int, 2> CodesOf(const BenchState& state, std::size_t chipIndex);

class SimBench {
 public:
  SimBench() { Reset(); }
  explicit SimBench(const BenchState& state) : state_(state) { Reset(); }

  // One new level on all eight data lines.
  void WriteData(std::uint8_t byte);
  // The status register as the chips drive it.
  std::uint8_t ReadStatus() const;

  const BenchState& state() const { return state_; }
  // Loads a saved state; frames in progress are dropped.
  void SetState(const BenchState& state);

 private:
  // One frame's model, and where its latches go.
  struct Slot {
    std::size_t chip;
    const FrameShape* frame;
    std::unique_ptr<LineModel> model;
  };
  void Reset();

  BenchState state_;
  std::vector<Slot> slots_;
};

}  // namespace tarvel

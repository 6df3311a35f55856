// The simulated bench: software models of an RX4410 and a TQM7731 wired to
// the parallel port's lines. The models (ChipModels.h) decode line levels
// (edges of the select, enable and clock lines), not bytes, so they check the
// sequences the way the real chips would. A write frame of the wrong length
// or shape latches nothing and counts as a protocol error. Status bits that
// no chip drives read 0.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "ChipModels.h"
#include "PortIO.h"

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

// Saving and loading bench states as text. Parse returns nothing for text
// that is not a complete, valid state.
std::string FormatBenchState(const BenchState& state);
std::optional<BenchState> ParseBenchState(const std::string& text);

// The bench as a port backend. With an empty path it lives in memory only;
// otherwise its state is loaded from `path` when a device command opens the
// port and saved there when it closes, under an exclusive lock on
// "path.lock", and replaced atomically, so processes never interleave and a
// crash never leaves a half-written state. A missing file starts a fresh
// bench; a damaged one is kept as "path.damaged" and starts a fresh bench
// with a warning; a read-back from a fresh bench says so on standard error.
// A link at `path` is followed (the file it names is locked and replaced,
// keeping its mode); anything but a regular file, and a lock file that is a
// link or not the user's own, are refused. The lock is waited for 2 s at
// most. Missing folders are made only inside the user's state folder.
class SimPortBackend : public PortBackend {
 public:
  explicit SimPortBackend(std::string statePath = {});
  ~SimPortBackend() override;

  bool Open(std::int32_t base, PortError& error) override;
  bool Write(std::int32_t port, std::uint8_t value, PortError& error) override;
  bool Read(std::int32_t port, std::uint8_t& value, PortError& error) override;
  bool Close(PortError& error) override;

  const SimBench& bench() const { return bench_; }
  SimBench& bench() { return bench_; }
  const std::string& statePath() const { return path_; }

 private:
  bool Load(PortError& error);
  bool Save(std::string& reason);
  void Unlock();

  std::string path_;
  std::string file_;  // path_ with a link followed
  BenchState loaded_;
  bool fresh_ = false;
  std::uint64_t reads_ = 0;
  SimBench bench_;
  std::int32_t base_ = 0;
  int lockFd_ = -1;
  bool open_ = false;
};

// Where `TARVEL_PORT=sim` keeps its state: $XDG_STATE_HOME/tarvel/bench.state,
// else ~/.local/state/tarvel/bench.state. Empty when neither is known.
std::string DefaultBenchStatePath();

// Reads a bench state file as a test or a script would; nothing on failure.
std::optional<BenchState> LoadBenchStateFile(const std::string& path);

}  // namespace tarvel

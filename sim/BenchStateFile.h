// The simulated bench's state file: its text format, where it is kept, and
// reading it as a test or a script would.
#pragma once

#include <optional>
#include <string>

#include "sim/SimBench.h"

namespace tarvel {

// Saving and loading bench states as text. Parse returns nothing for text
// that is not a complete, valid state.
std::string FormatBenchState(const BenchState& state);
std::optional<BenchState> ParseBenchState(const std::string& text);

// Where `TARVEL_PORT=sim` keeps its state: $XDG_STATE_HOME/tarvel/bench.state,
// else ~/.local/state/tarvel/bench.state. Empty when neither is known.
std::string DefaultBenchStatePath();

// Reads a whole state file without blocking on a FIFO put in its place and
// without following it past 64 KiB: Ok, Missing (no such file) or Failed
// with the reason.
enum class ReadOutcome { Ok, Missing, Failed };
ReadOutcome ReadWholeFile(const std::string& path, std::string& text, std::string& reason);
// The same from an open regular file, from its start: Ok or Failed.
ReadOutcome ReadWholeFd(int fd, std::string& text, std::string& reason);

}  // namespace tarvel

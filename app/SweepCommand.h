// The `--sweep` and `--sequence` modes: parse and check everything, then run
// the steps on the port with a progress line, a log and clean interruption.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tarvel {

class Calibration;

// Options after the positional words: "--name value" or a bare flag.
struct ParsedOptions {
  std::vector<std::string> positional;
  std::map<std::string, std::string> values;
  std::set<std::string> flags;
};

// Up to `positionals` words that do not start with "--", then options of
// `withValue` (each followed by its value) and `bare` flags, each at most
// once; empty with the reason in `error` otherwise.
std::optional<ParsedOptions> ParseWords(int argc, const char* const* argv, std::size_t positionals,
                                        const std::set<std::string>& withValue,
                                        const std::set<std::string>& bare, std::string& error);

// "tarvel MODE: WHY" on standard error; returns the usage status (64).
int Refuse(const char* mode, const std::string& why);

// Exit status of a stopped run (interrupted by SIGINT or SIGTERM).
constexpr int kExitInterrupted = 130;

// Both get the words after their option's name.
int RunSweepOption(int argc, const char* const* argv);
int RunSequenceOption(int argc, const char* const* argv);

}  // namespace tarvel

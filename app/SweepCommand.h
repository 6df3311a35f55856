// The `--sweep` and `--sequence` modes: parse and check everything, then run
// the steps on the port with a progress line, a log and clean interruption.
#pragma once

namespace tarvel {

// Exit status of a stopped run (interrupted by SIGINT or SIGTERM).
constexpr int kExitInterrupted = 130;

// Both get the words after their option's name.
int RunSweepOption(int argc, const char* const* argv);
int RunSequenceOption(int argc, const char* const* argv);

}  // namespace tarvel

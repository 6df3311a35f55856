#include "PortSelect.h"

#include <cstdlib>

#include "SimBench.h"

namespace tarvel {

const char* const kPortChoices = "auto, /dev/parportN, direct, sim or sim:PATH";

std::unique_ptr<PortBackend> MakePortBackend(std::string_view choice, PortError& error) {
  error.failure = PortFailure::Unavailable;
  if (choice == "sim") {
    std::string path = DefaultBenchStatePath();
    if (path.empty()) {
      error.target = "simulated bench";
      error.reason = "neither XDG_STATE_HOME nor HOME names a folder for its state";
      error.remedy = "name the state file with TARVEL_PORT=sim:PATH";
      return nullptr;
    }
    return std::make_unique<SimPortBackend>(std::move(path));
  }
  if (choice.starts_with("sim:")) {
    const std::string_view path = choice.substr(4);
    if (path.empty()) {
      error.target = "simulated bench";
      error.reason = "TARVEL_PORT=sim: names no state file";
      error.remedy = "write TARVEL_PORT=sim:PATH with a file name, or TARVEL_PORT=sim";
      return nullptr;
    }
    return std::make_unique<SimPortBackend>(std::string(path));
  }
  if (choice.empty() || choice == "auto") {
    error.target = "the parallel port";
    error.reason = "no port back-end for real hardware is available in this build";
    error.remedy = "set TARVEL_PORT=sim to use the simulated bench";
    return nullptr;
  }
  error.target = "TARVEL_PORT=" + std::string(choice);
  error.reason = "not a port choice";
  error.remedy = std::string("set TARVEL_PORT to one of ") + kPortChoices;
  return nullptr;
}

std::unique_ptr<PortBackend> MakePortBackendFromEnvironment(PortError& error) {
  const char* choice = std::getenv("TARVEL_PORT");
  return MakePortBackend(choice != nullptr ? choice : "", error);
}

}  // namespace tarvel

// Helpers shared by the test suites (no Qt).
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "core/MainModule.h"

namespace tarvel::testing {

// Records alerts instead of showing them; optionally runs a callback while
// the "box" is open, as a user's actions would happen while a real box waits.
class RecordingPresenter : public AlertPresenter {
 public:
  void Present(const Alert& alert) override {
    shown.push_back(alert);
    if (whileOpen) whileOpen(alert);
  }
  std::vector<Alert> shown;
  std::function<void(const Alert&)> whileOpen;
};

// An empty folder of the system's temporary directory, named for the test
// and the process (tests run in parallel processes).
inline std::filesystem::path FreshTempDir(const std::string& tag) {
  auto dir = std::filesystem::temp_directory_path() / ("tarvel-" + tag + "-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

// The whole content of a file, byte for byte; empty if it cannot be read.
inline std::string Slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace tarvel::testing

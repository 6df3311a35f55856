#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QWidget>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "core/MainModule.h"
#include "ports/SimPortBackend.h"
#include "sim/SimBench.h"

namespace tarvel {
class MainForm;
}

namespace tarvel::testing {

// A temporary working directory for one test, left again afterwards.
class TempWorkDir {
 public:
  explicit TempWorkDir(const std::string& tag);
  ~TempWorkDir();
  const std::filesystem::path& path() const { return dir_; }

 private:
  std::filesystem::path old_, dir_;
};

// Processes pending events (deferred deletes included).
void Settle();

// A gain-control window on an in-memory simulated bench, with alerts
// recorded; every window is unloaded again afterwards.
class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Loads, shows and activates the gain-control window.
  MainForm* Open();
  // The offscreen platform does not re-activate a window by itself.
  void Activate();
  // Unloads the gain-control window so the next Open starts afresh.
  void Close();
  const BenchState& Bench() const;

  std::shared_ptr<RecordingPresenter> presenter;
  SimPortBackend* sim = nullptr;
  MainForm* main = nullptr;
};

}  // namespace tarvel::testing

#pragma once

#include <QApplication>
#include <QWidget>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/MainModule.h"

namespace tarvel::testing {

// Records alerts; optionally runs a callback while the "box" is open, as a
// user's actions would happen while a real box waits.
class RecordingPresenter : public AlertPresenter {
 public:
  void Present(const Alert& alert) override {
    shown.push_back(alert);
    if (whileOpen) whileOpen(alert);
  }
  std::vector<Alert> shown;
  std::function<void(const Alert&)> whileOpen;
};

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

}  // namespace tarvel::testing

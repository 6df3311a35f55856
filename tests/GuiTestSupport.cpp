#include "GuiTestSupport.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QEvent>

namespace tarvel::testing {

TempWorkDir::TempWorkDir(const std::string& tag) {
  old_ = std::filesystem::current_path();
  dir_ = std::filesystem::temp_directory_path() / ("tarvel-" + tag + "-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir_);
  std::filesystem::create_directories(dir_);
  std::filesystem::current_path(dir_);
}

TempWorkDir::~TempWorkDir() {
  std::filesystem::current_path(old_);
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

void Settle() {
  for (int i = 0; i < 3; ++i) {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
  }
}

}  // namespace tarvel::testing

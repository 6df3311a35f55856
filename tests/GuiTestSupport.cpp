#include "GuiTestSupport.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QEvent>

#include "device/PortIO.h"
#include "ui/Forms.h"
#include "ui/MainForm.h"

namespace tarvel::testing {

TempWorkDir::TempWorkDir(const std::string& tag) {
  old_ = std::filesystem::current_path();
  dir_ = FreshTempDir(tag);
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

void WindowTest::SetUp() {
  presenter = std::make_shared<RecordingPresenter>();
  SetAlertPresenter(presenter);
  auto backend = std::make_unique<SimPortBackend>();
  sim = backend.get();
  SetPortBackend(std::move(backend));
  PortAddress = kLpt1Address;
  DeviceName.clear();
}

void WindowTest::TearDown() {
  forms::UnloadMain();
  forms::UnloadStartup();
  forms::UnloadAbout();
  Settle();
  SetPortBackend(nullptr);
  SetAlertPresenter(nullptr);
}

MainForm* WindowTest::Open() {
  main = forms::LoadMain();
  main->show();
  Activate();
  return main;
}

void WindowTest::Activate() {
  main->activateWindow();
  QApplication::setActiveWindow(main);
  QApplication::processEvents();
}

void WindowTest::Close() {
  forms::UnloadMain();
  Settle();
  DeviceName.clear();
  main = nullptr;
}

const BenchState& WindowTest::Bench() const { return sim->bench().state(); }

}  // namespace tarvel::testing

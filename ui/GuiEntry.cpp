// The entry points of the GUI library, which the program opens on demand.
#include <QApplication>
#include <QSocketNotifier>
#include <memory>

#include "app/GuiLoader.h"
#include "core/MainModule.h"
#include "core/Signals.h"
#include "ui/Forms.h"
#include "ui/QtAlertPresenter.h"
#include "ui/StartupForm.h"

// The program checks this before it calls anything else here.
extern "C" __attribute__((visibility("default"))) int tarvel_gui_interface_version() {
  return tarvel::kGuiInterfaceVersion;
}

namespace {

// SIGINT/SIGTERM end every event loop (the windows', an open box's), so the
// program goes on to release the port, write its trace and end by the signal.
std::unique_ptr<QSocketNotifier> EndLoopsOnStopRequest() {
  if (tarvel::StopSignalFd() < 0) return nullptr;
  auto stop = std::make_unique<QSocketNotifier>(tarvel::StopSignalFd(), QSocketNotifier::Read);
  QObject::connect(stop.get(), &QSocketNotifier::activated, [] { QApplication::exit(0); });
  return stop;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int tarvel_gui_run(int argc, char** argv) {
  QApplication app(argc, argv);
  tarvel::forms::InitResources();
  tarvel::forms::InstallFonts();
  QApplication::setApplicationName("Tarvel Control Software");
  QApplication::setDesktopFileName("invalid.tarvel.control");
  QApplication::setWindowIcon(tarvel::forms::ProgramIcon());
  tarvel::SetAlertPresenter(std::make_shared<tarvel::QtAlertPresenter>());
  tarvel::forms::LoadStartup()->show();
  const auto stop = EndLoopsOnStopRequest();
  const int status = app.exec();
  tarvel::SetAlertPresenter(nullptr);
  return status;
}

extern "C" __attribute__((visibility("default"))) void tarvel_gui_message_box(int icon, const char* title,
                                                                              const char* text) {
  std::unique_ptr<QApplication> owned;
  if (QApplication::instance() == nullptr) {
    static int argc = 1;
    static char name[] = "tarvel";
    static char* argv[] = {name, nullptr};
    owned = std::make_unique<QApplication>(argc, argv);
    tarvel::forms::InitResources();
    tarvel::forms::InstallFonts();
  }
  const auto stop = EndLoopsOnStopRequest();
  tarvel::ShowMessageBox(icon == 1 ? QMessageBox::Warning : QMessageBox::Critical, QString::fromUtf8(title),
                         QString::fromUtf8(text));
}

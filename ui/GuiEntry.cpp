// The window library's entry table, the one thing it exports.
#include <QApplication>
#include <QSocketNotifier>
#include <memory>

#include "app/GuiInterface.h"
#include "app/ProcessPorts.h"
#include "capture/Trace.h"
#include "core/MainModule.h"
#include "core/Signals.h"
#include "ui/Forms.h"
#include "ui/QtAlertPresenter.h"
#include "ui/StartupForm.h"

namespace {

// SIGINT/SIGTERM end every event loop (the windows', an open box's), so the
// program goes on to release the port, write its trace and end by the signal.
std::unique_ptr<QSocketNotifier> EndLoopsOnStopRequest(int stopFd) {
  if (stopFd < 0) return nullptr;
  auto stop = std::make_unique<QSocketNotifier>(stopFd, QSocketNotifier::Read);
  QObject::connect(stop.get(), &QSocketNotifier::activated, [] { QApplication::exit(0); });
  return stop;
}

int Run(int argc, char** argv, const tarvel_gui_host*) {
  // This library's own stop requests, port link and trace: it shares no
  // state with the program that opened it.
  tarvel::InstallStopHandlers();
  tarvel::UseProcessPorts();
  int status = 0;
  {
    QApplication app(argc, argv);
    tarvel::forms::InitResources();
    tarvel::forms::InstallFonts();
    QApplication::setApplicationName("Tarvel Control Software");
    QApplication::setDesktopFileName("invalid.tarvel.control");
    QApplication::setWindowIcon(tarvel::forms::ProgramIcon());
    tarvel::SetAlertPresenter(std::make_shared<tarvel::QtAlertPresenter>());
    tarvel::forms::LoadStartup()->show();
    const auto stop = EndLoopsOnStopRequest(tarvel::StopSignalFd());
    status = app.exec();
    tarvel::SetAlertPresenter(nullptr);
  }
  // A SIGINT/SIGTERM ended the windows: write the trace, then end by it.
  tarvel::FlushProcessTrace();
  tarvel::FinishStopRequest();
  return status;
}

void MessageBox(const tarvel_gui_host* host, int icon, const char* title, const char* text) {
  std::unique_ptr<QApplication> owned;
  if (QApplication::instance() == nullptr) {
    static int argc = 1;
    static char name[] = "tarvel";
    static char* argv[] = {name, nullptr};
    owned = std::make_unique<QApplication>(argc, argv);
    tarvel::forms::InitResources();
    tarvel::forms::InstallFonts();
  }
  const auto stop = EndLoopsOnStopRequest(host != nullptr ? host->stop_fd : -1);
  tarvel::ShowMessageBox(icon == 1 ? QMessageBox::Warning : QMessageBox::Critical, QString::fromUtf8(title),
                         QString::fromUtf8(text));
}

constexpr tarvel_gui_table kEntry{TARVEL_GUI_INTERFACE_VERSION, &Run, &MessageBox};

}  // namespace

extern "C" __attribute__((visibility("default"))) const tarvel_gui_table* tarvel_gui_entry() {
  return &kEntry;
}

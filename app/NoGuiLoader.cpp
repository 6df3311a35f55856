// The loader of a build without the window library (the Windows build, whose
// windows would need Qt for Windows): command-line mode, --serve, sweeps and
// the decoder work; window mode says it is not there. Alerts are the
// standard-error line, and a message box on an interactive desktop.
#include "app/GuiLoader.h"

#include "core/platform/Platform.h"

namespace tarvel {

GuiEntry::GuiEntry(const tarvel_gui_table* table) : table_(table) {}

int GuiEntry::Run(int argc, char** argv) const { return table_->run(argc, argv, &host_); }

void GuiEntry::MessageBox(AlertIcon icon, const std::string& title, const std::string& text) const {
  table_->message_box(&host_, icon == AlertIcon::Warning ? 1 : 2, title.c_str(), text.c_str());
}

const GuiEntry* LoadGui(std::string& error) {
  error =
      "this build has no windows (they need Qt for Windows); use the command line: tarvel DEVICE CODE1 "
      "CODE2, "
      "or tarvel --help";
  return nullptr;
}

// The Windows build has no window library: tarvel without arguments says so.
bool WindowsBuiltIn() { return false; }
bool DisplayAvailable() { return platform::InteractiveDesktop(); }
bool DisplayReachable() { return platform::InteractiveDesktop(); }

void CommandLineAlertPresenter::Present(const Alert& alert) {
  StderrAlertPresenter().Present(alert);
  // Only where someone can press OK: a box in a service, a scheduled task
  // or CI would wait for ever.
  if (!platform::InteractiveDesktop()) return;
  platform::ShowMessageBox(
      alert.title, alert.text,
      alert.icon == AlertIcon::Warning ? platform::BoxIcon::Warning : platform::BoxIcon::Error);
}

}  // namespace tarvel

// The loader of the Windows build, whose windows (win32/) are linked into the
// program: they register their entry table before main runs, and LoadGui
// hands it out. A program linked without them (the tests' helpers) says
// window mode is not there. Command-line alerts are the standard-error line,
// and a message box on an interactive desktop.
#include "app/GuiLoader.h"

#include "core/platform/Platform.h"

namespace tarvel {

namespace {
tarvel_gui_entry_function g_builtIn = nullptr;
}  // namespace

void RegisterBuiltInGui(tarvel_gui_entry_function entry) { g_builtIn = entry; }

GuiEntry::GuiEntry(const tarvel_gui_table* table) : table_(table) { host_.version = table->version; }

int GuiEntry::Run(int argc, char** argv) const { return table_->run(argc, argv, &host_); }

void GuiEntry::MessageBox(AlertIcon icon, const std::string& title, const std::string& text) const {
  table_->message_box(&host_, icon == AlertIcon::Warning ? 1 : 2, title.c_str(), text.c_str());
}

const GuiEntry* LoadGui(std::string& error) {
  const tarvel_gui_table* table = g_builtIn != nullptr ? g_builtIn() : nullptr;
  if (table == nullptr) {
    error =
        "this program was linked without its windows; use the command line: tarvel DEVICE CODE1 CODE2, "
        "or tarvel --help";
    return nullptr;
  }
  if (table->version != kGuiInterfaceVersion) {
    error = "the windows linked into this program are of another interface version";
    return nullptr;
  }
  static const GuiEntry entry(table);
  return &entry;
}

bool WindowsBuiltIn() { return g_builtIn != nullptr; }
// Windows' desktop is there whenever a user is: no display server to reach.
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

// The windows live in a separate library that the program opens only when it
// has to show a window or a message box, so command-line runs never pay for
// loading the GUI toolkit.
#pragma once

#include <string>

#include "app/GuiInterface.h"
#include "core/MainModule.h"

namespace tarvel {

inline constexpr int kGuiInterfaceVersion = TARVEL_GUI_INTERFACE_VERSION;

// The window library, opened.
class GuiEntry {
 public:
  explicit GuiEntry(const tarvel_gui_table* table);
  // Window mode; returns the exit status.
  int Run(int argc, char** argv) const;
  // A modal alert box; returns on OK.
  void MessageBox(AlertIcon icon, const std::string& title, const std::string& text) const;

 private:
  const tarvel_gui_table* table_;
  tarvel_gui_host host_{};
};

// False in a build made without the window library (TARVEL_BUILD_GUI=OFF,
// as the Arm packages are): there is nothing to open, whatever the display.
bool WindowsBuiltIn();

// The Windows build links its windows into the program instead of opening a
// library: they hand their entry here while the program starts (a static
// object's constructor), and LoadGui returns it. Elsewhere unused.
void RegisterBuiltInGui(tarvel_gui_entry_function entry);

// Opens the GUI library (once) and returns its entry points, or nullptr with
// a reason in `error`.
const GuiEntry* LoadGui(std::string& error);

// True when DISPLAY or WAYLAND_DISPLAY is set and not empty.
bool DisplayAvailable();

// True when the windows can really be opened: the X server or Wayland
// compositor the toolkit would use accepts a connection (tried once, in a
// child process, for a few seconds at most), or QT_QPA_PLATFORM names a
// platform that needs no display server.
bool DisplayReachable();

// Command-line alerts: one line on standard error, and where a display is
// set and reachable also the modal message box, which waits for OK.
class CommandLineAlertPresenter : public AlertPresenter {
 public:
  void Present(const Alert& alert) override;
};

}  // namespace tarvel

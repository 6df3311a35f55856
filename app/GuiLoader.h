// The windows live in a separate library that the program opens only when it
// has to show a window or a message box, so command-line runs never pay for
// loading the GUI toolkit.
#pragma once

#include <string>

#include "core/MainModule.h"

namespace tarvel {

// Entry points the GUI library exports with C linkage.
extern "C" {
using GuiRunFunction = int (*)(int argc, char** argv);
using GuiMessageBoxFunction = void (*)(int icon, const char* title, const char* text);
}

// The version of the interface between the program and the window library:
// the entry points below and the program symbols the library uses. Raise it
// whenever either changes; the program refuses a library of another version.
inline constexpr int kGuiInterfaceVersion = 1;
using GuiInterfaceVersionFunction = int (*)();

struct GuiEntry {
  GuiRunFunction run = nullptr;                // window mode; returns the exit status
  GuiMessageBoxFunction messageBox = nullptr;  // a modal alert box; returns on OK
};

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

// The program's three windows, each existing at most once: a window is
// created when first shown and forgotten when unloaded.
#pragma once

#include <QIcon>
#include <QSize>
#include <QString>

class QWidget;

namespace tarvel {
class StartupForm;
class MainForm;
class AboutForm;
}  // namespace tarvel

namespace tarvel::forms {

// The existing window, or nullptr.
StartupForm* Startup();
MainForm* Main();
AboutForm* About();

// The existing window, or a newly created (loaded, not yet shown) one.
StartupForm* LoadStartup();
MainForm* LoadMain();
AboutForm* LoadAbout();

// Unloads (closes and forgets) the window, if it exists.
void UnloadStartup();
void UnloadMain();
void UnloadAbout();

// Registers the embedded artwork (icon and logos); safe to call often.
void InitResources();

// Maps the windows' fonts (MS Sans Serif, MS Serif, Arial, Times New
// Roman, Courier) to metric-compatible faces and makes MS Sans Serif 8 the
// windows' default font, the size their twip geometry was laid out for.
void InstallFonts();

// The program icon shared by all windows.
QIcon ProgramIcon();

// Gives a window that is about to open its `wanted` size, or less, so that
// it lies within the available area of its screen at any scale, room for the
// window manager's frame included.
void FitToScreen(QWidget* window, QSize wanted);

// The port the windows drive, for the Tools windows: "LPT1 (H378),
// simulated bench", "LPT2 (H278), /dev/parport0 (0x278)".
QString PortText();

}  // namespace tarvel::forms

// The program's three windows, each existing at most once: a window is
// created when first shown and forgotten when unloaded.
#pragma once

#include <QIcon>

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

}  // namespace tarvel::forms

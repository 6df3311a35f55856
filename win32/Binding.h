// The windows' logic (forms/) bound to the Win32 windows: each control's
// notification to its handler, each window's controls handed to its logic,
// and the window host (loading and unloading windows, ending the program,
// the start-up steps, the shell's document opener).
#pragma once

namespace tarvel::win32 {

// Loads "Setup Menu" (its load handler runs) and shows it.
void OpenStartupWindow();

// Unloads every window; with none left the message loop ends.
void UnloadAllWindows();

// Destroys the windows unloaded since the last call; ends the message loop
// when none is loaded. The message loop calls it where no handler runs.
void CollectUnloadedWindows();

}  // namespace tarvel::win32

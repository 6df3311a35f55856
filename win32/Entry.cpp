// The windows' entry table, handed to the program before main runs (the
// Windows build links the windows into the program), and the message loop.
#include <windows.h>

#include <commctrl.h>

#include <memory>

#include "app/GuiInterface.h"
#include "app/GuiLoader.h"
#include "app/ProcessPorts.h"
#include "capture/Trace.h"
#include "core/MainModule.h"
#include "core/Signals.h"
#include "win32/Alerts.h"
#include "win32/Binding.h"
#include "win32/Form.h"

namespace tarvel::win32 {

namespace {

// Ctrl+C in the console the program was started from ends the windows (the
// check runs in every message loop, a message box's included), so the
// program goes on to release the port, write its trace and end by it.
void CALLBACK CheckStopRequest(HWND, UINT, UINT_PTR, DWORD) {
  if (StopRequested()) ::PostQuitMessage(0);
}

// Common controls 6 (the manifest asks for them): loaded here, in window mode
// only, not imported: loading comctl32 registers its window classes, which
// a command-line run has no use for (and under Wine starts a desktop
// process that keeps the run's output pipes open).
void UseCommonControls() {
  HMODULE comctl = ::LoadLibraryW(L"comctl32.dll");
  if (comctl == nullptr) return;
  using Init = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
  const auto init =
      reinterpret_cast<Init>(reinterpret_cast<void*>(::GetProcAddress(comctl, "InitCommonControlsEx")));
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
  if (init != nullptr) init(&controls);
}

int RunLoop() {
  MSG msg;
  int status = 0;
  for (;;) {
    const BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0) {
      status = static_cast<int>(msg.wParam);
      break;
    }
    if (got == -1) {
      status = 1;
      break;
    }
    // The dialog manager gives the windows Tab, the arrow keys and Enter.
    Form* form = Form::Of(msg.hwnd);
    if (form == nullptr || !::IsDialogMessageW(form->hwnd(), &msg)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
    // No handler of any window runs here: unloaded windows can go.
    CollectUnloadedWindows();
  }
  return status;
}

int Run(int, char**, const tarvel_gui_host*) {
  InstallStopHandlers();
  UseProcessPorts();
  UseCommonControls();
  SetAlertPresenter(std::make_shared<MessageBoxPresenter>());
  const UINT_PTR timer = ::SetTimer(nullptr, 0, 200, &CheckStopRequest);
  OpenStartupWindow();
  const int status = RunLoop();
  ::KillTimer(nullptr, timer);
  UnloadAllWindows();
  CollectUnloadedWindows();
  SetAlertPresenter(nullptr);
  FlushProcessTrace();
  FinishStopRequest();
  return status;
}

void MessageBox(const tarvel_gui_host*, int icon, const char* title, const char* text) {
  ShowOwnerlessBox(icon == 1 ? AlertIcon::Warning : AlertIcon::Error, title, text);
}

constexpr tarvel_gui_table kEntry{TARVEL_GUI_INTERFACE_VERSION, &Run, &MessageBox};

const tarvel_gui_table* Entry() { return &kEntry; }

// Linked into the program, the windows hand it their entry as it starts.
const bool registered = (RegisterBuiltInGui(&Entry), true);

}  // namespace

}  // namespace tarvel::win32

#include "win32/Binding.h"

#include <windows.h>

#include <shellapi.h>

#include "app/Startup.h"
#include "core/MainModule.h"
#include "win32/Windows.h"

namespace tarvel::win32 {

namespace {

void OpenMainWindow();

void OpenAboutWindow() {
  AboutWindow* about = windows::LoadAbout();
  about->OK.onClick = [] {
    MainWindow* main = windows::Main();
    if (main != nullptr) {
      main->Show();
      main->SetEnabled(true);
    }
    windows::UnloadAbout();
  };
  about->Show();
}

void OpenMainWindow() {
  MainWindow* main = windows::LoadMain();
  main->onMenu = [main](MainWindow::MenuItem item) {
    switch (item) {
      case MainWindow::ExitMenu: windows::UnloadAll(); break;
      case MainWindow::OptionsMenu:
        OpenStartupWindow();
        windows::UnloadMain();
        break;
      case MainWindow::UsersManualMenu:
        ::ShellExecuteW(main->hwnd(), L"open", L"UsersManual.PDF", nullptr, nullptr, SW_SHOWNORMAL);
        break;
      case MainWindow::AboutMenu:
        OpenAboutWindow();
        main->SetEnabled(false);
        break;
    }
  };
  main->DeviceOption0.Select();
  main->Show();
}

}  // namespace

void OpenStartupWindow() {
  StartupWindow* startup = windows::LoadStartup();
  startup->LPT1.onClick = [] { PortAddress = kLpt1Address; };
  startup->LPT2.onClick = [] { PortAddress = kLpt2Address; };
  startup->PRN.onClick = [] { PortAddress = kPrnAddress; };
  startup->OK.onClick = [] {
    OpenMainWindow();
    windows::UnloadStartup();
  };
  startup->LPT1.Select();
  RunStartupSteps();
  startup->Show();
  startup->OK.SetFocus();
}

}  // namespace tarvel::win32

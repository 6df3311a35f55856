// A small Win32 window for the window driver's own test: every kind of
// control and step the driver works (a text box coupled to a scroll bar, a
// check box, a button and a menu item that open message boxes, a menu item
// that disables the window behind a second one), so the driver is checked
// apart from the program's windows.
#include <windows.h>

#include <string>

namespace {

enum : int { kEdit = 10, kBar, kGo, kAuto, kLabel, kStop = 100, kLock, kExit, kUnlock };
HWND main_window, second_window;

LRESULT CALLBACK SecondProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_COMMAND && LOWORD(wparam) == kUnlock) {
    ::EnableWindow(main_window, TRUE);
    ::DestroyWindow(hwnd);
    return 0;
  }
  return ::DefWindowProcW(hwnd, message, wparam, lparam);
}

LRESULT CALLBACK MainProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_COMMAND:
      switch (LOWORD(wparam)) {
        case kEdit:
          if (HIWORD(wparam) == EN_CHANGE) {
            wchar_t text[32] = {};
            ::GetDlgItemTextW(hwnd, kEdit, text, 32);
            ::SetScrollPos(::GetDlgItem(hwnd, kBar), SB_CTL, 10 - _wtoi(text), TRUE);
          }
          return 0;
        case kGo: {
          wchar_t text[32] = {};
          ::GetDlgItemTextW(hwnd, kEdit, text, 32);
          ::MessageBoxW(hwnd, (std::wstring(L"Went to ") + text + L".  ").c_str(), L"Error: Check",
                        MB_ICONWARNING);
          ::SetDlgItemTextW(hwnd, kLabel, (std::wstring(L"Done ") + text).c_str());
          return 0;
        }
        case kStop: ::MessageBoxW(hwnd, L"Stopped.", L"Error: Stop", MB_ICONERROR); return 0;
        case kLock:
          second_window = ::CreateWindowW(L"DriverSecond", L"Second", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 300,
                                          10, 200, 120, nullptr, nullptr, nullptr, nullptr);
          ::CreateWindowW(L"BUTTON", L"OK", WS_CHILD | WS_VISIBLE, 10, 10, 80, 24, second_window,
                          reinterpret_cast<HMENU>(kUnlock), nullptr, nullptr);
          ::EnableWindow(hwnd, FALSE);
          return 0;
        case kExit: ::DestroyWindow(hwnd); return 0;
      }
      break;
    case WM_VSCROLL: {
      HWND bar = reinterpret_cast<HWND>(lparam);
      const int step = LOWORD(wparam) == SB_LINEUP ? -1 : LOWORD(wparam) == SB_LINEDOWN ? 1 : 0;
      const int position = ::GetScrollPos(bar, SB_CTL) + step;
      if (step == 0 || position < 0 || position > 10) return 0;
      ::SetScrollPos(bar, SB_CTL, position, TRUE);
      ::SetDlgItemTextW(hwnd, kEdit, std::to_wstring(10 - position).c_str());
      return 0;
    }
    case WM_DESTROY: ::PostQuitMessage(0); return 0;
  }
  return ::DefWindowProcW(hwnd, message, wparam, lparam);
}

HWND Child(const wchar_t* cls, const wchar_t* text, DWORD style, int x, int y, int w, int h, int id) {
  return ::CreateWindowW(cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, main_window,
                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  WNDCLASSW cls{};
  cls.lpfnWndProc = MainProc;
  cls.hInstance = instance;
  cls.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  cls.lpszClassName = L"DriverTarget";
  ::RegisterClassW(&cls);
  cls.lpfnWndProc = SecondProc;
  cls.lpszClassName = L"DriverSecond";
  ::RegisterClassW(&cls);
  HMENU bar = ::CreateMenu(), file = ::CreatePopupMenu(), help = ::CreatePopupMenu();
  ::AppendMenuW(file, MF_STRING, kLock, L"Lock");
  ::AppendMenuW(file, MF_STRING, kExit, L"Exit");
  ::AppendMenuW(help, MF_STRING, kStop, L"Stop");
  ::AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(file), L"File");
  ::AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(help), L"Help");
  main_window = ::CreateWindowW(L"DriverTarget", L"Driver Check", WS_OVERLAPPEDWINDOW, 10, 10, 260, 200,
                                nullptr, bar, instance, nullptr);
  Child(L"EDIT", L"0", WS_BORDER | ES_AUTOHSCROLL, 10, 10, 60, 22, kEdit);
  HWND scroll = Child(L"SCROLLBAR", nullptr, SBS_VERT, 80, 10, 16, 120, kBar);
  ::SetScrollRange(scroll, SB_CTL, 0, 10, FALSE);
  ::SetScrollPos(scroll, SB_CTL, 10, FALSE);
  Child(L"BUTTON", L"Go", BS_PUSHBUTTON, 110, 10, 80, 24, kGo);
  Child(L"BUTTON", L"Auto", BS_AUTOCHECKBOX, 110, 40, 80, 24, kAuto);
  Child(L"STATIC", L"Idle", 0, 110, 70, 100, 20, kLabel);
  ::ShowWindow(main_window, SW_SHOW);
  MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (!::IsDialogMessageW(main_window, &message)) {
      ::TranslateMessage(&message);
      ::DispatchMessageW(&message);
    }
  }
  return 0;
}

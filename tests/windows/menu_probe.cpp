// Loaded into the program under test by the window driver, only where the
// system cannot read another process's menus (Wine keeps a menu's items in
// the process that made it): on loading it writes the menu bars of its
// process's windows to %TEMP%\menu_probe_<process id>.txt, one line per
// item, "WINDOW<tab>MENU<tab>ITEM<tab>ID" in UTF-8, and then refuses to
// stay loaded, so the next pick loads it afresh and reads the menus as they
// are then.
#include <windows.h>

#include <string>

namespace {

std::string Utf8(const wchar_t* w) {
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(n > 0 ? n - 1 : 0), '\0');
  if (n > 1) ::WideCharToMultiByte(CP_UTF8, 0, w, -1, s.data(), n, nullptr, nullptr);
  return s;
}

std::wstring ItemText(HMENU menu, UINT position) {
  wchar_t buffer[128] = {};
  MENUITEMINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = MIIM_STRING;
  info.dwTypeData = buffer;
  info.cch = 127;
  ::GetMenuItemInfoW(menu, position, TRUE, &info);
  return buffer;
}

BOOL CALLBACK Dump(HWND hwnd, LPARAM out) {
  DWORD process = 0;
  ::GetWindowThreadProcessId(hwnd, &process);
  HMENU bar = ::GetMenu(hwnd);
  if (process != ::GetCurrentProcessId() || bar == nullptr) return TRUE;
  auto& lines = *reinterpret_cast<std::string*>(out);
  for (int i = 0; i < ::GetMenuItemCount(bar); ++i) {
    HMENU sub = ::GetSubMenu(bar, i);
    for (int k = 0; sub != nullptr && k < ::GetMenuItemCount(sub); ++k) {
      lines += std::to_string(reinterpret_cast<UINT_PTR>(hwnd)) + "\t" +
               Utf8(ItemText(bar, static_cast<UINT>(i)).c_str()) + "\t" +
               Utf8(ItemText(sub, static_cast<UINT>(k)).c_str()) + "\t" +
               std::to_string(::GetMenuItemID(sub, k)) + "\n";
    }
  }
  return TRUE;
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  std::string lines;
  ::EnumWindows(Dump, reinterpret_cast<LPARAM>(&lines));
  wchar_t folder[MAX_PATH] = {};
  ::GetTempPathW(MAX_PATH, folder);
  const std::wstring path =
      std::wstring(folder) + L"menu_probe_" + std::to_wstring(::GetCurrentProcessId()) + L".txt";
  HANDLE file =
      ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    ::WriteFile(file, lines.data(), static_cast<DWORD>(lines.size()), &written, nullptr);
    ::CloseHandle(file);
  }
  return FALSE;  // read once, not kept
}

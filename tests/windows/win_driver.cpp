// Works another program's Win32 windows from outside, as a user or a screen
// reader would, through their standard controls and messages only: the
// Windows tests' driver under Wine.
//     win_driver.exe SCRIPT
// SCRIPT holds one step a line (blank lines and lines starting with # are
// skipped); words are separated by blanks, and a word in double quotes may
// hold blanks ("\"" and "\\" inside). A control is named by its class and
// WHICH: its exact text, a text ending in * (a prefix), or #N (the N-th
// control of that class in the window, from 0). Every step acts on the
// current window, the one the last `window` step found.
//   timeout SECONDS               each later wait gives up after this long (default 10)
//   window TITLE                  wait for a visible top-level window with this title
//   gone TITLE                    wait until no visible top-level window has it
//   enabled yes|no                the current window's enabled state
//   control-enabled CLASS WHICH yes|no
//   click CLASS WHICH             BM_CLICK, posted (a click that opens a message box returns)
//   type CLASS WHICH TEXT         focus the box, select all, post one WM_CHAR per character
//   focus CLASS WHICH             a user's press on the control, to move the focus there
//                                 (the box left may refuse: the steps after it tell)
//   text CLASS WHICH EXPECTED     the control's text (WM_GETTEXT) becomes EXPECTED
//   checked CLASS WHICH yes|no    BM_GETCHECK
//   scroll WHICH up|down COUNT    COUNT arrow clicks on a SCROLLBAR: WM_VSCROLL to its parent
//   scrollpos WHICH POSITION      the scroll bar's position (SBM_GETPOS) becomes POSITION
//   scrollrange WHICH MIN MAX     its range (GetScrollInfo)
//   menu MENU ITEM                WM_COMMAND of the item found by text in the window's menu bar
//   msgbox TITLE TEXT ICON        wait for a message box (#32770), check text and icon
//                                 (warning, error, information or none), press its OK
//   close                         WM_CLOSE to the current window
//   snapshot NAME                 ask the test's runner for a picture of the current
//                                 window: write NAME.want (the window's title) in the
//                                 working folder and wait until the runner removes it
// Each wait polls every 50 ms until it holds or its time is up, so nothing
// hangs; the first step that fails ends the run with a line saying what was
// expected and what was found. Exit status: 0 when every step passed, 1 when
// one failed, 2 for a script that cannot be read.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::wstring Wide(const std::string& s) {
  if (s.empty()) return {};
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

std::string Narrow(const std::wstring& w) {
  if (w.empty()) return {};
  const int n =
      ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

// Splits a line into words; false for an unclosed quote.
bool SplitWords(const std::string& line, std::vector<std::string>& words) {
  size_t i = 0;
  while (i < line.size()) {
    if (line[i] == ' ' || line[i] == '\t' || line[i] == '\r') {
      ++i;
      continue;
    }
    std::string word;
    if (line[i] == '"') {
      ++i;
      bool closed = false;
      while (i < line.size()) {
        if (line[i] == '\\' && i + 1 < line.size()) {
          word += line[i + 1];
          i += 2;
        } else if (line[i] == '"') {
          closed = true;
          ++i;
          break;
        } else {
          word += line[i++];
        }
      }
      if (!closed) return false;
    } else {
      while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') word += line[i++];
    }
    words.push_back(word);
  }
  return true;
}

constexpr UINT kMessageWaitMs = 2000;  // the longest one message to the program may take

// The text of a window of any process: WM_GETTEXT, which the system copies
// across processes (GetWindowText would not ask another process's controls).
bool TextOf(HWND hwnd, std::wstring& text) {
  DWORD_PTR length = 0;
  if (!::SendMessageTimeoutW(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kMessageWaitMs, &length))
    return false;
  std::wstring buffer(length + 1, L'\0');
  DWORD_PTR copied = 0;
  if (!::SendMessageTimeoutW(hwnd, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(buffer.data()),
                             SMTO_ABORTIFHUNG, kMessageWaitMs, &copied)) {
    return false;
  }
  buffer.resize(copied);
  text = buffer;
  return true;
}

std::wstring ClassOf(HWND hwnd) {
  wchar_t name[64] = {};
  ::GetClassNameW(hwnd, name, 64);
  return name;
}

bool SameClass(const std::wstring& a, const std::wstring& b) {
  return ::lstrcmpiW(a.c_str(), b.c_str()) == 0;
}

std::vector<HWND> Children(HWND parent) {
  std::vector<HWND> all;
  ::EnumChildWindows(
      parent,
      [](HWND child, LPARAM list) -> BOOL {
        reinterpret_cast<std::vector<HWND>*>(list)->push_back(child);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&all));
  return all;
}

std::vector<HWND> TopLevels() {
  std::vector<HWND> all;
  ::EnumWindows(
      [](HWND hwnd, LPARAM list) -> BOOL {
        if (::IsWindowVisible(hwnd)) reinterpret_cast<std::vector<HWND>*>(list)->push_back(hwnd);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&all));
  return all;
}

// A user's press of the mouse button inside a control, posted as the
// system would: the control takes the focus itself.
void PostClickAt(HWND hwnd) {
  ::PostMessageW(hwnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
  ::PostMessageW(hwnd, WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
}

class Driver {
 public:
  int Run(std::istream& script) {
    std::string line;
    int number = 0;
    while (std::getline(script, line)) {
      ++number;
      std::vector<std::string> words;
      if (!SplitWords(line, words)) return Fail(number, line, "a quote is not closed", 2);
      if (words.empty() || words[0][0] == '#') continue;
      std::string failure;
      const int status = Step(words, failure);
      if (status != 0) return Fail(number, line, failure, status);
      std::printf("ok %d: %s\n", number, line.c_str());
      std::fflush(stdout);
    }
    std::printf("every step passed\n");
    return 0;
  }

 private:
  static int Fail(int number, const std::string& line, const std::string& why, int status) {
    std::printf("FAIL line %d: %s\n  %s\n", number, line.c_str(), why.c_str());
    std::fflush(stdout);
    return status;
  }

  // Polls until `holds` says yes or the time is up; `holds` leaves in `seen`
  // what it found, for the failure message.
  bool WaitFor(const std::function<bool(std::string&)>& holds, std::string& seen) const {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs_;
    for (;;) {
      if (holds(seen)) return true;
      if (::GetTickCount64() >= deadline) return false;
      ::Sleep(50);
    }
  }

  HWND FindTop(const std::wstring& title, const wchar_t* className) const {
    for (HWND hwnd : TopLevels()) {
      std::wstring text;
      if (className != nullptr && !SameClass(ClassOf(hwnd), className)) continue;
      if (TextOf(hwnd, text) && text == title) return hwnd;
    }
    return nullptr;
  }

  static std::string TitlesShown() {
    std::string list;
    for (HWND hwnd : TopLevels()) {
      std::wstring text;
      if (TextOf(hwnd, text) && !text.empty()) list += (list.empty() ? "\"" : ", \"") + Narrow(text) + "\"";
    }
    return list.empty() ? "no titled window" : list;
  }

  // The control of `cls` named by `which` in the current window, or null
  // with `seen` listing the texts of that class there.
  HWND FindControl(const std::string& cls, const std::string& which, std::string& seen) const {
    if (current_ == nullptr || !::IsWindow(current_)) {
      seen = "no current window";
      return nullptr;
    }
    const std::wstring wantClass = Wide(cls);
    int index = -1;
    if (which.size() > 1 && which[0] == '#') index = std::atoi(which.c_str() + 1);
    std::wstring want = Wide(which);
    const bool prefix = !want.empty() && want.back() == L'*';
    if (prefix) want.pop_back();
    int n = 0;
    seen.clear();
    for (HWND child : Children(current_)) {
      if (!SameClass(ClassOf(child), wantClass)) continue;
      std::wstring text;
      TextOf(child, text);
      seen += (seen.empty() ? "\"" : ", \"") + Narrow(text) + "\"";
      if (index >= 0 ? n++ == index : (prefix ? text.compare(0, want.size(), want) == 0 : text == want))
        return child;
    }
    seen = "the " + cls + " controls: " + (seen.empty() ? "none" : seen);
    return nullptr;
  }

  // Waits for the control, then checks `holds` on it until it holds.
  int OnControl(const std::string& cls, const std::string& which,
                const std::function<bool(HWND, std::string&)>& holds, const std::string& expected,
                std::string& failure) const {
    std::string seen;
    if (!WaitFor(
            [&](std::string& s) {
              HWND hwnd = FindControl(cls, which, s);
              return hwnd != nullptr && holds(hwnd, s);
            },
            seen)) {
      failure = "expected " + expected + "; found " + seen;
      return 1;
    }
    return 0;
  }

  static bool YesNo(const std::string& word, bool& value) {
    value = word == "yes";
    return word == "yes" || word == "no";
  }

  int Step(const std::vector<std::string>& w, std::string& failure) {
    const std::string& verb = w[0];
    const size_t n = w.size();
    auto usage = [&](const char* form) {
      failure = std::string("usage: ") + form;
      return 2;
    };
    if (verb == "timeout") {
      if (n != 2) return usage("timeout SECONDS");
      timeoutMs_ = static_cast<ULONGLONG>(std::atof(w[1].c_str()) * 1000);
      return 0;
    }
    if (verb == "window" || verb == "gone") {
      if (n != 2) return usage("window|gone TITLE");
      const std::wstring title = Wide(w[1]);
      const bool want = verb == "window";
      HWND found = nullptr;
      std::string seen;
      if (!WaitFor(
              [&](std::string& s) {
                s = TitlesShown();  // first: a window shown after it is still looked for
                found = FindTop(title, nullptr);
                return (found != nullptr) == want;
              },
              seen)) {
        failure = std::string(want ? "expected a window \"" : "expected no window \"") + w[1] +
                  "\"; shown: " + seen;
        return 1;
      }
      if (want) current_ = found;
      return 0;
    }
    if (verb == "enabled") {
      bool want = false;
      if (n != 2 || !YesNo(w[1], want)) return usage("enabled yes|no");
      std::string seen;
      if (!WaitFor(
              [&](std::string& s) {
                const bool is = ::IsWindowEnabled(current_) != FALSE;
                s = is ? "enabled" : "disabled";
                return is == want;
              },
              seen)) {
        failure = std::string("expected the window ") + (want ? "enabled" : "disabled") + "; it is " + seen;
        return 1;
      }
      return 0;
    }
    if (verb == "control-enabled" || verb == "checked") {
      bool want = false;
      if (n != 4 || !YesNo(w[3], want)) return usage("control-enabled|checked CLASS WHICH yes|no");
      const bool enabled = verb == "control-enabled";
      return OnControl(
          w[1], w[2],
          [&](HWND hwnd, std::string& s) {
            DWORD_PTR check = 0;
            if (!enabled)
              ::SendMessageTimeoutW(hwnd, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, kMessageWaitMs, &check);
            const bool is = enabled ? ::IsWindowEnabled(hwnd) != FALSE : check == BST_CHECKED;
            s = w[1] + " " + w[2] +
                (enabled ? (is ? " enabled" : " disabled") : (is ? " checked" : " unchecked"));
            return is == want;
          },
          w[1] + " " + w[2] +
              (enabled ? (want ? " enabled" : " disabled") : (want ? " checked" : " unchecked")),
          failure);
    }
    if (verb == "text") {
      if (n != 4) return usage("text CLASS WHICH EXPECTED");
      const std::wstring want = Wide(w[3]);
      return OnControl(
          w[1], w[2],
          [&](HWND hwnd, std::string& s) {
            std::wstring text;
            TextOf(hwnd, text);
            s = "\"" + Narrow(text) + "\"";
            return text == want;
          },
          "\"" + w[3] + "\"", failure);
    }
    if (verb == "click" || verb == "focus") {
      if (n != 3) return usage("click|focus CLASS WHICH");
      HWND target = nullptr;
      const int status = OnControl(
          w[1], w[2],
          [&](HWND hwnd, std::string&) {
            target = hwnd;
            return true;
          },
          w[1] + " " + w[2], failure);
      if (status != 0) return status;
      if (verb == "click") {
        ::PostMessageW(target, BM_CLICK, 0, 0);
      } else {
        PostClickAt(target);
      }
      return 0;
    }
    if (verb == "type") {
      if (n != 4) return usage("type CLASS WHICH TEXT");
      HWND box = nullptr;
      int status = OnControl(
          w[1], w[2],
          [&](HWND hwnd, std::string&) {
            box = hwnd;
            return true;
          },
          w[1] + " " + w[2], failure);
      if (status == 0) status = Focus(box, failure);
      if (status != 0) return status;
      DWORD_PTR ignored = 0;
      ::SendMessageTimeoutW(box, EM_SETSEL, 0, -1, SMTO_ABORTIFHUNG, kMessageWaitMs, &ignored);
      for (wchar_t c : Wide(w[3])) ::PostMessageW(box, WM_CHAR, c, 1);
      return 0;
    }
    if (verb == "scroll") {
      if (n != 4 || (w[2] != "up" && w[2] != "down")) return usage("scroll WHICH up|down COUNT");
      HWND bar = nullptr;
      const int status = OnControl(
          "ScrollBar", w[1],
          [&](HWND hwnd, std::string&) {
            bar = hwnd;
            return true;
          },
          "ScrollBar " + w[1], failure);
      if (status != 0) return status;
      const WPARAM code = w[2] == "up" ? SB_LINEUP : SB_LINEDOWN;
      for (int i = std::atoi(w[3].c_str()); i > 0; --i) {
        ::PostMessageW(::GetParent(bar), WM_VSCROLL, code, reinterpret_cast<LPARAM>(bar));
      }
      ::PostMessageW(::GetParent(bar), WM_VSCROLL, SB_ENDSCROLL, reinterpret_cast<LPARAM>(bar));
      return 0;
    }
    if (verb == "scrollpos" || verb == "scrollrange") {
      const bool range = verb == "scrollrange";
      if (n != (range ? 4u : 3u)) return usage("scrollpos WHICH POSITION | scrollrange WHICH MIN MAX");
      const std::string want = range ? w[2] + ".." + w[3] : w[2];
      return OnControl(
          "ScrollBar", w[1],
          [&](HWND hwnd, std::string& s) {
            SCROLLINFO info{};
            info.cbSize = sizeof info;
            info.fMask = SIF_RANGE | SIF_POS;
            DWORD_PTR position = 0;
            if (range) {
              if (!::GetScrollInfo(hwnd, SB_CTL, &info)) return false;
              s = std::to_string(info.nMin) + ".." + std::to_string(info.nMax);
            } else {
              if (!::SendMessageTimeoutW(hwnd, SBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, kMessageWaitMs,
                                         &position)) {
                return false;
              }
              s = std::to_string(static_cast<int>(position));
            }
            return s == want;
          },
          "ScrollBar " + w[1] + (range ? " range " : " at ") + want, failure);
    }
    if (verb == "menu") {
      if (n != 3) return usage("menu MENU ITEM");
      return PickMenu(Wide(w[1]), Wide(w[2]), failure);
    }
    if (verb == "msgbox") {
      if (n != 4) return usage("msgbox TITLE TEXT warning|error|information|none");
      return MessageBoxStep(w[1], w[2], w[3], failure);
    }
    if (verb == "snapshot") {
      if (n != 2) return usage("snapshot NAME");
      std::wstring title;
      TextOf(current_, title);
      const std::string request = w[1] + ".want";
      {
        std::ofstream out(request, std::ios::binary);
        out << Narrow(title);
      }
      std::string seen;
      if (!WaitFor(
              [&](std::string&) { return ::GetFileAttributesA(request.c_str()) == INVALID_FILE_ATTRIBUTES; },
              seen)) {
        failure = "no picture was taken (" + request + " is still there)";
        return 1;
      }
      return 0;
    }
    if (verb == "close") {
      ::PostMessageW(current_, WM_CLOSE, 0, 0);
      return 0;
    }
    failure = "unknown step \"" + verb + "\"";
    return 2;
  }

  // Gives `hwnd` the focus as a user's press on it would, and waits until
  // its thread reports it focused.
  int Focus(HWND hwnd, std::string& failure) const {
    const DWORD thread = ::GetWindowThreadProcessId(hwnd, nullptr);
    auto focused = [&](std::string& s) {
      GUITHREADINFO info{};
      info.cbSize = sizeof info;
      if (!::GetGUIThreadInfo(thread, &info)) return false;
      s = info.hwndFocus == nullptr ? "no control" : "\"" + Narrow(ClassOf(info.hwndFocus)) + "\"";
      return info.hwndFocus == hwnd;
    };
    std::string seen;
    if (focused(seen)) return 0;
    PostClickAt(hwnd);
    if (!WaitFor(focused, seen)) {
      failure = "expected the control focused; the focus is on " + seen;
      return 1;
    }
    return 0;
  }

  // Finds the item by the texts of its menu and its own in the current
  // window's menu bar and sends the window the command a user's pick would.
  int PickMenu(const std::wstring& menuText, const std::wstring& itemText, std::string& failure) const {
    HMENU bar = ::GetMenu(current_);
    if (bar == nullptr) {
      failure = "the current window has no menu bar";
      return 1;
    }
    std::string seen;
    auto textOf = [](HMENU menu, int i) {
      wchar_t buffer[128] = {};
      MENUITEMINFOW info{};
      info.cbSize = sizeof info;
      info.fMask = MIIM_STRING;
      info.dwTypeData = buffer;
      info.cch = 127;
      if (!::GetMenuItemInfoW(menu, static_cast<UINT>(i), TRUE, &info)) return std::wstring();
      return std::wstring(buffer);
    };
    const int menus = ::GetMenuItemCount(bar);
    if (menus < 0) return PickProbedMenu(menuText, itemText, failure);
    for (int i = 0; i < menus; ++i) {
      const std::wstring text = textOf(bar, i);
      seen += (seen.empty() ? "\"" : ", \"") + Narrow(text) + "\"";
      if (text != menuText) continue;
      HMENU sub = ::GetSubMenu(bar, i);
      const int items = ::GetMenuItemCount(sub);
      std::string itemsSeen;
      for (int k = 0; k < items; ++k) {
        const std::wstring item = textOf(sub, k);
        itemsSeen += (itemsSeen.empty() ? "\"" : ", \"") + Narrow(item) + "\"";
        if (item != itemText) continue;
        const UINT id = ::GetMenuItemID(sub, k);
        ::PostMessageW(current_, WM_COMMAND, MAKEWPARAM(id, 0), 0);
        return 0;
      }
      failure =
          "no item \"" + Narrow(itemText) + "\" in \"" + Narrow(menuText) + "\"; its items: " + itemsSeen;
      return 1;
    }
    failure = "no menu \"" + Narrow(menuText) + "\" (" + std::to_string(menus) + " menus: " + seen + ")";
    return 1;
  }

  // Where the system keeps a menu's items in the process that made it
  // (Wine), menu_probe.dll, loaded into that process for a moment, writes
  // them out: the same walk of the menu bar, done there.
  int PickProbedMenu(const std::wstring& menuText, const std::wstring& itemText, std::string& failure) const {
    DWORD process = 0;
    ::GetWindowThreadProcessId(current_, &process);
    wchar_t self[MAX_PATH] = {}, folder[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring probe = self;
    probe = probe.substr(0, probe.find_last_of(L"\\/") + 1) + L"menu_probe.dll";
    ::GetTempPathW(MAX_PATH, folder);
    const std::wstring listing = std::wstring(folder) + L"menu_probe_" + std::to_wstring(process) + L".txt";
    ::DeleteFileW(listing.c_str());
    HANDLE target = ::OpenProcess(PROCESS_ALL_ACCESS, FALSE, process);
    if (target == nullptr) {
      failure = "cannot open the window's process to read its menus";
      return 1;
    }
    const size_t bytes = (probe.size() + 1) * sizeof(wchar_t);
    void* remote = ::VirtualAllocEx(target, nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    HANDLE thread = nullptr;
    if (remote != nullptr && ::WriteProcessMemory(target, remote, probe.c_str(), bytes, nullptr)) {
      auto* load = reinterpret_cast<LPTHREAD_START_ROUTINE>(
          reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW")));
      thread = ::CreateRemoteThread(target, nullptr, 0, load, remote, 0, nullptr);
    }
    const bool done = thread != nullptr && ::WaitForSingleObject(thread, kMessageWaitMs * 2) == WAIT_OBJECT_0;
    if (thread != nullptr) ::CloseHandle(thread);
    if (done && remote != nullptr) ::VirtualFreeEx(target, remote, 0, MEM_RELEASE);
    ::CloseHandle(target);
    std::ifstream in(listing.c_str());
    if (!done || !in) {
      failure = "the menus of the window's process could not be read (" + Narrow(probe) + ")";
      return 1;
    }
    const std::string window = std::to_string(reinterpret_cast<UINT_PTR>(current_));
    std::string line, seen;
    while (std::getline(in, line)) {
      std::vector<std::string> fields;
      std::stringstream split(line);
      for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
      if (fields.size() != 4 || fields[0] != window) continue;
      seen += (seen.empty() ? "\"" : ", \"") + fields[1] + "/" + fields[2] + "\"";
      if (Wide(fields[1]) == menuText && Wide(fields[2]) == itemText) {
        ::PostMessageW(current_, WM_COMMAND, MAKEWPARAM(std::stoul(fields[3]), 0), 0);
        in.close();
        ::DeleteFileW(listing.c_str());
        return 0;
      }
    }
    in.close();
    ::DeleteFileW(listing.c_str());
    failure = "no item \"" + Narrow(menuText) + "/" + Narrow(itemText) + "\"; the menu bar holds " +
              (seen.empty() ? "nothing" : seen);
    return 1;
  }

  // Which of the system's message-box icons the icon control shows, by its
  // colours on the screen: the stop sign is red, the warning sign yellow,
  // the information sign blue.
  static std::string IconOf(HWND box) {
    HWND icon = nullptr;
    for (HWND child : Children(box)) {
      if (SameClass(ClassOf(child), L"Static") &&
          (::GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON && ::IsWindowVisible(child)) {
        icon = child;
      }
    }
    if (icon == nullptr) return "none";
    RECT r{};
    ::GetWindowRect(icon, &r);
    const int width = r.right - r.left, height = r.bottom - r.top;
    if (width <= 0 || height <= 0) return "none";
    HDC screen = ::GetDC(nullptr);
    HDC memory = ::CreateCompatibleDC(screen);
    BITMAPINFO bmi{};
    bmi.bmiHeader.biSize = sizeof bmi.bmiHeader;
    bmi.bmiHeader.biWidth = width;
    bmi.bmiHeader.biHeight = -height;
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    bmi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = ::CreateDIBSection(memory, &bmi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = ::SelectObject(memory, bitmap);
    ::BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    ::GdiFlush();
    int red = 0, yellow = 0, blue = 0;
    const auto* pixel = static_cast<const unsigned char*>(bits);
    for (int i = 0; i < width * height; ++i, pixel += 4) {
      const int b = pixel[0], g = pixel[1], rr = pixel[2];
      if (rr > 160 && g > 160 && b < 100) ++yellow;
      else if (rr > 150 && g < 90 && b < 90) ++red;
      else if (b > 150 && rr < 110) ++blue;
    }
    ::SelectObject(memory, old);
    ::DeleteObject(bitmap);
    ::DeleteDC(memory);
    ::ReleaseDC(nullptr, screen);
    const int least = width * height / 20;
    if (yellow >= least && yellow >= red) return "warning";
    if (red >= least) return "error";
    if (blue >= least) return "information";
    return "unknown";
  }

  int MessageBoxStep(const std::string& title, const std::string& text, const std::string& icon,
                     std::string& failure) const {
    HWND box = nullptr;
    std::string seen;
    if (!WaitFor(
            [&](std::string& s) {
              box = FindTop(Wide(title), L"#32770");
              s = TitlesShown();
              return box != nullptr;
            },
            seen)) {
      failure = "expected a message box \"" + title + "\"; shown: " + seen;
      return 1;
    }
    std::wstring shown;
    HWND label = ::GetDlgItem(box, 0xFFFF);
    if (label == nullptr || !TextOf(label, shown) || shown != Wide(text)) {
      failure = "expected the text \"" + text + "\"; it reads \"" + Narrow(shown) + "\"";
      return 1;
    }
    std::string found;
    if (!WaitFor(
            [&](std::string& s) {
              s = IconOf(box);
              return s == icon;
            },
            found)) {
      failure = "expected the " + icon + " icon; found " + found;
      return 1;
    }
    HWND ok = nullptr;
    for (HWND child : Children(box)) {
      std::wstring caption;
      if (SameClass(ClassOf(child), L"Button") && TextOf(child, caption) && caption == L"OK") ok = child;
    }
    if (ok == nullptr) {
      failure = "the message box has no OK button";
      return 1;
    }
    ::PostMessageW(ok, BM_CLICK, 0, 0);
    if (!WaitFor([&](std::string&) { return !::IsWindow(box); }, seen)) {
      failure = "the message box stayed open after OK";
      return 1;
    }
    return 0;
  }

  HWND current_ = nullptr;
  ULONGLONG timeoutMs_ = 10000;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: win_driver.exe SCRIPT\n");
    return 2;
  }
  std::ifstream script(argv[1]);
  if (!script) {
    std::fprintf(stderr, "win_driver: cannot read %s\n", argv[1]);
    return 2;
  }
  return Driver().Run(script);
}

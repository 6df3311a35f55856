// The Win32 controls of the Windows build's windows (win32/Controls.h) on
// real controls under Wine: the three rules the window logic relies on.
//   1. a write of the program notifies at once, nested inside the write;
//   2. only a real change notifies (an edit's WM_SETTEXT raises EN_CHANGE even
//      for the same text; the user's edit that leaves the text as it was is
//      no change either);
//   3. a text box's leave only when the focus moves within its window.
// One line per case that fails; exit status 1 then.
#include <windows.h>

#include <cstdio>
#include <functional>
#include <string>

#include "win32/Controls.h"
#include "win32/Form.h"

namespace {

using namespace tarvel::win32;

int failures = 0;

void Expect(const char* what, bool ok) {
  if (ok) return;
  ++failures;
  std::printf("FAIL %s\n", what);
}

struct CheckForm : Form {
  CheckForm(const char* caption) : Form(caption, 6000, 4000) {}
};

void Type(HWND box, const wchar_t* keys) {
  ::SendMessageW(box, EM_SETSEL, 0, -1);
  for (const wchar_t* k = keys; *k != 0; ++k) ::SendMessageW(box, WM_CHAR, *k, 1);
}

}  // namespace

int main() {
  CheckForm form("Controls Check");
  TextBox box(form, nullptr, {120, 120, 1200, 300}, "0");
  TextBox other(form, nullptr, {120, 600, 1200, 300}, "");
  ScrollBar bar(form, nullptr, {1800, 120, 300, 3000});
  CheckBox check(form, nullptr, {2400, 120, 1800, 300}, "Auto Transmit");
  OptionButton first(form, nullptr, {2400, 600, 1800, 300}, "RX4410");
  OptionButton second(form, nullptr, {2400, 1000, 1800, 300}, "TQM7731");
  OptionButton::Group({&first, &second});
  form.Show();

  int changes = 0, slides = 0, clicks = 0, firstClicks = 0, secondClicks = 0, leaves = 0;
  std::string seen;
  box.onChange = [&] {
    ++changes;
    seen = box.Text();  // nested: the write has taken place
  };
  box.onLeave = [&] { ++leaves; };
  bar.onChange = [&] { ++slides; };
  check.onClick = [&] { ++clicks; };
  first.onClick = [&] { ++firstClicks; };
  second.onClick = [&] { ++secondClicks; };

  // (what, the action, the notifications expected, the count after it)
  struct Case {
    const char* what;
    std::function<void()> act;
    int* counter;
    int expected;
  };
  const Case cases[] = {
      {"text box: writing the text it holds notifies nothing", [&] { box.SetText("0"); }, &changes, 0},
      {"text box: writing a new text notifies once", [&] { box.SetText("30"); }, &changes, 1},
      {"text box: the user's edit notifies once", [&] { Type(box.hwnd(), L"7"); }, &changes, 1},
      {"text box: a digit typed over itself is no change", [&] { Type(box.hwnd(), L"7"); }, &changes, 0},
      {"scroll bar: a range that keeps the value notifies nothing", [&] { bar.SetRange(42, 0); }, &slides, 0},
      {"scroll bar: writing a new value notifies once", [&] { bar.SetValue(30); }, &slides, 1},
      {"scroll bar: writing the value it holds notifies nothing", [&] { bar.SetValue(30); }, &slides, 0},
      {"scroll bar: a range that moves the value notifies once", [&] { bar.SetRange(20, 0); }, &slides, 1},
      {"scroll bar: the top arrow raises the value",
       [&] {
         bar.SetValue(5);
         ::SendMessageW(form.hwnd(), WM_VSCROLL, SB_LINEUP, reinterpret_cast<LPARAM>(bar.hwnd()));
       },
       &slides, 2},
      {"check box: checking notifies once", [&] { check.SetValue(true); }, &clicks, 1},
      {"check box: checking it again notifies nothing", [&] { check.SetValue(true); }, &clicks, 0},
      {"check box: the user's click notifies once", [&] { ::SendMessageW(check.hwnd(), BM_CLICK, 0, 0); },
       &clicks, 1},
      {"option: selecting notifies once", [&] { first.SetValue(true); }, &firstClicks, 1},
      {"option: selecting it again notifies nothing", [&] { first.SetValue(true); }, &firstClicks, 0},
      {"option: the other's click notifies it once", [&] { ::SendMessageW(second.hwnd(), BM_CLICK, 0, 0); },
       &secondClicks, 1},
      {"text box: focus to another control of the window is a leave",
       [&] {
         box.SetFocus();
         other.SetFocus();
       },
       &leaves, 1},
  };
  for (const Case& c : cases) {
    const int before = *c.counter;
    c.act();
    Expect(c.what, *c.counter - before == c.expected);
  }
  Expect("text box: the write is in place when its notification runs", seen == "7");
  Expect("scroll bar: its value after the top arrow", bar.Value() == 6);
  Expect("check box: unchecked after the user's click", !check.Value());
  Expect("option: the other is cleared", !first.Value() && second.Value());

  // Another window taking the focus is no leave.
  CheckForm elsewhere("Elsewhere");
  TextBox away(elsewhere, nullptr, {120, 120, 1200, 300}, "");
  elsewhere.Show();
  box.SetFocus();
  const int before = leaves;
  ::SetActiveWindow(elsewhere.hwnd());
  away.SetFocus();
  Expect("text box: focus to another window is no leave", leaves == before);

  std::printf("%s\n", failures == 0 ? "controls: every rule kept" : "controls: rules broken");
  return failures == 0 ? 0 : 1;
}

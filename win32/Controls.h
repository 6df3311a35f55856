// The standard Win32 controls the windows are built from, each binding one
// control class of forms/Controls.h and keeping the three rules the window
// logic relies on:
//   1. a content the program writes (text, position, check) raises the same
//      notification as a user's change, at once, nested inside the write;
//   2. a notification is raised only when the content really changes (an
//      edit's WM_SETTEXT raises EN_CHANGE even for the same text: that one
//      is swallowed);
//   3. a text box's leave runs only when the focus moves to another control
//      of the same window (not to a message box, another window or program).
// All of them are children of their window; a control inside a frame is
// placed by the frame's twips plus its own, and created before the frame so
// that it lies above it.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "forms/Controls.h"
#include "win32/Units.h"

namespace tarvel::win32 {

class Form;

class Control {
 public:
  // `container`: the frame the control sits in, or nullptr for the window.
  Control(Form& form, const Control* container, TwipRect geometry, DesignFont font = {});
  virtual ~Control();
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

  HWND hwnd() const { return hwnd_; }
  int id() const { return id_; }
  // The control's place within its window's client area, in twips.
  TwipRect WindowTwips() const { return place_; }

  void SetControlEnabled(bool on);
  bool ControlEnabled() const;
  void FocusControl();

  // Moves the control and gives it its font for the window's DPI.
  virtual void Layout(UINT dpi);

  // WM_COMMAND's notification code for this control, and WM_VSCROLL's request.
  virtual void Command(WORD) {}
  virtual void Scroll(WORD) {}

 protected:
  void Create(const wchar_t* windowClass, const std::string& text, DWORD style, DWORD exStyle = 0);
  std::string WindowText() const;
  void SetWindowText(const std::string& text);
  Form& form_;

 private:
  TwipRect place_;
  DesignFont font_;
  HFONT hfont_ = nullptr;
  HWND hwnd_ = nullptr;
  int id_ = 0;
};

// STATIC: a label. Its text is written without notification.
class Label : public Control, public forms::Label {
 public:
  enum class Align { Left, Centre };
  Label(Form& form, const Control* container, TwipRect geometry, const std::string& text,
        DesignFont font = {}, Align align = Align::Left);
  std::string Caption() const override { return WindowText(); }
  void SetCaption(const std::string& text) override { SetWindowText(text); }
  std::function<void()> onDoubleClick;
  void Command(WORD code) override;
};

// STATIC with a bitmap: a picture box. `render` makes its bitmap for the
// control's size in pixels at each DPI.
class Picture : public Control {
 public:
  Picture(Form& form, const Control* container, TwipRect geometry);
  ~Picture() override;
  std::function<HBITMAP(int width, int height)> render;
  void Layout(UINT dpi) override;

 private:
  HBITMAP bitmap_ = nullptr;
};

// BUTTON, BS_GROUPBOX: a frame; its caption is a label to the logic.
class Frame : public Control, public forms::Label {
 public:
  Frame(Form& form, const Control* container, TwipRect geometry, const std::string& caption,
        DesignFont font = {});
  std::string Caption() const override { return WindowText(); }
  void SetCaption(const std::string& text) override { SetWindowText(text); }
};

// BUTTON, BS_PUSHBUTTON: a command button.
class PushButton : public Control, public forms::CommandButton {
 public:
  PushButton(Form& form, const Control* container, TwipRect geometry, const std::string& caption,
             DesignFont font = {});
  bool Enabled() const override { return ControlEnabled(); }
  void SetEnabled(bool on) override { SetControlEnabled(on); }
  void SetFocus() override { FocusControl(); }
  std::function<void()> onClick;
  void Command(WORD code) override;
};

// BUTTON, BS_CHECKBOX: its click runs whenever its state changes.
class CheckBox : public Control, public forms::CheckBox {
 public:
  CheckBox(Form& form, const Control* container, TwipRect geometry, const std::string& caption,
           DesignFont font = {});
  bool Value() const override;
  void SetValue(bool on) override;
  bool Enabled() const override { return ControlEnabled(); }
  void SetEnabled(bool on) override { SetControlEnabled(on); }
  void SetFocus() override { FocusControl(); }
  std::function<void()> onClick;
  void Command(WORD code) override;
};

// BUTTON, BS_RADIOBUTTON: one exclusive group per frame. Its click runs when
// it becomes the selected one, by the user or the program.
class OptionButton : public Control, public forms::OptionButton {
 public:
  OptionButton(Form& form, const Control* container, TwipRect geometry, const std::string& caption,
               DesignFont font = {});
  // Makes the buttons one exclusive group.
  static void Group(const std::vector<OptionButton*>& buttons);
  bool Value() const override;
  // true selects this button and clears the others of its group; false
  // clears it (no click).
  void SetValue(bool selected) override;
  bool Enabled() const override { return ControlEnabled(); }
  void SetEnabled(bool on) override { SetControlEnabled(on); }
  std::function<void()> onClick;
  void Command(WORD code) override;

 private:
  std::vector<OptionButton*> group_;
};

// EDIT: a single-line text box.
class TextBox : public Control, public forms::TextBox {
 public:
  TextBox(Form& form, const Control* container, TwipRect geometry, const std::string& text,
          DesignFont font = {});
  std::string Text() const override { return WindowText(); }
  void SetText(const std::string& text) override;
  bool Enabled() const override { return ControlEnabled(); }
  void SetEnabled(bool on) override { SetControlEnabled(on); }
  void SetFocus() override { FocusControl(); }
  std::function<void()> onChange;
  std::function<void()> onLeave;
  void Command(WORD code) override;

 private:
  static LRESULT CALLBACK Subclass(HWND, UINT, WPARAM, LPARAM);
  WNDPROC editProc_ = nullptr;
  std::wstring shown_;  // the text the last change notification was for
  bool writing_ = false;
};

// SCROLLBAR, SBS_VERT: a vertical scroll bar whose Min (the value at the
// top end) may be greater than its Max (at the bottom end), as for the gain
// codes. Win32 puts a scroll bar's smaller position at the top, so such a bar
// runs over the negated range (position = minus the value).
class ScrollBar : public Control, public forms::ScrollBar {
 public:
  ScrollBar(Form& form, const Control* container, TwipRect geometry);
  int Value() const override;
  void SetValue(int value) override;
  int Min() const override { return min_; }
  int Max() const override { return max_; }
  void SetRange(int min, int max) override;
  int SmallChange() const override { return small_; }
  int LargeChange() const override { return large_; }
  void SetSmallChange(int step) override { small_ = step; }
  void SetLargeChange(int step) override { large_ = step; }
  bool Enabled() const override { return ControlEnabled(); }
  void SetEnabled(bool on) override { SetControlEnabled(on); }
  // A change (arrow, page, keyboard, end of a drag, the program) and a
  // scroll (each step of a thumb drag), each only when the value changes.
  std::function<void()> onChange;
  std::function<void()> onScroll;
  void Scroll(WORD request) override;

 private:
  // Positions run from the top end (smaller) to the bottom end.
  int Sign() const { return min_ > max_ ? -1 : 1; }
  void MoveTo(int position, bool dragging);
  int min_ = 0, max_ = 0;
  int small_ = 1, large_ = 5;
};

}  // namespace tarvel::win32

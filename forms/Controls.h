// The controls the windows' logic works with, as a toolkit offers them. The
// start-up window, the gain-control window and the about box are written
// once against these interfaces (StartupFormLogic, MainFormLogic,
// AboutFormLogic); each toolkit (Qt on Linux, Win32 on Windows, a fake in
// the tests) binds them to its own controls.
//
// A binding keeps three rules, on which the logic relies:
//
//  1. A change the program makes raises the same notification as the user's
//     action, at once: SetText, SetValue (scroll bar, option button, check
//     box) and a SetRange that moves a scroll bar's position call the
//     window's handler nested inside the call, which returns after it.
//  2. A notification only on a real change: writing the text, position or
//     state a control already holds raises nothing, and neither does an edit
//     of the user that leaves the text as it was (a digit typed over itself).
//     An option button raises its click only when it becomes selected.
//  3. A text box's leave notification runs only when the focus moves to
//     another control of the same window: a message box, another window or
//     another application taking the focus is no leave.
//
// The handlers a binding calls are the logic classes' public members, named
// after the control and the event (GainText_Change, GainSlide_Scroll,
// DeviceOption_Click, ...); a control array passes its element's index.
// Text is UTF-8 throughout.
#pragma once

#include <string>

namespace tarvel::forms {

// A single-line text box. Notifications: change (rule 1 and 2), leave
// (rule 3).
class TextBox {
 public:
  virtual ~TextBox() = default;
  virtual std::string Text() const = 0;
  virtual void SetText(const std::string& text) = 0;
  virtual bool Enabled() const = 0;
  virtual void SetEnabled(bool enabled) = 0;
  virtual void SetFocus() = 0;
};

// A vertical scroll bar. Min is the value at the top end, Max the value at
// the bottom end, and Min may be greater than Max (the gain codes: the top
// is the highest code). The value always lies between the two. Notifications:
// change (a step by arrow, page or key, the end of a thumb drag, or a value
// the program writes) and scroll (while the user drags the thumb), each
// only when the value really changes.
class ScrollBar {
 public:
  virtual ~ScrollBar() = default;
  virtual int Value() const = 0;
  virtual void SetValue(int value) = 0;
  virtual int Min() const = 0;
  virtual int Max() const = 0;
  // Both ends in one step, so the range never passes through an empty
  // state; a value outside the new range moves to its nearer end and raises
  // the change notification.
  virtual void SetRange(int min, int max) = 0;
  virtual int SmallChange() const = 0;
  virtual int LargeChange() const = 0;
  virtual void SetSmallChange(int step) = 0;
  virtual void SetLargeChange(int step) = 0;
  virtual bool Enabled() const = 0;
  virtual void SetEnabled(bool enabled) = 0;
};

// An option button of an exclusive group: selecting one clears the others
// of its frame. Notification: click, when it becomes selected.
class OptionButton {
 public:
  virtual ~OptionButton() = default;
  virtual bool Value() const = 0;
  // Selects the button (true); clearing a selected one leaves its group
  // with none selected.
  virtual void SetValue(bool selected) = 0;
  virtual bool Enabled() const = 0;
  virtual void SetEnabled(bool enabled) = 0;
};

// A check box. Notification: click, whenever the check state changes.
class CheckBox {
 public:
  virtual ~CheckBox() = default;
  virtual bool Value() const = 0;
  virtual void SetValue(bool checked) = 0;
  virtual bool Enabled() const = 0;
  virtual void SetEnabled(bool enabled) = 0;
  virtual void SetFocus() = 0;
};

// A label, or a frame's caption. Setting a caption raises nothing.
class Label {
 public:
  virtual ~Label() = default;
  virtual std::string Caption() const = 0;
  virtual void SetCaption(const std::string& caption) = 0;
};

// A command button. Notification: click. Setting the enabled state or the
// focus raises nothing.
class CommandButton {
 public:
  virtual ~CommandButton() = default;
  virtual bool Enabled() const = 0;
  virtual void SetEnabled(bool enabled) = 0;
  virtual void SetFocus() = 0;
};

// A top-level window. Disabling it disables everything in it.
class Window {
 public:
  virtual ~Window() = default;
  // Shows the window modeless, brings it to the front and activates it.
  virtual void Show() = 0;
  virtual void Hide() = 0;
  virtual bool Enabled() const = 0;
  virtual void SetEnabled(bool enabled) = 0;
  virtual std::string Caption() const = 0;
  virtual void SetCaption(const std::string& caption) = 0;
};

// The program's three windows, each loaded at most once.
enum class FormId { Startup, Main, About };

// What the windows ask of the toolkit as a whole: loading and unloading
// windows, ending the program, the start-up steps, the document opener.
// Alerts go through the alert presenter of core/MainModule.h, which each
// toolkit installs.
class WindowHost {
 public:
  virtual ~WindowHost() = default;
  // The window, loaded first when it is not: loading creates it and runs
  // its Form_Load before this returns. Loading does not show it.
  virtual Window& Load(FormId form) = 0;
  // The loaded window, or nullptr.
  virtual Window* Loaded(FormId form) = 0;
  // Unloads the window if it is loaded: it closes and is forgotten (its
  // Form_Unload runs). The logic of that window must not be used after this.
  virtual void Unload(FormId form) = 0;
  // Ends the program at once, closing every window; nothing is asked.
  virtual void EndProgram() = 0;
  // What every start does before a window shows (app/Startup.h's
  // RunStartupSteps): PortAddress := LPT1, a leftover result file deleted,
  // and with arguments command-line mode, which never returns.
  virtual void RunStartupSteps() = 0;
  // Hands the document at `path` (absolute) to the platform's opener, which
  // starts the application registered for it; does not wait. False when
  // nothing could be started for it.
  virtual bool OpenDocument(const std::string& path) = 0;
};

}  // namespace tarvel::forms

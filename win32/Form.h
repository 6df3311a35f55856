// A window of the program: a top-level window of its own class, run by the
// dialog manager (DefDlgProcW) so that Tab, the arrow keys, Enter on a focused
// button and the focus kept across deactivation work as in any dialog, but
// never modal. Its size is its client area in twips at the monitor's DPI,
// laid out again when the window moves to a monitor of another DPI.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "forms/Controls.h"

namespace tarvel::win32 {

class Control;

class Form : public forms::Window {
 public:
  Form(const std::string& caption, int clientWidthTwips, int clientHeightTwips);
  ~Form() override;
  Form(const Form&) = delete;
  Form& operator=(const Form&) = delete;

  HWND hwnd() const { return hwnd_; }
  UINT dpi() const { return dpi_; }

  // Shows the window and brings it to the front.
  void Show() override;
  void Hide() override;
  bool Enabled() const override;
  void SetEnabled(bool on) override;
  std::string Caption() const override;
  void SetCaption(const std::string& caption) override;
  // The title bar's close button or Alt+F4.
  std::function<void()> onClose;
  // Places the window over the middle of `other`, within its monitor.
  void CentreOver(const Form& other);
  // Gives the window its menu bar (the form owns it from then on).
  void SetMenuBar(HMENU menu);

  // For the controls: their IDs, their registration, and a leave check that
  // ran while the focus was moving to `next`.
  int NextControlId() { return nextId_++; }
  void Adopt(Control& control);
  void Forget(Control& control);
  void LeaveRunning(HWND next, const std::function<void()>& leave);

  // The window of the program that `hwnd` belongs to, or nullptr.
  static Form* Of(HWND hwnd);

 protected:
  // A menu item with this ID was chosen.
  virtual void Menu(WORD) {}

 private:
  static LRESULT CALLBACK Proc(HWND, UINT, WPARAM, LPARAM);
  LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
  void Resize(UINT dpi, const RECT* suggested);
  void SetIcons();

  HWND hwnd_ = nullptr;
  UINT dpi_ = 96;
  int widthTwips_, heightTwips_;
  int nextId_ = 100;  // above IDOK and IDCANCEL, which Enter and Escape send
  std::vector<Control*> controls_;
  HICON icons_[2] = {nullptr, nullptr};
};

}  // namespace tarvel::win32

// The about box "About Program", written once for every toolkit against the
// controls of forms/Controls.h. The gain-control window is disabled while
// the box is open, which makes it behave like a modal dialog although it is
// shown modeless.
#pragma once

#include <string>

#include "forms/Controls.h"

namespace tarvel::forms {

// The controls of the about box a binding hands the logic.
struct AboutFormControls {
  Window* Form = nullptr;
  Label* VersionLabel = nullptr;
  Label* CopyrightLabel = nullptr;
  CommandButton* OK = nullptr;
};

class AboutFormLogic {
 public:
  static constexpr const char* kCopyrightYear = "2007";
  // The texts the box shows.
  static std::string VersionText();    // "Version: 1.11"
  static std::string CopyrightText();  // the copyright line with the year
  static std::string CreditText();     // the author credit

  AboutFormLogic(const AboutFormControls& controls, WindowHost& host);

  // Fills in the version and copyright lines and gives OK the focus.
  void Form_Load();
  // Replaces the copyright line with the credit until the box closes.
  void ExtraLabel_DblClick();
  // Shows and enables the gain-control window, then unloads the box.
  void OK_Click();
  // The box closes, by OK or any other way: the gain-control window is
  // enabled again.
  void Form_Unload();

 private:
  AboutFormControls c_;
  WindowHost& host_;
};

}  // namespace tarvel::forms

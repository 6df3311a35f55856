// The start-up window "Setup Menu": the port choice and OK, written once for
// every toolkit against the controls of forms/Controls.h.
#pragma once

#include "forms/Controls.h"

namespace tarvel::forms {

// The controls of the start-up window a binding hands the logic.
struct StartupFormControls {
  Window* Form = nullptr;
  OptionButton* LPT1 = nullptr;
  OptionButton* LPT2 = nullptr;
  OptionButton* PRN = nullptr;
  CommandButton* OK = nullptr;
};

class StartupFormLogic {
 public:
  StartupFormLogic(const StartupFormControls& controls, WindowHost& host);

  // Checks LPT1, runs the start-up steps (PortAddress := LPT1, a leftover
  // result file deleted, command-line mode with arguments) and gives OK the
  // focus.
  void Form_Load();
  // Each stores its port's base address in PortAddress: the choice takes
  // effect at the click, not at OK.
  void LPT1_Click();
  void LPT2_Click();
  void PRN_Click();
  // Shows the gain-control window (loading it first), then unloads this one.
  void OK_Click();

 private:
  StartupFormControls c_;
  WindowHost& host_;
};

}  // namespace tarvel::forms

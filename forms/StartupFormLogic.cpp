#include "forms/StartupFormLogic.h"

#include "core/MainModule.h"

namespace tarvel::forms {

StartupFormLogic::StartupFormLogic(const StartupFormControls& controls, WindowHost& host)
    : c_(controls), host_(host) {}

void StartupFormLogic::Form_Load() {
  c_.LPT1->SetValue(true);  // runs LPT1_Click, nested, when it was not selected
  host_.RunStartupSteps();
  c_.OK->SetFocus();
}

void StartupFormLogic::LPT1_Click() { PortAddress = kLpt1Address; }
void StartupFormLogic::LPT2_Click() { PortAddress = kLpt2Address; }
void StartupFormLogic::PRN_Click() { PortAddress = kPrnAddress; }

void StartupFormLogic::OK_Click() {
  // The gain-control window first, so one window stays open all along.
  host_.Load(FormId::Main).Show();
  host_.Unload(FormId::Startup);
}

}  // namespace tarvel::forms

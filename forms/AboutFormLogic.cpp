#include "forms/AboutFormLogic.h"

#include "core/Version.h"

namespace tarvel::forms {

std::string AboutFormLogic::VersionText() { return std::string("Version: ") + kVersion; }

std::string AboutFormLogic::CopyrightText() {
  return std::string("Copyright \u00A9") + " " + kCopyrightYear + " " + "Tarvel Control Software";
}

std::string AboutFormLogic::CreditText() { return "Written by the Tarvel Control Software product team"; }

AboutFormLogic::AboutFormLogic(const AboutFormControls& controls, WindowHost& host)
    : c_(controls), host_(host) {}

void AboutFormLogic::Form_Load() {
  c_.VersionLabel->SetCaption(VersionText());
  c_.CopyrightLabel->SetCaption(CopyrightText());
  c_.OK->SetFocus();
}

void AboutFormLogic::ExtraLabel_DblClick() { c_.CopyrightLabel->SetCaption(CreditText()); }

void AboutFormLogic::OK_Click() {
  Window& main = host_.Load(FormId::Main);
  main.Show();
  main.SetEnabled(true);
  host_.Unload(FormId::About);
}

void AboutFormLogic::Form_Unload() {
  if (Window* main = host_.Loaded(FormId::Main)) main->SetEnabled(true);
}

}  // namespace tarvel::forms

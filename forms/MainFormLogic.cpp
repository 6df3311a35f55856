#include "forms/MainFormLogic.h"

#include <filesystem>
#include <string>
#include <system_error>

#include "chips/Chips.h"
#include "core/MainModule.h"
#include "core/Numbers.h"
#include "core/platform/Platform.h"
#include "device/ControlPPORT.h"

namespace tarvel::forms {

namespace {

// A control array's element for a handler's index, or nullptr.
template <typename Control>
Control* Element(const std::array<Control*, 2>& array, std::int16_t index) {
  if (index < 0 || static_cast<std::size_t>(index) >= array.size()) return nullptr;
  return array[static_cast<std::size_t>(index)];
}

}  // namespace

MainFormLogic::MainFormLogic(const MainFormControls& controls, WindowHost& host)
    : c_(controls), host_(host) {}

// ---- Load, device profiles, refresh -------------------------------------------

void MainFormLogic::Form_Load() {
  // The device choice survives a trip through the Options menu as "0"/"1".
  std::int16_t index = 0;
  if (!DeviceName.empty()) {
    const auto code = TextToCode(DeviceName);
    index = code ? *code : std::int16_t{-1};
  }
  if (OptionButton* option = Element(c_.DeviceOption, index)) {
    option->SetValue(true);  // runs DeviceOption_Click, nested
  } else {
    // No option button for this index: the profile step runs on its own.
    DeviceOption_Click(index);
  }

  for (std::size_t i = 0; i < 2; ++i) {
    c_.GainSlide[i]->SetRange(GainMax, GainMin);
    GainCode[i] = 0;
    ReadCode[i] = 0;
    c_.GainText[i]->SetText("0");  // runs GainText_Change, nested
  }
  c_.Transmit->SetFocus();
}

void MainFormLogic::DeviceOption_Click(std::int16_t Index) {
  // The device profile: the option's chip, 0 to the highest code the window
  // accepts for it.
  if (Element(c_.DeviceOption, Index) != nullptr && static_cast<std::size_t>(Index) < Chips().size()) {
    const Chip& chip = *Chips()[static_cast<std::size_t>(Index)];
    DeviceName = chip.token;
    GainMin = 0;
    GainMax = static_cast<std::int16_t>(chip.windowHighest);
  } else {
    DeviceName.clear();
    GainMin = 0;
    GainMax = 0;
    ShowOptionAlert();
  }
  for (ScrollBar* slide : c_.GainSlide) slide->SetRange(GainMax, GainMin);
  UpdateMainForm();
}

std::size_t MainFormLogic::ChosenChip() const {
  for (std::size_t i = 0; i < c_.DeviceOption.size(); ++i) {
    if (c_.DeviceOption[i]->Value()) return i;
  }
  return 0;
}

void MainFormLogic::UpdateMainForm() {
  const Chip* chip = FindChip(DeviceName);
  const bool device = chip != nullptr;
  const bool readsBack = device && chip->readsBack();

  if (!device) c_.AutoTransmit->SetValue(false);  // may run AutoTransmit_Click, nested
  c_.AutoTransmit->SetEnabled(device);
  c_.Transmit->SetEnabled(device);
  c_.Receive->SetEnabled(readsBack);
  c_.LastSent->SetCaption("Last Sent:");
  for (std::size_t i = 0; i < 2; ++i)
    c_.FrameLabel[i]->SetCaption(device ? std::string(chip->channels[i]) : "");
  for (TextBox* text : c_.GainText) text->SetEnabled(device);
  for (ScrollBar* slide : c_.GainSlide) slide->SetEnabled(device);
  for (Label* read : c_.ReadText) read->SetCaption(readsBack ? "Read:" : "");

  if (c_.AutoTransmit->Enabled() && c_.AutoTransmit->Value()) {
    c_.Transmit->SetEnabled(false);
    c_.Receive->SetEnabled(false);
  }
}

// ---- Code entry ------------------------------------------------------------------

void MainFormLogic::GainText_Change(std::int16_t Index) {
  TextBox* box = Element(c_.GainText, Index);
  ScrollBar* slide = Element(c_.GainSlide, Index);
  if (box == nullptr || slide == nullptr) return;
  try {
    const auto aboveMax = CompareNumber(box->Text(), GainMax);
    if (!aboveMax) return;  // not a number (yet): ignored while typing
    if (*aboveMax > 0) {
      ShowRangeAlert(GainMin, GainMax);
      box->SetText(CodeToText(GainMax));  // runs this handler again, nested
    } else {
      const auto belowMin = CompareNumber(box->Text(), GainMin);
      if (!belowMin) return;
      if (*belowMin < 0) {
        ShowRangeAlert(GainMin, GainMax);
        box->SetText(CodeToText(GainMin));
      }
    }
    const auto code = TextToCode(box->Text());
    if (!code) return;
    slide->SetValue(*code);  // runs GainSlide_Change if the position moves
    CheckAutoTransmit();
  } catch (...) {
    // A failure ends the change handling silently; what was done stays done.
  }
}

void MainFormLogic::GainText_LostFocus(std::int16_t Index) {
  TextBox* box = Element(c_.GainText, Index);
  ScrollBar* slide = Element(c_.GainSlide, Index);
  if (box == nullptr || slide == nullptr) return;
  if (box->Text() == CodeToText(slide->Value())) return;
  ShowEntryAlert();
  box->SetFocus();
}

void MainFormLogic::GainSlide_Change(std::int16_t Index) {
  TextBox* box = Element(c_.GainText, Index);
  ScrollBar* slide = Element(c_.GainSlide, Index);
  if (box == nullptr || slide == nullptr) return;
  box->SetText(CodeToText(slide->Value()));  // runs GainText_Change if the text changes
}

void MainFormLogic::GainSlide_Scroll(std::int16_t Index) { GainSlide_Change(Index); }

// ---- Transmit, receive, auto-transmit -------------------------------------------------

void MainFormLogic::Transmit_Click() {
  const bool transmitWasEnabled = c_.Transmit->Enabled();
  const bool receiveWasEnabled = c_.Receive->Enabled();
  c_.Transmit->SetEnabled(false);
  c_.Receive->SetEnabled(false);

  // A box that does not hold a number refuses the send: nothing reaches the
  // port, and GainCode and LastSent keep what they had.
  const auto code0 = TextToCode(c_.GainText[0]->Text());
  const auto code1 = TextToCode(c_.GainText[1]->Text());
  if (code0 && code1) {
    GainCode[0] = *code0;
    GainCode[1] = *code1;
    if (RunDeviceCommand() == CommandStatus::Done) {
      c_.LastSent->SetCaption("Last Sent: " + CodeToText(GainCode[0]) + ", " + CodeToText(GainCode[1]));
    }
  }

  c_.Receive->SetEnabled(receiveWasEnabled);
  c_.Transmit->SetEnabled(transmitWasEnabled);
  if (c_.Transmit->Enabled()) c_.Transmit->SetFocus();
}

void MainFormLogic::Receive_Click() {
  if (ReadBackCodes() != CommandStatus::Done) return;  // the port alert was shown
  for (std::size_t i = 0; i < 2; ++i) c_.ReadText[i]->SetCaption("Read: " + CodeToText(ReadCode[i]));
}

void MainFormLogic::AutoTransmit_Click() {
  UpdateMainForm();
  if (c_.AutoTransmit->Value()) Transmit_Click();
}

void MainFormLogic::CheckAutoTransmit() {
  if (c_.AutoTransmit->Value()) Transmit_Click();
}

// ---- Menus ----------------------------------------------------------------------

void MainFormLogic::ExitMenu_Click() { host_.EndProgram(); }

void MainFormLogic::OptionsMenu_Click() {
  for (std::size_t i = 0; i < c_.DeviceOption.size(); ++i) {
    if (c_.DeviceOption[i]->Value()) DeviceName = std::to_string(i);
  }
  host_.Load(FormId::Startup).Show();  // its Form_Load runs again
  host_.Unload(FormId::Main);          // this window's logic ends here
}

void MainFormLogic::UsersManualMenu_Click() {
  std::error_code error;
  if (!std::filesystem::is_regular_file(kUsersManualFile, error)) {
    ShowAlert({AlertIcon::Error, "Error: User's Manual",
               std::string("Help file not found.  (") + kUsersManualFile + ")  "});
    return;
  }
  const std::string path = platform::CurrentFolder() + platform::PathSeparator() + kUsersManualFile;
  if (host_.OpenDocument(path)) return;
  ShowAlert({AlertIcon::Error, "Error: User's Manual",
             "No viewer for PDF files was found.  The manual is " + path + "."});
}

void MainFormLogic::AboutMenu_Click() {
  host_.Load(FormId::About).Show();
  c_.Form->SetEnabled(false);  // the about box's OK enables it again
}

bool MainFormLogic::Form_QueryUnload() { return host_.Loaded(FormId::About) != nullptr; }

}  // namespace tarvel::forms

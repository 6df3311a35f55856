// The gain-control window "Tarvel Control": load, device profiles, refresh,
// code entry with the text-box/scroll-bar coupling, transmit, receive,
// auto-transmit and the menus, written once for every toolkit against the
// controls of forms/Controls.h.
//
// The logic keeps no state of its own between events: every handler reads
// the controls and the shared globals (core/MainModule.h) afresh, and relies
// on the binding's three rules (forms/Controls.h) for the nested runs of the
// coupling. Neither side of the coupling carries a guard: the chain of
// nested handlers stops because a write of what a control already holds
// raises nothing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "forms/Controls.h"

namespace tarvel::forms {

// The controls of the gain-control window a binding hands the logic. The
// frames' captions (FrameLabel) are labels here.
struct MainFormControls {
  Window* Form = nullptr;
  std::array<Label*, 2> FrameLabel{};
  std::array<TextBox*, 2> GainText{};
  std::array<ScrollBar*, 2> GainSlide{};
  std::array<Label*, 2> ReadText{};
  std::array<OptionButton*, 2> DeviceOption{};
  CheckBox* AutoTransmit = nullptr;
  CommandButton* Transmit = nullptr;
  CommandButton* Receive = nullptr;
  Label* LastSent = nullptr;
};

// The manual the Help menu opens, in the working directory.
constexpr const char* kUsersManualFile = "UsersManual.PDF";

class MainFormLogic {
 public:
  MainFormLogic(const MainFormControls& controls, WindowHost& host);

  // ---- Load, device profiles, refresh -------------------------------------
  // Restores the device choice from DeviceName ("0"/"1" after the Options
  // menu), resets both codes, read-back codes and text boxes to 0, and
  // gives Transmit the focus.
  void Form_Load();
  // Puts the option's chip into effect: DeviceName, GainMin..GainMax, the
  // scroll bars' ranges, then the refresh. An index without a chip empties
  // the device and shows the option alert.
  void DeviceOption_Click(std::int16_t Index);
  // The index in Chips() of the chosen device option (0 when none is).
  std::size_t ChosenChip() const;
  // Captions and enabled states for DeviceName and the AutoTransmit box.
  void UpdateMainForm();

  // ---- Code entry ------------------------------------------------------------
  void GainText_Change(std::int16_t Index);
  void GainText_LostFocus(std::int16_t Index);
  void GainSlide_Change(std::int16_t Index);
  void GainSlide_Scroll(std::int16_t Index);

  // ---- Transmit, receive, auto-transmit ---------------------------------------
  void Transmit_Click();
  void Receive_Click();
  void AutoTransmit_Click();
  void CheckAutoTransmit();

  // ---- Menus -------------------------------------------------------------------
  void ExitMenu_Click();
  void OptionsMenu_Click();
  void UsersManualMenu_Click();
  void AboutMenu_Click();
  // A request to close the window that is not an unload (the title bar's
  // close button): true when it is refused, which it is while the about
  // box is open.
  bool Form_QueryUnload();

 private:
  MainFormControls c_;
  WindowHost& host_;
};

}  // namespace tarvel::forms

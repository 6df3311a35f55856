// The program's three windows built from standard controls: "Setup Menu"
// (the port selection), "Tarvel Control" (the gain-control window, with its
// menu bar) and "About Program". The controls carry the names, texts and
// twip geometry of the windows' design; the windows' logic (forms/) drives
// them through win32/Binding.
#pragma once

#include <array>
#include <memory>

#include "win32/Controls.h"
#include "win32/Form.h"

namespace tarvel::win32 {

class StartupWindow : public Form {
 public:
  StartupWindow();
  // The controls in their tab order.
  PushButton OK;
  Frame OptionsMainFrame;
  Frame ParallelFrame;
  OptionButton LPT1, LPT2, PRN;
  Label MainLabel;
};

class MainWindow : public Form {
 public:
  MainWindow();
  ~MainWindow() override;

  Frame LogoFrame;
  std::array<Frame, 2> FrameLabel;
  Frame ScaleFrame;
  Frame TransmitFrame;
  Label LogoText0;
  PushButton Transmit;
  CheckBox AutoTransmit;
  OptionButton DeviceOption0;
  PushButton Receive;
  Label LastSent;
  Label LogoText1;
  OptionButton DeviceOption1;
  TextBox GainText0;
  ScrollBar GainSlide0;
  Label ReadText0;
  TextBox GainText1;
  ScrollBar GainSlide1;
  Label ReadText1;
  Picture Picture1;

  std::array<OptionButton*, 2> DeviceOption{&DeviceOption0, &DeviceOption1};
  std::array<TextBox*, 2> GainText{&GainText0, &GainText1};
  std::array<ScrollBar*, 2> GainSlide{&GainSlide0, &GainSlide1};
  std::array<Label*, 2> ReadText{&ReadText0, &ReadText1};
  std::array<Label*, 2> LogoText{&LogoText0, &LogoText1};

  // The menu items' IDs.
  enum MenuItem : WORD { ExitMenu = 200, OptionsMenu, UsersManualMenu, AboutMenu };

  // The menu handlers, set by the windows' logic.
  std::function<void(MenuItem)> onMenu;

 protected:
  void Menu(WORD id) override;
};

class AboutWindow : public Form {
 public:
  AboutWindow();

  Frame LogoFrame;
  Label LogoLabel;
  Label VersionLabel;
  Label CopyrightLabel;
  PushButton OK;
  Label ExtraLabel;
  Picture Picture1;
};

}  // namespace tarvel::win32

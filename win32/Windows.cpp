#include "win32/Windows.h"

#include <cstdio>
#include <string>
#include <vector>

#include "chips/Chips.h"
#include "core/MainModule.h"
#include "win32/Art.h"

namespace tarvel::win32 {

namespace {

// The port options' captions name each port's three registers: "   LPT1 (H378-H37A)".
std::string PortCaption(std::size_t index) {
  const LegacyPort& port = kLegacyPorts[index];
  std::string name(port.name);
  name.resize(std::max<std::size_t>(name.size(), 4), ' ');
  char range[32];
  std::snprintf(range, sizeof range, " (H%X-H%X)", static_cast<unsigned>(port.base),
                static_cast<unsigned>(port.base + 2));
  return "   " + name + range;
}

std::string ChipCaption(std::size_t index) { return std::string(Chips().at(index)->token); }

// A picture box's place for a bitmap of `width` x `height` pixels at 96 DPI
// (15 twips a pixel), `left` twips in and centred in a frame `frameHeight` high.
TwipRect PicturePlace(int left, int frameHeight, int width, int height) {
  return {left, (frameHeight - height * 15) / 2, width * 15, height * 15};
}

const DesignFont kFrameFont{"MS Sans Serif", 9.75, true};
const DesignFont kReadFont{"MS Sans Serif", 9.75};
const DesignFont kGainFont{"MS Serif", 6.75};
const DesignFont kLogoFont{"Arial", 18, true, true};
const DesignFont kOptionFont{"Arial", 10.5};
const DesignFont kButtonFont{"MS Sans Serif", 12};

}  // namespace

// ---- Setup Menu ----------------------------------------------------------------

StartupWindow::StartupWindow()
    : Form("Setup Menu", 3975, 2790),
      OK(*this, nullptr, {2520, 2280, 1332, 372}, "OK"),
      OptionsMainFrame(*this, nullptr, {120, 120, 3735, 1935}, ""),
      ParallelFrame(*this, &OptionsMainFrame, {240, 240, 3255, 1452}, ""),
      LPT1(*this, &ParallelFrame, {360, 360, 2415, 252}, PortCaption(0)),
      LPT2(*this, &ParallelFrame, {360, 720, 2415, 252}, PortCaption(1)),
      PRN(*this, &ParallelFrame, {360, 1080, 2415, 252}, PortCaption(2)),
      MainLabel(*this, &OptionsMainFrame, {240, 0, 2052, 252}, "Select Transmission Port") {
  OptionButton::Group({&LPT1, &LPT2, &PRN});
}

// ---- Tarvel Control --------------------------------------------------------------

MainWindow::MainWindow()
    : Form("Tarvel Control", 6405, 5490),
      LogoFrame(*this, nullptr, {120, 0, 6135, 1335}, ""),
      FrameLabel{Frame(*this, nullptr, {120, 1320, 1095, 3975}, "Frame", kFrameFont),
                 Frame(*this, nullptr, {1440, 1320, 1095, 3975}, "Frame", kFrameFont)},
      ScaleFrame(*this, nullptr, {4080, 1320, 2175, 975}, "", {"Arial", 10.5, false, true}),
      TransmitFrame(*this, nullptr, {4080, 3120, 2172, 2175}, "", {"Courier", 12, true}),
      LogoText0(*this, &LogoFrame, {2880, 240, 2895, 495}, "Tarvel", kLogoFont),
      Transmit(*this, &TransmitFrame, {120, 600, 1935, 492}, "Transmit", kButtonFont),
      AutoTransmit(*this, &TransmitFrame, {120, 240, 1812, 252}, "Auto Transmit", kOptionFont),
      DeviceOption0(*this, &ScaleFrame, {120, 240, 1452, 252}, ChipCaption(0), kOptionFont),
      Receive(*this, &TransmitFrame, {120, 1200, 1935, 492}, "Receive", kButtonFont),
      // A 1455-twip label cuts "Last Sent: 42, 42" short in today's fonts:
      // the label gets the frame's inner width instead.
      LastSent(*this, &TransmitFrame, {120, 1800, 1935, 255}, "Last Sent: -, -", {"Times New Roman", 10.5}),
      LogoText1(*this, &LogoFrame, {2880, 720, 3015, 375}, "Control Software", kLogoFont),
      DeviceOption1(*this, &ScaleFrame, {120, 600, 1452, 252}, ChipCaption(1), kOptionFont),
      GainText0(*this, &FrameLabel[0], {360, 360, 372, 216}, "Text", kGainFont),
      GainSlide0(*this, &FrameLabel[0], {360, 600, 372, 2895}),
      ReadText0(*this, &FrameLabel[0], {120, 3600, 855, 255}, "Read: -", kReadFont, Label::Align::Centre),
      GainText1(*this, &FrameLabel[1], {360, 360, 372, 216}, "Text", kGainFont),
      GainSlide1(*this, &FrameLabel[1], {360, 600, 372, 2895}),
      ReadText1(*this, &FrameLabel[1], {120, 3600, 855, 255}, "Read: -", kReadFont, Label::Align::Centre),
      Picture1(*this, &LogoFrame, PicturePlace(120, 1335, 174, 52)) {
  OptionButton::Group({&DeviceOption0, &DeviceOption1});
  Picture1.render = [](int width, int height) { return LogoBitmap(width, height); };
  Picture1.Layout(dpi());

  HMENU bar = ::CreateMenu();
  const struct {
    const char* caption;
    std::vector<std::pair<MenuItem, const char*>> items;
  } menus[] = {
      {"File", {{ExitMenu, "Exit"}}},
      {"Setup", {{OptionsMenu, "Options Menu"}}},
      {"Help", {{UsersManualMenu, "User's Manual"}, {AboutMenu, "About Program"}}},
  };
  for (const auto& menu : menus) {
    HMENU popup = ::CreatePopupMenu();
    for (const auto& [id, caption] : menu.items) ::AppendMenuW(popup, MF_STRING, id, Wide(caption).c_str());
    ::AppendMenuW(bar, MF_POPUP, reinterpret_cast<UINT_PTR>(popup), Wide(menu.caption).c_str());
  }
  SetMenuBar(bar);
}

MainWindow::~MainWindow() = default;

void MainWindow::Menu(WORD id) {
  if (id >= ExitMenu && id <= AboutMenu && onMenu) onMenu(static_cast<MenuItem>(id));
}

// ---- About Program -----------------------------------------------------------------

AboutWindow::AboutWindow()
    : Form("About Program", 5460, 1950),
      LogoFrame(*this, nullptr, {120, 120, 5292, 1215}, ""),
      LogoLabel(*this, &LogoFrame, {1680, 360, 3375, 255}, "Tarvel Control Software",
                {"Arial", 12, true, true}),
      VersionLabel(*this, &LogoFrame, {3720, 720, 1335, 255}, "Version: #.#",
                   {"Times New Roman", 10.5, true}),
      CopyrightLabel(*this, nullptr, {120, 1560, 4095, 255}, "Copyright \u00A9 #### Tarvel Control Software",
                     {"Times New Roman", 9}),
      OK(*this, nullptr, {4320, 1440, 1092, 372}, "OK"),
      ExtraLabel(*this, &LogoFrame, {120, 120, 132, 132}, ".", {"Times New Roman", 9}),
      Picture1(*this, &LogoFrame, PicturePlace(300, 1215, 87, 26)) {
  Picture1.render = [](int width, int height) { return LogoBitmap(width, height); };
  Picture1.Layout(dpi());
}

}  // namespace tarvel::win32

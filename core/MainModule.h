// MainModule: the program's shared globals, its standard alerts and the
// result-file writer. Plain C++: the device link and the command line use it
// without ever loading the GUI toolkit; the windows install a presenter that
// turns alerts into message boxes.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tarvel {

// ---- Shared globals -------------------------------------------------------

// I/O base of the selected parallel port: 888 (LPT1), 632 (LPT2), 956 (PRN).
extern std::int16_t PortAddress;
// A chip's device or read-back token (chips/Chips.h), a command-line token,
// or "0"/"1" while the gain-control window is closed through the Options menu.
extern std::string DeviceName;
// Codes to send, index 0 = the chip's first channel.
extern std::array<std::int16_t, 2> GainCode;
// Codes read back from the RX4410, each 0..63.
extern std::array<std::int16_t, 2> ReadCode;
// Bounds of the codes the gain-control window accepts.
extern std::int16_t GainMin;
extern std::int16_t GainMax;

constexpr std::int16_t kLpt1Address = 888;  // 0x378
constexpr std::int16_t kLpt2Address = 632;  // 0x278
constexpr std::int16_t kPrnAddress = 956;   // 0x3BC

// The three port choices, the one list of their names and base addresses
// (the start-up window's options, port discovery, the direct back-end's
// check, the alerts and --port-choice).
struct LegacyPort {
  std::string_view name;
  std::int16_t base;
};
inline constexpr LegacyPort kLegacyPorts[] = {
    {"LPT1", kLpt1Address}, {"LPT2", kLpt2Address}, {"PRN", kPrnAddress}};

// The choice with this name or base address, or nullptr.
constexpr const LegacyPort* FindLegacyPort(std::string_view name) {
  for (const LegacyPort& c : kLegacyPorts) {
    if (c.name == name) return &c;
  }
  return nullptr;
}
constexpr const LegacyPort* FindLegacyPort(long base) {
  for (const LegacyPort& c : kLegacyPorts) {
    if (c.base == base) return &c;
  }
  return nullptr;
}

constexpr const char* kResultFileName = "TRVOutput.dat";

// ---- Alerts ----------------------------------------------------------------

enum class AlertIcon { Warning, Error };

struct Alert {
  AlertIcon icon;
  std::string title;
  std::string text;
};

// Shows an alert and returns when the user has closed it.
class AlertPresenter {
 public:
  virtual ~AlertPresenter() = default;
  virtual void Present(const Alert& alert) = 0;
};

// Writes "title: text" as one line to standard error.
class StderrAlertPresenter : public AlertPresenter {
 public:
  void Present(const Alert& alert) override;
};

// Installs the presenter all alerts go through; returns the previous one.
// Passing nullptr restores the standard-error presenter.
std::shared_ptr<AlertPresenter> SetAlertPresenter(std::shared_ptr<AlertPresenter> presenter);

// The alerts' exact wording, kept apart from their display so tests and the
// command line can name them.
Alert RangeAlert(std::int16_t lowest, std::int16_t highest);
Alert EntryAlert();
Alert CommandAlert();
Alert OptionAlert();

void ShowRangeAlert(std::int16_t lowest, std::int16_t highest);
void ShowEntryAlert();
void ShowCommandAlert();
void ShowOptionAlert();
// The port could not be opened or claimed, or failed during a sequence.
void ShowPortAlert(const std::string& title, const std::string& text);
// Any other message box of the program (the missing user's manual).
void ShowAlert(const Alert& alert);

// ---- Result file -----------------------------------------------------------

// Writes `text` and CR LF as the whole content of `fileName`. The line goes
// to a temporary file in the same directory that is then renamed over the
// target, so the file holds either the whole new line or what it held
// before. Shows no message; returns false on any failure, and
// ResultFileError() then tells the system's reason.
bool WriteResultFile(const std::string& fileName, const std::string& text);
const std::string& ResultFileError();

}  // namespace tarvel

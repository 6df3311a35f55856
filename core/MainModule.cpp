#include "core/MainModule.h"

#include <cerrno>
#include <cstring>
#include <iostream>

#include "core/AtomicFile.h"
#include "core/Numbers.h"
#include "core/platform/Platform.h"

namespace tarvel {

std::int16_t PortAddress = kLpt1Address;
std::string DeviceName;
std::array<std::int16_t, 2> GainCode{0, 0};
std::array<std::int16_t, 2> ReadCode{0, 0};
std::int16_t GainMin = 0;
std::int16_t GainMax = 0;

// ---- Alerts ----------------------------------------------------------------

void StderrAlertPresenter::Present(const Alert& alert) {
  std::cerr << alert.title << ": " << alert.text << std::endl;
}

namespace {

std::shared_ptr<AlertPresenter>& PresenterSlot() {
  static std::shared_ptr<AlertPresenter> presenter = std::make_shared<StderrAlertPresenter>();
  return presenter;
}

void Show(const Alert& alert) {
  // Hold a reference so a presenter that replaces itself while shown survives.
  std::shared_ptr<AlertPresenter> presenter = PresenterSlot();
  presenter->Present(alert);
}

}  // namespace

std::shared_ptr<AlertPresenter> SetAlertPresenter(std::shared_ptr<AlertPresenter> presenter) {
  if (!presenter) presenter = std::make_shared<StderrAlertPresenter>();
  std::swap(PresenterSlot(), presenter);
  return presenter;
}

Alert RangeAlert(std::int16_t lowest, std::int16_t highest) {
  return {AlertIcon::Warning, "Error: Invalid Entry",
          "Valid input range from " + CodeToText(lowest) + " to " + CodeToText(highest) + ".  "};
}

Alert EntryAlert() {
  return {AlertIcon::Error, "Error: Invalid or Missing Entry",
          "Please enter a numeric value.  Blank entries are not permitted."};
}

Alert CommandAlert() {
  return {AlertIcon::Error, "Error: Invalid or Missing Entry",
          "The command call provided was incomplete or incorrect. Example: [DEVICE] [CODE1] [CODE2]"};
}

Alert OptionAlert() {
  return {AlertIcon::Error, "Error: Invalid Option", "This option has not yet been implemented."};
}

void ShowRangeAlert(std::int16_t lowest, std::int16_t highest) { Show(RangeAlert(lowest, highest)); }
void ShowEntryAlert() { Show(EntryAlert()); }
void ShowCommandAlert() { Show(CommandAlert()); }
void ShowOptionAlert() { Show(OptionAlert()); }
void ShowPortAlert(const std::string& title, const std::string& text) {
  Show({AlertIcon::Error, title, text});
}
void ShowAlert(const Alert& alert) { Show(alert); }

// ---- Result file -----------------------------------------------------------

namespace {
std::string& ResultFileErrorSlot() {
  static std::string reason;
  return reason;
}
}  // namespace

bool WriteResultFile(const std::string& fileName, const std::string& text) {
  std::string& reason = ResultFileErrorSlot();
  reason.clear();
  if (fileName.empty() || fileName.back() == '/') {
    reason = std::strerror(EISDIR);
    return false;
  }
  // A folder of that name would take the temporary file inside the folder
  // and then fail the rename; say so at once.
  platform::FileKind kind{};
  if (platform::KindOf(fileName, kind) && kind == platform::FileKind::Folder) {
    reason = std::strerror(EISDIR);
    return false;
  }
  return WriteFileAtomically(fileName, text + "\r\n", reason, true, ".TRVOutput.");
}

const std::string& ResultFileError() { return ResultFileErrorSlot(); }

}  // namespace tarvel

#include "MainModule.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <iostream>

#include "Numbers.h"

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

bool WriteResultFile(const std::string& fileName, const std::string& text) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path target(fileName);
  if (fileName.empty() || target.filename().empty()) return false;
  const fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
  std::string pattern = (dir / (".TRVOutput.XXXXXX")).string();

  const int fd = ::mkstemp(pattern.data());
  if (fd < 0) return false;
  const std::string content = text + "\r\n";
  bool ok = true;
  std::size_t done = 0;
  while (ok && done < content.size()) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    else done += static_cast<std::size_t>(n);
  }
  // A result file is an ordinary file for its reader: mkstemp's 0600 would
  // hide it from the rest of the group, so apply the usual umask instead.
  if (ok) {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ok = ::fchmod(fd, 0666 & ~mask) == 0;
  }
  if (ok) ok = ::fsync(fd) == 0;
  if (::close(fd) != 0) ok = false;
  if (ok) ok = ::rename(pattern.c_str(), target.c_str()) == 0;
  if (!ok) fs::remove(pattern, ec);
  return ok;
}

}  // namespace tarvel

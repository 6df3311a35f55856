#include "device/ports/GpioPort.h"

#include <cerrno>
#include <cstring>

#include "device/ports/PortSelect.h"
#include "device/ports/SharedLibrary.h"

namespace tarvel {

namespace {

const char* const kForms =
    "write TARVEL_PORT=gpio:CHIP:L0,L1,L2,L3,L4,L5,L6,L7 with eight different line offsets or names, "
    "for example gpio:gpiochip0:17,27,22,23,24,5,6,13";
const char* const kPermissionRemedy =
    "add your user to the gpio group (sudo usermod -aG gpio $USER, then log in again), or give the group "
    "the chip with the udev rule SUBSYSTEM==\"gpio\", KERNEL==\"gpiochip*\", GROUP=\"gpio\", MODE=\"0660\"";
const char* const kNoChipRemedy =
    "list the chips with gpiodetect and name one by its device, name, label or number";
const char* const kNoLineRemedy = "list the chip's lines with their offsets and names with gpioinfo";
const char* const kBusyRemedy = "stop the program or driver that holds it, or wire the bench to other lines";
const char* const kLostRemedy = "check the GPIO chip, then send again";
const char* const kLibraryRemedy = "install libgpiod (sudo apt install libgpiod2)";

bool IsNumber(std::string_view text) {
  if (text.empty() || text.size() > 6) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// "007" and "7" name the same offset.
std::string Normalised(const std::string& entry) {
  if (!IsNumber(entry)) return entry;
  return std::to_string(std::stoul(entry));
}

}  // namespace

const GpiodApi* LoadGpiodLibrary(std::string& reason) {
  static GpiodApi api{};
  static bool loaded = false;
  if (loaded) return &api;
  SharedLibrary library("libgpiod.so.2", reason);
  const bool ok = library.opened() && library.Bind("gpiod_chip_open_lookup", api.chipOpenLookup) &&
                  library.Bind("gpiod_chip_close", api.chipClose) &&
                  library.Bind("gpiod_chip_num_lines", api.chipNumLines) &&
                  library.Bind("gpiod_chip_get_line", api.chipGetLine) &&
                  library.Bind("gpiod_chip_find_line", api.chipFindLine) &&
                  library.Bind("gpiod_line_offset", api.lineOffset) &&
                  library.Bind("gpiod_line_is_used", api.lineIsUsed) &&
                  library.Bind("gpiod_line_consumer", api.lineConsumer) &&
                  library.Bind("gpiod_line_request_bulk_output", api.requestBulkOutput) &&
                  library.Bind("gpiod_line_request_bulk_input", api.requestBulkInput) &&
                  library.Bind("gpiod_line_set_value_bulk", api.setValueBulk) &&
                  library.Bind("gpiod_line_get_value_bulk", api.getValueBulk) &&
                  library.Bind("gpiod_line_release_bulk", api.releaseBulk);
  if (!ok) return nullptr;
  library.Keep();
  loaded = true;
  return &api;
}

bool ParseGpioChoice(std::string_view choice, GpioChoice& parsed, PortError& error) {
  error.failure = PortFailure::Unavailable;
  error.target = "TARVEL_PORT=" + std::string(choice);
  error.remedy = kForms;
  const std::string_view rest = choice.substr(5);  // after "gpio:"
  const std::size_t colon = rest.find(':');
  if (colon == std::string_view::npos || colon == 0) {
    error.reason = "no GPIO chip and line list";
    return false;
  }
  parsed.chip = std::string(rest.substr(0, colon));
  std::string_view list = rest.substr(colon + 1);
  std::size_t count = 0;
  for (;;) {
    const std::size_t comma = list.find(',');
    const std::string_view entry = list.substr(0, comma);
    if (count < parsed.lines.size()) parsed.lines[count] = std::string(entry);
    ++count;
    if (entry.empty() || entry.find_first_of(" \t") != std::string_view::npos) {
      error.reason = "line entry " + std::to_string(count - 1) + " (\"" + std::string(entry) +
                     "\") is not a line offset or name";
      return false;
    }
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  if (count != parsed.lines.size()) {
    error.reason = std::to_string(count) + " lines named, but pins 0 to 7 need eight";
    return false;
  }
  for (std::size_t i = 0; i < parsed.lines.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (Normalised(parsed.lines[i]) == Normalised(parsed.lines[j])) {
        error.reason = "line \"" + parsed.lines[i] + "\" is named for both pin " + std::to_string(j) +
                       " and pin " + std::to_string(i);
        return false;
      }
    }
  }
  return true;
}

GpioPortBackend::GpioPortBackend(GpioChoice choice, GpiodLoader loader)
    : choice_(std::move(choice)), loader_(loader) {}

GpioPortBackend::~GpioPortBackend() { Release(); }

std::string GpioPortBackend::Describe(std::int32_t) const { return Choice() + " (GPIO header)"; }

std::string GpioPortBackend::Choice() const {
  std::string text = "gpio:" + choice_.chip;
  char separator = ':';
  for (const std::string& line : choice_.lines) {
    text += separator + line;
    separator = ',';
  }
  return text;
}

bool GpioPortBackend::Open(std::int32_t base, PortError& error) {
  base_ = base;
  error.target = "GPIO chip " + choice_.chip;
  if (api_ == nullptr) {
    std::string reason;
    api_ = loader_(reason);
    if (api_ == nullptr) {
      error.reason = reason;
      error.remedy = kLibraryRemedy;
      return false;
    }
  }
  errno = 0;
  chip_ = api_->chipOpenLookup(choice_.chip.c_str());
  if (chip_ == nullptr) {
    const int err = errno != 0 ? errno : ENOENT;
    error.reason = err == ENOENT || err == ENODEV ? "no such GPIO chip" : std::strerror(err);
    error.remedy = err == EACCES || err == EPERM ? kPermissionRemedy : kNoChipRemedy;
    return false;
  }
  std::array<gpiod_line*, 8> lines{};
  if (!ResolveLines(lines, error) || !Request(lines, error)) {
    Release();
    return false;
  }
  return true;
}

bool GpioPortBackend::ResolveLines(std::array<gpiod_line*, 8>& lines, PortError& error) {
  const unsigned count = api_->chipNumLines(chip_);
  for (std::size_t pin = 0; pin < lines.size(); ++pin) {
    const std::string& entry = choice_.lines[pin];
    if (IsNumber(entry)) {
      const unsigned long offset = std::stoul(entry);
      lines[pin] = offset < count ? api_->chipGetLine(chip_, static_cast<unsigned>(offset)) : nullptr;
    } else {
      errno = 0;
      lines[pin] = api_->chipFindLine(chip_, entry.c_str());
    }
    if (lines[pin] == nullptr) {
      error.reason =
          "pin " + std::to_string(pin) + ": " +
          (IsNumber(entry) ? "the chip has no line " + entry + " (it has " + std::to_string(count) +
                                 " lines, 0 to " + std::to_string(count == 0 ? 0 : count - 1) + ")"
                           : "the chip has no line called \"" + entry + "\"");
      error.remedy = kNoLineRemedy;
      return false;
    }
  }
  for (std::size_t i = 0; i < lines.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (api_->lineOffset(lines[i]) == api_->lineOffset(lines[j])) {
        error.reason = "\"" + choice_.lines[j] + "\" and \"" + choice_.lines[i] + "\" are the same line " +
                       std::to_string(api_->lineOffset(lines[i])) + " (pins " + std::to_string(j) + " and " +
                       std::to_string(i) + ")";
        error.remedy = kForms;
        return false;
      }
    }
  }
  for (std::size_t pin = 0; pin < lines.size(); ++pin) {
    if (api_->lineIsUsed(lines[pin])) {
      const char* consumer = api_->lineConsumer(lines[pin]);
      error.reason = "pin " + std::to_string(pin) + ": line " + choice_.lines[pin] + " is busy, used by " +
                     (consumer != nullptr && *consumer != '\0' ? "\"" + std::string(consumer) + "\""
                                                               : std::string("a kernel driver"));
      error.remedy = kBusyRemedy;
      return false;
    }
  }
  return true;
}

bool GpioPortBackend::Request(const std::array<gpiod_line*, 8>& lines, PortError& error) {
  gpiod_line_bulk_init(&outputs_);
  gpiod_line_bulk_init(&inputs_);
  std::array<int, 6> levels{};
  for (std::size_t i = 0; i < kOutputPins.size(); ++i) {
    gpiod_line_bulk_add(&outputs_, lines[static_cast<std::size_t>(kOutputPins[i])]);
    levels[i] = (level_ >> kOutputPins[i]) & 1;
  }
  for (const int pin : kInputPins) gpiod_line_bulk_add(&inputs_, lines[static_cast<std::size_t>(pin)]);
  const char* what = "gpiod_line_request_bulk_output";
  bool ok = api_->requestBulkOutput(&outputs_, kConsumer, levels.data()) == 0;
  outputsHeld_ = ok;
  if (ok) {
    what = "gpiod_line_request_bulk_input";
    ok = api_->requestBulkInput(&inputs_, kConsumer) == 0;
    inputsHeld_ = ok;
  }
  if (ok) return true;
  const int err = errno;
  error.reason = std::string(what) + ": " + std::strerror(err);
  error.remedy = err == EBUSY ? kBusyRemedy : err == EACCES || err == EPERM ? kPermissionRemedy : "";
  return false;
}

bool GpioPortBackend::Fail(const std::string& what, int err, PortError& error) {
  error.failure = PortFailure::AccessFailed;
  error.target = "GPIO chip " + choice_.chip;
  error.reason = what + (err != 0 ? std::string(": ") + std::strerror(err) : std::string());
  error.remedy = kLostRemedy;
  return false;
}

bool GpioPortBackend::Write(std::int32_t port, std::uint8_t value, PortError& error) {
  if (!outputsHeld_ || port != base_) return Fail("write to port " + std::to_string(port), 0, error);
  std::array<int, 6> levels{};
  for (std::size_t i = 0; i < kOutputPins.size(); ++i) levels[i] = (value >> kOutputPins[i]) & 1;
  if (api_->setValueBulk(&outputs_, levels.data()) != 0)
    return Fail("gpiod_line_set_value_bulk", errno, error);
  level_ = value & kAdapterOutputPins;
  return true;
}

bool GpioPortBackend::Read(std::int32_t port, std::uint8_t& value, PortError& error) {
  if (!inputsHeld_ || port != base_ + 1) return Fail("read from port " + std::to_string(port), 0, error);
  std::array<int, 2> levels{};
  if (api_->getValueBulk(&inputs_, levels.data()) != 0)
    return Fail("gpiod_line_get_value_bulk", errno, error);
  const auto pins = static_cast<std::uint8_t>((levels[0] != 0 ? 1 << kInputPins[0] : 0) |
                                              (levels[1] != 0 ? 1 << kInputPins[1] : 0));
  value = AdapterStatusFromPins(pins);
  return true;
}

bool GpioPortBackend::Close(PortError&) {
  Release();
  return true;
}

void GpioPortBackend::Release() {
  if (outputsHeld_) api_->releaseBulk(&outputs_);
  if (inputsHeld_) api_->releaseBulk(&inputs_);
  outputsHeld_ = inputsHeld_ = false;
  if (chip_ != nullptr) api_->chipClose(chip_);
  chip_ = nullptr;
}

}  // namespace tarvel

#include "ports/GpioPort.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "core/platform/SharedLibrary.h"
#include "ports/PortSelect.h"

namespace tarvel {

namespace {

const char* const kForms =
    "write TARVEL_PORT=gpio:CHIP:L0,L1,L2,L3,L4,L5,L6,L7 with eight different line offsets or names, "
    "for example gpio:gpiochip0:17,27,22,23,24,5,6,13 (CHIP auto takes a Raspberry Pi's header chip)";
const char* const kPermissionRemedy =
    "add your user to the gpio group (sudo usermod -aG gpio $USER, then log in again), or give the group "
    "the chip with the udev rule SUBSYSTEM==\"gpio\", KERNEL==\"gpiochip*\", GROUP=\"gpio\", MODE=\"0660\"";
const char* const kNoChipRemedy =
    "list the chips with gpiodetect and name one by its device, name, label or number";
const char* const kNoLineRemedy = "list the chip's lines with their offsets and names with gpioinfo";
const char* const kBusyRemedy = "stop the program or driver that holds it, or wire the bench to other lines";
const char* const kLostRemedy = "check the GPIO chip, then send again";
const char* const kLibraryRemedy =
    "install libgpiod (sudo apt install libgpiod3 on Debian 13 and Raspberry Pi OS, libgpiod2 on Debian 12)";
const char* const kAutoRemedy =
    "name the chip instead of auto, e.g. gpio:gpiochip0:17,27,22,23,24,5,6,13 (gpiodetect lists the chips "
    "and "
    "their labels)";

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
                  library.Bind("gpiod_chip_label", api.chipLabel) &&
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

const Gpiod2Api* LoadGpiod2Library(std::string& reason) {
  static Gpiod2Api api{};
  static bool loaded = false;
  if (loaded) return &api;
  SharedLibrary library("libgpiod.so.3", reason);
  const bool ok = library.opened() && library.Bind("gpiod_chip_open", api.chipOpen) &&
                  library.Bind("gpiod_chip_close", api.chipClose) &&
                  library.Bind("gpiod_chip_get_info", api.chipGetInfo) &&
                  library.Bind("gpiod_chip_info_get_label", api.chipInfoGetLabel) &&
                  library.Bind("gpiod_chip_info_get_num_lines", api.chipInfoGetNumLines) &&
                  library.Bind("gpiod_chip_info_free", api.chipInfoFree) &&
                  library.Bind("gpiod_chip_get_line_offset_from_name", api.chipGetLineOffsetFromName) &&
                  library.Bind("gpiod_chip_get_line_info", api.chipGetLineInfo) &&
                  library.Bind("gpiod_line_info_is_used", api.lineInfoIsUsed) &&
                  library.Bind("gpiod_line_info_get_consumer", api.lineInfoGetConsumer) &&
                  library.Bind("gpiod_line_info_free", api.lineInfoFree) &&
                  library.Bind("gpiod_line_settings_new", api.lineSettingsNew) &&
                  library.Bind("gpiod_line_settings_free", api.lineSettingsFree) &&
                  library.Bind("gpiod_line_settings_set_direction", api.lineSettingsSetDirection) &&
                  library.Bind("gpiod_line_settings_set_output_value", api.lineSettingsSetOutputValue) &&
                  library.Bind("gpiod_line_config_new", api.lineConfigNew) &&
                  library.Bind("gpiod_line_config_free", api.lineConfigFree) &&
                  library.Bind("gpiod_line_config_add_line_settings", api.lineConfigAddLineSettings) &&
                  library.Bind("gpiod_request_config_new", api.requestConfigNew) &&
                  library.Bind("gpiod_request_config_free", api.requestConfigFree) &&
                  library.Bind("gpiod_request_config_set_consumer", api.requestConfigSetConsumer) &&
                  library.Bind("gpiod_chip_request_lines", api.chipRequestLines) &&
                  library.Bind("gpiod_line_request_release", api.lineRequestRelease) &&
                  library.Bind("gpiod_line_request_set_values", api.lineRequestSetValues) &&
                  library.Bind("gpiod_line_request_get_values", api.lineRequestGetValues);
  if (!ok) return nullptr;
  library.Keep();
  loaded = true;
  return &api;
}

bool LoadGpioLibrary(GpioLibrary& library, std::string& reason) {
  library = {};
  std::string why2, why1;
  library.v2 = LoadGpiod2Library(why2);
  if (library.v2 != nullptr) return true;
  library.v1 = LoadGpiodLibrary(why1);
  if (library.v1 != nullptr) return true;
  reason = "neither libgpiod 2 nor libgpiod 1.6 could be loaded (" + why2 + "; " + why1 + ")";
  return false;
}

std::vector<std::string> ListGpioChips() {
  std::vector<unsigned long> numbers;
  std::error_code ec;
  for (std::filesystem::directory_iterator it("/dev", ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.starts_with("gpiochip") && IsNumber(std::string_view(name).substr(8)))
      numbers.push_back(std::stoul(name.substr(8)));
  }
  std::sort(numbers.begin(), numbers.end());
  std::vector<std::string> paths;
  paths.reserve(numbers.size());
  for (const unsigned long n : numbers) paths.push_back("/dev/gpiochip" + std::to_string(n));
  return paths;
}

// ---- one chip through either library -----------------------------------------

// The calls return false with errno set and the failing libgpiod call's name
// in `what`, so the alert names the call of the library that was loaded.
class GpioPortBackend::Chip {
 public:
  Chip() = default;
  Chip(const Chip&) = delete;
  Chip& operator=(const Chip&) = delete;
  virtual ~Chip() = default;
  virtual std::string Label() = 0;
  virtual unsigned NumLines() = 0;
  // The offset of the line called `name`; false when the chip has none.
  virtual bool FindLine(const std::string& name, unsigned& offset) = 0;
  // Whether another user holds the line; its consumer ("" for a kernel driver).
  virtual bool Used(unsigned offset, std::string& consumer) = 0;
  virtual bool RequestOutputs(const std::array<unsigned, 6>& offsets, const std::array<int, 6>& levels,
                              std::string& what) = 0;
  virtual bool RequestInputs(const std::array<unsigned, 2>& offsets, std::string& what) = 0;
  virtual bool Set(const std::array<int, 6>& levels, std::string& what) = 0;
  virtual bool Get(std::array<int, 2>& levels, std::string& what) = 0;
  virtual void Release() = 0;  // both requests
  bool outputsHeld = false, inputsHeld = false;
};

namespace {

class Gpiod1Chip final : public GpioPortBackend::Chip {
 public:
  Gpiod1Chip(const GpiodApi& api, gpiod_chip* chip) : api_(api), chip_(chip) {}
  ~Gpiod1Chip() override {
    Gpiod1Chip::Release();
    api_.chipClose(chip_);
  }
  std::string Label() override {
    const char* label = api_.chipLabel(chip_);
    return label != nullptr ? label : "";
  }
  unsigned NumLines() override { return api_.chipNumLines(chip_); }
  bool FindLine(const std::string& name, unsigned& offset) override {
    gpiod_line* line = api_.chipFindLine(chip_, name.c_str());
    if (line != nullptr) offset = api_.lineOffset(line);
    return line != nullptr;
  }
  bool Used(unsigned offset, std::string& consumer) override {
    gpiod_line* line = api_.chipGetLine(chip_, offset);
    if (line == nullptr || !api_.lineIsUsed(line)) return false;
    const char* name = api_.lineConsumer(line);
    consumer = name != nullptr ? name : "";
    return true;
  }
  bool RequestOutputs(const std::array<unsigned, 6>& offsets, const std::array<int, 6>& levels,
                      std::string& what) override {
    what = "gpiod_line_request_bulk_output";
    return Fill(outputs_, offsets.data(), offsets.size()) &&
           (outputsHeld = api_.requestBulkOutput(&outputs_, GpioPortBackend::kConsumer, levels.data()) == 0);
  }
  bool RequestInputs(const std::array<unsigned, 2>& offsets, std::string& what) override {
    what = "gpiod_line_request_bulk_input";
    return Fill(inputs_, offsets.data(), offsets.size()) &&
           (inputsHeld = api_.requestBulkInput(&inputs_, GpioPortBackend::kConsumer) == 0);
  }
  bool Set(const std::array<int, 6>& levels, std::string& what) override {
    what = "gpiod_line_set_value_bulk";
    return api_.setValueBulk(&outputs_, levels.data()) == 0;
  }
  bool Get(std::array<int, 2>& levels, std::string& what) override {
    what = "gpiod_line_get_value_bulk";
    return api_.getValueBulk(&inputs_, levels.data()) == 0;
  }
  void Release() override {
    if (outputsHeld) api_.releaseBulk(&outputs_);
    if (inputsHeld) api_.releaseBulk(&inputs_);
    outputsHeld = inputsHeld = false;
  }

 private:
  bool Fill(gpiod_line_bulk& bulk, const unsigned* offsets, std::size_t count) {
    gpiod_line_bulk_init(&bulk);
    for (std::size_t i = 0; i < count; ++i) {
      gpiod_line* line = api_.chipGetLine(chip_, offsets[i]);
      if (line == nullptr) return false;
      gpiod_line_bulk_add(&bulk, line);
    }
    return true;
  }

  const GpiodApi& api_;
  gpiod_chip* chip_;
  gpiod_line_bulk outputs_{};
  gpiod_line_bulk inputs_{};
};

class Gpiod2Chip final : public GpioPortBackend::Chip {
 public:
  Gpiod2Chip(const Gpiod2Api& api, gpiod2::Chip* chip) : api_(api), chip_(chip) {}
  ~Gpiod2Chip() override {
    Gpiod2Chip::Release();
    api_.chipClose(chip_);
  }
  std::string Label() override {
    std::string label;
    if (gpiod2::ChipInfo* info = api_.chipGetInfo(chip_)) {
      const char* text = api_.chipInfoGetLabel(info);
      label = text != nullptr ? text : "";
      api_.chipInfoFree(info);
    }
    return label;
  }
  unsigned NumLines() override {
    std::size_t count = 0;
    if (gpiod2::ChipInfo* info = api_.chipGetInfo(chip_)) {
      count = api_.chipInfoGetNumLines(info);
      api_.chipInfoFree(info);
    }
    return static_cast<unsigned>(count);
  }
  bool FindLine(const std::string& name, unsigned& offset) override {
    const int found = api_.chipGetLineOffsetFromName(chip_, name.c_str());
    if (found >= 0) offset = static_cast<unsigned>(found);
    return found >= 0;
  }
  bool Used(unsigned offset, std::string& consumer) override {
    gpiod2::LineInfo* info = api_.chipGetLineInfo(chip_, offset);
    if (info == nullptr) return false;
    const bool used = api_.lineInfoIsUsed(info);
    const char* name = used ? api_.lineInfoGetConsumer(info) : nullptr;
    consumer = name != nullptr ? name : "";
    api_.lineInfoFree(info);
    return used;
  }
  bool RequestOutputs(const std::array<unsigned, 6>& offsets, const std::array<int, 6>& levels,
                      std::string& what) override {
    outputs_ = RequestLines(offsets.data(), levels.data(), offsets.size(), what);
    return outputsHeld = outputs_ != nullptr;
  }
  bool RequestInputs(const std::array<unsigned, 2>& offsets, std::string& what) override {
    inputs_ = RequestLines(offsets.data(), nullptr, offsets.size(), what);
    return inputsHeld = inputs_ != nullptr;
  }
  bool Set(const std::array<int, 6>& levels, std::string& what) override {
    what = "gpiod_line_request_set_values";
    std::array<gpiod2::Value, 6> values{};
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = ValueOf(levels[i]);
    return api_.lineRequestSetValues(outputs_, values.data()) == 0;
  }
  bool Get(std::array<int, 2>& levels, std::string& what) override {
    what = "gpiod_line_request_get_values";
    std::array<gpiod2::Value, 2> values{};
    if (api_.lineRequestGetValues(inputs_, values.data()) != 0) return false;
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (values[i] == gpiod2::Value::Error) return errno = EIO, false;
      levels[i] = values[i] == gpiod2::Value::Active ? 1 : 0;
    }
    return true;
  }
  void Release() override {
    if (outputs_ != nullptr) api_.lineRequestRelease(outputs_);
    if (inputs_ != nullptr) api_.lineRequestRelease(inputs_);
    outputs_ = inputs_ = nullptr;
    outputsHeld = inputsHeld = false;
  }

 private:
  static gpiod2::Value ValueOf(int level) {
    return level != 0 ? gpiod2::Value::Active : gpiod2::Value::Inactive;
  }

  // Outputs when `levels` is given (each line starting at its level), inputs
  // otherwise; nullptr with errno and the failing call in `what`.
  gpiod2::LineRequest* RequestLines(const unsigned* offsets, const int* levels, std::size_t count,
                                    std::string& what) {
    gpiod2::LineSettings* settings = api_.lineSettingsNew();
    gpiod2::LineConfig* lines = api_.lineConfigNew();
    gpiod2::RequestConfig* request = api_.requestConfigNew();
    gpiod2::LineRequest* made = nullptr;
    const auto direction = levels != nullptr ? gpiod2::Direction::Output : gpiod2::Direction::Input;
    bool ok = settings != nullptr && lines != nullptr && request != nullptr;
    what = "gpiod_line_settings_new";
    if (ok) ok = api_.lineSettingsSetDirection(settings, direction) == 0;
    for (std::size_t i = 0; ok && i < count; ++i) {
      what = "gpiod_line_config_add_line_settings";
      if (levels != nullptr) ok = api_.lineSettingsSetOutputValue(settings, ValueOf(levels[i])) == 0;
      if (ok) ok = api_.lineConfigAddLineSettings(lines, &offsets[i], 1, settings) == 0;
    }
    if (ok) {
      what = "gpiod_chip_request_lines";
      api_.requestConfigSetConsumer(request, GpioPortBackend::kConsumer);
      made = api_.chipRequestLines(chip_, request, lines);
    }
    const int err = errno;
    if (request != nullptr) api_.requestConfigFree(request);
    if (lines != nullptr) api_.lineConfigFree(lines);
    if (settings != nullptr) api_.lineSettingsFree(settings);
    errno = err;
    return made;
  }

  const Gpiod2Api& api_;
  gpiod2::Chip* chip_;
  gpiod2::LineRequest* outputs_ = nullptr;
  gpiod2::LineRequest* inputs_ = nullptr;
};

// libgpiod 2 opens chips by path only: a chip named by name or number is
// found at its device; one named by label is looked for among the chips.
bool IsChipPath(const std::string& chip) {
  return chip.starts_with("/") || IsNumber(chip) ||
         (chip.starts_with("gpiochip") && IsNumber(std::string_view(chip).substr(8)));
}

std::string ChipPath(const std::string& chip) {
  if (chip.starts_with("/")) return chip;
  return IsNumber(chip) ? "/dev/gpiochip" + std::to_string(std::stoul(chip)) : "/dev/" + chip;
}

// Opens one chip by path (or, for 1.6, anything gpiod_chip_open_lookup
// takes); nullptr with errno.
std::unique_ptr<GpioPortBackend::Chip> OpenWith(const GpioLibrary& library, const std::string& chip) {
  errno = 0;
  if (library.v2 != nullptr) {
    gpiod2::Chip* opened = library.v2->chipOpen(ChipPath(chip).c_str());
    if (opened != nullptr) return std::make_unique<Gpiod2Chip>(*library.v2, opened);
  } else if (gpiod_chip* opened = library.v1->chipOpenLookup(chip.c_str())) {
    return std::make_unique<Gpiod1Chip>(*library.v1, opened);
  }
  if (errno == 0) errno = ENOENT;
  return nullptr;
}

std::string FileName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

}  // namespace

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

GpioPortBackend::GpioPortBackend(GpioChoice choice, GpioLoader loader, GpioChipLister lister)
    : choice_(std::move(choice)), loader_(loader), lister_(lister) {}

GpioPortBackend::~GpioPortBackend() { Release(); }

std::string GpioPortBackend::Describe(std::int32_t) const {
  return Choice() + (chipFound_.empty() ? " (GPIO header)" : " (GPIO header on " + chipFound_ + ")");
}

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
  if (!loaded_) {
    std::string reason;
    if (!loader_(library_, reason)) {
      error.reason = reason;
      error.remedy = kLibraryRemedy;
      return false;
    }
    loaded_ = true;
  }
  std::array<unsigned, 8> offsets{};
  if (!OpenChip(error) || !ResolveLines(offsets, error) || !Request(offsets, error)) {
    Release();
    return false;
  }
  return true;
}

// gpio:auto takes the header's chip by its label; a label under libgpiod 2 is
// looked for among the chips; anything else is opened as named.
bool GpioPortBackend::OpenChip(PortError& error) {
  const bool byLabel = choice_.chip == "auto" || (library_.v2 != nullptr && !IsChipPath(choice_.chip));
  if (!byLabel) {
    chip_ = OpenWith(library_, choice_.chip);
    if (chip_ != nullptr) return true;
    const int err = errno;
    error.reason = err == ENOENT || err == ENODEV ? "no such GPIO chip" : std::strerror(err);
    error.remedy = err == EACCES || err == EPERM ? kPermissionRemedy : kNoChipRemedy;
    return false;
  }
  const bool automatic = choice_.chip == "auto";
  std::size_t best = kHeaderChipLabels.size();
  std::string seen;
  bool denied = false;
  for (const std::string& path : lister_()) {
    auto chip = OpenWith(library_, path);
    if (chip == nullptr) {
      denied = denied || errno == EACCES || errno == EPERM;
      continue;
    }
    const std::string label = chip->Label();
    seen += (seen.empty() ? "" : ", ") + FileName(path) + " \"" + label + "\"";
    std::size_t rank = kHeaderChipLabels.size();
    if (automatic) {
      for (std::size_t i = 0; i < kHeaderChipLabels.size(); ++i) {
        if (label == kHeaderChipLabels[i]) rank = i;
      }
    } else if (label == choice_.chip) {
      rank = 0;
    }
    if (rank < best) {
      best = rank;
      chip_ = std::move(chip);
      chipFound_ = FileName(path) + ", " + label;
    }
  }
  if (chip_ != nullptr) {
    if (!automatic) chipFound_.clear();
    return true;
  }
  if (automatic) {
    error.reason = "no GPIO chip is labelled pinctrl-rp1, pinctrl-bcm2711 or pinctrl-bcm2835 (" +
                   (seen.empty() ? std::string("no chip could be opened") : "found " + seen) + ")";
    error.remedy = denied && seen.empty() ? kPermissionRemedy : kAutoRemedy;
  } else {
    error.reason = "no such GPIO chip";
    error.remedy = denied && seen.empty() ? kPermissionRemedy : kNoChipRemedy;
  }
  return false;
}

bool GpioPortBackend::ResolveLines(std::array<unsigned, 8>& offsets, PortError& error) {
  const unsigned count = chip_->NumLines();
  for (std::size_t pin = 0; pin < offsets.size(); ++pin) {
    const std::string& entry = choice_.lines[pin];
    bool found = false;
    if (IsNumber(entry)) {
      const unsigned long offset = std::stoul(entry);
      found = offset < count;
      offsets[pin] = static_cast<unsigned>(offset);
    } else {
      found = chip_->FindLine(entry, offsets[pin]);
    }
    if (!found) {
      error.reason =
          "pin " + std::to_string(pin) + ": " +
          (IsNumber(entry) ? "the chip has no line " + entry + " (it has " + std::to_string(count) +
                                 " lines, 0 to " + std::to_string(count == 0 ? 0 : count - 1) + ")"
                           : "the chip has no line called \"" + entry + "\"");
      error.remedy = kNoLineRemedy;
      return false;
    }
  }
  for (std::size_t i = 0; i < offsets.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (offsets[i] == offsets[j]) {
        error.reason = "\"" + choice_.lines[j] + "\" and \"" + choice_.lines[i] + "\" are the same line " +
                       std::to_string(offsets[i]) + " (pins " + std::to_string(j) + " and " +
                       std::to_string(i) + ")";
        error.remedy = kForms;
        return false;
      }
    }
  }
  for (std::size_t pin = 0; pin < offsets.size(); ++pin) {
    std::string consumer;
    if (chip_->Used(offsets[pin], consumer)) {
      error.reason = "pin " + std::to_string(pin) + ": line " + choice_.lines[pin] + " is busy, used by " +
                     (!consumer.empty() ? "\"" + consumer + "\"" : std::string("a kernel driver"));
      error.remedy = kBusyRemedy;
      return false;
    }
  }
  return true;
}

bool GpioPortBackend::Request(const std::array<unsigned, 8>& offsets, PortError& error) {
  std::array<unsigned, 6> outputs{};
  std::array<int, 6> levels{};
  for (std::size_t i = 0; i < kOutputPins.size(); ++i) {
    outputs[i] = offsets[static_cast<std::size_t>(kOutputPins[i])];
    levels[i] = (level_ >> kOutputPins[i]) & 1;
  }
  std::array<unsigned, 2> inputs{};
  for (std::size_t i = 0; i < kInputPins.size(); ++i)
    inputs[i] = offsets[static_cast<std::size_t>(kInputPins[i])];
  std::string what;
  errno = 0;
  if (chip_->RequestOutputs(outputs, levels, what) && chip_->RequestInputs(inputs, what)) return true;
  const int err = errno != 0 ? errno : EIO;
  error.reason = what + ": " + std::strerror(err);
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
  if (chip_ == nullptr || !chip_->outputsHeld || port != base_)
    return Fail("write to port " + std::to_string(port), 0, error);
  std::array<int, 6> levels{};
  for (std::size_t i = 0; i < kOutputPins.size(); ++i) levels[i] = (value >> kOutputPins[i]) & 1;
  std::string what;
  if (!chip_->Set(levels, what)) return Fail(what, errno, error);
  level_ = value & kAdapterOutputPins;
  return true;
}

bool GpioPortBackend::Read(std::int32_t port, std::uint8_t& value, PortError& error) {
  if (chip_ == nullptr || !chip_->inputsHeld || port != base_ + 1)
    return Fail("read from port " + std::to_string(port), 0, error);
  std::array<int, 2> levels{};
  std::string what;
  if (!chip_->Get(levels, what)) return Fail(what, errno, error);
  const auto pins = static_cast<std::uint8_t>((levels[0] != 0 ? 1 << kInputPins[0] : 0) |
                                              (levels[1] != 0 ? 1 << kInputPins[1] : 0));
  value = AdapterStatusFromPins(pins);
  return true;
}

bool GpioPortBackend::Close(PortError&) {
  Release();
  return true;
}

void GpioPortBackend::Release() { chip_.reset(); }

}  // namespace tarvel

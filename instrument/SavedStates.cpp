#include "instrument/SavedStates.h"

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <system_error>
#include <vector>

#include "chips/Chips.h"
#include "core/AtomicFile.h"
#include "core/platform/Platform.h"
#include "device/ControlPPORT.h"
#include "instrument/Sweep.h"

namespace tarvel {

namespace {

constexpr std::string_view kHeader = "# tarvel saved states 1";
constexpr std::size_t kMaxFileBytes = std::size_t{64} * 1024;

std::vector<std::string> Words(std::string_view line) {
  std::istringstream in{std::string(line)};
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

// A whole decimal number of at most four digits, or nothing.
std::optional<int> SmallNumber(const std::string& word) {
  if (word.empty() || word.size() > 4 || word.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  return std::stoi(word);
}

std::optional<bool> Flag(const std::string& word) {
  if (word == "0" || word == "1") return word == "1";
  return std::nullopt;
}

// The codes a state may hold: what CHANnel<n>:CODE takes under any device
// (a code set under the RX4410 stays set when DEVice changes to a chip with
// fewer; sending it is then refused).
CodeRange SettableCodes() {
  CodeRange all;
  for (const Chip* chip : Chips()) {
    if (const auto range = DeviceCodeRange(chip->token)) all.highest = std::max(all.highest, range->highest);
  }
  return all;
}

}  // namespace

std::string FormatSavedStates(const SavedStates& states) {
  std::string text =
      std::string(kHeader) + "\nrecall-at-power-on " + (states.recallAtPowerOn ? "1" : "0") + "\n";
  for (int n = 0; n < kSavedStateSlots; ++n) {
    const auto& s = states.slots[static_cast<std::size_t>(n)];
    if (!s) continue;
    text += "state " + std::to_string(n) + " " + s->device + " " + std::to_string(s->codes[0]) + " " +
            std::to_string(s->codes[1]) + " " + (s->autoTransmit ? "1" : "0") + "\n";
  }
  return text;
}

std::optional<SavedStates> ParseSavedStates(std::string_view text, std::string_view fileName,
                                            std::string& error) {
  SavedStates states;
  int lineNo = 0;
  bool headed = false;
  auto fail = [&](const std::string& why) {
    error = std::string(fileName) + ":" + std::to_string(lineNo) + ": " + why;
    return std::nullopt;
  };
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(start, end - start);
    start = end + 1;
    ++lineNo;
    if (!headed) {
      if (line != kHeader)
        return fail("not a saved-states file (the first line is not \"" + std::string(kHeader) + "\")");
      headed = true;
      continue;
    }
    const std::vector<std::string> w = Words(line);
    if (w.empty() || w[0].starts_with('#')) continue;
    if (w[0] == "recall-at-power-on") {
      if (w.size() != 2 || !Flag(w[1])) return fail("recall-at-power-on is 0 or 1");
      states.recallAtPowerOn = *Flag(w[1]);
      continue;
    }
    if (w[0] != "state" || w.size() != 6) return fail("expected \"state SLOT DEVICE CODE1 CODE2 AUTO\"");
    const auto slot = SmallNumber(w[1]);
    if (!slot || *slot >= kSavedStateSlots) return fail("no slot \"" + w[1] + "\" (0 to 9)");
    auto& target = states.slots[static_cast<std::size_t>(*slot)];
    if (target) return fail("slot " + w[1] + " twice");
    if (FindChip(w[2]) == nullptr || !DeviceCodeRange(w[2])) return fail("unknown device \"" + w[2] + "\"");
    const auto c1 = SmallNumber(w[3]), c2 = SmallNumber(w[4]);
    const CodeRange range = SettableCodes();
    if (!c1 || !c2 || !range.Holds(*c1) || !range.Holds(*c2))
      return fail("codes " + w[3] + " " + w[4] + " are beyond every device's (" +
                  std::to_string(range.lowest) + " to " + std::to_string(range.highest) + ")");
    const auto automatic = Flag(w[5]);
    if (!automatic) return fail("auto-transmit is 0 or 1, not \"" + w[5] + "\"");
    target = SavedState{w[2], {*c1, *c2}, *automatic};
  }
  if (!headed) return fail("empty, not a saved-states file");
  return states;
}

std::string DefaultSavedStatesPath() {
  const std::string folder = platform::InstrumentStateFolder();
  return folder.empty() ? folder : folder + platform::PathSeparator() + "saved-states";
}

bool SavedStateStore::Load(std::string& error) {
  states_ = {};
  loadError_.clear();
  if (path_.empty()) return true;
  std::string text;
  bool missing = false;
  if (!ReadInputText(path_, "the saved states", kMaxFileBytes, text, error, &missing)) {
    if (missing) return true;
    loadError_ = error;
    return false;
  }
  const auto parsed = ParseSavedStates(text, path_, error);
  if (!parsed) {
    loadError_ = error;
    return false;
  }
  states_ = *parsed;
  return true;
}

bool SavedStateStore::Store(const SavedStates& next, std::string& error) {
  if (!loadError_.empty()) {
    error = loadError_ + " (left as it is)";
    return false;
  }
  if (!path_.empty()) {
    std::error_code ignored;  // a folder that cannot be made fails the write, which says why
    std::filesystem::create_directories(std::filesystem::path(path_).parent_path(), ignored);
    if (!WriteFileAtomically(path_, FormatSavedStates(next), error, true)) {
      error = path_ + ": " + error;
      return false;
    }
  }
  states_ = next;
  return true;
}

}  // namespace tarvel

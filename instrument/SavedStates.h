// The SCPI instrument's saved states (*SAV, *RCL): ten slots, each a device,
// both codes set and auto-transmit, and whether slot 0 is recalled when the
// server starts. They live in one small text file, `saved-states` in the
// instrument's state folder, written whole or not at all (AtomicFile, flushed
// to the disk: a bench saves its state because its power may go).
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace tarvel {

constexpr int kSavedStateSlots = 10;

struct SavedState {
  std::string device;  // a chip's device token
  std::array<int, 2> codes{0, 0};
  bool autoTransmit = false;
  bool operator==(const SavedState&) const = default;
};

struct SavedStates {
  std::array<std::optional<SavedState>, kSavedStateSlots> slots;
  bool recallAtPowerOn = false;
  bool operator==(const SavedStates&) const = default;
};

// The file's text:
//   # tarvel saved states 1
//   recall-at-power-on 1
//   state 0 RX4410 12 34 1        (slot, device, code 1, code 2, auto-transmit)
std::string FormatSavedStates(const SavedStates& states);
// Nothing, with `error` "FILE:LINE: why", for text that is not a whole,
// valid file (an unknown device, a code beyond its range, a slot twice).
std::optional<SavedStates> ParseSavedStates(std::string_view text, std::string_view fileName,
                                            std::string& error);

// `saved-states` in platform::InstrumentStateFolder(); empty when no folder is known.
std::string DefaultSavedStatesPath();

// The states and their file. With an empty path they are kept in memory only.
class SavedStateStore {
 public:
  explicit SavedStateStore(std::string path = {}) : path_(std::move(path)) {}
  // Reads the file (none there: no state, recall off). False with the
  // reason, and the store then refuses to write (the file is left for the
  // user to look at).
  bool Load(std::string& error);
  const SavedStates& states() const { return states_; }
  const std::string& path() const { return path_; }
  // Why the file could not be read at Load; empty when it could.
  const std::string& loadError() const { return loadError_; }
  // Puts `next` in place, making the folder when it is missing; on failure
  // the file and the states held stay as they were.
  bool Store(const SavedStates& next, std::string& error);

 private:
  std::string path_;
  SavedStates states_;
  std::string loadError_;  // why the file could not be read, when it could not
};

}  // namespace tarvel

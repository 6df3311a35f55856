// Port trace: every port access of the process, written as a Value Change
// Dump that GTKWave and sigrok/PulseView open.
//
// One 1-bit wire per data line D0..D7 and per status input S3..S7. Access i
// (counted from 0) stands at time step #i (1 us per step); a closing step
// follows the last access. The data lines hold the byte last written, the
// status inputs the byte last read. Before the first write (or read) the
// register's level is not known, so those wires start at the level of the
// first write (or read); wires never sampled start and stay at 0.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarvel {

class PortTrace {
 public:
  void RecordWrite(std::uint8_t data) { events_.push_back(static_cast<std::uint16_t>(data)); }
  void RecordRead(std::uint8_t status) {
    events_.push_back(static_cast<std::uint16_t>(kReadFlag | status));
  }
  std::size_t size() const { return events_.size(); }
  void clear() { events_.clear(); }

  std::string ToVcd() const;
  // Replaces `path` atomically with the VCD text; false on any failure.
  bool WriteFile(const std::string& path) const;

 private:
  static constexpr std::uint16_t kReadFlag = 0x100;
  std::vector<std::uint16_t> events_;
};

// The trace named by TARVEL_TRACE, or nullptr when it is unset or empty. It
// is written to that path when the process exits.
PortTrace* ProcessTrace();
// Writes the process trace now (also done at exit); false if that failed.
bool FlushProcessTrace();

}  // namespace tarvel

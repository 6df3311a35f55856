// The last port accesses, in a ring of fixed size. Access n is the n-th
// access recorded, counted from 0. Not locked: the process's own ring sits
// in a PortCapture (PortCapture.h), which readers copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "capture/FrameDecoder.h"

namespace tarvel {

class PortAccessLog {
 public:
  static constexpr std::size_t kDefaultCapacity = 100000;
  explicit constexpr PortAccessLog(std::size_t capacity = kDefaultCapacity)
      : capacity_(capacity > 0 ? capacity : 1) {}

  void RecordWrite(std::uint8_t data) { Record(data); }
  void RecordRead(std::uint8_t status) { Record(static_cast<std::uint16_t>(kReadFlag | status)); }

  struct Access {
    bool read = false;
    std::uint8_t value = 0;
  };
  // Accesses ever recorded: the number of the next one.
  std::uint64_t total() const { return total_; }
  // The number of the oldest access still kept.
  std::uint64_t first() const { return total_ - size(); }
  std::size_t size() const { return total_ < capacity_ ? static_cast<std::size_t>(total_) : capacity_; }
  std::size_t capacity() const { return capacity_; }
  // Access `n`, first() <= n < total().
  Access at(std::uint64_t n) const {
    const std::uint16_t e = ring_[static_cast<std::size_t>(n % capacity_)];
    return {(e & kReadFlag) != 0, static_cast<std::uint8_t>(e)};
  }
  void clear() { total_ = 0, next_ = 0, ring_.clear(); }
  // The accesses kept, as the VCD text TARVEL_TRACE writes (its time steps
  // counted from the oldest access kept).
  std::string ToVcd() const;
  // Replaces `path` with ToVcd() in one step; false with the system's reason.
  bool SaveVcd(const std::string& path, std::string& error) const;

 private:
  static constexpr std::uint16_t kReadFlag = 0x100;
  // On every port access, no division. The ring grows with use up to its
  // capacity: a command-line run of a few dozen accesses touches a few
  // bytes, not 200 KB of zeroed memory it would never read.
  void Record(std::uint16_t e) {
    if (ring_.size() < capacity_) {
      ring_.push_back(e);
    } else {
      ring_[next_] = e;
    }
    if (++next_ == capacity_) next_ = 0;
    ++total_;
  }
  std::size_t capacity_;
  std::size_t next_ = 0;  // total_ % capacity_
  std::uint64_t total_ = 0;
  std::vector<std::uint16_t> ring_;
};

// The frames the chip models make of the accesses `log` keeps, in the order
// they end; a frame's start and end are access numbers. A write sets the
// data lines, a read the status inputs; both are unknown until the first.
std::vector<DecodedFrame> DecodePortAccesses(const PortAccessLog& log);

}  // namespace tarvel

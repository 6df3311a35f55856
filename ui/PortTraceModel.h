// What the Port Trace window draws, without the drawing: the kept port
// accesses, the rows of the lines the current device uses, the frames the
// chip models decode from them, and the visible stretch of the time axis
// (access numbers) with its zoom and pan arithmetic. Plain C++.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "capture/FrameDecoder.h"
#include "capture/PortAccessLog.h"

namespace tarvel {

// One line of the port as a chip signal of the current device.
struct TraceRow {
  std::string label;    // "Chan 1 select", "Chan 1 out (S5)", "enable"
  bool status = false;  // a status-register input, else a data line
  std::uint8_t mask = 0;
};

class PortTraceModel {
 public:
  // Takes the accesses `log` keeps now and decodes them again when any were
  // added since the last call or the device changed; true if so. `chip` is
  // the current device's index in Chips() (the first chip without one).
  bool Refresh(const PortAccessLog& log, std::size_t chip);

  // The accesses held: numbers first() .. end() - 1.
  std::uint64_t first() const { return first_; }
  std::uint64_t end() const { return first_ + levels_.size(); }
  std::size_t chip() const { return chip_; }

  const std::vector<TraceRow>& rows() const { return rows_; }
  // A row's level after access n: 1, 0, or -1 while not yet known (no write
  // or, for a status input, no read kept before it).
  int Level(const TraceRow& row, std::uint64_t n) const;
  // Frames in order of their start; a frame's start and end are access numbers.
  const std::vector<DecodedFrame>& frames() const { return frames_; }
  // The frame whose span holds `access`, or -1.
  int FrameAt(double access) const;

  // ---- The visible stretch of accesses: [viewStart, viewEnd) ----
  double viewStart() const { return viewStart_; }
  double viewEnd() const { return viewEnd_; }
  // Fits all accesses held.
  void Home();
  // Zooms in by `factor` (> 1 in, < 1 out) keeping the access at
  // `anchor` (0 left edge .. 1 right edge of the view) where it is.
  void ZoomAt(double anchor, double factor);
  // Moves the view by `accesses` (positive: later).
  void Pan(double accesses);
  static constexpr double kMinSpan = 4.0;  // accesses shown at the deepest zoom

 private:
  void Clamp();

  std::uint64_t first_ = 0, seen_ = 0;
  std::size_t chip_ = 0;
  bool fresh_ = true;
  // Per access: data | status << 8 | dataKnown << 16 | statusKnown << 17.
  std::vector<std::uint32_t> levels_;
  std::vector<TraceRow> rows_;
  std::vector<DecodedFrame> frames_;
  double viewStart_ = 0, viewEnd_ = kMinSpan;
};

}  // namespace tarvel

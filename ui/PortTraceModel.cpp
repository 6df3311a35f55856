#include "ui/PortTraceModel.h"

#include <algorithm>
#include <bit>

#include "chips/Chips.h"

namespace tarvel {

namespace {

constexpr std::uint32_t kDataKnown = 1u << 16;
constexpr std::uint32_t kStatusKnown = 1u << 17;

// Per frame of the chip: a select (active low) first, then data and clock,
// an enable (active high) after them, and the status bit a read returns on.
// A frame of one channel puts the channel's name before each line's.
std::vector<TraceRow> RowsOf(std::size_t index) {
  const Chip& chip = *Chips().at(index < Chips().size() ? index : 0);
  std::vector<TraceRow> rows;
  for (const FrameShape& f : chip.frames) {
    const int only = f.OnlyChannel();
    const std::string prefix =
        only < 0 ? "" : std::string(chip.channels[static_cast<std::size_t>(only)]) + " ";
    const bool select = (f.idle & f.frameLine) != 0;
    if (select) rows.push_back({prefix + "select", false, f.frameLine});
    rows.push_back({prefix + "data", false, f.data});
    rows.push_back({prefix + "clock", false, f.clock});
    if (!select) rows.push_back({prefix + "enable", false, f.frameLine});
    if (f.output != 0) {
      rows.push_back({prefix + "out (S" + std::to_string(std::countr_zero(f.output)) + ")", true, f.output});
    }
  }
  return rows;
}

}  // namespace

bool PortTraceModel::Refresh(const PortAccessLog& log, std::size_t chip) {
  if (!fresh_ && log.total() == seen_ && chip == chip_) return false;
  const bool follow = fresh_ || viewEnd_ >= static_cast<double>(end());
  fresh_ = false;
  seen_ = log.total();
  chip_ = chip;
  rows_ = RowsOf(chip);
  first_ = log.first();

  levels_.clear();
  levels_.reserve(log.size());
  std::uint32_t now = 0;
  for (std::uint64_t n = first_; n < seen_; ++n) {
    const PortAccessLog::Access a = log.at(n);
    now = a.read ? (now & ~0xFF00u) | std::uint32_t{a.value} << 8 | kStatusKnown
                 : (now & ~0xFFu) | a.value | kDataKnown;
    levels_.push_back(now);
  }
  frames_ = DecodePortAccesses(log);
  std::stable_sort(frames_.begin(), frames_.end(),
                   [](const DecodedFrame& a, const DecodedFrame& b) { return a.start < b.start; });
  if (follow) {
    Home();
  } else {
    Clamp();
  }
  return true;
}

int PortTraceModel::Level(const TraceRow& row, std::uint64_t n) const {
  if (n < first_ || n >= end()) return -1;
  const std::uint32_t l = levels_[static_cast<std::size_t>(n - first_)];
  if (!(l & (row.status ? kStatusKnown : kDataKnown))) return -1;
  const std::uint32_t value = row.status ? l >> 8 : l;
  return (value & row.mask) ? 1 : 0;
}

int PortTraceModel::FrameAt(double access) const {
  auto after = std::upper_bound(frames_.begin(), frames_.end(), access, [](double a, const DecodedFrame& f) {
    return a < static_cast<double>(f.start);
  });
  // Frames of different chips may overlap a little: look at the last few
  // that start before the point.
  for (int i = 0; i < 4 && after != frames_.begin(); ++i) {
    --after;
    if (access < static_cast<double>(std::max(after->end, after->start + 1)))
      return static_cast<int>(after - frames_.begin());
  }
  return -1;
}

void PortTraceModel::Home() {
  viewStart_ = static_cast<double>(first_);
  viewEnd_ = std::max(static_cast<double>(end()), viewStart_ + kMinSpan);
}

void PortTraceModel::ZoomAt(double anchor, double factor) {
  if (!(factor > 0)) return;
  anchor = std::clamp(anchor, 0.0, 1.0);
  const double span = viewEnd_ - viewStart_;
  const double at = viewStart_ + anchor * span;
  const double full = std::max(static_cast<double>(end() - first_), kMinSpan);
  const double next = std::clamp(span / factor, kMinSpan, full);
  viewStart_ = at - anchor * next;
  viewEnd_ = viewStart_ + next;
  Clamp();
}

void PortTraceModel::Pan(double accesses) {
  viewStart_ += accesses;
  viewEnd_ += accesses;
  Clamp();
}

void PortTraceModel::Clamp() {
  const double lo = static_cast<double>(first_);
  const double hi = std::max(static_cast<double>(end()), lo + kMinSpan);
  const double span = std::min(std::max(viewEnd_ - viewStart_, kMinSpan), hi - lo);
  viewStart_ = std::clamp(viewStart_, lo, hi - span);
  viewEnd_ = viewStart_ + span;
}

}  // namespace tarvel

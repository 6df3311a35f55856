#include "ui/PortTraceModel.h"

#include <algorithm>

#include "sim/ChipModels.h"

namespace tarvel {

namespace {

constexpr std::uint32_t kDataKnown = 1u << 16;
constexpr std::uint32_t kStatusKnown = 1u << 17;

std::vector<TraceRow> RowsOf(bool tqm7731) {
  if (tqm7731) {
    return {{"data", false, kTqm7731Lines.data},
            {"clock", false, kTqm7731Lines.clock},
            {"enable", false, kTqm7731Lines.enable}};
  }
  std::vector<TraceRow> rows;
  for (int c = 0; c < 2; ++c) {
    const Rx4410Lines& l = kRx4410Lines[c];
    const std::string chan = "Chan " + std::to_string(c + 1);
    const int statusBit = l.output == 0x20 ? 5 : 4;
    rows.push_back({chan + " select", false, l.select});
    rows.push_back({chan + " data", false, l.data});
    rows.push_back({chan + " clock", false, l.clock});
    rows.push_back({chan + " out (S" + std::to_string(statusBit) + ")", true, l.output});
  }
  return rows;
}

}  // namespace

bool PortTraceModel::Refresh(const PortAccessLog& log, bool tqm7731) {
  if (!fresh_ && log.total() == seen_ && tqm7731 == tqm7731_) return false;
  const bool follow = fresh_ || viewEnd_ >= static_cast<double>(end());
  fresh_ = false;
  seen_ = log.total();
  tqm7731_ = tqm7731;
  rows_ = RowsOf(tqm7731);
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

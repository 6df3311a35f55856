#include "capture/PortAccessLog.h"

#include "capture/Trace.h"
#include "core/AtomicFile.h"

namespace tarvel {

std::string PortAccessLog::ToVcd() const {
  PortTrace trace;
  for (std::uint64_t n = first(); n < total_; ++n) {
    const Access a = at(n);
    if (a.read) {
      trace.RecordRead(a.value);
    } else {
      trace.RecordWrite(a.value);
    }
  }
  return trace.ToVcd();
}

}  // namespace tarvel

namespace tarvel {

bool PortAccessLog::SaveVcd(const std::string& path, std::string& error) const {
  return WriteFileAtomically(path, ToVcd(), error);
}

std::vector<DecodedFrame> DecodePortAccesses(const PortAccessLog& log) {
  std::vector<DecodedFrame> frames;
  FrameDecoder decoder([&frames](const DecodedFrame& f) { frames.push_back(f); });
  PortLevels now;
  now.dataKnown = now.statusKnown = 0;
  for (std::uint64_t n = log.first(); n < log.total(); ++n) {
    const PortAccessLog::Access a = log.at(n);
    if (a.read) {
      now.status = a.value, now.statusKnown = 0xFF;
    } else {
      now.data = a.value, now.dataKnown = 0xFF;
    }
    decoder.Step(n, now);
  }
  decoder.Finish(log.total());
  return frames;
}

}  // namespace tarvel

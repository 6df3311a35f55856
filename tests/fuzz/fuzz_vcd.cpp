// libFuzzer target: the VCD reader and the frame decoder on any bytes, fed
// in chunks of a size the input chooses. Nothing may crash or hit undefined
// behaviour; a malformed file names a line within the file, and every frame
// lies inside the capture.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "capture/VcdDecode.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarvel;
  if (size == 0) return 0;
  const std::size_t chunk = 1 + data[0] % 64;
  const char* text = reinterpret_cast<const char*>(data + 1);
  const std::size_t length = size - 1;
  std::size_t at = 0;
  const VcdSource source = [&](char* buffer, std::size_t room) -> long {
    const std::size_t n = std::min({room, chunk, length - at});
    std::memcpy(buffer, text + at, n);
    at += n;
    return static_cast<long>(n);
  };
  VcdDecodeCallbacks out;
  out.frame = [](const DecodedFrame& f, double) { Check(f.start <= f.end && !f.text.empty()); };
  const VcdDecodeResult r = DecodeVcd(source, {{"D0", "top.a"}}, out);
  const auto lines = static_cast<std::uint64_t>(std::count(text, text + length, '\n'));
  if (r.status == VcdDecodeResult::Status::Malformed) Check(r.line >= 1 && r.line <= lines + 1);
  return 0;
}

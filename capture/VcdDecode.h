// Reads a Value Change Dump of the parallel port's lines (this program's own
// trace, or a logic analyser's capture exported by sigrok-cli, PulseView and
// the like) as a stream and feeds it to the frame decoder.
//
// Accepted: any $timescale, $scope nesting in any order, scalar wires (vector
// and real variables are read past), x and z as unknown levels, several
// changes at one time step. Wires are found by name, case-insensitively:
// D0..D7 and S3..S7 unless a map names other wires. Memory stays bounded
// whatever the file's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "capture/FrameDecoder.h"

namespace tarvel {

// Port line (D0..D7, S3..S7) -> wire name in the file.
using WireMap = std::vector<std::pair<std::string, std::string>>;

// Parses "D0=probe3,S5=probe9"; false with a message for anything else.
bool ParseWireMap(const std::string& text, WireMap& map, std::string& error);

struct VcdDecodeResult {
  enum class Status { Ok, Missing, Malformed };
  Status status = Status::Ok;
  std::uint64_t line = 0;  // where a malformed file went wrong
  std::string message;     // why
  double microsecondsPerUnit = 1.0;
};

struct VcdDecodeCallbacks {
  // A frame, with the file's time unit in microseconds.
  std::function<void(const DecodedFrame&, double microsecondsPerUnit)> frame;
  // Something the reader could not find or took as unknown.
  std::function<void(const std::string&)> note;
};

// Reads `size` bytes into `buffer`; returns the count, 0 at the end, -1 on error.
using VcdSource = std::function<long(char* buffer, std::size_t size)>;

VcdDecodeResult DecodeVcd(const VcdSource& source, const WireMap& map, const VcdDecodeCallbacks& out);
VcdDecodeResult DecodeVcdFile(const std::string& path, const WireMap& map, const VcdDecodeCallbacks& out);

}  // namespace tarvel

// The program's frame decoder (FrameDecoder, ChipModels) on levels read from
// standard input, for tests/sigrok/check_table.py to hold the sigrok
// decoder's table and frame rules against.
//
//   tarvel_frame_oracle --lines   the chips' line masks
//   tarvel_frame_oracle           reads "s TIME DATA STATUS DATA_KNOWN STATUS_KNOWN"
//                                 (a step) and "f TIME" (the capture ends; the
//                                 next step starts a new one), writes one line per
//                                 frame, START END KIND BITS WORD CODE1 CODE2 TEXT,
//                                 and "-" after each capture
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "capture/FrameDecoder.h"
#include "device/Wiring.h"
#include "sim/ChipModels.h"

int main(int argc, char** argv) {
  using namespace tarvel;
  if (argc > 1 && std::strcmp(argv[1], "--lines") == 0) {
    for (int c = 0; c < 2; ++c) {
      const Rx4410Lines& l = kRx4410Lines[c];
      std::printf("rx4410 %d %d %d %d %d\n", c, l.select, l.clock, l.data, l.output);
    }
    std::printf("tqm7731 %d %d %d\n", kTqm7731Lines.enable, kTqm7731Lines.clock, kTqm7731Lines.data);
    return 0;
  }
  const auto print = [](const DecodedFrame& f) {
    const char* kind = f.kind == FrameKind::Write ? "write" : f.kind == FrameKind::Read ? "read" : "anomaly";
    std::printf("%llu %llu %s %d %u %d %d %s\n", static_cast<unsigned long long>(f.start),
                static_cast<unsigned long long>(f.end), kind, f.bits, f.word, f.codes[0], f.codes[1],
                f.text.c_str());
  };
  auto decoder = std::make_unique<FrameDecoder>(print);
  std::string op;
  while (std::cin >> op) {
    std::uint64_t time = 0;
    std::cin >> time;
    if (op == "f") {
      decoder->Finish(time);
      std::puts("-");
      decoder = std::make_unique<FrameDecoder>(print);
      continue;
    }
    unsigned data = 0, status = 0, dataKnown = 0, statusKnown = 0;
    std::cin >> data >> status >> dataKnown >> statusKnown;
    decoder->Step(time,
                  PortLevels{static_cast<std::uint8_t>(data), static_cast<std::uint8_t>(status),
                             static_cast<std::uint8_t>(dataKnown), static_cast<std::uint8_t>(statusKnown)});
  }
  return 0;
}

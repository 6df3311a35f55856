// Writes a VCD capture of about N MiB to standard output: the port trace of
// every chip's writes and read-backs, repeated with advancing
// time, as a long logic-analyser capture of a busy bench would look.
// Usage: make_vcd MIB > FILE.vcd
#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/ProcessPorts.h"
#include "capture/PortCapture.h"
#include "capture/Trace.h"
#include "core/MainModule.h"
#include "device/ControlPPORT.h"
#include "ports/SimPortBackend.h"

namespace {

// The body of one trace (everything after the header's "$end" of $dumpvars).
std::string OneRound() {
  using namespace tarvel;
  UseProcessPorts();
  PortAddress = kLpt1Address;
  SetPortBackend(std::make_unique<SimPortBackend>());
  PortTrace trace;
  SetPortTrace(&trace);
  const std::array<std::int16_t, 2> codes[] = {{40, 21}, {5, 3}};  // then the first's again
  for (std::size_t c = 0; c < Chips().size(); ++c) {
    const Chip& chip = *Chips()[c];
    DeviceName = chip.token;
    GainCode = codes[c % 2];
    RunDeviceCommand();
    if (chip.readsBack()) ReadBackCodes();
  }
  SetPortTrace(nullptr);
  SetPortBackend(nullptr);
  return trace.ToVcd();
}

}  // namespace

int main(int argc, char** argv) {
  const long mib = argc > 1 ? std::atol(argv[1]) : 0;
  if (mib <= 0) {
    std::fputs("usage: make_vcd MIB > FILE.vcd\n", stderr);
    return 64;
  }
  const std::string vcd = OneRound();
  const std::size_t bodyAt = vcd.find("$end\n", vcd.find("$dumpvars")) + 5;
  std::fwrite(vcd.data(), 1, bodyAt, stdout);
  // Shift the body's time steps by the round's length each time.
  const std::string body = vcd.substr(bodyAt);
  const std::size_t lastHash = body.rfind('#');
  const long length = std::atol(body.c_str() + lastHash + 1);
  const std::size_t want = static_cast<std::size_t>(mib) << 20;
  std::size_t written = bodyAt;
  std::string block;
  for (long round = 0; written < want; ++round) {
    block.clear();
    const long offset = round * length;
    for (std::size_t i = 0; i < body.size();) {
      const std::size_t eol = body.find('\n', i);
      if (body[i] == '#') {
        block += '#' + std::to_string(offset + std::atol(body.c_str() + i + 1)) + '\n';
      } else {
        block.append(body, i, eol - i + 1);
      }
      i = eol + 1;
    }
    std::fwrite(block.data(), 1, block.size(), stdout);
    written += block.size();
  }
  return 0;
}

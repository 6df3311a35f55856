// libFuzzer target: the simulated bench's state file and its chips' line
// decoder. The first input byte picks which; nothing may crash or hit
// undefined behaviour, and both keep their promises.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sim/BenchStateFile.h"
#include "sim/SimBench.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

bool InRange(const tarvel::BenchState& s) {
  return s.rx4410[0] >= 0 && s.rx4410[0] <= 63 && s.rx4410[1] >= 0 && s.rx4410[1] <= 63 &&
         s.tqm7731[0] >= 0 && s.tqm7731[0] <= 31 && s.tqm7731[1] >= 0 && s.tqm7731[1] <= 31;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarvel;
  if (size == 0) return 0;
  const std::uint8_t* rest = data + 1;
  const std::size_t length = size - 1;
  if (data[0] & 1) {
    // A state file: what parses is in range and survives a save and a load.
    const auto state = ParseBenchState(std::string(reinterpret_cast<const char*>(rest), length));
    if (state) {
      Check(InRange(*state));
      Check(ParseBenchState(FormatBenchState(*state)) == state);
    }
    return 0;
  }
  // Any sequence of data-register levels: the chips hold codes in range, and
  // their counters only grow.
  SimBench bench;
  BenchState before = bench.state();
  for (std::size_t i = 0; i < length; ++i) {
    bench.WriteData(rest[i]);
    const BenchState& now = bench.state();
    Check(now.data == rest[i]);
    Check(InRange(now));
    Check(now.rx4410Latches[0] >= before.rx4410Latches[0] && now.rx4410Latches[1] >= before.rx4410Latches[1]);
    Check(now.tqm7731Latches >= before.tqm7731Latches && now.protocolErrors >= before.protocolErrors);
    Check((bench.ReadStatus() & ~0x30) == 0);  // only the two serial outputs, S5 and S4
    before = now;
  }
  return 0;
}

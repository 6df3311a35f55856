// Cost of the software path per port access and per device command on the
// simulated bench, with and without the port trace.
#include <benchmark/benchmark.h>

#include "app/ProcessPorts.h"
#include "capture/PortCapture.h"
#include "capture/Trace.h"
#include "core/MainModule.h"
#include "device/ControlPPORT.h"
#include "ports/SimPortBackend.h"

namespace {

using namespace tarvel;

PortTrace g_trace;

void Install(bool traced) {
  UseProcessPorts();
  PortAddress = kLpt1Address;
  SetPortBackend(std::make_unique<SimPortBackend>());
  g_trace.clear();
  SetPortTrace(traced ? &g_trace : nullptr);
}

void BM_PortWrite(benchmark::State& state) {
  Install(state.range(0) != 0);
  PortSession session(PortAddress);
  std::uint8_t byte = 0x81;
  for (auto _ : state) {
    DlPortWritePortUchar(PortAddress, byte);
    byte ^= 0x04;  // toggle a clock line so the chip models do real work
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(state.range(0) ? "traced" : "plain");
}
BENCHMARK(BM_PortWrite)->Arg(0)->Arg(1);

void BM_RunDeviceCommand(benchmark::State& state) {
  // The table's first chip, its second, and the first's read-back.
  Install(state.range(1) != 0);
  const int device = static_cast<int>(state.range(0));
  const Chip& chip = *Chips().at(device == 1 ? 1 : 0);
  const std::string label = device == 2 ? std::string(chip.readToken) + "-read" : std::string(chip.token);
  GainCode = {12, 30};
  DeviceName = chip.token;
  for (auto _ : state) {
    if (g_trace.size() > (1u << 22)) g_trace.clear();  // bounded memory in long runs
    if (device == 2) {
      benchmark::DoNotOptimize(ReadBackCodes());
    } else {
      benchmark::DoNotOptimize(RunDeviceCommand());
    }
  }
  const int accesses[] = {44, 26, 54};
  state.counters["ns_per_access"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * accesses[device],
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.SetLabel(label + (state.range(1) ? " traced" : " plain"));
}
BENCHMARK(BM_RunDeviceCommand)->ArgsProduct({{0, 1, 2}, {0, 1}});

}  // namespace

BENCHMARK_MAIN();

// A long window session with the port trace on: SENDS RX4410 sends (each its
// own port session, as the Transmit button makes them) on the in-memory
// simulated bench, traced to TARVEL_TRACE. Prints the largest trace buffer
// seen, the peak resident memory and the size of the finished trace.
// benchmarks/trace_memory.sh compares a short session with a long one.
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "app/ProcessPorts.h"
#include "capture/PortCapture.h"
#include "capture/Trace.h"
#include "core/MainModule.h"
#include "device/ControlPPORT.h"
#include "ports/SimPortBackend.h"

int main(int argc, char** argv) {
  using namespace tarvel;
  const char* trace = std::getenv("TARVEL_TRACE");
  if (argc != 2 || trace == nullptr) {
    std::fprintf(stderr, "usage: TARVEL_TRACE=PATH trace_memory SENDS\n");
    return 2;
  }
  const long sends = std::atol(argv[1]);
  UseProcessPorts();
  PortAddress = kLpt1Address;
  SetPortBackend(std::make_unique<SimPortBackend>());
  DeviceName = "RX4410";
  std::size_t most = 0;
  for (long i = 0; i < sends; ++i) {
    GainCode = {static_cast<std::int16_t>(i & 63), static_cast<std::int16_t>((i >> 6) & 63)};
    if (RunDeviceCommand() != CommandStatus::Done) return 1;
    if (const PortTrace* t = ProcessTrace()) most = std::max(most, t->BufferedBytes());
  }
  if (!FlushProcessTrace()) return 1;
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  struct stat st {};
  ::stat(trace, &st);
  std::printf("sends %ld  trace buffers %zu bytes  peak RSS %ld kB  trace file %lld bytes\n", sends, most,
              usage.ru_maxrss, static_cast<long long>(st.st_size));
  return 0;
}

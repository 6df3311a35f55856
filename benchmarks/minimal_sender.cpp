// The least a program can do to send RX4410 codes 10 and 20 to the simulated
// bench: open the bench state file, make the same 44 port writes, save it.
// benchmarks/cli_startup.sh times `tarvel RX4410 10 20` against it.
#include <cstdio>

#include "ports/SimPortBackend.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: minimal_sender BENCH_STATE_FILE\n");
    return 2;
  }
  tarvel::SimPortBackend port(argv[1]);
  tarvel::PortError error;
  if (!port.Open(888, error)) return 1;
  const int codes[2] = {10, 20};
  for (int channel = 0; channel < 2; ++channel) {
    const int data = channel == 0 ? 0x02 : 0x40;
    const int clock = channel == 0 ? 0x04 : 0x20;
    const int frame = channel == 0 ? 0x80 : 0x01;
    const int word = 4 * codes[channel] + 1;
    int bytes[22], n = 0;
    bytes[n++] = 0x81, bytes[n++] = 0x81, bytes[n++] = 0x81 + clock;
    for (int k = 0; k < 8; ++k) {
      const int b = (word >> k) & 1;
      bytes[n++] = frame + b * data;
      bytes[n++] = frame + clock + b * data;
    }
    bytes[n++] = 0x81, bytes[n++] = 0x81 + clock, bytes[n++] = 0x81;
    for (int b : bytes) port.Write(888, static_cast<std::uint8_t>(b), error);
  }
  return port.Close(error) ? 0 : 1;
}

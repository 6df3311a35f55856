// Holds a bench lock through the platform's own FileLock until its standard
// input closes, and prints its process ID: the other process that a second
// run of tarvel.exe finds holding the simulated bench.
//     hold_bench.exe PATH.lock
#include <windows.h>

#include <cstdio>
#include <string>

#include "core/platform/Platform.h"

int main(int argc, char** argv) {
  if (argc != 2) return 64;
  tarvel::platform::FileLock lock;
  std::string error;
  if (lock.Acquire(argv[1], 0, error) != tarvel::platform::FileLock::Outcome::Locked) {
    std::fprintf(stderr, "hold_bench: %s\n", error.empty() ? "busy" : error.c_str());
    return 1;
  }
  std::printf("%lu\n", ::GetCurrentProcessId());
  std::fflush(stdout);
  while (std::getchar() != EOF) {
  }
  return 0;
}

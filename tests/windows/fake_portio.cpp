// A stand-in for inpoutx64.dll / dlportio.dll in the Windows tests under
// Wine: the two port calls play every data write into the simulated bench's
// chip models and read the status register as they drive it. Nothing reaches
// a real port. The bench state is loaded from the file FAKE_PORT_STATE names
// when the library is loaded and saved when it is unloaded, so one run's
// codes are read back by the next; accesses to any address but the data and
// status registers of LPT1 are counted as protocol errors.
// FAKE_PORT_LATCHES names a file that gets one line per word a chip latched
// ("rx4410 C1 C2", "tqm7731 A B"), so a test checks every step of a run.
// FAKE_PORT_BYTES names a file that gets every byte written to the data
// register, in hexadecimal, blank-separated, in the order written (added to
// at each unload, so a library unloaded and loaded again loses nothing).
// FAKE_PORTIO_DRIVER=off makes IsInpOutDriverOpen say the driver is blocked;
// the dlportio.dll build has no IsInpOutDriverOpen, as the real one.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/AtomicFile.h"
#include "sim/BenchStateFile.h"
#include "sim/SimBench.h"

namespace {

tarvel::SimBench bench;
std::string statePath;
std::uint64_t strayAccesses = 0;
std::string latches;  // the lines for FAKE_PORT_LATCHES
std::string bytes;    // the text for FAKE_PORT_BYTES

constexpr unsigned short kData = 0x378, kStatus = 0x379;

void Load() {
  const char* path = std::getenv("FAKE_PORT_STATE");
  if (path == nullptr || *path == '\0') return;
  statePath = path;
  std::string text, reason;
  if (tarvel::ReadWholeFile(statePath, text, reason) == tarvel::ReadOutcome::Ok) {
    if (auto state = tarvel::ParseBenchState(text)) bench.SetState(*state);
  }
}

// Notes the words latched by the write that just happened.
void NoteLatches(const tarvel::BenchState& before) {
  const tarvel::BenchState& now = bench.state();
  if (now.rx4410Latches != before.rx4410Latches) {
    latches += "rx4410 " + std::to_string(now.rx4410[0]) + " " + std::to_string(now.rx4410[1]) + "\n";
  }
  if (now.tqm7731Latches != before.tqm7731Latches) {
    latches += "tqm7731 " + std::to_string(now.tqm7731[0]) + " " + std::to_string(now.tqm7731[1]) + "\n";
  }
}

void Save() {
  if (const char* path = std::getenv("FAKE_PORT_LATCHES")) {
    std::string error;
    tarvel::WriteFileAtomically(path, latches, error);
  }
  if (const char* path = std::getenv("FAKE_PORT_BYTES")) {
    if (std::FILE* f = std::fopen(path, "ab")) {
      std::fwrite(bytes.data(), 1, bytes.size(), f);
      std::fclose(f);
    }
  }
  if (statePath.empty()) return;
  tarvel::BenchState state = bench.state();
  state.protocolErrors += strayAccesses;
  std::string error;
  tarvel::WriteFileAtomically(statePath, tarvel::FormatBenchState(state), error);
}

}  // namespace

extern "C" {

__declspec(dllexport) void DlPortWritePortUchar(unsigned short port, unsigned char value) {
  if (port == kData) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    bytes += {kHex[value >> 4], kHex[value & 15], ' '};
    const tarvel::BenchState before = bench.state();
    bench.WriteData(value);
    NoteLatches(before);
  } else {
    ++strayAccesses;
  }
}

__declspec(dllexport) unsigned char DlPortReadPortUchar(unsigned short port) {
  if (port != kStatus) {
    ++strayAccesses;
    return 0xFF;
  }
  return bench.ReadStatus();
}

#ifndef FAKE_DLPORTIO  // only InpOut says whether its driver started
__declspec(dllexport) int IsInpOutDriverOpen() {
  const char* driver = std::getenv("FAKE_PORTIO_DRIVER");
  return driver != nullptr && std::string(driver) == "off" ? 0 : 1;
}
#endif

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) Load();
  if (reason == DLL_PROCESS_DETACH) Save();
  return TRUE;
}

}  // extern "C"

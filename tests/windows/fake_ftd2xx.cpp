// A stand-in for FTDI's ftd2xx64.dll in the Windows tests under Wine: one
// FT232H (serial TV000001) in synchronous bit-bang mode whose output pins
// drive the simulated bench's data lines and whose input pins (3 and 4) read
// the RX4410's serial outputs, as the adapter wiring has them. As the chip
// does, every byte written brings back one sample of the pins taken just
// before the byte reaches them. The bench state is kept in FAKE_PORT_STATE
// and every latched word is listed in FAKE_PORT_LATCHES (see
// fake_portio.cpp). FAKE_FTDI_LOG gets one line per call, so a test sees
// the batching, the mode and that the device was closed.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>

#include "core/AtomicFile.h"
#include "ports/PortSelect.h"
#include "sim/BenchStateFile.h"
#include "sim/SimBench.h"

namespace {

using Status = DWORD;
constexpr Status kOk = 0, kInvalidHandle = 1, kNotFound = 2, kNotOpened = 3, kIoError = 4;
constexpr char kSerial[] = "TV000001";
constexpr char kDescription[] = "Tarvel test FT232H";
constexpr DWORD kId = 0x04036014;  // FT232H
constexpr DWORD kType = 8;         // FT_DEVICE_232H

tarvel::SimBench bench;
std::string latches, calls;
bool opened = false;
unsigned char mask = 0, mode = 0;
std::deque<unsigned char> samples;
void* const kHandle = reinterpret_cast<void*>(0x7a7a);

void Note(const std::string& line) { calls += line + "\n"; }

unsigned char Pins() {
  const std::uint8_t status = bench.ReadStatus();
  unsigned char pins = static_cast<unsigned char>(bench.state().data & mask);
  for (int c = 0; c < 2; ++c) {
    if (status & tarvel::kRx4410Lines[c].output)
      pins = static_cast<unsigned char>(pins | (1u << tarvel::kAdapterInputPin[c]));
  }
  return pins;
}

void NoteLatches(const tarvel::BenchState& before) {
  const tarvel::BenchState& now = bench.state();
  if (now.rx4410Latches != before.rx4410Latches) {
    latches += "rx4410 " + std::to_string(now.rx4410[0]) + " " + std::to_string(now.rx4410[1]) + "\n";
  }
  if (now.tqm7731Latches != before.tqm7731Latches) {
    latches += "tqm7731 " + std::to_string(now.tqm7731[0]) + " " + std::to_string(now.tqm7731[1]) + "\n";
  }
}

void Load() {
  const char* path = std::getenv("FAKE_PORT_STATE");
  std::string text, reason;
  if (path != nullptr && tarvel::ReadWholeFile(path, text, reason) == tarvel::ReadOutcome::Ok) {
    if (auto state = tarvel::ParseBenchState(text)) bench.SetState(*state);
  }
}

void Save() {
  std::string error;
  if (const char* path = std::getenv("FAKE_PORT_STATE")) {
    tarvel::WriteFileAtomically(path, tarvel::FormatBenchState(bench.state()), error);
  }
  if (const char* path = std::getenv("FAKE_PORT_LATCHES")) tarvel::WriteFileAtomically(path, latches, error);
  if (const char* path = std::getenv("FAKE_FTDI_LOG")) tarvel::WriteFileAtomically(path, calls, error);
}

bool Present() {
  const char* absent = std::getenv("FAKE_FTDI_ABSENT");
  return absent == nullptr || *absent == '\0';
}

}  // namespace

extern "C" {

__declspec(dllexport) Status WINAPI FT_CreateDeviceInfoList(DWORD* count) {
  *count = Present() ? 1 : 0;
  return kOk;
}

__declspec(dllexport) Status WINAPI
    FT_GetDeviceInfoDetail(DWORD index, DWORD* flags, DWORD* type, DWORD* id, DWORD* location, void* serial,
                           void* description, void** handle) {
  if (index != 0 || !Present()) return kNotFound;
  *flags = opened ? 1 : 0;
  *type = kType;
  *id = kId;
  *location = 0x11;
  std::strcpy(static_cast<char*>(serial), kSerial);
  std::strcpy(static_cast<char*>(description), kDescription);
  *handle = nullptr;
  return kOk;
}

__declspec(dllexport) Status WINAPI FT_Open(int index, void** handle) {
  if (index != 0 || !Present()) return kNotFound;
  if (opened) return kNotOpened;
  opened = true;
  *handle = kHandle;
  Note("open");
  return kOk;
}

__declspec(dllexport) Status WINAPI FT_OpenEx(void* what, DWORD by, void** handle) {
  const char* text = static_cast<const char*>(what);
  const bool named =
      (by == 1 && std::strcmp(text, kSerial) == 0) || (by == 2 && std::strcmp(text, kDescription) == 0);
  return named ? FT_Open(0, handle) : kNotFound;
}

__declspec(dllexport) Status WINAPI FT_Close(void* handle) {
  if (handle != kHandle || !opened) return kInvalidHandle;
  opened = false;
  samples.clear();
  Note("close");
  return kOk;
}

__declspec(dllexport) Status WINAPI FT_SetBitMode(void* handle, UCHAR newMask, UCHAR newMode) {
  if (handle != kHandle || !opened) return kInvalidHandle;
  mask = newMask;
  mode = newMode;
  Note("bitmode " + std::to_string(newMask) + " " + std::to_string(newMode));
  return kOk;
}

__declspec(dllexport) Status WINAPI FT_SetBaudRate(void* handle, ULONG baud) {
  if (handle != kHandle || !opened) return kInvalidHandle;
  Note("baud " + std::to_string(baud));
  return kOk;
}

__declspec(dllexport) Status WINAPI FT_SetLatencyTimer(void* handle, UCHAR) {
  return handle == kHandle && opened ? kOk : kInvalidHandle;
}

__declspec(dllexport) Status WINAPI FT_SetTimeouts(void* handle, ULONG, ULONG) {
  return handle == kHandle && opened ? kOk : kInvalidHandle;
}

__declspec(dllexport) Status WINAPI FT_Purge(void* handle, ULONG) {
  if (handle != kHandle || !opened) return kInvalidHandle;
  samples.clear();
  return kOk;
}

__declspec(dllexport) Status WINAPI FT_Write(void* handle, void* data, DWORD size, DWORD* written) {
  if (handle != kHandle || !opened) return kInvalidHandle;
  if (mode != 0x04) return kIoError;  // only synchronous bit-bang is modelled
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (DWORD i = 0; i < size; ++i) {
    samples.push_back(Pins());  // taken just before the byte reaches the pins
    const tarvel::BenchState before = bench.state();
    bench.WriteData(static_cast<std::uint8_t>(bytes[i] & mask));
    NoteLatches(before);
  }
  Note("write " + std::to_string(size));
  *written = size;
  return kOk;
}

__declspec(dllexport) Status WINAPI FT_Read(void* handle, void* data, DWORD size, DWORD* got) {
  if (handle != kHandle || !opened) return kInvalidHandle;
  auto* bytes = static_cast<unsigned char*>(data);
  DWORD n = 0;
  for (; n < size && !samples.empty(); ++n) {
    bytes[n] = samples.front();
    samples.pop_front();
  }
  *got = n;
  return kOk;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) Load();
  if (reason == DLL_PROCESS_DETACH) Save();
  return TRUE;
}

}  // extern "C"

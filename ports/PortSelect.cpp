#include "ports/PortSelect.h"

#include <cstdlib>
#include <iterator>

#include "core/platform/Platform.h"
#include "ports/SimPortBackend.h"
#include "sim/BenchStateFile.h"

// The one place besides core/platform that knows the system: which back-ends
// the table holds.
#ifdef _WIN32
#include "ports/D2xxPort.h"
#include "ports/PortIoLibraryPort.h"
#else
#include "ports/DirectPort.h"
#include "ports/FtdiPort.h"
#include "ports/GpioPort.h"
#include "ports/PpdevPort.h"
#endif

namespace tarvel {

namespace {

using Maker = std::unique_ptr<PortBackend> (*)(std::string_view choice, PortError& error);

#ifdef _WIN32
std::unique_ptr<PortBackend> MakePortIoLibrary(std::string_view, PortError&) {
  return std::make_unique<PortIoLibraryBackend>();
}

// FTDI's D2XX library is loaded when a command first opens the port.
std::unique_ptr<PortBackend> MakeD2xx(std::string_view choice, PortError& error) {
  std::string descriptor;
  if (!ParseFtdiChoice(choice, descriptor, error)) return nullptr;
  return std::make_unique<D2xxPortBackend>(std::move(descriptor));
}
#else

std::unique_ptr<PortBackend> MakePpdevAuto(std::string_view, PortError&) {
  return std::make_unique<PpdevPortBackend>(MakeRealPpdevSystem());
}

std::unique_ptr<PortBackend> MakePpdevDevice(std::string_view choice, PortError&) {
  return std::make_unique<PpdevPortBackend>(MakeRealPpdevSystem(), std::string(choice));
}

std::unique_ptr<PortBackend> MakeDirect(std::string_view, PortError& error) {
  auto system = MakeRealDirectIoSystem();
  if (!system) {
    error.target = "direct I/O";
    error.reason = "this processor has no I/O port instructions";
    error.remedy = "use ppdev (unset TARVEL_PORT)";
    return nullptr;
  }
  return std::make_unique<DirectPortBackend>(std::move(system));
}
#endif

std::unique_ptr<PortBackend> MakeSim(std::string_view choice, PortError& error) {
  std::string path;
  if (choice == "sim") {
    path = DefaultBenchStatePath();
    if (path.empty()) {
      error.target = "simulated bench";
#ifdef _WIN32
      error.reason = "LOCALAPPDATA names no folder for its state";
#else
      error.reason = "neither XDG_STATE_HOME nor HOME names a folder for its state";
#endif
      error.remedy = "name the state file with TARVEL_PORT=sim:PATH";
      return nullptr;
    }
  } else {
    path = std::string(choice.substr(4));
    if (path.empty()) {
      error.target = "simulated bench";
      error.reason = "TARVEL_PORT=sim: names no state file";
      error.remedy = "write TARVEL_PORT=sim:PATH with a file name, or TARVEL_PORT=sim";
      return nullptr;
    }
  }
  return std::make_unique<SimPortBackend>(std::move(path));
}

#ifndef _WIN32
// The adapters' libraries are loaded when a command first opens the port.
std::unique_ptr<PortBackend> MakeFtdi(std::string_view choice, PortError& error) {
  std::string descriptor;
  if (!ParseFtdiChoice(choice, descriptor, error)) return nullptr;
  return std::make_unique<FtdiPortBackend>(std::move(descriptor));
}

std::unique_ptr<PortBackend> MakeGpio(std::string_view choice, PortError& error) {
  GpioChoice parsed;
  if (!ParseGpioChoice(choice, parsed, error)) return nullptr;
  return std::make_unique<GpioPortBackend>(std::move(parsed));
}
#endif

bool IsAuto(std::string_view c) { return c.empty() || c == "auto"; }
bool IsSim(std::string_view c) { return c == "sim"; }
bool IsSimPath(std::string_view c) { return c.starts_with("sim:"); }
bool IsFtdi(std::string_view c) { return c == "ftdi"; }
bool IsFtdiNamed(std::string_view c) { return c.starts_with("ftdi:"); }

// The back-end table: one row per form TARVEL_PORT accepts, with its help
// line; the first row whose test accepts TARVEL_PORT makes the back-end.
struct Driver {
  PortChoice choice;
  bool (*accepts)(std::string_view choice);
  Maker make;
};

#ifdef _WIN32
const Driver kDrivers[] = {
    {{"auto", "the port through inpoutx64.dll, else dlportio.dll"}, IsAuto, MakePortIoLibrary},
    {{"sim", "the simulated bench, state in the user's folder"}, IsSim, MakeSim},
    {{"sim:PATH", "the simulated bench, state in PATH"}, IsSimPath, MakeSim},
    {{"ftdi", "the first FT232R, FT232H or FT2232H (D2XX)"}, IsFtdi, MakeD2xx},
    {{"ftdi:DESCRIPTOR", "that one: i:VID:PID[:INDEX], s:VID:PID:SERIAL"}, IsFtdiNamed, MakeD2xx},
};
#else
const Driver kDrivers[] = {
    {{"auto", "the parallel port through ppdev"}, IsAuto, MakePpdevAuto},
    {{"/dev/parportN", "that ppdev device"},
     [](std::string_view c) { return c.starts_with("/dev/"); },
     MakePpdevDevice},
    {{"direct", "direct I/O on the legacy addresses (root, x86)"},
     [](std::string_view c) { return c == "direct"; },
     MakeDirect},
    {{"sim", "the simulated bench, state in the user's folder"}, IsSim, MakeSim},
    {{"sim:PATH", "the simulated bench, state in PATH"}, IsSimPath, MakeSim},
    {{"ftdi", "the first FT232R, FT232H or FT2232H (libftdi1)"}, IsFtdi, MakeFtdi},
    {{"ftdi:DESCRIPTOR", "that one: d:BUS/DEV, i:VID:PID[:N], s:VID:PID:SN"}, IsFtdiNamed, MakeFtdi},
    {{"gpio:CHIP:L0,...,L7", "eight lines of a GPIO chip (libgpiod)"},
     [](std::string_view c) { return c.starts_with("gpio:"); },
     MakeGpio},
};
#endif

}  // namespace

std::unique_ptr<PortBackend> MakePortBackend(std::string_view choice, PortError& error) {
  error.failure = PortFailure::Unavailable;
  for (const Driver& driver : kDrivers) {
    if (driver.accepts(choice)) return driver.make(choice, error);
  }
  error.target = "TARVEL_PORT=" + std::string(choice);
  error.reason = "not a port choice";
  error.remedy = "set TARVEL_PORT to one of " + PortChoiceList();
  return nullptr;
}

std::vector<PortChoice> PortChoices() {
  std::vector<PortChoice> choices;
  for (const Driver& driver : kDrivers) choices.push_back(driver.choice);
  return choices;
}

std::string PortChoiceList() {
  std::string list;
  const std::size_t n = std::size(kDrivers);
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0) list += i + 1 == n ? " or " : ", ";
    list += kDrivers[i].choice.form;
  }
  return list;
}

std::unique_ptr<PortBackend> MakePortBackendFromEnvironment(PortError& error) {
  const char* choice = platform::EnvironmentValue("TARVEL_PORT");
  return MakePortBackend(choice != nullptr ? choice : "", error);
}

}  // namespace tarvel

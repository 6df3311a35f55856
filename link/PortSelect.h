// Which port backend the process uses, from TARVEL_PORT:
//   unset or "auto"  the parallel port through ppdev (/dev/parportN), found by
//                    PortAddress
//   "/dev/parportN"  that ppdev device
//   "direct"         direct I/O on the legacy addresses (x86 Linux, root)
//   "sim"            the simulated bench, state in the user's state folder
//   "sim:PATH"       the simulated bench, state in PATH
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "PortIO.h"

namespace tarvel {

// The forms TARVEL_PORT accepts, for error messages and help texts.
extern const char* const kPortChoices;

std::unique_ptr<PortBackend> MakePortBackend(std::string_view choice, PortError& error);
std::unique_ptr<PortBackend> MakePortBackendFromEnvironment(PortError& error);

}  // namespace tarvel

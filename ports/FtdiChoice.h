// The FTDI adapter as TARVEL_PORT names it, on every system: "ftdi" or
// "ftdi:DESCRIPTOR" (libftdi's device strings; the Windows back-end maps
// them onto D2XX's serial numbers and device indices).
#pragma once

#include <string>
#include <string_view>

#include "device/PortIO.h"

namespace tarvel {

// "ftdi" (empty descriptor) or "ftdi:DESCRIPTOR" with DESCRIPTOR one of
// d:BUS/DEV, i:VID:PID, i:VID:PID:INDEX, s:VID:PID:SERIAL. False with
// `error` filled for anything else.
bool ParseFtdiChoice(std::string_view choice, std::string& descriptor, PortError& error);

// The parts of a descriptor that ParseFtdiChoice accepted: kind 'd' (bus and
// device numbers in vendor and product), 'i' (index 0 unless given) or 's'.
struct FtdiDescriptor {
  char kind = 0;
  long vendor = 0, product = 0, index = 0;
  std::string serial;
};
FtdiDescriptor SplitFtdiDescriptor(std::string_view descriptor);

}  // namespace tarvel

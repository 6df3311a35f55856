// Which parallel port is LPT1, LPT2 or PRN.
//
// The kernel lists each port it drives under /proc/sys/dev/parport/parportN/
// with its I/O base in "base-addr". A port whose base equals PortAddress is
// the one meant. Where none does (a PCI or PCIe card sits at an address like
// 0xD010), the choices among LPT1, LPT2, PRN that no port matches exactly map
// in that order to the ports that have no legacy base address, in the
// kernel's order: a lone card works as "LPT1", a card beside a motherboard
// LPT1 as "LPT2".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarvel {

struct ParallelPortInfo {
  int number = -1;        // N of parportN, and of /dev/parportN
  long baseAddress = -1;  // I/O base of the data register
};

struct DiscoveryResult {
  std::vector<ParallelPortInfo> ports;  // in the kernel's order
  std::vector<std::string> problems;    // entries that could not be read
  bool listFound = false;               // the kernel's port list exists at all
};

DiscoveryResult DiscoverParallelPorts(const std::string& procRoot = "/proc/sys/dev/parport");

// The port PortAddress means, or nullptr. For an address other than the
// three legacy ones only an exact base match counts.
const ParallelPortInfo* MatchParallelPort(const std::vector<ParallelPortInfo>& ports,
                                          std::int32_t portAddress);

bool IsLegacyPortAddress(long address);

}  // namespace tarvel

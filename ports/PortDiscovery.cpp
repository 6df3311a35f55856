#include "ports/PortDiscovery.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "core/MainModule.h"

namespace tarvel {

namespace fs = std::filesystem;

bool IsLegacyPortAddress(long address) { return FindLegacyPort(address) != nullptr; }

DiscoveryResult DiscoverParallelPorts(const std::string& procRoot) {
  DiscoveryResult result;
  std::error_code ec;
  if (!fs::is_directory(procRoot, ec)) return result;
  result.listFound = true;
  fs::directory_iterator it(procRoot, ec), end;
  if (ec) {
    result.problems.push_back(procRoot + ": " + ec.message());
    return result;
  }
  for (; it != end; it.increment(ec)) {
    if (ec) {
      result.problems.push_back(procRoot + ": " + ec.message());
      break;
    }
    const std::string name = it->path().filename().string();
    // Entries are "parportN" (the "default" entry holds settings, not a port).
    if (name.rfind("parport", 0) != 0 || name.size() == 7) continue;
    const std::string digits = name.substr(7);
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
        digits.size() > 6) {
      continue;
    }
    ParallelPortInfo port;
    port.number = std::stoi(digits);
    std::ifstream in(it->path() / "base-addr");
    long base = -1;
    if (!in || !(in >> base) || base < 0) {
      result.problems.push_back((it->path() / "base-addr").string() + ": unreadable");
      continue;
    }
    port.baseAddress = base;
    result.ports.push_back(port);
  }
  std::sort(result.ports.begin(), result.ports.end(),
            [](const ParallelPortInfo& a, const ParallelPortInfo& b) { return a.number < b.number; });
  return result;
}

const ParallelPortInfo* MatchParallelPort(const std::vector<ParallelPortInfo>& ports,
                                          std::int32_t portAddress) {
  auto exact = [&](long address) -> const ParallelPortInfo* {
    for (const auto& p : ports) {
      if (p.baseAddress == address) return &p;
    }
    return nullptr;
  };
  if (const ParallelPortInfo* p = exact(portAddress)) return p;
  // The choices that no port matches exactly take the ports without a legacy
  // address, in order: on a card-only machine LPT1 is the first card, and
  // beside a motherboard LPT1 the card becomes LPT2.
  int slot = 0;
  bool isChoice = false;
  for (const LegacyPort& c : kLegacyPorts) {
    const long choice = c.base;
    if (choice == portAddress) {
      isChoice = true;
      break;
    }
    if (exact(choice) == nullptr) ++slot;
  }
  if (!isChoice) return nullptr;
  for (const auto& p : ports) {
    if (IsLegacyPortAddress(p.baseAddress)) continue;
    if (slot-- == 0) return &p;
  }
  return nullptr;
}

}  // namespace tarvel

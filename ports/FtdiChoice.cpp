#include "ports/FtdiChoice.h"

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace tarvel {

namespace {

const char* const kDescriptorForms =
    "write TARVEL_PORT=ftdi, or ftdi: followed by d:BUS/DEV, i:VID:PID, i:VID:PID:INDEX or "
    "s:VID:PID:SERIAL (for example ftdi:i:0x0403:0x6014)";

// A number as libftdi's strtol(…, 0) reads it: decimal, 0x hex or 0 octal.
bool ParseNumber(std::string_view text, long max, int base, long& value) {
  if (text.empty() || text.front() == '-' || text.front() == '+' || text.front() == ' ') return false;
  const std::string copy(text);
  char* end = nullptr;
  errno = 0;
  value = std::strtol(copy.c_str(), &end, base);
  return errno == 0 && *end == '\0' && value >= 0 && value <= max;
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t at = text.find(separator, start);
    parts.push_back(text.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
    if (at == std::string_view::npos) return parts;
    start = at + 1;
  }
}

bool ValidDescriptor(std::string_view d) {
  if (d.size() < 2 || d[1] != ':') return false;
  const std::string_view rest = d.substr(2);
  long n = 0;
  if (d[0] == 'd') {
    const auto parts = Split(rest, '/');
    return parts.size() == 2 && ParseNumber(parts[0], 255, 10, n) && ParseNumber(parts[1], 255, 10, n);
  }
  const auto parts = Split(rest, ':');
  if (parts.size() < 2 || !ParseNumber(parts[0], 0xFFFF, 0, n) || !ParseNumber(parts[1], 0xFFFF, 0, n))
    return false;
  if (d[0] == 'i') return parts.size() == 2 || (parts.size() == 3 && ParseNumber(parts[2], 255, 10, n));
  if (d[0] == 's') return parts.size() == 3 && !parts[2].empty();
  return false;
}

}  // namespace

bool ParseFtdiChoice(std::string_view choice, std::string& descriptor, PortError& error) {
  descriptor.clear();
  if (choice == "ftdi") return true;
  const std::string_view d = choice.substr(5);
  if (ValidDescriptor(d)) {
    descriptor = std::string(d);
    return true;
  }
  error.failure = PortFailure::Unavailable;
  error.target = "TARVEL_PORT=" + std::string(choice);
  error.reason = "\"" + std::string(d) + "\" is not an FTDI device string";
  error.remedy = kDescriptorForms;
  return false;
}

FtdiDescriptor SplitFtdiDescriptor(std::string_view d) {
  FtdiDescriptor out;
  if (d.size() < 2) return out;
  out.kind = d[0];
  const auto parts = Split(d.substr(2), d[0] == 'd' ? '/' : ':');
  const int base = d[0] == 'd' ? 10 : 0;
  if (parts.size() >= 2) {
    ParseNumber(parts[0], 0xFFFF, base, out.vendor);
    ParseNumber(parts[1], 0xFFFF, base, out.product);
  }
  if (parts.size() == 3 && d[0] == 'i') ParseNumber(parts[2], 255, 10, out.index);
  if (parts.size() == 3 && d[0] == 's') out.serial = std::string(parts[2]);
  return out;
}

}  // namespace tarvel

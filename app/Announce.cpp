#include "app/Announce.h"

#include "core/platform/Platform.h"

namespace tarvel {

std::string DefaultInstanceName() { return InstanceNameFor(platform::HostName()); }

std::string InstanceNameFor(std::string_view hostName) {
  const std::string name(hostName.substr(0, hostName.find('.')));
  std::string full = "Tarvel Control on " + (name.empty() ? std::string("this host") : name);
  if (full.size() <= kMaxInstanceNameBytes) return full;
  std::size_t cut = kMaxInstanceNameBytes;  // back to the start of a character
  while (cut > 0 && (static_cast<unsigned char>(full[cut]) & 0xC0u) == 0x80u) --cut;
  return full.substr(0, cut);
}

bool IsUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80                   ? 1
                               : lead >= 0xC2 && lead < 0xE0 ? 2
                               : lead >= 0xE0 && lead < 0xF0 ? 3
                               : lead >= 0xF0 && lead < 0xF5 ? 4
                                                             : 0;
    if (length == 0 || i + length > text.size()) return false;
    unsigned long point = length == 1 ? lead : lead & (0x7Fu >> length);
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0u) != 0x80u) return false;
      point = (point << 6) | (next & 0x3Fu);
    }
    constexpr unsigned long kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < kLeast[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

std::vector<std::string> IdnTxtRecords(const std::string& idn) {
  static const char* const kKeys[] = {"Manufacturer", "Model", "SerialNumber", "FirmwareVersion"};
  std::vector<std::string> records{"txtvers=1"};
  std::size_t start = 0;
  for (const char* key : kKeys) {
    const std::size_t comma = idn.find(',', start);
    records.push_back(std::string(key) + "=" + idn.substr(start, comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return records;
}

}  // namespace tarvel

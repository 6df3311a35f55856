#include "app/Announce.h"

#include "core/platform/Platform.h"

namespace tarvel {

std::string DefaultInstanceName() {
  std::string name = platform::HostName();
  name = name.substr(0, name.find('.'));
  std::string full = "Tarvel Control on " + (name.empty() ? std::string("this host") : name);
  return full.substr(0, kMaxInstanceNameBytes);
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

// The server's DNS-SD announcement: `_scpi-raw._tcp` on its port, with the
// *IDN? fields as TXT records, so that a lab's benches are found without
// typing addresses (avahi-browse, VISA and LXI discovery). Published through
// the running avahi-daemon with libavahi-client, opened with dlopen when a
// server starts on a non-loopback address; without Avahi the server runs as
// before, with one warning line.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tarvel {

constexpr const char* kScpiServiceType = "_scpi-raw._tcp";
// DNS-SD instance names are one DNS label: at most 63 bytes.
constexpr std::size_t kMaxInstanceNameBytes = 63;

// "Tarvel Control on HOSTNAME" (the host name up to its first dot).
std::string DefaultInstanceName();

// The TXT records of an *IDN? answer, with LXI's keys: txtvers=1,
// Manufacturer=, Model=, SerialNumber=, FirmwareVersion=.
std::vector<std::string> IdnTxtRecords(const std::string& idn);

// While alive, the service is announced (under another name Avahi picks when
// the name is taken); destroying it withdraws the announcement.
class Announcement {
 public:
  virtual ~Announcement() = default;
};

// Announces `name` on `port`; nullptr after one warning line on standard
// error when libavahi-client or avahi-daemon cannot be reached.
std::unique_ptr<Announcement> AnnounceScpiServer(const std::string& name, std::uint16_t port);

}  // namespace tarvel

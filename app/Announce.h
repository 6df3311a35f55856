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
#include <string_view>
#include <vector>

namespace tarvel {

constexpr const char* kScpiServiceType = "_scpi-raw._tcp";
// DNS-SD instance names are one DNS label: at most 63 bytes.
constexpr std::size_t kMaxInstanceNameBytes = 63;

// "Tarvel Control on HOSTNAME" (the host name up to its first dot), cut to
// kMaxInstanceNameBytes at a character boundary; DefaultInstanceName for
// this machine's host name.
std::string InstanceNameFor(std::string_view hostName);
std::string DefaultInstanceName();

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates):
// D-Bus, and so avahi-daemon, takes nothing else.
bool IsUtf8(std::string_view text);

// What the server announces: its name, port, *IDN? answer (the TXT
// records), and the address it listens on ("0.0.0.0" or "::" for every
// interface); only that address's interface and family are announced.
struct ServiceAnnouncement {
  std::string name;
  std::uint16_t port = 0;
  std::string idn;
  std::string listenHost;
};

// The TXT records of an *IDN? answer, with LXI's keys: txtvers=1,
// Manufacturer=, Model=, SerialNumber=, FirmwareVersion=.
std::vector<std::string> IdnTxtRecords(const std::string& idn);

// While alive, the service is announced (under another name Avahi picks when
// the name is taken); destroying it withdraws the announcement.
class Announcement {
 public:
  virtual ~Announcement() = default;
};

// Announces the service; nullptr after one warning line on standard error
// when libavahi-client cannot be had. A daemon that is not running yet, or
// that restarts, gets the announcement when it comes (one warning line
// meanwhile), and a name another service on this host or the network
// holds is replaced by Avahi's next ("NAME #2").
std::unique_ptr<Announcement> AnnounceScpiServer(const ServiceAnnouncement& service);

}  // namespace tarvel

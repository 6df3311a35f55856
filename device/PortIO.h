// Byte access to the parallel port's data and status registers.
//
// Every port access of the program goes through DlPortWritePortUchar and
// DlPortReadPortUchar: one byte per call, carried out in program order, never
// merged, dropped or reordered. Each call goes to the port of one device link
// (DeviceLink.h); the forms without a link use the process's own link, which
// the globals' code paths hold. Behind a link sits one PortBackend (ppdev,
// direct I/O, an adapter or the simulated bench). A port that cannot be used
// raises PortAccessError, which stops the sequence at once; the caller turns
// the PortError it carries into its alert, SCPI error or log line.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace tarvel {

enum class PortFailure {
  Unavailable,   // the port could not be opened or claimed
  AccessFailed,  // an access failed in the middle of a sequence
};

struct PortError {
  PortFailure failure = PortFailure::Unavailable;
  std::string target;  // what was tried: "/dev/parport0", "I/O ports 0x378-0x37A", ...
  std::string reason;  // the system's reason, e.g. "Permission denied"
  std::string remedy;  // what the user can do about it; may be empty
  bool busy = false;   // another process holds the port for now (see PortBackend::Reserve)
};

class PortAccessError : public std::runtime_error {
 public:
  explicit PortAccessError(PortError error);
  const PortError& error() const { return error_; }

 private:
  PortError error_;
};

// One way of reaching the port's registers.
class PortBackend {
 public:
  virtual ~PortBackend() = default;
  // Makes the port at I/O base `base` usable for one device command (open and
  // claim). Returns false and fills `error` when it cannot.
  virtual bool Open(std::int32_t base, PortError& error) = 0;
  // `port` is the register's I/O address: base for data, base + 1 for status.
  virtual bool Write(std::int32_t port, std::uint8_t value, PortError& error) = 0;
  virtual bool Read(std::int32_t port, std::uint8_t& value, PortError& error) = 0;
  // Releases what Open took. Called once after every successful Open.
  // Returns false when finishing the command failed (say, the simulated
  // bench could not save its state), so the command is not taken as done.
  virtual bool Close(PortError& error) = 0;
  // Sends whatever the backend keeps back (an adapter that batches writes
  // into USB transfers) so that it reaches the pins now. Called when a device
  // command ends inside a holding session (see PortSession); Close covers
  // the ordinary case.
  virtual bool Flush(PortError&) { return true; }
  // What this back-end reaches, as the remote PORT? query and the help texts
  // name it: "sim:PATH", "/dev/parport0 (0x378)", "ftdi:... (FTDI adapter)".
  // `base` is the I/O base the link would open it at.
  virtual std::string Describe(std::int32_t base) const = 0;
  // False for a port that other processes share between commands (the
  // simulated bench's state file): a holder then opens it per command.
  virtual bool KeepOpenBetweenCommands() const { return true; }
  // The adapter's own serial number (an FTDI chip's USB serial), known once
  // the port has opened; empty for ports that have none.
  virtual std::string SerialNumber() const { return {}; }
  // For a caller with a loop of its own (the server) that must not block on
  // a port another process holds: Reserve takes such a port for the device
  // commands that follow, without waiting. False with error.busy set while
  // the other process holds it: try again later. False without busy when it
  // cannot be had (the wait a command would make, since the first busy try,
  // is over, or another fault): until Unreserve, the commands' Open then fails
  // at once with that error instead of waiting. Unreserve ends either. Ports
  // that need no reservation answer true.
  virtual bool Reserve(PortError&) { return true; }
  virtual void Unreserve() {}
};

// Where a link's port accesses are recorded (the trace, the ring of recent
// accesses); called on the thread that made the access.
class PortAccessSink {
 public:
  virtual ~PortAccessSink() = default;
  virtual void RecordWrite(std::uint8_t data) = 0;
  virtual void RecordRead(std::uint8_t status) = 0;
};

// An I/O address as PORT? and the help texts give it: "0x378".
std::string HexPortAddress(std::int32_t address);

class DeviceLink;

// The process's link: the one RunDeviceCommand(), the windows and the
// command line use.
DeviceLink& ProcessLink();

// Installs the backend the process's link uses from now on (tests,
// benchmarks, the server). nullptr drops it, so the next session makes one
// again (see DeviceLink::SetBackendFactory).
void SetPortBackend(std::unique_ptr<PortBackend> backend);
PortBackend* CurrentPortBackend();

// Holds a link's port open and claimed while it lives. Sessions nest: only
// the outermost one opens and closes the backend, so one device command
// claims the port once; `base` matters only to the outermost one. Throws
// PortAccessError when the port cannot be opened.
class PortSession {
 public:
  // `holder`: this outermost session keeps the port open across device
  // commands (the remote-control server, a sweep), so each command that
  // finishes inside it flushes the backend instead of closing it: every
  // command reaches the pins when it ends.
  PortSession(DeviceLink& link, std::int32_t base, bool holder = false);
  // The process's link.
  explicit PortSession(std::int32_t base, bool holder = false);
  // Closes the port if Finish was not reached (the command failed).
  ~PortSession();
  // Ends the command: the outermost session closes the port and throws
  // PortAccessError if that fails.
  void Finish();
  PortSession(const PortSession&) = delete;
  PortSession& operator=(const PortSession&) = delete;

 private:
  DeviceLink& link_;
  bool finished_ = false;
};

// The two port operations. Both need an open session (each sequence opens
// one) and throw PortAccessError when the access fails.
void DlPortWritePortUchar(DeviceLink& link, std::int32_t port, std::uint8_t value);
std::uint8_t DlPortReadPortUchar(DeviceLink& link, std::int32_t port);
// The same on the process's link.
void DlPortWritePortUchar(std::int32_t port, std::uint8_t value);
std::uint8_t DlPortReadPortUchar(std::int32_t port);

// Pause of at least this many nanoseconds between two port accesses
// (TARVEL_PORT_DELAY_NS, read at a link's first session); 0 = none. A value
// above kMaxPortDelayNs refuses every session; text that is no number is
// ignored with a warning.
constexpr std::uint64_t kMaxPortDelayNs = 10'000'000;
// Sets the process link's pause (tests, benchmarks).
void SetPortDelayNanoseconds(std::uint64_t ns);
// The pause in force on the process's link; an adapter that clocks its own
// pins paces them by it.
std::uint64_t PortDelayNanoseconds();

}  // namespace tarvel

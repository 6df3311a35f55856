// The ppdev back-end: the parallel port through /dev/parportN, without root.
//
// Each device command opens the device, claims the port (PPCLAIM), puts it
// in compatibility mode with the data lines driven forward, writes each byte
// with one PPWDATA and reads the status register with PPRSTATUS, then
// releases and closes it. Every ioctl's result is checked.
//
// Kernel behaviours handled: open succeeds where no port exists and PPCLAIM
// then fails with ENXIO; exclusive access (PPEXCL) cannot be granted while
// the printer driver lp holds the port, so the claim falls back to a shared
// one (said once on standard error); PPCLAIM sleeps while another driver
// uses the port, so the wait is bounded (an unrelated signal restarts the claim
// for the time left) and the port reported busy.
#pragma once

#include <memory>
#include <string>

#include "device/PortIO.h"

namespace tarvel {

// The system calls the back-end makes, replaceable by tests.
class PpdevSystem {
 public:
  virtual ~PpdevSystem() = default;
  virtual int Open(const std::string& path, int flags) = 0;  // fd, or -1 with errno
  virtual int Ioctl(int fd, unsigned long request, void* arg) = 0;
  virtual int Close(int fd) = 0;
  // Interrupts a blocking call of this thread after `ms` (EINTR), and keeps
  // interrupting it until Stop disarms; false when it cannot be armed.
  virtual bool StartClaimTimer(int ms) = 0;
  virtual void StopClaimTimer() = 0;
  // True once the armed timer has fired: an EINTR then is the timeout, not
  // another signal.
  virtual bool ClaimTimerFired() = 0;
};

std::unique_ptr<PpdevSystem> MakeRealPpdevSystem();

class PpdevPortBackend : public PortBackend {
 public:
  // `device` names /dev/parportN outright; empty means: find the port that
  // PortAddress means under `procRoot` and use `devDir`/parportN.
  PpdevPortBackend(std::unique_ptr<PpdevSystem> system, std::string device = {},
                   std::string procRoot = "/proc/sys/dev/parport", std::string devDir = "/dev");

  bool Open(std::int32_t base, PortError& error) override;
  bool Write(std::int32_t port, std::uint8_t value, PortError& error) override;
  bool Read(std::int32_t port, std::uint8_t& value, PortError& error) override;
  bool Close(PortError& error) override;
  std::string Describe(std::int32_t base) const override;

  static constexpr int kClaimTimeoutMs = 2000;
  // The ppdev device in use ("/dev/parport0"); empty before the first Open.
  const std::string& devicePath() const { return path_; }

 private:
  bool ResolveDevice(std::int32_t base, std::string& path, PortError& error);
  bool OpenDevice(const std::string& path, PortError& error);
  // 1 claimed, 0 failed (error filled), -1 exclusive access refused (only
  // when `exclusive`; a shared claim answers 1 or 0).
  int Claim(bool exclusive, PortError& error);
  bool Fail(const char* what, PortError& error);

  std::unique_ptr<PpdevSystem> sys_;
  std::string device_, procRoot_, devDir_, path_;
  int fd_ = -1;
  bool claimed_ = false;
  bool sharedNoticeGiven_ = false;
  std::int32_t base_ = 0;
};

}  // namespace tarvel

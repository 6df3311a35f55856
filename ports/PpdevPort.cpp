#include "ports/PpdevPort.h"

#include <fcntl.h>
#include <linux/parport.h>
#include <linux/ppdev.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <system_error>
#include <thread>

#include "core/Signals.h"

#include "ports/PortDiscovery.h"

namespace tarvel {

namespace {

const char* const kNoPortRemedy =
    "no parallel port found: load parport_pc, or bind a PCIe card to it; or set TARVEL_PORT=sim to use "
    "the simulated bench";
const char* const kPermissionRemedy =
    "add your user to the 'lp' group (sudo usermod -aG lp $USER, then log in again)";
const char* const kModuleRemedy = "load the ppdev module (modprobe ppdev)";
const char* const kBusyRemedy = "another program holds the port";

std::string Hex(long value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%lX", value);
  return text;
}

void IgnoreSignal(int) {}

class RealPpdevSystem : public PpdevSystem {
 public:
  int Open(const std::string& path, int flags) override { return ::open(path.c_str(), flags | O_CLOEXEC); }
  int Ioctl(int fd, unsigned long request, void* arg) override { return ::ioctl(fd, request, arg); }
  int Close(int fd) override { return ::close(fd); }

  // A helper thread that, once the time is up, signals the claiming thread
  // with SIGALRM, whose handler is installed without SA_RESTART so a
  // sleeping PPCLAIM returns EINTR instead of being restarted. It repeats the
  // signal until disarmed: one that lands just before the claim starts to
  // sleep would otherwise be lost.
  bool StartClaimTimer(int ms) override {
    struct sigaction action {};
    action.sa_handler = IgnoreSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    if (::sigaction(SIGALRM, &action, &previous_) != 0) return false;
    stop_ = fired_ = false;
    const pthread_t target = ::pthread_self();
    try {
      thread_ = std::thread([this, target, ms] {
        std::unique_lock lock(mutex_);
        if (wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stop_; })) return;
        fired_ = true;
        while (!stop_) {
          ::pthread_kill(target, SIGALRM);
          wake_.wait_for(lock, std::chrono::milliseconds(20), [this] { return stop_; });
        }
      });
    } catch (const std::system_error&) {
      ::sigaction(SIGALRM, &previous_, nullptr);
      return false;
    }
    return true;
  }
  void StopClaimTimer() override {
    if (!thread_.joinable()) return;
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
    ::sigaction(SIGALRM, &previous_, nullptr);
  }
  bool ClaimTimerFired() override {
    std::lock_guard lock(mutex_);
    return fired_;
  }
  ~RealPpdevSystem() override { StopClaimTimer(); }

 private:
  struct sigaction previous_ {};
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false, fired_ = false;
};

}  // namespace

std::unique_ptr<PpdevSystem> MakeRealPpdevSystem() { return std::make_unique<RealPpdevSystem>(); }

PpdevPortBackend::PpdevPortBackend(std::unique_ptr<PpdevSystem> system, std::string device,
                                   std::string procRoot, std::string devDir)
    : sys_(std::move(system)),
      device_(std::move(device)),
      procRoot_(std::move(procRoot)),
      devDir_(std::move(devDir)) {}

bool PpdevPortBackend::ResolveDevice(std::int32_t base, std::string& path, PortError& error) {
  if (!device_.empty()) {
    path = device_;
    return true;
  }
  const DiscoveryResult found = DiscoverParallelPorts(procRoot_);
  if (const ParallelPortInfo* port = MatchParallelPort(found.ports, base)) {
    path = devDir_ + "/parport" + std::to_string(port->number);
    return true;
  }
  error.target = "the parallel port";
  if (!found.listFound) {
    error.reason = "the kernel drives no parallel port (" + procRoot_ + " is missing)";
  } else if (found.ports.empty()) {
    error.reason = "the kernel lists no parallel port";
  } else {
    std::string listed;
    for (const auto& p : found.ports) {
      listed += (listed.empty() ? "" : ", ") + std::string("parport") + std::to_string(p.number) + " at " +
                Hex(p.baseAddress);
    }
    error.reason = "no port has base address " + Hex(base) +
                   " and no other port is left for this choice (found " + listed + ")";
  }
  for (const auto& problem : found.problems) error.reason += "; " + problem;
  error.remedy = kNoPortRemedy;
  return false;
}

bool PpdevPortBackend::OpenDevice(const std::string& path, PortError& error) {
  fd_ = sys_->Open(path, O_RDWR);
  if (fd_ >= 0) return true;
  const int err = errno;
  error.target = path;
  error.reason = std::strerror(err);
  if (err == EACCES || err == EPERM) {
    error.remedy = kPermissionRemedy;
  } else if (err == ENOENT) {
    error.remedy = kModuleRemedy;
  } else if (err == ENXIO || err == ENODEV) {
    error.remedy = kNoPortRemedy;
  } else if (err == EBUSY) {
    error.remedy = kBusyRemedy;
  }
  return false;
}

int PpdevPortBackend::Claim(bool exclusive, PortError& error) {
  if (exclusive && sys_->Ioctl(fd_, PPEXCL, nullptr) != 0) {
    error.target = path_;
    error.reason = std::string("PPEXCL: ") + std::strerror(errno);
    return 0;
  }
  // PPCLAIM sleeps while another driver uses the port. A signal that is not
  // the timer's (a window's timer, SIGCHLD) restarts it for the time left.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kClaimTimeoutMs);
  int rc = 0, err = 0;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (!sys_->StartClaimTimer(static_cast<int>(std::max<long long>(left.count(), 1)))) {
      error.target = path_;
      error.reason = "cannot time the wait for the port";
      return 0;
    }
    rc = sys_->Ioctl(fd_, PPCLAIM, nullptr);
    err = errno;
    const bool timedOut = sys_->ClaimTimerFired();
    sys_->StopClaimTimer();
    if (rc == 0) return 1;
    if (err != EINTR || timedOut || StopRequested() || std::chrono::steady_clock::now() >= deadline) break;
  }
  error.target = path_;
  if (err == EINTR || err == EBUSY) {
    error.reason = "the port stayed busy for " + std::to_string(kClaimTimeoutMs / 1000) + " seconds";
    error.remedy = kBusyRemedy;
    return 0;
  }
  // With PPEXCL the kernel refuses the claim when another driver (lp) has
  // the port registered; that is worth a second, shared try.
  if (exclusive && err == ENXIO) return -1;
  error.reason = std::string("PPCLAIM: ") + std::strerror(err);
  if (err == ENXIO || err == ENODEV) error.remedy = kNoPortRemedy;
  return 0;
}

bool PpdevPortBackend::Open(std::int32_t base, PortError& error) {
  base_ = base;
  if (!ResolveDevice(base, path_, error)) return false;
  if (!OpenDevice(path_, error)) return false;

  int claimed = Claim(true, error);
  if (claimed < 0) {
    // Exclusive access refused: reopen (the flag sticks to the open file)
    // and claim the port shared with the other driver.
    sys_->Close(fd_);
    fd_ = -1;
    if (!OpenDevice(path_, error)) return false;
    claimed = Claim(false, error);
    if (claimed > 0 && !sharedNoticeGiven_) {
      sharedNoticeGiven_ = true;
      std::cerr << "tarvel: " << path_
                << " is also held by another driver (often the printer driver lp); using it shared. "
                   "Unload lp (modprobe -r lp) for exclusive access."
                << std::endl;
    }
  }
  if (claimed <= 0) {
    sys_->Close(fd_);
    fd_ = -1;
    return false;
  }
  claimed_ = true;

  int mode = IEEE1284_MODE_COMPAT;
  int forward = 0;
  if (sys_->Ioctl(fd_, PPSETMODE, &mode) != 0) return Fail("PPSETMODE", error);
  if (sys_->Ioctl(fd_, PPDATADIR, &forward) != 0) return Fail("PPDATADIR", error);
  return true;
}

bool PpdevPortBackend::Fail(const char* what, PortError& error) {
  error.target = path_;
  error.reason = std::string(what) + ": " + std::strerror(errno);
  PortError ignored;
  Close(ignored);
  return false;
}

bool PpdevPortBackend::Write(std::int32_t port, std::uint8_t value, PortError& error) {
  if (fd_ < 0 || port != base_) {
    error.target = path_;
    error.reason = "write to " + Hex(port) + ", which is not the data register";
    return false;
  }
  unsigned char byte = value;
  if (sys_->Ioctl(fd_, PPWDATA, &byte) != 0) {
    error.target = path_;
    error.reason = std::string("PPWDATA: ") + std::strerror(errno);
    return false;
  }
  return true;
}

bool PpdevPortBackend::Read(std::int32_t port, std::uint8_t& value, PortError& error) {
  if (fd_ < 0 || port != base_ + 1) {
    error.target = path_;
    error.reason = "read from " + Hex(port) + ", which is not the status register";
    return false;
  }
  unsigned char byte = 0;
  if (sys_->Ioctl(fd_, PPRSTATUS, &byte) != 0) {
    error.target = path_;
    error.reason = std::string("PPRSTATUS: ") + std::strerror(errno);
    return false;
  }
  value = byte;
  return true;
}

bool PpdevPortBackend::Close(PortError& error) {
  bool ok = true;
  if (fd_ >= 0 && claimed_) {
    if (sys_->Ioctl(fd_, PPRELEASE, nullptr) != 0) {
      error.target = path_;
      error.reason = std::string("PPRELEASE: ") + std::strerror(errno);
      ok = false;
    }
  }
  claimed_ = false;
  if (fd_ >= 0) sys_->Close(fd_);
  fd_ = -1;
  return ok;
}

std::string PpdevPortBackend::Describe(std::int32_t base) const {
  return (path_.empty() ? std::string("ppdev") : path_) + " (" + HexPortAddress(base) + ")";
}

}  // namespace tarvel

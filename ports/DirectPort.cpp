#include "ports/DirectPort.h"

#include "core/Signals.h"

#include <grp.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#define TARVEL_HAVE_PORT_IO 1
#endif

#include "ports/PortDiscovery.h"

namespace tarvel {

namespace {

std::string Range(std::int32_t base) {
  char text[48];
  std::snprintf(text, sizeof text, "I/O ports 0x%X-0x%X", static_cast<unsigned>(base),
                static_cast<unsigned>(base + 2));
  return text;
}

#ifdef TARVEL_HAVE_PORT_IO
class RealDirectIoSystem : public DirectIoSystem {
 public:
  int Ioperm(unsigned long from, unsigned long count, int on) override { return ::ioperm(from, count, on); }
  void Outb(std::uint8_t value, unsigned short port) override { ::outb(value, port); }
  std::uint8_t Inb(unsigned short port) override { return ::inb(port); }
  bool IsRoot() override { return ::geteuid() == 0; }
  int DropRoot() override { return GiveUpRoot(WithoutSudoUser::StayRoot); }
};
#endif

}  // namespace

std::unique_ptr<DirectIoSystem> MakeRealDirectIoSystem() {
#ifdef TARVEL_HAVE_PORT_IO
  return std::make_unique<RealDirectIoSystem>();
#else
  return nullptr;
#endif
}

DirectPortBackend::DirectPortBackend(std::unique_ptr<DirectIoSystem> system) : sys_(std::move(system)) {}

bool DirectPortBackend::Open(std::int32_t base, PortError& error) {
  error.target = Range(base);
  if (!IsLegacyPortAddress(base)) {
    error.reason = "direct I/O is only allowed on the legacy addresses 0x378, 0x278 and 0x3BC";
    error.remedy = "use ppdev for other ports (unset TARVEL_PORT)";
    return false;
  }
  if (kept_ && base == base_) {
    open_ = true;
    return true;
  }
  if (kept_) {
    error.reason = "root was given up after the first port was opened";
    error.remedy = "run the program again for another port";
    return false;
  }
  if (sys_->Ioperm(static_cast<unsigned long>(base), 3, 1) != 0) {
    const int err = errno;
    error.reason = std::string("ioperm: ") + std::strerror(err);
    if (!sys_->IsRoot()) {
      error.remedy = "direct I/O needs root; use ppdev instead (unset TARVEL_PORT)";
    } else {
      error.reason +=
          "; the kernel refuses I/O port access even to root, usually because it is "
          "in lockdown (Secure Boot)";
      error.remedy = "use ppdev instead (unset TARVEL_PORT)";
    }
    return false;
  }
  const int dropped = sys_->DropRoot();
  if (dropped < 0) {
    error.reason = std::string("cannot give up root for the user who ran sudo: ") + std::strerror(errno);
    error.remedy = "check SUDO_UID and SUDO_GID, or use ppdev instead (unset TARVEL_PORT)";
    sys_->Ioperm(static_cast<unsigned long>(base), 3, 0);
    return false;
  }
  kept_ = dropped > 0;
  base_ = base;
  open_ = true;
  return true;
}

bool DirectPortBackend::Write(std::int32_t port, std::uint8_t value, PortError& error) {
  if (!open_ || port != base_) {
    error.target = Range(base_);
    error.reason = "write outside the data register";
    return false;
  }
  sys_->Outb(value, static_cast<unsigned short>(port));
  return true;
}

bool DirectPortBackend::Read(std::int32_t port, std::uint8_t& value, PortError& error) {
  if (!open_ || port != base_ + 1) {
    error.target = Range(base_);
    error.reason = "read outside the status register";
    return false;
  }
  value = sys_->Inb(static_cast<unsigned short>(port));
  return true;
}

bool DirectPortBackend::Close(PortError& error) {
  if (!open_) return true;
  open_ = false;
  if (kept_) return true;
  if (sys_->Ioperm(static_cast<unsigned long>(base_), 3, 0) != 0) {
    error.target = Range(base_);
    error.reason = std::string("ioperm: ") + std::strerror(errno);
    return false;
  }
  return true;
}

std::string DirectPortBackend::Describe(std::int32_t base) const {
  return "direct (" + HexPortAddress(base) + ")";
}

}  // namespace tarvel

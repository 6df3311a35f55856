// Direct I/O back-end (x86 Linux, root only): ioperm on exactly the three
// registers of a legacy port, then outb/inb. It refuses every base address
// but 0x378, 0x278 and 0x3BC: a byte written to a stray I/O port can hang or
// damage a machine. Run through sudo, it gives up root for the invoking user
// right after ioperm succeeds, before any file is touched; the I/O permission
// stays with the process for its lifetime then, as it cannot be asked again.
#pragma once

#include <memory>

#include "device/PortIO.h"

namespace tarvel {

// The privileged operations, replaceable by tests.
class DirectIoSystem {
 public:
  virtual ~DirectIoSystem() = default;
  virtual int Ioperm(unsigned long from, unsigned long count, int on) = 0;  // 0, or -1 with errno
  virtual void Outb(std::uint8_t value, unsigned short port) = 0;
  virtual std::uint8_t Inb(unsigned short port) = 0;
  virtual bool IsRoot() = 0;
  // Gives up root for the user who ran sudo (SUDO_UID/SUDO_GID): 1 done,
  // 0 nothing to give up, -1 failed (errno).
  virtual int DropRoot() = 0;
};

// Nullptr where the processor has no I/O ports (not x86).
std::unique_ptr<DirectIoSystem> MakeRealDirectIoSystem();

class DirectPortBackend : public PortBackend {
 public:
  explicit DirectPortBackend(std::unique_ptr<DirectIoSystem> system);
  bool Open(std::int32_t base, PortError& error) override;
  bool Write(std::int32_t port, std::uint8_t value, PortError& error) override;
  bool Read(std::int32_t port, std::uint8_t& value, PortError& error) override;
  bool Close(PortError& error) override;
  std::string Describe(std::int32_t base) const override;

 private:
  std::unique_ptr<DirectIoSystem> sys_;
  std::int32_t base_ = 0;
  bool open_ = false;
  bool kept_ = false;  // root given up: the permission on base_ stays
};

}  // namespace tarvel

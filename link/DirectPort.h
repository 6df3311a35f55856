// Direct I/O back-end (x86 Linux, root only): ioperm on exactly the three
// registers of a legacy port, then outb/inb. It refuses every base address
// but 0x378, 0x278 and 0x3BC: a byte written to a stray I/O port can hang or
// damage a machine.
#pragma once

#include <memory>

#include "PortIO.h"

namespace tarvel {

// The privileged operations, replaceable by tests.
class DirectIoSystem {
 public:
  virtual ~DirectIoSystem() = default;
  virtual int Ioperm(unsigned long from, unsigned long count, int on) = 0;  // 0, or -1 with errno
  virtual void Outb(std::uint8_t value, unsigned short port) = 0;
  virtual std::uint8_t Inb(unsigned short port) = 0;
  virtual bool IsRoot() = 0;
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

 private:
  std::unique_ptr<DirectIoSystem> sys_;
  std::int32_t base_ = 0;
  bool open_ = false;
};

}  // namespace tarvel

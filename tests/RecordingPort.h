// A port backend for tests: records every access, answers status reads from a
// script, and can be told to fail on open, on a given access or on close.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "device/PortIO.h"

namespace tarvel::testing {

struct Access {
  bool read;
  std::int32_t port;
  std::uint8_t value;
  bool operator==(const Access&) const = default;
};

struct PortLog {
  std::vector<Access> accesses;
  std::deque<std::uint8_t> statusScript;  // answers to reads; 0 when empty
  int failOpen = 0;                       // nonzero: Open fails
  long failAtAccess = -1;                 // accesses fail from this index on
  bool failClose = false;
  int opens = 0;
  int closes = 0;
  std::int32_t openedBase = -1;

  std::vector<std::uint8_t> Writes() const;
};

class RecordingPort : public PortBackend {
 public:
  explicit RecordingPort(std::shared_ptr<PortLog> log) : log_(std::move(log)) {}
  bool Open(std::int32_t base, PortError& error) override;
  bool Write(std::int32_t port, std::uint8_t value, PortError& error) override;
  bool Read(std::int32_t port, std::uint8_t& value, PortError& error) override;
  bool Close(PortError& error) override;
  std::string Describe(std::int32_t) const override { return "recording port"; }

 private:
  bool Fail(PortError& error);
  std::shared_ptr<PortLog> log_;
};

// Installs a fresh RecordingPort as the process's backend.
std::shared_ptr<PortLog> InstallRecordingPort();

// Parses "81 | 81 85 | 82 ..." (bars ignored) into bytes.
std::vector<std::uint8_t> Bytes(const std::string& text);

}  // namespace tarvel::testing

#include "RecordingPort.h"

#include <sstream>

#include "app/ProcessPorts.h"

namespace tarvel::testing {

namespace {
// Every test program's process link records into the process's capture and
// takes TARVEL_PORT's backend when a test installs none, as the program's does.
[[maybe_unused]] const bool kProcessPorts = (UseProcessPorts(), true);
}  // namespace

std::vector<std::uint8_t> PortLog::Writes() const {
  std::vector<std::uint8_t> out;
  for (const Access& a : accesses) {
    if (!a.read) out.push_back(a.value);
  }
  return out;
}

bool RecordingPort::Fail(PortError& error) {
  error.target = "test port";
  error.reason = "Input/output error";
  return false;
}

bool RecordingPort::Open(std::int32_t base, PortError& error) {
  if (log_->failOpen != 0) {
    error.target = "/dev/parport-test";
    error.reason = "Permission denied";
    error.remedy = "add your user to the 'lp' group";
    return false;
  }
  ++log_->opens;
  log_->openedBase = base;
  return true;
}

bool RecordingPort::Write(std::int32_t port, std::uint8_t value, PortError& error) {
  if (static_cast<long>(log_->accesses.size()) == log_->failAtAccess) return Fail(error);
  log_->accesses.push_back({false, port, value});
  return true;
}

bool RecordingPort::Read(std::int32_t port, std::uint8_t& value, PortError& error) {
  if (static_cast<long>(log_->accesses.size()) == log_->failAtAccess) return Fail(error);
  value = 0;
  if (!log_->statusScript.empty()) {
    value = log_->statusScript.front();
    log_->statusScript.pop_front();
  }
  log_->accesses.push_back({true, port, value});
  return true;
}

bool RecordingPort::Close(PortError& error) {
  ++log_->closes;
  if (log_->failClose) return Fail(error);
  return true;
}

std::shared_ptr<PortLog> InstallRecordingPort() {
  auto log = std::make_shared<PortLog>();
  SetPortBackend(std::make_unique<RecordingPort>(log));
  return log;
}

std::vector<std::uint8_t> Bytes(const std::string& text) {
  std::vector<std::uint8_t> out;
  std::istringstream in(text);
  std::string word;
  while (in >> word) {
    if (word == "|") continue;
    out.push_back(static_cast<std::uint8_t>(std::stoul(word, nullptr, 16)));
  }
  return out;
}

}  // namespace tarvel::testing

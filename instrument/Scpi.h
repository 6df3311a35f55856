// The remote-control instrument: SCPI program messages in, answers out.
//
// One ScpiInstrument holds what a remote client sees of the program: the
// selected device, the two codes set, the codes last sent, auto-transmit, the
// IEEE 488.2 status registers and the error queue. It drives the chips
// through a device link of its own (RunDeviceCommand, ReadBackCodes) and
// turns the link's port errors into "-240" errors. It knows nothing of sockets: the server
// hands it whole lines.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "chips/Chips.h"
#include "instrument/Calibration.h"
#include "instrument/SavedStates.h"

namespace tarvel {

class DeviceLink;

constexpr std::size_t kScpiErrorQueueSize = 16;

// The bits of STATus:OPERation and STATus:QUEStionable (SCPI leaves bits 8
// to 12 to the instrument). Operation: a command waits for the port while
// another process holds it (the simulated bench's lock). Questionable: the
// port failed at the last command that drove it; the last READ? found codes
// other than the ones last sent to the RX4410 (another program changed
// them, or the chip lost them).
constexpr std::uint16_t kScpiOperationWaitingForPort = 1u << 8;
constexpr std::uint16_t kScpiQuestionablePort = 1u << 9;
constexpr std::uint16_t kScpiQuestionableReadBack = 1u << 10;
// Questionable: the last command in dB (CHANnel<n>:GAIN, CALibration:...)
// found no calibration table (the server runs without --cal).
constexpr std::uint16_t kScpiQuestionableCalibration = 1u << 11;
constexpr std::size_t kScpiMaxLineBytes = 4096;

// The answer to *IDN?: manufacturer, model, serial number (--serial; "0"
// when the bench has none), firmware version.
std::string ScpiIdentity(std::string_view serial = "0");

// One remote command as the documentation lists it: its form
// ("CHANnel<n>:CODE c"), whether the server answers it at once while the port
// is busy, and what it does.
struct ScpiCommandHelp {
  std::string form;
  bool readsOnly;
  std::string help;
};

struct ScpiError {
  int code;
  std::string text;  // the whole message, e.g. "Hardware error; Lost LPT1 ..."
};

// What the instrument holds, as a status page shows it.
struct ScpiStatus {
  std::string device;
  std::array<int, 2> codes{0, 0};   // set (CHANnel<n>:CODE, CODE)
  std::array<int, 2> sent{-1, -1};  // last sent (CODE?); -1 before the first
  bool autoTransmit = false;
  std::string port;       // as PORT? names it
  std::string lastError;  // the latest error queued, "-222,\"Data out of range\""; "" for none yet
  // With a calibration table: its device, the working frequency and each
  // channel's gain at it (empty for a code the table lacks, or another device).
  std::optional<std::string> calDevice;
  double calFrequency = 0;
  std::array<std::optional<double>, 2> gains{};
  bool operator==(const ScpiStatus&) const = default;
};

// A code for `device` as CODE takes it ("12", "12.0", "1.2E1"); on bad text
// the error CODE would queue (-104 not a number, -222 out of the chip's range).
std::optional<ScpiError> ScpiCheckCode(std::string_view text, const std::string& device, int& code);

class ScpiInstrument {
 public:
  // On a link of its own that shares the process link's port.
  ScpiInstrument();
  explicit ScpiInstrument(std::unique_ptr<DeviceLink> link);
  ~ScpiInstrument();
  ScpiInstrument(const ScpiInstrument&) = delete;
  ScpiInstrument& operator=(const ScpiInstrument&) = delete;

  // The instrument's link: the server holds its port open across commands.
  DeviceLink& link() { return *link_; }

  // Executes one program message (one line without its terminator; several
  // commands separated by ';'). Returns the answers of its queries joined by
  // ';' and ended by "\n", or "" when no query answered.
  std::string Execute(std::string_view line);

  // True when every command of the line is one the command table marks as
  // only reading what the instrument holds (*IDN?, *STB?, SYSTem:ERRor?,
  // DEVice?, CODE?, PORT? and the like): no port, no setting. The server
  // answers those at once while other commands wait for the port.
  static bool ReadsOnly(std::string_view line);

  // Every remote command, in the command table's order.
  static std::vector<ScpiCommandHelp> CommandList();
  // Runs a line as Execute does, with its errors handed back in `errors`
  // instead of queued (a web request answers its own errors; SCPI clients'
  // queue and status bits stay as they were).
  std::string ExecuteAside(std::string_view line, std::vector<ScpiError>& errors);
  ScpiStatus Status() const;

  // Queues an error (e.g. -223 for a line the server discarded).
  void PushError(int code, std::string text);
  // "-222,\"Data out of range\"" or "0,\"No error\"", and removes it.
  std::string PopError();
  std::size_t ErrorCount() const { return errors_.size(); }

  // The third field of *IDN?.
  void SetSerial(std::string serial) { serial_ = std::move(serial); }

  // The server says when a command starts and stops waiting for a port
  // another process holds (operation bit kScpiOperationWaitingForPort).
  void SetWaitingForPort(bool waiting);

  // The calibration table the dB commands use (tarvel --serve --cal FILE);
  // without one they are refused.
  void SetCalibration(std::optional<Calibration> calibration) { cal_ = std::move(calibration); }

  // Keeps the saved states (*SAV, *RCL) in the file at `path` from now on,
  // reading it now; until then they live in memory only. False with the
  // reason when the file cannot be read: the commands then report it, and
  // nothing overwrites it.
  bool UseSavedStates(std::string path, std::string& error);
  // With recall at power-on set, takes saved state 0 and sends it, whatever
  // its auto-transmit (the server does this once, before any client). The
  // sentence for standard error; empty when recall at power-on is off.
  std::string RecallAtPowerOn();

 private:
  struct Call;      // one command of a message, as its handler sees it
  struct Commands;  // the command table: one row per command, in Scpi.cpp
  // A SCPI status register: the condition now, the events (conditions that
  // came on since last read), the events that count in the status byte.
  struct StatusRegister {
    std::uint16_t condition = 0, event = 0, enable = 0;
    void Set(std::uint16_t bits, bool on);
    bool Summary() const { return (event & enable) != 0; }
  };
  // A numeric parameter: a number (an exponent allowed), rounded as the
  // command line rounds, within lowest..highest, or MINimum, MAXimum or
  // DEFault; false after queueing the error.
  bool ParseNumber(std::string_view text, int lowest, int highest, int preset, int& value);
  // A register's value 0..255 into `target`; false after queueing the error.
  bool ParseByte(std::string_view text, std::uint8_t& target);
  void Reset();  // *RST
  void Clear();  // *CLS
  void SelectDevice(std::string_view token);
  bool Send();      // sends codes_ to device_; false after an error
  bool ReadBack();  // reads the chip's codes into the link; false after an error
  // Runs the device command (or the read-back) with its alerts queued as
  // "-240" errors; false when it failed.
  bool Drive(bool readBack);
  bool ParseCode(std::string_view text, int& code);
  // Takes a saved state (device, codes, auto-transmit) as the one set.
  void Take(const SavedState& state);
  // Writes the saved states whole; false after queueing the error.
  bool StoreStates(const SavedStates& next);
  // `answerWaiting`: an earlier query of the message has its answer in the
  // output queue (MAV).
  std::uint8_t StatusByte(bool answerWaiting) const;

  std::unique_ptr<DeviceLink> link_;
  std::string serial_ = "0";
  std::string device_{Chips().front()->token};
  std::array<int, 2> codes_{0, 0};
  std::array<int, 2> sent_{-1, -1};
  bool autoTransmit_ = false;
  std::string sentTo_;  // the device sent_ went to
  std::uint8_t esr_ = 0, ese_ = 0, sre_ = 0;
  StatusRegister operation_, questionable_;
  std::deque<ScpiError> errors_;
  std::vector<ScpiError>* aside_ = nullptr;  // ExecuteAside's errors go here
  std::string lastError_;
  SavedStateStore saved_;
  std::optional<Calibration> cal_;
};

}  // namespace tarvel

// The GPIO back-end: the parallel port's lines on eight lines of a Linux GPIO
// chip (the header of a single-board computer) through the GPIO character
// device and libgpiod, which is loaded only when this back-end is chosen:
// libgpiod 2 (libgpiod.so.3, Debian 13, today's Raspberry Pi OS) when it
// opens, else libgpiod 1.6 (libgpiod.so.2, Debian 12). Both are driven
// through one small chip interface, so the two behave alike.
//
// Wiring as for the FTDI adapter: the n-th line carries data line Dn for
// n = 0, 1, 2, 5, 6, 7 (outputs, requested together as consumer "tarvel",
// starting low, set with one bulk call per port write); lines 3 and 4 are
// inputs read as status bits 5 ("Chan 1" serial out) and 4 ("Chan 2"). The
// lines are requested when a device command starts and released when it
// ends, so other programs may use them between commands; a later request
// starts the outputs at the levels the last command left, as a parallel
// port's data register keeps them, so no select line dips between commands.
#pragma once

#include <gpiod.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "device/PortIO.h"

namespace tarvel {

// The libgpiod 1.6 calls the back-end makes: the real library, or a test's fake.
struct GpiodApi {
  decltype(&gpiod_chip_open_lookup) chipOpenLookup;
  decltype(&gpiod_chip_close) chipClose;
  decltype(&gpiod_chip_label) chipLabel;
  decltype(&gpiod_chip_num_lines) chipNumLines;
  decltype(&gpiod_chip_get_line) chipGetLine;
  decltype(&gpiod_chip_find_line) chipFindLine;
  decltype(&gpiod_line_offset) lineOffset;
  decltype(&gpiod_line_is_used) lineIsUsed;
  decltype(&gpiod_line_consumer) lineConsumer;
  decltype(&gpiod_line_request_bulk_output) requestBulkOutput;
  decltype(&gpiod_line_request_bulk_input) requestBulkInput;
  decltype(&gpiod_line_set_value_bulk) setValueBulk;
  decltype(&gpiod_line_get_value_bulk) getValueBulk;
  decltype(&gpiod_line_release_bulk) releaseBulk;
};

// libgpiod 2's C API, as far as the back-end uses it. Debian 12 ships only
// 1.6's header, and the library is opened with dlopen anyway, so its opaque
// types and the few enumerators are declared here (values as in gpiod.h 2.x).
namespace gpiod2 {
struct Chip;
struct ChipInfo;
struct LineInfo;
struct LineSettings;
struct LineConfig;
struct RequestConfig;
struct LineRequest;
enum class Value : int { Error = -1, Inactive = 0, Active = 1 };
enum class Direction : int { AsIs = 1, Input = 2, Output = 3 };
}  // namespace gpiod2

struct Gpiod2Api {
  gpiod2::Chip* (*chipOpen)(const char* path);
  void (*chipClose)(gpiod2::Chip* chip);
  gpiod2::ChipInfo* (*chipGetInfo)(gpiod2::Chip* chip);
  const char* (*chipInfoGetLabel)(gpiod2::ChipInfo* info);
  std::size_t (*chipInfoGetNumLines)(gpiod2::ChipInfo* info);
  void (*chipInfoFree)(gpiod2::ChipInfo* info);
  int (*chipGetLineOffsetFromName)(gpiod2::Chip* chip, const char* name);
  gpiod2::LineInfo* (*chipGetLineInfo)(gpiod2::Chip* chip, unsigned int offset);
  bool (*lineInfoIsUsed)(gpiod2::LineInfo* info);
  const char* (*lineInfoGetConsumer)(gpiod2::LineInfo* info);
  void (*lineInfoFree)(gpiod2::LineInfo* info);
  gpiod2::LineSettings* (*lineSettingsNew)();
  void (*lineSettingsFree)(gpiod2::LineSettings* settings);
  int (*lineSettingsSetDirection)(gpiod2::LineSettings* settings, gpiod2::Direction direction);
  int (*lineSettingsSetOutputValue)(gpiod2::LineSettings* settings, gpiod2::Value value);
  gpiod2::LineConfig* (*lineConfigNew)();
  void (*lineConfigFree)(gpiod2::LineConfig* config);
  int (*lineConfigAddLineSettings)(gpiod2::LineConfig* config, const unsigned int* offsets, std::size_t count,
                                   gpiod2::LineSettings* settings);
  gpiod2::RequestConfig* (*requestConfigNew)();
  void (*requestConfigFree)(gpiod2::RequestConfig* config);
  void (*requestConfigSetConsumer)(gpiod2::RequestConfig* config, const char* consumer);
  gpiod2::LineRequest* (*chipRequestLines)(gpiod2::Chip* chip, gpiod2::RequestConfig* requestConfig,
                                           gpiod2::LineConfig* lineConfig);
  void (*lineRequestRelease)(gpiod2::LineRequest* request);
  int (*lineRequestSetValues)(gpiod2::LineRequest* request, const gpiod2::Value* values);
  int (*lineRequestGetValues)(gpiod2::LineRequest* request, gpiod2::Value* values);
};

// Opens libgpiod.so.2 / libgpiod.so.3 once; nullptr with `reason` when it is
// missing or lacks a call.
const GpiodApi* LoadGpiodLibrary(std::string& reason);
const Gpiod2Api* LoadGpiod2Library(std::string& reason);

// The library the back-end drives: libgpiod 2 when it opens, else 1.6.
struct GpioLibrary {
  const Gpiod2Api* v2 = nullptr;
  const GpiodApi* v1 = nullptr;
};
// Fills `library` (2 first, then 1.6); false with what was tried and why in
// `reason` when neither opens.
bool LoadGpioLibrary(GpioLibrary& library, std::string& reason);
using GpioLoader = bool (*)(GpioLibrary& library, std::string& reason);

// The GPIO chips' device paths (/dev/gpiochipN, in number order), for
// gpio:auto and for a chip named by its label under libgpiod 2.
std::vector<std::string> ListGpioChips();
using GpioChipLister = std::vector<std::string> (*)();

// The labels of the chips that carry a Raspberry Pi's 40-pin header, in the
// order gpio:auto prefers them: the Pi 5's RP1, the Pi 4's BCM2711, the
// BCM2835 family of the Pi 1 to 3 and Zero.
inline constexpr std::array<const char*, 3> kHeaderChipLabels{"pinctrl-rp1", "pinctrl-bcm2711",
                                                              "pinctrl-bcm2835"};

// "gpio:CHIP:L0,L1,L2,L3,L4,L5,L6,L7": the chip as gpiodetect names it (device,
// name, label or number) or "auto", and eight different line offsets or names.
struct GpioChoice {
  std::string chip;
  std::array<std::string, 8> lines;
};
bool ParseGpioChoice(std::string_view choice, GpioChoice& parsed, PortError& error);

class GpioPortBackend : public PortBackend {
 public:
  explicit GpioPortBackend(GpioChoice choice, GpioLoader loader = &LoadGpioLibrary,
                           GpioChipLister lister = &ListGpioChips);
  ~GpioPortBackend() override;

  bool Open(std::int32_t base, PortError& error) override;
  bool Write(std::int32_t port, std::uint8_t value, PortError& error) override;
  bool Read(std::int32_t port, std::uint8_t& value, PortError& error) override;
  bool Close(PortError& error) override;
  std::string Describe(std::int32_t base) const override;

  // The lines as TARVEL_PORT names them, for the remote interface.
  std::string Choice() const;

  // One opened chip, through whichever libgpiod was loaded.
  class Chip;

  static constexpr const char* kConsumer = "tarvel";
  static constexpr std::array<int, 6> kOutputPins{0, 1, 2, 5, 6, 7};
  static constexpr std::array<int, 2> kInputPins{3, 4};

 private:
  bool OpenChip(PortError& error);
  bool ResolveLines(std::array<unsigned, 8>& offsets, PortError& error);
  bool Request(const std::array<unsigned, 8>& offsets, PortError& error);
  bool Fail(const std::string& what, int err, PortError& error);
  void Release();

  GpioChoice choice_;
  GpioLoader loader_;
  GpioChipLister lister_;
  GpioLibrary library_;
  bool loaded_ = false;
  std::unique_ptr<Chip> chip_;
  std::string chipFound_;  // the chip gpio:auto took, for Describe
  std::int32_t base_ = 0;
  std::uint8_t level_ = 0;  // the data byte on the output lines
};

}  // namespace tarvel

// Fakes of the seams under the real port back-ends, one per seam: the ppdev
// system calls, direct I/O, and the libftdi1 / libgpiod function tables whose
// adapter pins are wired to a simulated bench's RX4410 and TQM7731 models.
#pragma once

#include <gtest/gtest.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ports/DirectPort.h"
#include "ports/FtdiPort.h"
#include "ports/GpioPort.h"
#include "ports/PpdevPort.h"
#include "sim/SimBench.h"

namespace tarvel::testing {

// ---- ppdev ------------------------------------------------------------------

struct SysLog {
  std::vector<std::string> calls;        // "open /dev/parport0", "PPCLAIM", "PPWDATA 81", ...
  std::map<std::string, int> openErrno;  // path -> errno for a failing open
  std::vector<int> claimErrnos;          // errno per PPCLAIM in turn (0 = success)
  std::vector<bool> timerFired;          // per PPCLAIM: did the timer fire (default yes)
  long failWdataAt = -1;                 // index of the PPWDATA that fails
  std::uint8_t status = 0x20;
  std::uint8_t data = 0;  // the last byte PPWDATA put on the data lines
  int openFds = 0, claims = 0, releases = 0, timers = 0;
  long wdata = 0;
};

class RecordingPpdev : public PpdevSystem {
 public:
  explicit RecordingPpdev(std::shared_ptr<SysLog> log) : log_(std::move(log)) {}
  int Open(const std::string& path, int) override {
    log_->calls.push_back("open " + path);
    if (auto it = log_->openErrno.find(path); it != log_->openErrno.end()) {
      errno = it->second;
      return -1;
    }
    ++log_->openFds;
    return 7;
  }
  int Ioctl(int fd, unsigned long request, void* arg) override {
    EXPECT_EQ(fd, 7);
    std::string name = "?";
    int err = 0;
    if (request == PPEXCL) name = "PPEXCL";
    if (request == PPCLAIM) {
      name = "PPCLAIM";
      if (!log_->claimErrnos.empty()) {
        err = log_->claimErrnos.front();
        log_->claimErrnos.erase(log_->claimErrnos.begin());
      }
      if (err == 0) ++log_->claims;
    }
    if (request == PPRELEASE) name = "PPRELEASE", ++log_->releases;
    if (request == PPSETMODE) name = "PPSETMODE " + std::to_string(*static_cast<int*>(arg));
    if (request == PPDATADIR) name = "PPDATADIR " + std::to_string(*static_cast<int*>(arg));
    if (request == PPWDATA) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "%02X", *static_cast<unsigned char*>(arg));
      name = std::string("PPWDATA ") + hex;
      log_->data = *static_cast<unsigned char*>(arg);
      if (log_->wdata++ == log_->failWdataAt) err = EIO;
    }
    if (request == PPRSTATUS) {
      name = "PPRSTATUS";
      *static_cast<unsigned char*>(arg) = log_->status;
    }
    log_->calls.push_back(name);
    if (err != 0) {
      errno = err;
      return -1;
    }
    return 0;
  }
  int Close(int) override {
    log_->calls.push_back("close");
    --log_->openFds;
    return 0;
  }
  bool StartClaimTimer(int ms) override {
    EXPECT_GT(ms, 0);
    EXPECT_LE(ms, 5000) << "the wait for a busy port is bounded";
    ++log_->timers;
    return true;
  }
  void StopClaimTimer() override { --log_->timers; }
  bool ClaimTimerFired() override {
    if (log_->timerFired.empty()) return true;
    const bool fired = log_->timerFired.front();
    log_->timerFired.erase(log_->timerFired.begin());
    return fired;
  }

 private:
  std::shared_ptr<SysLog> log_;
};

// ---- direct I/O ---------------------------------------------------------------

struct DirectLog {
  std::vector<std::string> calls;
  int iopermErrno = 0;     // for ioperm on
  int iopermOffErrno = 0;  // for ioperm off
  bool root = true;
  int drop = 0;                          // DropRoot's answer
  std::uint8_t status = 0x20, data = 0;  // status: what inb reads; data: what outb wrote last
};

class FakeDirectIo : public DirectIoSystem {
 public:
  explicit FakeDirectIo(std::shared_ptr<DirectLog> log) : log_(std::move(log)) {}
  int Ioperm(unsigned long from, unsigned long count, int on) override {
    log_->calls.push_back("ioperm " + std::to_string(from) + " " + std::to_string(count) + " " +
                          std::to_string(on));
    if (const int err = on ? log_->iopermErrno : log_->iopermOffErrno; err != 0) {
      errno = err;
      return -1;
    }
    return 0;
  }
  void Outb(std::uint8_t value, unsigned short port) override {
    log_->calls.push_back("outb " + std::to_string(value) + " " + std::to_string(port));
    log_->data = value;
  }
  std::uint8_t Inb(unsigned short port) override {
    log_->calls.push_back("inb " + std::to_string(port));
    return log_->status;
  }
  bool IsRoot() override { return log_->root; }
  int DropRoot() override {
    log_->calls.push_back("drop root");
    if (log_->drop < 0) errno = EPERM;
    return log_->drop;
  }

 private:
  std::shared_ptr<DirectLog> log_;
};

// The adapter pins as the bench drives them: outputs as last set, pins 3
// and 4 from the RX4410's serial outputs (status bits 5 and 4).
inline std::uint8_t BenchPins(const SimBench& bench) {
  const std::uint8_t status = bench.ReadStatus();
  return static_cast<std::uint8_t>((bench.state().data & 0xE7) | ((status >> 5) & 1) << 3 |
                                   ((status >> 4) & 1) << 4);
}

// ---- libftdi1 ---------------------------------------------------------------

struct FakeFtdi {
  SimBench bench;
  ftdi_context ctx{};
  std::deque<unsigned char> samples;
  int contexts = 0, frees = 0, opens = 0, closes = 0, writes = 0, reads = 0, callsAfterFailure = 0;
  int openRc = 0, bitmodeRc = 0, failWriteAt = 0, shortWriteAt = 0, failReadAt = 0, silentReadAt = 0;
  int unplugAfterWrites = 0;  // the adapter vanishes right after this write
  unsigned char mask = 0, mode = 0;
  bool failed = false, unplugged = false;
  std::string serial = "FT4XQ2KB";  // the adapter's USB serial; empty: it has none
  int Opened() {
    ++opens;
    ctx.usb_dev = reinterpret_cast<libusb_device_handle*>(&bench);  // only ever compared with nullptr
    return 0;
  }
  bool Fails(bool now) {
    callsAfterFailure += failed;
    return failed = failed || now;
  }
};
inline FakeFtdi* gFtdi = nullptr;

inline const FtdiApi kFakeFtdi = {
    [] { return ++gFtdi->contexts, &gFtdi->ctx; },
    [](ftdi_context*) { ++gFtdi->frees; },
    [](ftdi_context*, ftdi_interface) { return 0; },
    [](ftdi_context*, int, int) { return gFtdi->openRc == 0 ? gFtdi->Opened() : gFtdi->openRc; },
    [](ftdi_context*, const char*) { return gFtdi->openRc == 0 ? gFtdi->Opened() : gFtdi->openRc; },
    [](ftdi_context* ctx) { return ctx->usb_dev = nullptr, ++gFtdi->closes, 0; },
    [](ftdi_context*, unsigned char ms) { return ms == 1 ? 0 : -1; },
    [](ftdi_context*, unsigned char mask, unsigned char mode) {
      gFtdi->mask = mask, gFtdi->mode = mode;
      return gFtdi->bitmodeRc;
    },
    [](ftdi_context*, int baud) { return baud > 0 ? 0 : -1; },
    [](ftdi_context*) { return gFtdi->samples.clear(), 0; },
    [](ftdi_context*, const unsigned char* buf, int n) {
      FakeFtdi& f = *gFtdi;
      ++f.writes;
      if (f.Fails(f.unplugged || f.writes == f.failWriteAt)) return -666;
      const int sent = f.writes == f.shortWriteAt ? n / 2 : n;
      f.failed = sent != n;
      for (int i = 0; i < sent; ++i) {
        f.samples.push_back(BenchPins(f.bench));  // sampled as the byte goes out
        f.bench.WriteData(buf[i] & f.mask);
      }
      f.unplugged = f.writes == f.unplugAfterWrites;
      return sent;
    },
    [](ftdi_context*, unsigned char* buf, int n) {
      FakeFtdi& f = *gFtdi;
      ++f.reads;
      if (f.Fails(f.unplugged || f.reads == f.failReadAt)) return -666;
      if (f.silentReadAt != 0 && f.reads >= f.silentReadAt) return 0;
      int got = 0;
      for (; got < n && !f.samples.empty(); ++got) buf[got] = f.samples.front(), f.samples.pop_front();
      return got;
    },
    [](ftdi_context*) { return "USB device unavailable"; },
    [](ftdi_context*, libusb_device*, char*, int, char*, int, char* serial, int size) {
      if (gFtdi->serial.empty()) return -7;  // libftdi: the serial string cannot be read
      std::snprintf(serial, static_cast<std::size_t>(size), "%s", gFtdi->serial.c_str());
      return 0;
    },
    [](libusb_device_handle*) { return static_cast<libusb_device*>(nullptr); },
};
inline const FtdiApi* FakeFtdiLoader(std::string&) { return &kFakeFtdi; }

// ---- libgpiod 1.6 and 2 ----------------------------------------------------

// One fake GPIO header behind both libraries' tables: chips
// /dev/gpiochip0, 1, ... with the labels given (each with the same 32 lines).
struct FakeGpiod {
  struct Line {
    unsigned offset;
    std::string name, consumer;
    int pin = -1;  // adapter pin wired to it
  };
  SimBench bench;
  std::vector<Line> lines;
  std::vector<std::string> labels{"pinctrl-bcm2711"};
  int opens = 0, closes = 0, held = 0, requests = 0, sets = 0, gets = 0, frees = 0, allocations = 0;
  int openErrno = 0, requestErrno = 0, requestFailAt = 0, failSetAt = 0, failGetAt = 0;
  std::map<int, int> openChips;  // chip -> times it is open now
  int requestedOn = -1;          // the chip the last request took lines of
  std::uint8_t pins = 0;
  FakeGpiod() {
    for (unsigned i = 0; i < 32; ++i) lines.push_back({i, "GPIO" + std::to_string(i), ""});
  }
  // The chip a name opens (gpiochipN, /dev/gpiochipN, N or, for 1.6, its label); -1 for none.
  int ChipNamed(const std::string& name, bool byLabel) const {
    for (std::size_t i = 0; i < labels.size(); ++i) {
      const std::string n = std::to_string(i);
      if (name == "gpiochip" + n || name == "/dev/gpiochip" + n ||
          (byLabel && (name == n || name == labels[i])))
        return static_cast<int>(i);
    }
    return -1;
  }
  // Holds the lines of one request: outputs start at `levels` when given.
  void Take(const std::vector<Line*>& taken, const char* consumer, const int* levels) {
    requestedOn = openChips.size() == 1 ? openChips.begin()->first : -2;
    for (std::size_t i = 0; i < taken.size(); ++i) {
      taken[i]->consumer = consumer;
      if (levels == nullptr) continue;
      const int bit = 1 << taken[i]->pin;
      pins = static_cast<std::uint8_t>(levels[i] ? pins | bit : pins & ~bit);
    }
    if (levels != nullptr) bench.WriteData(pins);
    held += static_cast<int>(taken.size());
  }
  void Drop(const std::vector<Line*>& taken) {
    for (Line* l : taken) l->consumer.clear();
    held -= static_cast<int>(taken.size());
  }
  void SetAll(const std::vector<Line*>& outputs, const int* levels) {
    pins = 0;
    for (std::size_t i = 0; i < outputs.size(); ++i)
      pins = static_cast<std::uint8_t>(pins | (levels[i] ? 1 : 0) << outputs[i]->pin);
    bench.WriteData(pins);  // one call: all six lines change at once
  }
  static Line& Of(gpiod_line* l) { return *reinterpret_cast<Line*>(l); }
  static gpiod_line* To(Line& l) { return reinterpret_cast<gpiod_line*>(&l); }
};
inline FakeGpiod* gGpio = nullptr;

inline std::vector<FakeGpiod::Line*> BulkLines(gpiod_line_bulk* bulk) {
  std::vector<FakeGpiod::Line*> taken;
  for (unsigned i = 0; i < bulk->num_lines; ++i) taken.push_back(&FakeGpiod::Of(bulk->lines[i]));
  return taken;
}

// Opening records the chip; a chip handle points at its label.
template <typename Handle>
Handle* FakeOpenChip(const char* name, bool byLabel) {
  const int chip = gGpio->ChipNamed(name, byLabel);
  if (gGpio->openErrno != 0 || chip < 0)
    return errno = gGpio->openErrno != 0 ? gGpio->openErrno : ENOENT, nullptr;
  ++gGpio->opens;
  ++gGpio->openChips[chip];
  return reinterpret_cast<Handle*>(&gGpio->labels[static_cast<std::size_t>(chip)]);
}
template <typename Handle>
void FakeCloseChip(Handle* chip) {
  ++gGpio->closes;
  const int index = static_cast<int>(reinterpret_cast<std::string*>(chip) - gGpio->labels.data());
  if (--gGpio->openChips[index] == 0) gGpio->openChips.erase(index);
}
template <typename Handle>
const char* FakeChipLabel(Handle* chip) {
  return reinterpret_cast<std::string*>(chip)->c_str();
}

inline const GpiodApi kFakeGpiod = {
    [](const char* name) { return FakeOpenChip<gpiod_chip>(name, true); },
    [](gpiod_chip* chip) { FakeCloseChip(chip); },
    [](gpiod_chip* chip) { return FakeChipLabel(chip); },
    [](gpiod_chip*) { return static_cast<unsigned>(gGpio->lines.size()); },
    [](gpiod_chip*, unsigned off) {
      return off < gGpio->lines.size() ? FakeGpiod::To(gGpio->lines[off]) : nullptr;
    },
    [](gpiod_chip*, const char* name) -> gpiod_line* {
      for (auto& l : gGpio->lines) {
        if (l.name == name) return FakeGpiod::To(l);
      }
      return errno = ENOENT, nullptr;
    },
    [](gpiod_line* l) { return FakeGpiod::Of(l).offset; },
    [](gpiod_line* l) { return !FakeGpiod::Of(l).consumer.empty(); },
    [](gpiod_line* l) { return FakeGpiod::Of(l).consumer.c_str(); },
    [](gpiod_line_bulk* bulk, const char* consumer, const int* levels) {
      if (++gGpio->requests == gGpio->requestFailAt) return errno = gGpio->requestErrno, -1;
      return gGpio->Take(BulkLines(bulk), consumer, levels), 0;
    },
    [](gpiod_line_bulk* bulk, const char* consumer) {
      if (++gGpio->requests == gGpio->requestFailAt) return errno = gGpio->requestErrno, -1;
      return gGpio->Take(BulkLines(bulk), consumer, nullptr), 0;
    },
    [](gpiod_line_bulk* bulk, const int* levels) {
      if (++gGpio->sets == gGpio->failSetAt) return errno = EIO, -1;
      return gGpio->SetAll(BulkLines(bulk), levels), 0;
    },
    [](gpiod_line_bulk* bulk, int* levels) {
      if (++gGpio->gets == gGpio->failGetAt) return errno = EIO, -1;
      const std::uint8_t pins = BenchPins(gGpio->bench);
      for (unsigned i = 0; i < bulk->num_lines; ++i)
        levels[i] = (pins >> FakeGpiod::Of(bulk->lines[i]).pin) & 1;
      return 0;
    },
    [](gpiod_line_bulk* bulk) { gGpio->Drop(BulkLines(bulk)); },
};

// libgpiod 2's objects, as the fake allocates them: every one made is counted
// and must be freed again.
struct FakeGpiod2Object {
  std::vector<FakeGpiod::Line*> lines;  // a line config's or request's lines, in order
  std::vector<int> levels;              // their output levels (-1: input)
  int direction = 0, value = 0;         // a settings object's
  std::string consumer;                 // a request config's
};
inline FakeGpiod2Object* NewFake2() { return ++gGpio->allocations, new FakeGpiod2Object; }
template <typename T>
FakeGpiod2Object& Fake2(T* object) {
  return *reinterpret_cast<FakeGpiod2Object*>(object);
}
template <typename T>
void FreeFake2(T* object) {
  ++gGpio->frees;
  delete reinterpret_cast<FakeGpiod2Object*>(object);
}

inline const Gpiod2Api kFakeGpiod2 = {
    [](const char* path) { return FakeOpenChip<gpiod2::Chip>(path, false); },
    [](gpiod2::Chip* chip) { FakeCloseChip(chip); },
    [](gpiod2::Chip* chip) {  // the info object keeps the chip's handle as its consumer text
      FakeGpiod2Object* info = NewFake2();
      info->consumer = FakeChipLabel(chip);
      return reinterpret_cast<gpiod2::ChipInfo*>(info);
    },
    [](gpiod2::ChipInfo* info) { return Fake2(info).consumer.c_str(); },
    [](gpiod2::ChipInfo*) { return gGpio->lines.size(); },
    [](gpiod2::ChipInfo* info) { FreeFake2(info); },
    [](gpiod2::Chip*, const char* name) {
      for (auto& l : gGpio->lines) {
        if (l.name == name) return static_cast<int>(l.offset);
      }
      return errno = ENOENT, -1;
    },
    [](gpiod2::Chip*, unsigned off) -> gpiod2::LineInfo* {
      if (off >= gGpio->lines.size()) return errno = EINVAL, nullptr;
      FakeGpiod2Object* info = NewFake2();
      info->lines = {&gGpio->lines[off]};
      return reinterpret_cast<gpiod2::LineInfo*>(info);
    },
    [](gpiod2::LineInfo* info) { return !Fake2(info).lines[0]->consumer.empty(); },
    [](gpiod2::LineInfo* info) { return Fake2(info).lines[0]->consumer.c_str(); },
    [](gpiod2::LineInfo* info) { FreeFake2(info); },
    [] { return reinterpret_cast<gpiod2::LineSettings*>(NewFake2()); },
    [](gpiod2::LineSettings* s) { FreeFake2(s); },
    [](gpiod2::LineSettings* s, gpiod2::Direction d) { return Fake2(s).direction = static_cast<int>(d), 0; },
    [](gpiod2::LineSettings* s, gpiod2::Value v) { return Fake2(s).value = static_cast<int>(v), 0; },
    [] { return reinterpret_cast<gpiod2::LineConfig*>(NewFake2()); },
    [](gpiod2::LineConfig* c) { FreeFake2(c); },
    [](gpiod2::LineConfig* c, const unsigned* offsets, std::size_t n, gpiod2::LineSettings* s) {
      const bool output = Fake2(s).direction == static_cast<int>(gpiod2::Direction::Output);
      for (std::size_t i = 0; i < n; ++i) {
        Fake2(c).lines.push_back(&gGpio->lines.at(offsets[i]));
        Fake2(c).levels.push_back(output ? Fake2(s).value : -1);
      }
      return 0;
    },
    [] { return reinterpret_cast<gpiod2::RequestConfig*>(NewFake2()); },
    [](gpiod2::RequestConfig* c) { FreeFake2(c); },
    [](gpiod2::RequestConfig* c, const char* consumer) { Fake2(c).consumer = consumer; },
    [](gpiod2::Chip*, gpiod2::RequestConfig* r, gpiod2::LineConfig* c) -> gpiod2::LineRequest* {
      if (++gGpio->requests == gGpio->requestFailAt) return errno = gGpio->requestErrno, nullptr;
      FakeGpiod2Object* request = NewFake2();
      *request = Fake2(c);
      const bool output = !request->levels.empty() && request->levels[0] >= 0;
      gGpio->Take(request->lines, Fake2(r).consumer.c_str(), output ? request->levels.data() : nullptr);
      return reinterpret_cast<gpiod2::LineRequest*>(request);
    },
    [](gpiod2::LineRequest* r) {
      gGpio->Drop(Fake2(r).lines);
      FreeFake2(r);
    },
    [](gpiod2::LineRequest* r, const gpiod2::Value* values) {
      if (++gGpio->sets == gGpio->failSetAt) return errno = EIO, -1;
      std::vector<int> levels;
      for (std::size_t i = 0; i < Fake2(r).lines.size(); ++i) levels.push_back(static_cast<int>(values[i]));
      return gGpio->SetAll(Fake2(r).lines, levels.data()), 0;
    },
    [](gpiod2::LineRequest* r, gpiod2::Value* values) {
      if (++gGpio->gets == gGpio->failGetAt) return errno = EIO, -1;
      const std::uint8_t pins = BenchPins(gGpio->bench);
      for (std::size_t i = 0; i < Fake2(r).lines.size(); ++i)
        values[i] =
            ((pins >> Fake2(r).lines[i]->pin) & 1) != 0 ? gpiod2::Value::Active : gpiod2::Value::Inactive;
      return 0;
    },
};

// Loaders that find only one of the libraries, and the fake's chips.
inline bool FakeGpiodLoader(GpioLibrary& library, std::string&) {
  return library = {nullptr, &kFakeGpiod}, true;
}
inline bool FakeGpiod2Loader(GpioLibrary& library, std::string&) {
  return library = {&kFakeGpiod2, nullptr}, true;
}
inline std::vector<std::string> FakeGpioChips() {
  std::vector<std::string> paths;
  for (std::size_t i = 0; i < gGpio->labels.size(); ++i) paths.push_back("/dev/gpiochip" + std::to_string(i));
  return paths;
}

// Offsets and names mixed, in no particular order.
inline constexpr const char* kGpioWiring = "gpio:gpiochip0:17,GPIO18,27,22,GPIO23,24,25,4";

// An FTDI back-end on `fake`, which must outlive it.
inline std::unique_ptr<FtdiPortBackend> MakeFakeFtdiPort(FakeFtdi& fake, std::string descriptor = {}) {
  gFtdi = &fake;
  return std::make_unique<FtdiPortBackend>(std::move(descriptor), &FakeFtdiLoader);
}

// A GPIO back-end on `fake`, which must outlive it, with the lines wired to
// the adapter pins as `wiring` names them.
inline std::unique_ptr<GpioPortBackend> MakeFakeGpioPort(FakeGpiod& fake, const char* wiring = kGpioWiring,
                                                         int libgpiod = 1) {
  gGpio = &fake;
  GpioChoice choice;
  PortError error;
  EXPECT_TRUE(ParseGpioChoice(wiring, choice, error)) << error.reason;
  for (int pin = 0; pin < 8; ++pin) {
    const std::string& wired = choice.lines[static_cast<std::size_t>(pin)];
    for (auto& l : fake.lines) {
      if (l.name == wired || std::to_string(l.offset) == wired) l.pin = pin;
    }
  }
  return std::make_unique<GpioPortBackend>(choice, libgpiod == 2 ? &FakeGpiod2Loader : &FakeGpiodLoader,
                                           &FakeGpioChips);
}

}  // namespace tarvel::testing

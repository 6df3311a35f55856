// One lifecycle for every port back-end, each built on its own seam: open,
// write, read, flush and close twice over; stray registers; a refused open;
// a failure in the middle of a session. Where a back-end legitimately
// differs, its seam says so (the adapters carry no D3/D4, the in-memory
// recorder keeps stray accesses for the suites to see).
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>

#include "PortSeams.h"
#include "RecordingPort.h"
#include "TestSupport.h"
#include "device/ControlPPORT.h"
#include "ports/PortSelect.h"
#include "ports/SimPortBackend.h"
#include "sim/BenchStateFile.h"

namespace tarvel {
namespace {

namespace fs = std::filesystem;
using namespace tarvel::testing;

enum class Step { Write, Read, Close };

// After these bytes the RX4410 drives bit 5 of the status register with the
// top bit of a code of 63.
constexpr std::uint8_t kAskForABit[] = {0x81, 0x85, 0x80, 0x84, 0x80, 0x84};
constexpr std::uint8_t kStatusWithABit = 0x20;

BenchState HoldingCodes63() {
  BenchState s;
  s.data = 0x81;
  s.rx4410 = {63, 63};
  return s;
}

std::size_t OpenFileDescriptors() {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
}

// Each seam builds its back-end and tells what reached the pins (Lines),
// refuses the next open, breaks an open session, and whether everything the
// back-end took has been given back. A parallel port drives all eight data
// lines and refuses any register but data and status.
struct ParallelPortSeam {
  static constexpr std::uint8_t kDataLines = 0xFF;
  static constexpr bool kChecksRegisters = true;
};

struct SimSeam : ParallelPortSeam {
  static constexpr Step kFailsAt = Step::Close;  // the bench's accesses cannot fail; saving can
  fs::path dir = FreshTempDir("lifecycle");
  std::string path = (dir / "bench.state").string();
  std::size_t fds = 0;
  SimPortBackend* sim = nullptr;
  SimSeam() {
    std::ofstream(path) << FormatBenchState(HoldingCodes63());
    fds = OpenFileDescriptors();
  }
  ~SimSeam() { fs::remove_all(dir); }
  std::unique_ptr<PortBackend> Make() {
    auto port = std::make_unique<SimPortBackend>(path);
    sim = port.get();
    return port;
  }
  std::uint8_t Lines() const { return sim->bench().state().data; }
  void RefuseOpen() { fs::remove(path), fs::create_directory(path); }
  void Break() { fs::remove_all(dir); }
  // The lock is dropped: another open file takes it at once. The lock file
  // and the state file may stay open for the next command, nothing more.
  bool Released() const {
    const int fd = ::open((path + ".lock").c_str(), O_RDWR | O_CLOEXEC);
    const bool free = fd < 0 ? errno == ENOENT : ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (fd >= 0) ::close(fd);
    return free && OpenFileDescriptors() <= fds + 2;
  }
};

struct PpdevSeam : ParallelPortSeam {
  static constexpr Step kFailsAt = Step::Write;
  std::shared_ptr<SysLog> log = std::make_shared<SysLog>();  // the status register reads 0x20
  std::unique_ptr<PortBackend> Make() {
    return std::make_unique<PpdevPortBackend>(std::make_unique<RecordingPpdev>(log), "/dev/parport0");
  }
  std::uint8_t Lines() const { return log->data; }
  void RefuseOpen() { log->openErrno["/dev/parport0"] = EACCES; }
  void Break() { log->failWdataAt = log->wdata; }
  bool Released() const { return log->openFds == 0 && log->claims == log->releases && log->timers == 0; }
};

struct DirectSeam : ParallelPortSeam {
  static constexpr Step kFailsAt = Step::Close;  // outb cannot fail; giving the permission back can
  std::shared_ptr<DirectLog> log = std::make_shared<DirectLog>();  // the status register reads 0x20
  std::unique_ptr<PortBackend> Make() {
    return std::make_unique<DirectPortBackend>(std::make_unique<FakeDirectIo>(log));
  }
  std::uint8_t Lines() const { return log->data; }
  void RefuseOpen() { log->iopermErrno = EPERM; }
  void Break() { log->iopermOffErrno = EINVAL; }
  bool Released() const {  // every permission granted is asked back
    const auto on = std::count(log->calls.begin(), log->calls.end(), "ioperm 888 3 1");
    return (log->iopermErrno != 0 ? 0 : on) ==
           std::count(log->calls.begin(), log->calls.end(), "ioperm 888 3 0");
  }
};

struct FtdiSeam : ParallelPortSeam {
  static constexpr std::uint8_t kDataLines = kAdapterOutputPins;  // D3 and D4 are inputs
  static constexpr Step kFailsAt = Step::Read;  // writes are kept until a read needs the pins
  FakeFtdi fake;
  FtdiSeam() { fake.bench.SetState(HoldingCodes63()); }
  std::unique_ptr<PortBackend> Make() { return MakeFakeFtdiPort(fake); }
  std::uint8_t Lines() const { return fake.bench.state().data; }
  void RefuseOpen() { fake.openRc = -3; }
  void Break() { fake.failWriteAt = fake.writes + 1; }
  bool Released() const { return fake.closes == fake.opens && fake.frees == fake.contexts; }
};

struct GpioSeam : ParallelPortSeam {
  static constexpr std::uint8_t kDataLines = kAdapterOutputPins;  // D3 and D4 are inputs
  static constexpr Step kFailsAt = Step::Write;
  FakeGpiod fake;
  GpioSeam() { fake.bench.SetState(HoldingCodes63()); }
  std::unique_ptr<PortBackend> Make() { return MakeFakeGpioPort(fake); }
  std::uint8_t Lines() const { return fake.bench.state().data; }
  void RefuseOpen() { fake.openErrno = EACCES; }
  void Break() { fake.failSetAt = fake.sets + 1; }
  bool Released() const { return fake.held == 0 && fake.closes == fake.opens; }
};

struct RecordingSeam : ParallelPortSeam {
  static constexpr bool kChecksRegisters = false;  // keeps every access, stray ones too
  static constexpr Step kFailsAt = Step::Write;
  std::shared_ptr<PortLog> log = std::make_shared<PortLog>();
  RecordingSeam() { log->statusScript.assign(16, kStatusWithABit); }
  std::unique_ptr<PortBackend> Make() { return std::make_unique<RecordingPort>(log); }
  std::uint8_t Lines() const { return log->Writes().empty() ? 0 : log->Writes().back(); }
  void RefuseOpen() { log->failOpen = 1; }
  void Break() { log->failAtAccess = static_cast<long>(log->accesses.size()); }
  bool Released() const { return log->opens == log->closes; }
};

template <typename Seam>
class Lifecycle : public ::testing::Test {
 protected:
  static constexpr std::int32_t kBase = kLpt1Address;
  Seam seam;
  std::unique_ptr<PortBackend> backend = seam.Make();
  PortError lastError;
};
using Seams = ::testing::Types<SimSeam, PpdevSeam, DirectSeam, FtdiSeam, GpioSeam, RecordingSeam>;
TYPED_TEST_SUITE(Lifecycle, Seams);

TYPED_TEST(Lifecycle, EachSessionWritesReadsFlushesAndGivesEverythingBack) {
  auto& port = this->backend;
  for (int session = 1; session <= 2; ++session) {
    SCOPED_TRACE(session);
    PortError& error = this->lastError;
    ASSERT_TRUE(port->Open(this->kBase, error)) << error.reason;
    for (const std::uint8_t b : kAskForABit) ASSERT_TRUE(port->Write(this->kBase, b, error)) << error.reason;
    std::uint8_t status = 0;
    ASSERT_TRUE(port->Read(this->kBase + 1, status, error)) << error.reason;
    EXPECT_EQ(status, kStatusWithABit);
    ASSERT_TRUE(port->Write(this->kBase, 0x5A, error)) << error.reason;
    ASSERT_TRUE(port->Flush(error)) << error.reason;
    EXPECT_EQ(this->seam.Lines(), 0x5A & TypeParam::kDataLines) << "on the pins once flushed";
    ASSERT_TRUE(port->Close(error)) << error.reason;
    EXPECT_TRUE(this->seam.Released());
  }
}

TYPED_TEST(Lifecycle, OnlyTheDataAndStatusRegistersOfAnOpenPortAreReached) {
  enum Phase { BeforeOpen, Open, AfterClose };
  struct Stray {
    const char* name;
    Phase phase;
    bool write;
    std::int32_t offset;  // from the base
  };
  const Stray strays[] = {
      {"write before open", BeforeOpen, true, 0},      {"read before open", BeforeOpen, false, 1},
      {"write to the status register", Open, true, 1}, {"write to the control register", Open, true, 2},
      {"write below the base", Open, true, -1},        {"read the data register", Open, false, 0},
      {"read the control register", Open, false, 2},   {"write after close", AfterClose, true, 0},
      {"read after close", AfterClose, false, 1},
  };
  for (const Stray& s : strays) {
    SCOPED_TRACE(s.name);
    auto port = this->seam.Make();
    PortError error;
    if (s.phase != BeforeOpen) {
      ASSERT_TRUE(port->Open(this->kBase, error) && port->Write(this->kBase, 0x81, error) &&
                  port->Flush(error))
          << error.reason;
    }
    ASSERT_TRUE(s.phase != AfterClose || port->Close(error)) << error.reason;
    const std::uint8_t lines = this->seam.Lines();
    std::uint8_t value = 0x24;
    const std::int32_t address = this->kBase + s.offset;
    const bool done = s.write ? port->Write(address, value, error) : port->Read(address, value, error);
    if constexpr (TypeParam::kChecksRegisters) {
      EXPECT_FALSE(done);
      EXPECT_TRUE(s.phase == BeforeOpen || !error.target.empty()) << "names the port it was used as";
      EXPECT_NE(error.reason.find(s.write ? "write" : "read"), std::string::npos) << error.reason;
    } else {
      ASSERT_TRUE(done);
      EXPECT_EQ(this->seam.log->accesses.back(), (Access{!s.write, address, value})) << "kept for the suite";
    }
    if (s.phase == Open) port->Close(error);
    if constexpr (TypeParam::kChecksRegisters) {
      EXPECT_EQ(this->seam.Lines(), lines) << "nothing reached the pins";
    }
    EXPECT_TRUE(this->seam.Released());
  }
}

TYPED_TEST(Lifecycle, ARefusedOpenSaysWhyAndWhatToDoAndHoldsNothing) {
  this->seam.RefuseOpen();
  PortError& error = this->lastError;
  EXPECT_FALSE(this->backend->Open(this->kBase, error));
  EXPECT_FALSE(error.target.empty());
  EXPECT_FALSE(error.reason.empty());
  EXPECT_FALSE(error.remedy.empty());
  EXPECT_TRUE(this->seam.Released());
}

TYPED_TEST(Lifecycle, AFailureInTheSessionIsReportedAndTheCloseStillGivesEverythingBack) {
  auto& port = this->backend;
  PortError& error = this->lastError;
  ASSERT_TRUE(port->Open(this->kBase, error)) << error.reason;
  this->seam.Break();
  Step at = Step::Write;
  bool ok = port->Write(this->kBase, 0x81, error);
  std::uint8_t status = 0;
  if (ok) at = Step::Read, ok = port->Read(this->kBase + 1, status, error);
  PortError closeError;
  const bool closed = port->Close(closeError);
  if (ok) at = Step::Close, ok = closed;
  EXPECT_FALSE(ok) << "the failure is reported";
  EXPECT_EQ(at, TypeParam::kFailsAt);
  const PortError& e = at == Step::Close ? closeError : error;
  EXPECT_FALSE(e.target.empty());
  EXPECT_FALSE(e.reason.empty());
  EXPECT_TRUE(this->seam.Released());
}

}  // namespace
}  // namespace tarvel

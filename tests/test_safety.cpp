// Files, paths and signals end to end: the real program against planted
// links, FIFOs, busy locks, damaged state and signals in a temporary folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "ProgramRunner.h"
#include "TestSupport.h"
#include "sim/BenchStateFile.h"
#include "sim/SimBench.h"

namespace tarvel {
namespace {

namespace fs = std::filesystem;
using testing::RunProgram;
using testing::RunResult;
using testing::Slurp;

class Safety : public ::testing::Test {
 public:  // the case tables plant files through these
  void SetUp() override {
    dir = testing::FreshTempDir("safety");
    work = dir / "work";
    fs::create_directories(work);
    state = (dir / "b.state").string();
    env = {{"PATH", "/usr/bin:/bin"}, {"HOME", dir.string()}, {"TARVEL_PORT", "sim:" + state}};
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
      if (const char* v = std::getenv(name)) env[name] = v;
    }
    std::ofstream(dir / "victim") << "precious";
  }
  void TearDown() override { fs::remove_all(dir); }
  RunResult Run(const std::vector<std::string>& args = {"RX4410", "1", "2"},
                const std::function<bool()>& sigtermWhen = {}, const std::string& program = TARVEL_PROGRAM) {
    RunResult r = RunProgram(program, args, work.string(), env, 8000, sigtermWhen);
    EXPECT_FALSE(r.timedOut) << "never a hang";
    return r;
  }
  // Names in `folder` other than the expected ones (left-over temporaries).
  std::vector<std::string> Strays(const fs::path& folder, const std::vector<std::string>& expected) {
    std::vector<std::string> strays;
    for (const auto& e : fs::directory_iterator(folder)) {
      const std::string n = e.path().filename().string();
      if (std::find(expected.begin(), expected.end(), n) == expected.end()) strays.push_back(n);
    }
    return strays;
  }

  fs::path dir, work;
  std::string state;
  std::map<std::string, std::string> env;
};

struct PathCase {
  const char* name;
  std::function<void(Safety&)> plant;
  int status;
  const char* mustSay;  // in standard error; "" for nothing in particular
  std::vector<std::string> args = {"RX4410", "1", "2"};
};

TEST_F(Safety, PlantedLinksAndUnwritablePathsAreNeverWrittenThroughAndSayWhy) {
  const PathCase cases[] = {
      {"link at the old state side file",
       [](Safety& t) { fs::create_symlink(t.dir / "victim", t.state + ".tmp"); }, 0, ""},
      {"link at the old trace side file",
       [](Safety& t) {
         t.env["TARVEL_TRACE"] = (t.dir / "t.vcd").string();
         fs::create_symlink(t.dir / "victim", t.dir / "t.vcd.tmp");
       },
       0, ""},
      {"link as the lock file", [](Safety& t) { fs::create_symlink(t.dir / "victim", t.state + ".lock"); },
       69, "is a symbolic link"},
      {"FIFO as the lock file", [](Safety& t) { ::mkfifo((t.state + ".lock").c_str(), 0600); }, 69,
       "not a regular file owned by you"},
      {"FIFO as the bench state", [](Safety& t) { ::mkfifo(t.state.c_str(), 0600); }, 69,
       "is not a regular file"},
      {"folder as the bench state", [](Safety& t) { fs::create_directory(t.state); }, 69,
       "is not a regular file"},
      {"state in a folder that does not exist",
       [](Safety& t) { t.env["TARVEL_PORT"] = "sim:" + (t.dir / "new" / "sub" / "b.state").string(); }, 69,
       "No such file or directory"},
      {"trace path is a folder", [](Safety& t) { t.env["TARVEL_TRACE"] = t.dir.string(); }, 74,
       "cannot write the port trace to "},
      {"trace folder missing", [](Safety& t) { t.env["TARVEL_TRACE"] = (t.dir / "no" / "t.vcd").string(); },
       74, "t.vcd: No such file or directory"},
      {"FIFO trace without a reader",
       [](Safety& t) {
         ::mkfifo((t.dir / "t.fifo").c_str(), 0600);
         t.env["TARVEL_TRACE"] = (t.dir / "t.fifo").string();
       },
       74, "no process reads the FIFO"},
      {"result file is a folder",
       [](Safety& t) { fs::create_directories(t.work / "TRVOutput.dat" / "x"); },
       73,
       "TRVOutput.dat: Is a directory",
       {"RX4410R"}},
      {"run that never reaches the port, trace on an existing file",
       [](Safety& t) {
         t.env["TARVEL_TRACE"] = (t.dir / "victim").string();
         t.env["TARVEL_PORT"] = "bogus";
       },
       69, "TARVEL_PORT"},
  };
  for (const auto& c : cases) {
    SetUp();
    c.plant(*this);
    const RunResult r = Run(c.args);
    EXPECT_EQ(r.status, c.status) << c.name << ": " << r.err;
    EXPECT_NE(r.err.find(c.mustSay), std::string::npos) << c.name << ": " << r.err;
    EXPECT_EQ(Slurp(dir / "victim"), "precious") << c.name;
    EXPECT_FALSE(fs::exists(dir / "new")) << c.name << ": no folders outside the user's state folder";
    TearDown();
  }
}

TEST_F(Safety, ALinkedStateIsFollowedAndKeepsItsMode) {
  const fs::path real = dir / "real.state";
  std::ofstream(real) << FormatBenchState(BenchState{});
  fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  fs::create_symlink(real, state);
  ASSERT_EQ(Run({"RX4410", "5", "6"}).status, 0);
  EXPECT_TRUE(fs::is_symlink(state)) << "the link stays a link";
  EXPECT_EQ(ParseBenchState(testing::Slurp(real.string()))->rx4410, (std::array<int, 2>{5, 6}));
  EXPECT_EQ(fs::status(real).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST_F(Safety, ATraceToAFifoOrStandardOutputIsStreamedToIt) {
  const fs::path fifo = dir / "trace.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  env["TARVEL_TRACE"] = fifo.string();
  EXPECT_EQ(Run().status, 0);
  char buffer[65536];
  const ssize_t n = ::read(reader, buffer, sizeof buffer);
  ::close(reader);
  ASSERT_GT(n, 0);
  const std::string text(buffer, static_cast<std::size_t>(n));
  EXPECT_NE(text.find("$enddefinitions"), std::string::npos);
  EXPECT_NE(text.find("\n#44\n"), std::string::npos);
  EXPECT_TRUE(fs::is_fifo(fifo)) << "not replaced by a regular file";
  env["TARVEL_TRACE"] = "/dev/stdout";
  const RunResult r = Run();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\n#44\n"), std::string::npos) << r.out;
}

TEST_F(Safety, RunsSharingATraceEachWriteItWhole) {
  env["TARVEL_TRACE"] = (dir / "shared.vcd").string();
  std::vector<std::thread> runs;
  std::vector<int> statuses(6, -1);
  for (std::size_t i = 0; i < statuses.size(); ++i) {
    runs.emplace_back([this, i, &statuses] {
      statuses[i] = RunProgram(TARVEL_PROGRAM, {"RX4410", "1", "2"}, work.string(), env, 8000).status;
    });
  }
  for (auto& t : runs) t.join();
  for (int s : statuses) EXPECT_EQ(s, 0);
  const std::string vcd = Slurp(dir / "shared.vcd");
  EXPECT_EQ(vcd.rfind("$version", 0), 0u);
  EXPECT_EQ(vcd.substr(vcd.size() - 4), "#44\n");
  EXPECT_EQ(vcd.find("$version", 1), std::string::npos) << "one trace, not two run together";
  EXPECT_EQ(Strays(dir, {"work", "victim", "b.state", "b.state.lock", "shared.vcd"}),
            std::vector<std::string>{});
}

TEST_F(Safety, SetIdProgramsAreRefused) {
  // A set-group-ID copy for a group this process is not running as.
  const fs::path copy =
      fs::path(TARVEL_PROGRAM).parent_path() / ("tarvel-setgid-" + std::to_string(::getpid()));
  struct statvfs vfs {};
  ::statvfs(copy.parent_path().c_str(), &vfs);
  gid_t other = ::getuid() == 0 ? 65534 : 0;
  if (::getuid() != 0) {
    gid_t groups[64];
    const int n = ::getgroups(64, groups);
    for (int i = 0; i < n && other == 0; ++i) other = groups[i] != ::getgid() ? groups[i] : 0;
  }
  if ((vfs.f_flag & ST_NOSUID) || other == 0) GTEST_SKIP() << "no way to make a set-group-ID program here";
#if TARVEL_TEST_EMULATED
  // A cross-built program is started through binfmt_misc, whose QEMU entry
  // (as Debian's qemu-user-static registers it) runs it with the emulator's
  // credentials: the set-group-ID bit never takes effect.
  GTEST_SKIP() << "set-ID bits do not take effect for programs the user-mode emulator runs";
#endif
  fs::copy_file(TARVEL_PROGRAM, copy, fs::copy_options::overwrite_existing);
  ASSERT_EQ(::chown(copy.c_str(), static_cast<uid_t>(-1), other), 0);
  ASSERT_EQ(::chmod(copy.c_str(), 02755), 0);
  const RunResult r = Run({"RX4410", "1", "2"}, {}, copy.string());
  fs::remove(copy);
  EXPECT_EQ(r.status, 77);
  EXPECT_NE(r.err.find("ppdev"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("'lp' group"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(state)) << "nothing touched";
}

TEST_F(Safety, ABusyBenchIsGivenUpNamingItsHolder) {
  const int fd = ::open((state + ".lock").c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  const RunResult r = Run();
  ::close(fd);
  EXPECT_EQ(r.status, 69);
  EXPECT_NE(r.err.find("Error: Port Not Available"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("process " + std::to_string(::getpid())), std::string::npos) << r.err;
}

TEST_F(Safety, DamagedStateIsKeptAndAFreshBenchSaysSo) {
  struct Case {
    const char* text;  // nullptr: no state file
    std::vector<std::string> args;
    const char* mustSay;
    std::uint64_t rxLatches;  // first channel afterwards
  };
  const std::string top = "18446744073709551615";
  const std::string saturated = "tarvel-bench-state 1\ndata 0\nrx4410 1 2\ntqm7731 0 0\nrx4410-latches " +
                                top + " 0\ntqm7731-latches 0\nprotocol-errors 0\n";
  const Case cases[] = {
      {"garbage", {"RX4410", "1", "2"}, ".damaged and started a fresh bench", 1},
      {nullptr, {"RX4410R"}, "freshly reset, so its chips read back 0", 0},
      {saturated.c_str(), {"RX4410", "1", "2"}, "", UINT64_MAX},
  };
  for (const auto& c : cases) {
    SetUp();
    if (c.text) std::ofstream(state) << c.text;
    const RunResult r = Run(c.args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find(c.mustSay), std::string::npos) << r.err;
    if (c.text && std::string(c.text) == "garbage") {
      EXPECT_EQ(Slurp(state + ".damaged"), "garbage");
    }
    EXPECT_EQ(ParseBenchState(testing::Slurp(state))->rx4410Latches[0], c.rxLatches) << r.err;
    TearDown();
  }
}

TEST_F(Safety, ASignalLetsTheCommandEndCleanlyWithItsTrace) {
  env["TARVEL_TRACE"] = (dir / "t.vcd").string();
  env["TARVEL_PORT_DELAY_NS"] = "10000000";  // 54 accesses: about half a second
  // SIGTERM once the bench is open, i.e. in the middle of the sequence.
  const RunResult r = Run({"RX4410R"}, [this] { return fs::exists(state + ".lock"); });
  EXPECT_EQ(r.signal, SIGTERM) << r.err;
  const std::string vcd = Slurp(dir / "t.vcd");
  EXPECT_EQ(vcd.rfind("$version", 0), 0u) << "the trace is written";
  EXPECT_EQ(vcd.substr(vcd.size() - 4), "#54\n") << "the command ran to its end";
  EXPECT_TRUE(ParseBenchState(testing::Slurp(state)).has_value()) << "the bench is saved";
  EXPECT_EQ(Strays(dir, {"work", "victim", "b.state", "b.state.lock", "t.vcd"}), std::vector<std::string>{});
  EXPECT_EQ(Strays(work, {"TRVOutput.dat"}), std::vector<std::string>{});
}

// A killed run's temporaries of the result file, the trace and the log are
// removed by the next run that writes them; only those names, only when
// older than a minute.
TEST_F(Safety, StaleTemporariesOfEveryResultAreRemoved) {
  const struct {
    const char* name;
    bool old, removed;
  } cases[] = {
      {".TRVOutput.aB3dE9", true, true},  {".TRVOutput.fresh1", false, false},
      {".t.vcd.aB3dE9", true, true},      {".log.csv.aB3dE9", true, true},
      {".log.csv.fresh1", false, false},  {".log.csv.aB3dE9x", true, false},
      {".other.csv.aB3dE9", true, false},
  };
  const auto old = fs::file_time_type::clock::now() - std::chrono::minutes(2);
  for (const auto& c : cases) {
    std::ofstream(work / c.name) << "left";
    if (c.old) fs::last_write_time(work / c.name, old);
  }
  env["TARVEL_TRACE"] = (work / "t.vcd").string();
  const RunResult r =
      Run({"--sweep", "RX4410", "--from", "1", "--to", "1", "--dwell", "0.1", "--log", "log.csv"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Run({"RX4410R"}).status, 0);
  for (const auto& c : cases) EXPECT_EQ(fs::exists(work / c.name), !c.removed) << c.name;
}

}  // namespace
}  // namespace tarvel

// `tarvel --serve` end to end: the real program on a free loopback port, the
// simulated bench in a state file, clients over TCP.
#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>
#include <thread>

#include "ProgramRunner.h"
#include "TestSupport.h"
#include "app/Announce.h"
#include "core/Version.h"
#include "sim/BenchStateFile.h"
#include "sim/SimBench.h"

namespace tarvel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// One TCP connection; Line() waits at most five seconds for an answer.
class Client {
 public:
  explicit Client(int port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  }
  ~Client() { ::close(fd_); }
  void Send(const std::string& text) {
    ASSERT_EQ(::send(fd_, text.data(), text.size(), MSG_NOSIGNAL), ssize_t(text.size()));
  }
  std::string Line() {
    for (;;) {
      const std::size_t nl = buffer_.find('\n');
      if (nl != std::string::npos) {
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return line;
      }
      pollfd p{fd_, POLLIN, 0};
      char chunk[4096];
      if (::poll(&p, 1, 5000) != 1) return "<timeout>";
      const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) return "<closed>";
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }
  std::string Ask(const std::string& text) { return Send(text), Line(); }
  // True when an answer (or the end) is there to read now.
  bool Answered() {
    pollfd p{fd_, POLLIN, 0};
    return !buffer_.empty() || ::poll(&p, 1, 0) == 1;
  }

 private:
  int fd_;
  std::string buffer_;
};

class Serve : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = testing::FreshTempDir("serve");
    statePath = (dir / "bench.state").string();
    Start();
  }
  // Starts the server; its saved states are in dir/tarvel.
  void Start() {
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    // The server refuses root: a test run as root serves as "nobody".
    if (::geteuid() == 0) fs::permissions(dir, fs::perms::all);
    const std::string choice = "TARVEL_PORT=sim:" + statePath;
    const std::string stateHome = "XDG_STATE_HOME=" + dir.string();
    const std::string errPath = (dir / "serve.err").string();
    pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::dup2(out[1], 1);
      ::close(out[0]);
      if (isolated) {
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (err < 0 || ::dup2(err, 2) < 0 || ::close_range(3, ~0U, 0) != 0) ::_exit(126);
      }
      const rlimit files{fileLimit, fileLimit};
      if (fileLimit > 0 && ::setrlimit(RLIMIT_NOFILE, &files) != 0) ::_exit(126);
      if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
                               ::setresuid(65534, 65534, 65534) != 0)) {
        ::_exit(126);
      }
      ::putenv(const_cast<char*>(choice.c_str()));
      ::putenv(const_cast<char*>(stateHome.c_str()));
      ::unsetenv("STATE_DIRECTORY");
      std::vector<const char*> args{TARVEL_PROGRAM, "--serve", "--listen", "127.0.0.1:0"};
      for (const std::string& a : serveArgs) args.push_back(a.c_str());
      args.push_back(nullptr);
      ::execv(TARVEL_PROGRAM, const_cast<char* const*>(args.data()));
      ::_exit(127);
    }
    ::close(out[1]);
    std::string line;
    char c;
    pollfd p{out[0], POLLIN, 0};
    while (::poll(&p, 1, 10000) == 1 && ::read(out[0], &c, 1) == 1 && c != '\n') line += c;
    ::close(out[0]);
    ASSERT_EQ(line.rfind("listening on 127.0.0.1:", 0), 0u) << line;
    port = std::stoi(line.substr(line.rfind(':') + 1));
  }
  void TearDown() override {
    Stop();
    fs::remove_all(dir);
  }
  void Stop() {
    if (pid > 0) {
      ::kill(pid, SIGTERM);
      int status = -1;
      ::waitpid(pid, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }
    pid = -1;
  }
  BenchState Bench() { return ParseBenchState(testing::Slurp(statePath)).value_or(BenchState{}); }

  fs::path dir;
  std::string statePath;
  std::vector<std::string> serveArgs;  // after --serve --listen 127.0.0.1:0
  bool isolated = false;               // standard error to dir/serve.err, no inherited descriptors
  rlim_t fileLimit = 0;                // RLIMIT_NOFILE for the server, when not 0
  pid_t pid = -1;
  int port = 0;
};

class ServeOutOfDescriptors : public Serve {
 protected:
  void SetUp() override {
    isolated = true;
    fileLimit = 12;  // a few clients beside the server's own descriptors
    Serve::SetUp();
  }
  int Descriptors() {
    const fs::path fds = "/proc/" + std::to_string(pid) + "/fd";
    return static_cast<int>(std::distance(fs::directory_iterator(fds), fs::directory_iterator()));
  }
  // Waits half a second at most for the server to hold `count` descriptors.
  bool DescriptorsReach(int count) {
    for (int i = 0; i < 50 && Descriptors() < count; ++i) std::this_thread::sleep_for(10ms);
    return Descriptors() >= count;
  }
  // Clock ticks of processor time the server has used (utime + stime).
  long CpuTicks() {
    const std::string stat = testing::Slurp("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string skipped;
    for (int field = 3; field < 14; ++field) fields >> skipped;
    long user = 0, system = 0;
    fields >> user >> system;
    return user + system;
  }
};

TEST_F(Serve, AnswersEachLineAndSurvivesBadInput) {
  const struct {
    std::string send, answer;
  } exchanges[] = {
      {"*IDN?\r\n", std::string("Tarvel Control Software,Tarvel Control,0,") + kVersion},
      {"CODE 12,34;CODE?\n", "12,34"},
      {"chan1:code 7;CHANNEL1:CODE?\n", "7"},
      {"READ?\n", "12,34"},
      {"PORT?\n", "\"sim:" + statePath + "\""},
      {std::string(5000, 'A') + "\nSYST:ERR?\n", "-223,\"Too much data\""},
      {std::string(9000, ';') + "*OPC?\n" + "SYST:ERR?\n", "-223,\"Too much data\""},
      {std::string("\x01\xff\x00 junk\n", 9) + "SYST:ERR?\n", "-113,\"Undefined header\""},
      {"CODE 99,1\nSYST:ERR?\n", "-222,\"Data out of range\""},
      {"*OPC?\n", "1"},
  };
  Client client(port);
  for (const auto& e : exchanges) EXPECT_EQ(client.Ask(e.send), e.answer) << e.send.substr(0, 40);
  EXPECT_EQ(Bench().rx4410, (std::array<int, 2>{12, 34}));
}

TEST_F(Serve, EightClientsNeverInterleaveSequences) {
  constexpr int kPerClient = 40;
  std::vector<std::thread> threads;
  threads.reserve(8);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([this, t] {
      Client client(port);
      for (int i = 0; i < kPerClient; ++i) {
        EXPECT_EQ(client.Ask("CODE " + std::to_string(t) + "," + std::to_string(i) + ";*OPC?\n"), "1");
      }
    });
  }
  for (auto& th : threads) th.join();
  const BenchState s = Bench();
  EXPECT_EQ(s.protocolErrors, 0u);
  EXPECT_EQ(s.rx4410Latches,
            (std::array<std::uint64_t, 2>{std::uint64_t{8} * kPerClient, std::uint64_t{8} * kPerClient}));
  Client ninth(port);
  EXPECT_EQ(ninth.Ask("*OPC?\n"), "1") << "slots free again once clients leave";
}

// A client that sends `CODE i,i;*OPC?` every 100 ms on a thread of its own
// until stopped; every answer must be "1".
class Sweeper {
 public:
  explicit Sweeper(int port)
      : thread_([this, port] {
          Client client(port);
          for (int i = 0; !stop_; ++i) {
            char command[32];
            std::snprintf(command, sizeof command, "CODE %d,%d;*OPC?\n", i % 64, i % 64);
            if (client.Ask(command) != "1") ++failures_;
            std::this_thread::sleep_for(100ms);
          }
        }) {}
  // Stops it; the number of answers that were not "1".
  int Finish() {
    stop_ = true;
    thread_.join();
    return failures_;
  }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<int> failures_{0};
  std::thread thread_;
};

class ServeIsolated : public Serve {
 protected:
  void SetUp() override {
    isolated = true;
    Serve::SetUp();
  }
};

const std::string kClosedPrefix = "tarvel: closing this connection: ";

TEST_F(ServeIsolated, NewClientTakesTheSlotOfTheLongestIdleNeverOfABusyOne) {
  Sweeper sweeper(port);  // connected first: the oldest connection, never idle
  std::this_thread::sleep_for(200ms);
  std::vector<std::unique_ptr<Client>> idle;
  for (int i = 0; i < 7; ++i) {
    idle.push_back(std::make_unique<Client>(port));
    std::this_thread::sleep_for(20ms);  // connected in this order: idle longest first
  }
  EXPECT_EQ(Client(port).Ask("*OPC?\n"), "<closed>") << "nobody idle long enough yet: refused";
  std::this_thread::sleep_for(3500ms);
  std::vector<std::unique_ptr<Client>> newcomers;
  for (std::size_t i = 0; i < 2; ++i) {
    newcomers.push_back(std::make_unique<Client>(port));
    EXPECT_EQ(newcomers.back()->Ask("*OPC?\n"), "1") << "newcomer " << i;
    const std::string said = idle[i]->Line();
    EXPECT_EQ(said.rfind(kClosedPrefix + "idle for ", 0), 0u) << said;
    EXPECT_NE(said.find(" s while all 8 connections were taken;"), std::string::npos) << said;
    EXPECT_EQ(idle[i]->Line(), "<closed>");
  }
  EXPECT_EQ(idle[2]->Ask("*OPC?\n"), "1") << "the others keep their slots";
  EXPECT_EQ(sweeper.Finish(), 0);
}

class ServeIdleTimeout : public Serve {
 protected:
  void SetUp() override {
    serveArgs = {"--idle-timeout", "1"};
    isolated = true;
    Serve::SetUp();
  }
};

TEST_F(ServeIdleTimeout, ClosesAClientThatSendsNothingAndKeepsOneThatDoes) {
  Sweeper sweeper(port);
  Client quiet(port);
  EXPECT_EQ(quiet.Ask("*OPC?\n"), "1");
  std::this_thread::sleep_for(2500ms);
  EXPECT_EQ(quiet.Line(), kClosedPrefix + "nothing received for 1 s (--idle-timeout)");
  EXPECT_EQ(quiet.Line(), "<closed>");
  EXPECT_EQ(sweeper.Finish(), 0) << "the client sending commands is never closed";
  EXPECT_NE(testing::Slurp(dir / "serve.err").find(": nothing received for 1 s"), std::string::npos);
}

// Another process (here the test) holds the bench's lock: commands wait for
// it in arrival order, each client's lines in order, while queries that only
// read are answered at once (operation status: waiting for the port); after
// 2 s a command gives up as the command line does.
TEST_F(Serve, QueriesAnswerWhileCommandsWaitForTheBenchInOrder) {
  const std::string idn = std::string("Tarvel Control Software,Tarvel Control,0,") + kVersion;
  Client a(port), b(port);
  ASSERT_EQ(a.Ask("CODE 1,1;*OPC?\n"), "1");  // the server made the lock file
  const int lock = ::open((statePath + ".lock").c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_EQ(::flock(lock, LOCK_EX), 0);
  a.Send("CODE 2,3;*OPC?\nCODE?\n");
  std::this_thread::sleep_for(50ms);
  b.Send("CODE 4,5\n*IDN?\n");
  std::this_thread::sleep_for(50ms);
  Client c(port);  // b's lines wait behind b's command
  EXPECT_EQ(c.Ask("*IDN?;CODE?;SYST:ERR?;DEV?;*STB?;STAT:OPER:COND?\n"),
            idn + ";1,1;0,\"No error\";RX4410;16;256");
  EXPECT_FALSE(b.Answered());
  EXPECT_FALSE(a.Answered()) << "still waiting for the bench, not failed";
  ::flock(lock, LOCK_UN);
  EXPECT_EQ(a.Line(), "1");
  EXPECT_EQ(a.Line(), "2,3") << "a's lines in order, before b's command";
  EXPECT_NE(b.Line().find("Tarvel"), std::string::npos);
  EXPECT_EQ(b.Ask("CODE?;SYST:ERR?;STAT:OPER:COND?;STAT:OPER?\n"), "4,5;0,\"No error\";0;256");
  EXPECT_EQ(Bench().rx4410, (std::array<int, 2>{4, 5}));
  EXPECT_EQ(Bench().protocolErrors, 0u);

  ASSERT_EQ(::flock(lock, LOCK_EX), 0);
  EXPECT_EQ(a.Ask("CODE 9,9;*OPC?\n"), "1");
  EXPECT_EQ(a.Ask("SYST:ERR?\n")
                .rfind("-240,\"Hardware error; Cannot use LPT1 (H378) at simulated bench " + statePath +
                           ": the bench stayed busy for 2 seconds",
                       0),
            0u);
  EXPECT_EQ(a.Ask("CODE?\n"), "4,5");
  ::close(lock);
}

// The saved states outlive the server; with recall at power-on, the next
// server sends state 0 before it takes any client (whatever the bench held).
TEST_F(Serve, SavedStatesOutliveTheServerAndStateZeroReturnsAtPowerOn) {
  {
    Client c(port);
    EXPECT_EQ(c.Ask("CODE 12,34;CHAN1:CODE 40;*SAV 0;DEV TQM7731;*SAV 3;MEM:STAT:REC:AUTO ON;*OPC?\n"), "1");
    EXPECT_EQ(c.Ask("CODE 1,1;*RCL 9;SYST:ERR?\n"), "-221,\"Settings conflict; saved state 9 is empty\"");
  }
  Stop();
  ASSERT_EQ(Bench().rx4410, (std::array<int, 2>{12, 34}));
  Start();
  EXPECT_EQ(Bench().rx4410, (std::array<int, 2>{40, 34})) << "sent before the server listens";
  Client c(port);
  EXPECT_EQ(c.Ask("CODE?;MEM:STAT:VAL? 3;VAL? 4;REC:AUTO?;*RCL 3;DEV?;CHAN1:CODE?\n"),
            "40,34;1;0;1;TQM7731;40");
  EXPECT_EQ(c.Ask("MEM:STAT:REC:AUTO OFF;SYST:ERR?\n"), "0,\"No error\"");
  Stop();
  Start();
  EXPECT_EQ(Client(port).Ask("CODE?;MEM:STAT:REC:AUTO?\n"), "-1,-1;0");
}

// `--cal FILE`: the dB commands over the network; a bad table is refused at
// start-up with its file and line, before anything is served.
class ServeCalibrated : public Serve {
 protected:
  void SetUp() override {
    dir = testing::FreshTempDir("serve");
    statePath = (dir / "bench.state").string();
    std::ofstream(dir / "board.csv") << "# tarvel-cal 1\n# device=RX4410\nchannel,code,freq_hz,gain_db\n"
                                     << "1,0,,-12.03\n1,10,,-2\n2,3,,-1\n";
    serveArgs = {"--cal", (dir / "board.csv").string()};
    Start();
  }
};

TEST_F(ServeCalibrated, SetsGainsInDbAndRefusesABadTableAtStartUp) {
  Client c(port);
  EXPECT_EQ(c.Ask("TRAN:AUTO ON;CHAN1:GAIN -2.2 dB;GAIN?;:CAL:STAT?;FREQ?\n"), "-2.000;1;0");
  EXPECT_EQ(Bench().rx4410, (std::array<int, 2>{10, 0}));
  const std::string bad = (dir / "bad.csv").string();
  std::ofstream(bad) << "# tarvel-cal 1\n# device=RX4410\nchannel,code,freq_hz,gain_db\n1,99,,1\n";
  const auto r = testing::RunProgram(TARVEL_PROGRAM, {"--serve", "--listen", "127.0.0.1:0", "--cal", bad},
                                     dir.string(), {{"TARVEL_PORT", "sim:" + statePath}});
  EXPECT_EQ(r.status, 64);
  EXPECT_EQ(r.err.rfind("tarvel: --cal: " + bad + ":4: ", 0), 0u) << r.err;
  EXPECT_EQ(r.out, "");
}

TEST_F(Serve, ClientLeavingMidLineLosesOnlyThatLine) {
  {
    Client leaver(port);
    leaver.Send("CODE 1,1\nCODE 5,");
  }
  Client other(port);
  EXPECT_EQ(other.Ask("CODE?\n"), "1,1");
  EXPECT_EQ(other.Ask("SYST:ERR?\n"), "0,\"No error\"");
}

TEST_F(ServeOutOfDescriptors, BacksOffWhileAcceptFailsAndKeepsServing) {
  const std::string idn = std::string("Tarvel Control Software,Tarvel Control,0,") + kVersion;
  // Clients until the server has no descriptor left for the next one.
  std::vector<std::unique_ptr<Client>> clients;
  for (int held = Descriptors(); clients.size() < 8; ++held) {
    clients.push_back(std::make_unique<Client>(port));
    if (!DescriptorsReach(held + 1)) break;
  }
  ASSERT_GE(clients.size(), 2u) << "no client could be taken at all";
  ASSERT_LT(clients.size(), 8u) << "the descriptors never ran out";
  Client& connected = *clients.front();
  Client& waiting = *clients.back();  // the kernel completed it; accept fails

  const long before = CpuTicks();
  std::this_thread::sleep_for(1200ms);
  EXPECT_LT(CpuTicks() - before, ::sysconf(_SC_CLK_TCK) / 5) << "the server spins on accept";
  EXPECT_EQ(connected.Ask("*IDN?\n"), idn) << "a connected client is still served";

  clients.erase(clients.begin());  // frees a descriptor
  EXPECT_EQ(waiting.Ask("*IDN?\n"), idn) << "taken once a descriptor is free";
  const std::string err = testing::Slurp(dir / "serve.err");
  std::size_t said = 0;
  for (std::size_t at = 0; (at = err.find("Too many open files", at)) != std::string::npos; ++at) ++said;
  EXPECT_EQ(said, 1u) << err;
}

// D-Bus (and so avahi-daemon) aborts the server on a name that is not
// UTF-8: names are checked, and the default is cut at a character boundary.
TEST(Announce, NamesAreUtf8AndTheDefaultIsCutBetweenCharacters) {
  const struct {
    std::string text;
    bool utf8;
  } cases[] = {
      {"Bench 7, RF lab", true}, {"Caf\xc3\xa9", true}, {"\xf0\x9f\x94\xac scope", true},
      {"\xff\xfe bench", false}, {"Caf\xe9", false},    {"\xc0\xaf", false},  // overlong '/'
      {"\xed\xa0\x80", false},   {"\xc3", false},       {"\xf4\x90\x80\x80", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsUtf8(c.text), c.utf8) << c.text;
  std::string host;
  for (int i = 0; i < 30; ++i) host += "\xc3\xa9";  // 60 bytes of two-byte characters
  const std::string name = InstanceNameFor(host + ".lab.example");
  EXPECT_LE(name.size(), kMaxInstanceNameBytes);
  EXPECT_TRUE(IsUtf8(name)) << name;
  EXPECT_EQ(name.size(), 62u) << "\"Tarvel Control on \" and 22 whole characters";
  EXPECT_EQ(InstanceNameFor("benchpi.local"), "Tarvel Control on benchpi");
}

// The web page's listener (--http) beside SCPI's, on a port free just now.
class WebOutOfDescriptors : public ServeOutOfDescriptors {
 protected:
  void SetUp() override {
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&at), size), 0);
    ASSERT_EQ(::getsockname(probe, reinterpret_cast<sockaddr*>(&at), &size), 0);
    ::close(probe);
    webPort = ntohs(at.sin_port);
    serveArgs = {"--http", "127.0.0.1:" + std::to_string(webPort)};
    ServeOutOfDescriptors::SetUp();
  }
  int webPort = 0;
};

TEST_F(WebOutOfDescriptors, TheWebListenerRestsWhileAcceptFails) {
  std::vector<std::unique_ptr<Client>> clients;
  for (int held = Descriptors(); clients.size() < 12; ++held) {
    clients.push_back(std::make_unique<Client>(webPort));
    if (!DescriptorsReach(held + 1)) break;
  }
  ASSERT_LT(clients.size(), 12u) << "the descriptors never ran out";
  const long before = CpuTicks();
  std::this_thread::sleep_for(1200ms);
  EXPECT_LT(CpuTicks() - before, ::sysconf(_SC_CLK_TCK) / 5) << "the server spins on the web listener";
  clients.erase(clients.begin());  // frees a descriptor for SCPI
  Client scpi(port);
  EXPECT_EQ(scpi.Ask("*OPC?\n"), "1");
}

TEST(Options, HelpVersionAndUnknownOptions) {
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out, err;
  } cases[] = {
      {{"--help"}, 0, "tarvel --serve [--listen HOST:PORT]", ""},
      {{"--version"}, 0, std::string("tarvel ") + kVersion + "\n", ""},
      {{"--bogus"}, 64, "", "usage: tarvel"},
      {{"--serve", "--listen", "nowhere"},
       64,
       "",
       "--listen takes HOST:PORT (e.g. 127.0.0.1:5025, 0.0.0.0:5025 or [::1]:5025), not \"nowhere\""},
      {{"--serve", "--listen", "10.0.0.1:99999"}, 64, "", "not \"10.0.0.1:99999\""},
      {{"--serve", "--name", "\xff\xfe bench"}, 64, "", "--name takes UTF-8 text"},
      {{"--serve", "--name", "Caf\xe9 bench"}, 64, "", "--name takes UTF-8 text"},  // Latin-1
      {{"--serve", "--serial", "A,B"}, 64, "", "--serial takes 1 to 64 printable ASCII"},
      {{"--serve", "--port-choice", "LPT9"}, 64, "", "LPT1, LPT2 or PRN"},
      {{"--serve", "--name", std::string(64, 'x')}, 64, "", "a name of at most 63 bytes"},  // one DNS label
      {{"--serve", "--idle-timeout"}, 64, "", "--idle-timeout takes whole seconds"},
      {{"--serve", "--idle-timeout", "-5"}, 64, "", "--idle-timeout takes whole seconds"},
      {{"--serve", "--idle-timeout", "1.5"}, 64, "", "usage: tarvel --serve"},
      {{"--serve", "--idle-timeout", "99999999"}, 64, "", "to 2000000, not \"99999999\""},
  };
  const auto dir = testing::FreshTempDir("options");
  if (::geteuid() == 0) {
    const auto r = testing::RunProgram(TARVEL_PROGRAM, {"--serve", "--listen", "127.0.0.1:0"}, dir.string(),
                                       {{"PATH", "/usr/bin:/bin"}, {"TARVEL_PORT", "sim"}});
    EXPECT_EQ(r.status, 77) << "refuses to serve as root";
  }
  for (const auto& c : cases) {
    const auto r = testing::RunProgram(TARVEL_PROGRAM, c.args, dir.string(), {{"PATH", "/usr/bin:/bin"}});
    EXPECT_EQ(r.status, c.status) << c.args[0];
    EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tarvel

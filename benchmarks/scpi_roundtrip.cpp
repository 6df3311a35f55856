// Code changes per second and round-trip times: `CODE c1,c2;*OPC?` round
// trips to `tarvel --serve` from one client over loopback, and
// `tarvel RX4410 c1 c2` processes, side by side on two ports in one run:
// the simulated bench (one state file) and ppdev through an LD_PRELOAD fake
// of its device and ioctls (benchmarks/fake_ppdev.c: no port is touched). Prints
// median, 99th percentile and rate of each (goal: the server at least 20
// times the command line's rate, its p99 under 1 ms).
//   scpi_roundtrip PATH/TO/tarvel [COUNT [CLI_COUNT]]   (10000 and 1000)
#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// Children run as "nobody" when the benchmark runs as root: the server
// refuses root.
void BecomeOrdinaryUser() {
  if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
                           ::setresuid(65534, 65534, 65534) != 0)) {
    ::_exit(126);
  }
}

struct Figures {
  double medianUs = 0, p99Us = 0, perSecond = 0;
  double cpuUs = -1;  // the server's processor time per command, when known
};

// Processor time a process has used (utime + stime), in seconds.
double CpuSeconds(pid_t pid) {
  std::FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (f == nullptr) return 0;
  char text[1024] = "";
  const std::size_t n = std::fread(text, 1, sizeof text - 1, f);
  std::fclose(f);
  text[n] = '\0';
  const char* p = std::strrchr(text, ')');
  unsigned long user = 0, system = 0;
  if (p == nullptr ||
      std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user, &system) != 2)
    return 0;
  return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

Figures Summarise(std::vector<double> us, double totalSeconds) {
  std::sort(us.begin(), us.end());
  return {us[us.size() / 2], us[std::min(us.size() - 1, us.size() * 99 / 100)],
          static_cast<double>(us.size()) / totalSeconds};
}

// One port setting: TARVEL_PORT and, for the fake, what preloads it.
struct Port {
  const char* name;
  std::string choice;
  bool fakePpdev;
};

void SetPortEnvironment(const Port& port) {
  ::setenv("TARVEL_PORT", port.choice.c_str(), 1);
  if (port.fakePpdev) {
    ::setenv("LD_PRELOAD", FAKE_PPDEV_LIBRARY, 1);
    ::setenv("TARVEL_FAKE_PPDEV", port.choice.c_str(), 1);
  } else {
    ::unsetenv("LD_PRELOAD");
    ::unsetenv("TARVEL_FAKE_PPDEV");
  }
}

bool ReadLine(int fd, std::string& line) {
  line.clear();
  char c;
  while (::read(fd, &c, 1) == 1) {
    if (c == '\n') return true;
    line += c;
  }
  return false;
}

// One line from the socket; false when it ends first.
bool Answer(int fd, std::string& answer) {
  answer.clear();
  char chunk[256];
  while (answer.empty() || answer.back() != '\n') {
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    answer.append(chunk, static_cast<std::size_t>(n));
  }
  answer.pop_back();
  return true;
}

bool Remote(const std::string& program, int count, Figures& figures) {
  int out[2];
  if (::pipe(out) != 0) return false;
  const pid_t server = ::fork();
  if (server == 0) {
    ::dup2(out[1], 1);
    BecomeOrdinaryUser();
    ::execl(program.c_str(), program.c_str(), "--serve", "--listen", "127.0.0.1:0", nullptr);
    ::_exit(127);
  }
  ::close(out[1]);
  std::string line;
  const bool started = ReadLine(out[0], line) && line.rfind("listening on ", 0) == 0;
  ::close(out[0]);
  bool ok = started;
  if (!started) std::fprintf(stderr, "the server did not start: %s\n", line.c_str());
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (ok) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(std::atoi(line.c_str() + line.rfind(':') + 1)));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  std::vector<double> us;
  us.reserve(static_cast<std::size_t>(count));
  const double cpuBefore = CpuSeconds(server);
  const auto start = Clock::now();
  std::string answer;
  for (int i = 0; ok && i < count; ++i) {
    const std::string command =
        "CODE " + std::to_string(i % 64) + "," + std::to_string((i * 7) % 64) + ";*OPC?\n";
    const auto t0 = Clock::now();
    ok = ::send(fd, command.data(), command.size(), 0) == static_cast<ssize_t>(command.size()) &&
         Answer(fd, answer) && answer == "1";
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const double cpu = CpuSeconds(server) - cpuBefore;
  // Every command must have reached the port.
  const std::string check = "SYST:ERR?\n";
  if (ok && (::send(fd, check.data(), check.size(), 0) != static_cast<ssize_t>(check.size()) ||
             !Answer(fd, answer) || answer != "0,\"No error\"")) {
    std::fprintf(stderr, "the server reported: %s\n", answer.c_str());
    ok = false;
  }
  ::close(fd);
  ::kill(server, SIGTERM);
  ::waitpid(server, nullptr, 0);
  if (ok) figures = Summarise(us, seconds), figures.cpuUs = cpu * 1e6 / count;
  return ok;
}

bool CommandLine(const std::string& program, const fs::path& dir, int count, Figures& figures) {
  std::vector<double> us;
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    const std::string c1 = std::to_string(i % 64), c2 = std::to_string((i * 7) % 64);
    const auto t0 = Clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
      BecomeOrdinaryUser();
      if (::chdir(dir.c_str()) != 0) ::_exit(126);
      ::execl(program.c_str(), program.c_str(), "RX4410", c1.c_str(), c2.c_str(), nullptr);
      ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "tarvel RX4410 %s %s failed (status %d)\n", c1.c_str(), c2.c_str(), status);
      return false;
    }
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  figures = Summarise(us, std::chrono::duration<double>(Clock::now() - start).count());
  return true;
}

void Print(const char* port, const char* what, const Figures& f) {
  std::printf("| %s | %s | %.0f us | %.0f us | %.0f |", port, what, f.medianUs, f.p99Us, f.perSecond);
  if (f.cpuUs >= 0) std::printf(" %.0f us |\n", f.cpuUs);
  else std::printf(" |\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: scpi_roundtrip PATH/TO/tarvel [COUNT [CLI_COUNT]]\n");
    return 64;
  }
  const std::string program = fs::absolute(argv[1]).string();  // the command line runs elsewhere
  const int count = argc > 2 ? std::atoi(argv[2]) : 10000;
  const int cliCount = argc > 3 ? std::atoi(argv[3]) : 1000;
  if (count < 1 || cliCount < 1) {
    std::fprintf(stderr, "scpi_roundtrip: COUNT and CLI_COUNT must be at least 1\n");
    return 64;
  }
  const fs::path dir = fs::temp_directory_path() / ("tarvel-scpi-bench-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  fs::permissions(dir, fs::perms::all);
  ::unsetenv("TARVEL_TRACE");
  ::unsetenv("TARVEL_PORT_DELAY_NS");

  const Port ports[] = {
      {"simulated bench", "sim:" + (dir / "bench.state").string(), false},
      {"ppdev (fake ioctls)", "/dev/parport-fake", true},
  };
  std::printf("%d round trips, %d command-line runs per port\n\n", count, cliCount);
  std::printf(
      "| port | what | median | p99 | code changes/s | server CPU per command |\n"
      "|---|---|---|---|---|---|\n");
  int status = 0;
  for (const Port& port : ports) {
    SetPortEnvironment(port);
    Figures remote, cli;
    if (!Remote(program, count, remote) || !CommandLine(program, dir, cliCount, cli)) {
      status = 1;
      continue;
    }
    Print(port.name, "`tarvel --serve`: `CODE c1,c2;*OPC?`", remote);
    Print(port.name, "`tarvel RX4410 c1 c2`", cli);
    std::fprintf(stderr, "%s: %.1fx the command line's rate (goal >= 20x), p99 %s 1 ms\n", port.name,
                 remote.perSecond / cli.perSecond, remote.p99Us < 1000 ? "under" : "NOT under");
  }
  fs::remove_all(dir);
  return status;
}

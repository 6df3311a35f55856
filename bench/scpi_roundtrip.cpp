// Code changes per second: `CODE c1,c2;*OPC?` round trips to `tarvel --serve`
// from one client over loopback against the same number of
// `tarvel RX4410 c1 c2` processes, both on one simulated bench state file.
// Prints median, 99th percentile and rate of each and their ratio
// (goal: at least 20 times the command line's rate, p99 under 1 ms).
//   scpi_roundtrip PATH/TO/tarvel [COUNT]   (COUNT defaults to 10000)
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
#include <filesystem>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Children run as "nobody" when the benchmark runs as root: the server
// refuses root.
void BecomeOrdinaryUser() {
  if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
                           ::setresuid(65534, 65534, 65534) != 0)) {
    ::_exit(126);
  }
}

struct Figures {
  double medianUs, p99Us, perSecond;
};

Figures Summarise(std::vector<double> us, double totalSeconds) {
  std::sort(us.begin(), us.end());
  return {us[us.size() / 2], us[std::min(us.size() - 1, us.size() * 99 / 100)],
          static_cast<double>(us.size()) / totalSeconds};
}

void Print(const char* what, const Figures& f) {
  std::printf("%-34s median %8.1f us   p99 %8.1f us   %9.0f code changes/s\n", what, f.medianUs, f.p99Us,
              f.perSecond);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: scpi_roundtrip PATH/TO/tarvel [COUNT]\n");
    return 64;
  }
  const std::string program = argv[1];
  const int count = argc > 2 ? std::atoi(argv[2]) : 10000;
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("tarvel-scpi-bench-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  fs::permissions(dir, fs::perms::all);
  const std::string choice = "TARVEL_PORT=sim:" + (dir / "bench.state").string();
  ::putenv(const_cast<char*>(choice.c_str()));
  ::unsetenv("TARVEL_TRACE");
  ::unsetenv("TARVEL_PORT_DELAY_NS");

  int out[2];
  if (::pipe(out) != 0) return 1;
  const pid_t server = ::fork();
  if (server == 0) {
    ::dup2(out[1], 1);
    BecomeOrdinaryUser();
    ::execl(program.c_str(), program.c_str(), "--serve", "--listen", "127.0.0.1:0", nullptr);
    ::_exit(127);
  }
  ::close(out[1]);
  std::string line;
  char c;
  while (::read(out[0], &c, 1) == 1 && c != '\n') line += c;
  if (line.rfind("listening on ", 0) != 0) {
    std::fprintf(stderr, "the server did not start: %s\n", line.c_str());
    return 1;
  }
  const int port = std::atoi(line.c_str() + line.rfind(':') + 1);

  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return 1;

  std::vector<double> us;
  us.reserve(static_cast<std::size_t>(count));
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    const std::string command =
        "CODE " + std::to_string(i % 64) + "," + std::to_string((i * 7) % 64) + ";*OPC?\n";
    const auto t0 = Clock::now();
    if (::send(fd, command.data(), command.size(), 0) != static_cast<ssize_t>(command.size())) return 1;
    char answer[16];
    std::size_t got = 0;
    while (got == 0 || answer[got - 1] != '\n') {
      const ssize_t n = ::recv(fd, answer + got, sizeof answer - got, 0);
      if (n <= 0 || got + static_cast<std::size_t>(n) >= sizeof answer) return 1;
      got += static_cast<std::size_t>(n);
    }
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  const Figures remote = Summarise(us, std::chrono::duration<double>(Clock::now() - start).count());
  ::close(fd);
  ::kill(server, SIGTERM);
  ::waitpid(server, nullptr, 0);

  us.clear();
  const auto cliStart = Clock::now();
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
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  const Figures cli = Summarise(us, std::chrono::duration<double>(Clock::now() - cliStart).count());
  fs::remove_all(dir);

  std::printf("%d code changes each, simulated bench\n", count);
  Print("tarvel --serve: CODE c1,c2;*OPC?", remote);
  Print("tarvel RX4410 c1 c2 (one process)", cli);
  std::printf("ratio: %.1fx the command line's rate (goal >= 20x), p99 %s 1 ms\n",
              remote.perSecond / cli.perSecond, remote.p99Us < 1000 ? "under" : "NOT under");
  return 0;
}
